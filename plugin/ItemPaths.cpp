#include "plugin/ItemPaths.h"

#include "shell/Strings.h"

#include <algorithm>

namespace kv {

std::wstring SlashToBackslash(std::wstring_view name)
{
    std::wstring result(name);
    std::replace(result.begin(), result.end(), L'/', L'\\');
    return result;
}

std::wstring BackslashToSlash(std::wstring_view name)
{
    std::wstring result(name);
    std::replace(result.begin(), result.end(), L'\\', L'/');
    return result;
}

std::wstring ItemFileName(std::wstring_view name)
{
    const std::wstring path = SlashToBackslash(name);
    const size_t pos = path.find_last_of(L"\\:");
    return pos == std::wstring::npos ? path : path.substr(pos + 1);
}

std::wstring ItemFilePath(std::wstring_view name)
{
    return ExtractFilePath(SlashToBackslash(name));
}

bool SameTextIgnoreAsciiCase(std::wstring_view a, std::wstring_view b) noexcept
{
    const auto fold = [](wchar_t c) { return c >= L'a' && c <= L'z' ? wchar_t(c - 32) : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](wchar_t x, wchar_t y) { return fold(x) == fold(y); });
}

} // namespace kv
