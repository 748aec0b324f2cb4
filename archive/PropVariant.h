// Text of the library's property values, and their release.
#pragma once

#include <windows.h>
#include <propidl.h>

#include <string>

namespace kv {

// Sets text to the value's text (empty for VT_EMPTY and VT_NULL) and returns S_OK; a type it
// does not know (VT_ARRAY and VT_BYREF values included) gives empty text and E_INVALIDARG, as
// does a VT_DATE outside the calendar. Raises the OS error for a file time that the platform
// cannot convert. Numbers use the process's default formats and decimal separator.
HRESULT PropVariantToString(const PROPVARIANT& value, std::wstring& text);

// Frees a VT_BSTR's string and sets the tag of the scalar types to VT_EMPTY (S_OK). Every other
// tag, VT_LPSTR, VT_LPWSTR, VT_CLSID, VT_CY and VT_DATE included, is left untouched with
// E_INVALIDARG: this program never receives them and does not guess their owner.
HRESULT ClearPropVariant(PROPVARIANT& value) noexcept;

} // namespace kv
