// Media types: sniffed from a body that its producer left untyped, and the file extension the
// system's MIME database files a type under.
#pragma once

#include "shell/Stream.h"

#include <string>

namespace kv {

// Asks URL monikers for the type of the first 256 bytes from the stream's position and the
// URL's file name. On success mimeType receives it; otherwise it keeps the caller's value.
// The stream is left at position 0.
bool SniffMimeType(const std::wstring& url, TorvStream& stream, std::wstring& mimeType);

// The registered extension of a lower-case media type, without its dot; empty when none.
std::wstring ExtensionFromMimeType(const std::wstring& mimeType);

} // namespace kv
