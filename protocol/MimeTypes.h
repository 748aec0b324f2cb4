// Media types: sniffed from a body that its producer left untyped, and the file extension the
// system's MIME database files a type under.
#pragma once

#include "shell/Stream.h"

#include <string_view>

#include <string>

namespace kv {

// Asks URL monikers for the type of the first 256 bytes from the stream's position and the
// URL's file name. On success mimeType receives it; otherwise it keeps the caller's value.
// The stream is left at position 0.
bool SniffMimeType(const std::wstring& url, TorvStream& stream, std::wstring& mimeType);

// The registered extension of a lower-case media type, without its dot; empty when none.
std::wstring ExtensionFromMimeType(const std::wstring& mimeType);

class TorvShellResponse;

// Whether a media type is an HTML document (text/html, application/xhtml+xml).
bool IsHtmlMimeType(std::wstring_view mimeType) noexcept;

// The header that asks the browser engine for its newest document mode. Without it, a page
// that does not ask itself is shown in the engine's oldest mode.
inline constexpr const wchar_t* RenderingModeHeader = L"X-UA-Compatible";
inline constexpr const wchar_t* RenderingModeValue = L"IE=edge";
// Adds that header to a response whose Content-Type is HTML.
void AddRenderingMode(TorvShellResponse& response);

} // namespace kv
