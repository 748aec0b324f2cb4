// Text onto the clipboard, as the user's copy command puts it there.
#pragma once

#include <windows.h>

#include <string_view>

namespace kv {

// Replaces the clipboard's content with text (CF_UNICODETEXT); owner is the window that owns
// it then. Returns false when the clipboard is busy or memory is short; never raises.
bool CopyTextToClipboard(HWND owner, std::wstring_view text) noexcept;

} // namespace kv
