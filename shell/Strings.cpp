#include "shell/Strings.h"

#include "shell/Exceptions.h"

#include <algorithm>
#include <cstdarg>
#include <cwchar>
#include <vector>

namespace kv {

std::string WideToUtf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
    return result;
}

std::wstring Utf8ToWide(std::string_view text)
{
    return AnsiToWide(text, CP_UTF8);
}

std::wstring AnsiToWide(std::string_view text, UINT codePage)
{
    if (text.empty())
        return {};
    const int size =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

std::string WideToAnsi(std::wstring_view text, UINT codePage)
{
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
    return result;
}

std::wstring FormatString(const wchar_t* format, ...)
{
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list args;
        va_start(args, format);
        const int written = vswprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        if (written >= 0 && static_cast<size_t>(written) < buffer.size())
            return std::wstring(buffer.data(), static_cast<size_t>(written));
        if (buffer.size() >= (1u << 24))
            return std::wstring(buffer.data());
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring Trim(std::wstring_view text)
{
    size_t first = 0;
    size_t last = text.size();
    while (first < last && text[first] <= L' ')
        ++first;
    while (last > first && text[last - 1] <= L' ')
        --last;
    return std::wstring(text.substr(first, last - first));
}

int CompareTextIgnoreCase(std::wstring_view a, std::wstring_view b)
{
    const int r = CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                       static_cast<int>(b.size()), TRUE);
    return r - CSTR_EQUAL;
}

bool SameTextIgnoreCase(std::wstring_view a, std::wstring_view b)
{
    return a.size() == b.size() && CompareTextIgnoreCase(a, b) == 0;
}

bool SameTextIgnoreAsciiCase(std::wstring_view a, std::wstring_view b) noexcept
{
    const auto fold = [](wchar_t c) { return c >= L'a' && c <= L'z' ? wchar_t(c - 32) : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](wchar_t x, wchar_t y) { return fold(x) == fold(y); });
}

std::wstring ExtractFilePath(std::wstring_view path)
{
    const size_t pos = path.find_last_of(L"\\/:");
    return pos == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, pos + 1));
}

std::wstring ExtractFileExt(std::wstring_view path)
{
    const size_t pos = path.find_last_of(L".\\/:");
    if (pos == std::wstring_view::npos || path[pos] != L'.')
        return {};
    return std::wstring(path.substr(pos));
}

namespace {
[[noreturn]] void RaiseNotInteger(std::wstring_view text)
{
    throw Exception(FormatString(L"''%ls'' is not a valid integer value", std::wstring(text).c_str()));
}
} // namespace

int64_t ParseInt64(std::wstring_view text)
{
    const std::wstring trimmed = Trim(text);
    size_t i = 0;
    const bool negative = !trimmed.empty() && trimmed[0] == L'-';
    if (!trimmed.empty() && (trimmed[0] == L'-' || trimmed[0] == L'+'))
        i = 1;
    if (i >= trimmed.size())
        RaiseNotInteger(text);
    uint64_t value = 0;
    const uint64_t limit = negative ? 0x8000000000000000ull : 0x7FFFFFFFFFFFFFFFull;
    for (; i < trimmed.size(); ++i) {
        const wchar_t c = trimmed[i];
        if (c < L'0' || c > L'9')
            RaiseNotInteger(text);
        const auto digit = static_cast<uint64_t>(c - L'0');
        if (value > (limit - digit) / 10)
            RaiseNotInteger(text);
        value = value * 10 + digit;
    }
    return negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
}

int ParseInt(std::wstring_view text)
{
    const int64_t value = ParseInt64(text);
    if (value < INT32_MIN || value > INT32_MAX)
        RaiseNotInteger(text);
    return static_cast<int>(value);
}

} // namespace kv
