// Text helpers: the plug-in works in UTF-16 and converts only at its edges.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace kv {

std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);
// Converts from a code page (the system ANSI code page by default).
std::wstring AnsiToWide(std::string_view text, UINT codePage = CP_ACP);
std::string WideToAnsi(std::wstring_view text, UINT codePage = CP_ACP);

// printf-style formatting into a wide string (%ls for wide strings).
std::wstring FormatString(const wchar_t* format, ...);

// Removes leading and trailing blanks and control characters.
std::wstring Trim(std::wstring_view text);

// Ordinal comparisons that ignore letter case, as the file system does.
bool SameTextIgnoreCase(std::wstring_view a, std::wstring_view b);
int CompareTextIgnoreCase(std::wstring_view a, std::wstring_view b);
// Equality that ignores the case of ASCII letters only, as names in file formats compare.
bool SameTextIgnoreAsciiCase(std::wstring_view a, std::wstring_view b) noexcept;

// A decimal integer with an optional sign, blanks around it allowed; anything else raises
// "''<text>'' is not a valid integer value".
int64_t ParseInt64(std::wstring_view text);
int ParseInt(std::wstring_view text);

// Folder part of a path, keeping its trailing separator ("" when the path has none).
std::wstring ExtractFilePath(std::wstring_view path);
// The extension with its dot ("" when there is none).
std::wstring ExtractFileExt(std::wstring_view path);

} // namespace kv
