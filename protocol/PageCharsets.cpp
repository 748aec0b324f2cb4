#include "protocol/PageCharsets.h"

#include "shell/Strings.h"

namespace kv {

bool IsSafeCharset(std::wstring_view charset) noexcept
{
    constexpr size_t MaxLength = 40;
    if (charset.empty() || charset.size() > MaxLength)
        return false;
    for (const wchar_t c : charset) {
        const bool safe = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                          (c >= L'0' && c <= L'9') || c == L'-' || c == L'_' || c == L'.' ||
                          c == L':';
        if (!safe)
            return false;
    }
    return true;
}

bool StartsWithByteOrderMark(const uint8_t* data, size_t size) noexcept
{
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF)
        return true;
    return size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF));
}

bool TakesCharset(std::wstring_view mimeType) noexcept
{
    constexpr std::wstring_view Text = L"text/";
    return (mimeType.size() > Text.size() &&
            SameTextIgnoreAsciiCase(mimeType.substr(0, Text.size()), Text)) ||
           SameTextIgnoreAsciiCase(mimeType, L"application/xhtml+xml");
}

} // namespace kv
