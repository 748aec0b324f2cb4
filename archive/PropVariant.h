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

// Frees whatever the value owns by the platform's rules (PropVariantClear: BSTRs, task-memory
// strings and blocks, vectors, interfaces) and sets the tag to VT_EMPTY. A tag the platform
// does not know is left untouched with its failure code.
HRESULT ClearPropVariant(PROPVARIANT& value) noexcept;

} // namespace kv
