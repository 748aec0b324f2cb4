// The XHTML page a failed request shows instead of its resource.
#pragma once

#include "shell/MemoryStream.h"

#include <wrl/client.h>

#include <exception>
#include <string>

namespace kv {

class TorvShellResponse;

// The page for a message, as UTF-8 without a byte-order mark, in a new stream at position 0.
// A response, when given, becomes 502 "EXCEPTION" with content type "text/html".
Microsoft::WRL::ComPtr<MemoryStream> BuildErrorPage(const std::wstring& message,
                                                    TorvShellResponse* response);
Microsoft::WRL::ComPtr<MemoryStream> BuildErrorPage(const std::exception_ptr& error,
                                                    TorvShellResponse* response);

// The message with '"', '&', '<' and '>' written as character references.
std::wstring HtmlEscape(const std::wstring& text);

} // namespace kv
