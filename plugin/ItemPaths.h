// Text operations on archive item names. The archive library reports paths with "\" between
// folders, some archives carry "/"; URLs always use "/".
#pragma once

#include <string>
#include <string_view>

namespace kv {

std::wstring SlashToBackslash(std::wstring_view name);
std::wstring BackslashToSlash(std::wstring_view name);

// The file-name part: the text after the last "\", "/" or ":".
std::wstring ItemFileName(std::wstring_view name);
// The folder part with its trailing "\" ("" for an item at the top level); "/" becomes "\".
std::wstring ItemFilePath(std::wstring_view name);

// Whether a file name ends in ".maff": the text from the last "." after the last "\" or ":",
// with only ASCII letters folded, so that no locale makes another name pass.
bool HasMaffExtension(const std::wstring& fileName);

} // namespace kv
