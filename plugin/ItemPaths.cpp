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

bool HasMaffExtension(const std::wstring& fileName)
{
    return SameTextIgnoreAsciiCase(ExtractFileExt(fileName), L".maff");
}

} // namespace kv
