// Cached string resources of other modules, and the error-message formatter built on them.
#pragma once

#include <windows.h>

#include <string>

namespace kv {

// "Error 0x00000001: S_FALSE" style message for an error code and its name or text.
std::wstring FormatErrorMessage(HRESULT code, const std::wstring& text);

} // namespace kv
