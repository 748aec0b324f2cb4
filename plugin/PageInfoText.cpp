#include "plugin/PageInfoText.h"

#include "lang/ShellLang.h"

#include <initializer_list>
#include <string_view>

namespace kv {
namespace {

// A text of the language tables with each "%s" replaced by the next argument; the English text
// when a table's text does not take exactly these arguments.
std::wstring FillText(int key, const wchar_t* english, std::initializer_list<std::wstring_view> args)
{
    const auto fill = [&](const std::wstring& format, std::wstring& out) {
        auto next = args.begin();
        for (size_t i = 0; i < format.size(); ++i) {
            if (format[i] == L'%' && i + 1 < format.size() && format[i + 1] == L's') {
                if (next == args.end())
                    return false;
                out.append(*next++);
                ++i;
            } else {
                out += format[i];
            }
        }
        return next == args.end();
    };
    std::wstring out;
    if (fill(LangString(key), out))
        return out;
    out.clear();
    fill(english, out);
    return out;
}

template <typename Format>
std::wstring FormatWith(Format format)
{
    const int length = format(nullptr, 0);
    if (length <= 1)
        return {};
    std::wstring text(static_cast<size_t>(length), L'\0');
    if (format(text.data(), length) != length)
        return {};
    text.resize(static_cast<size_t>(length - 1));
    return text;
}

} // namespace

std::wstring FormatLocalDateTime(const SYSTEMTIME& utc)
{
    FILETIME valid{};
    SYSTEMTIME local{};
    if (!SystemTimeToFileTime(&utc, &valid) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return {};
    const std::wstring date = FormatWith([&](LPWSTR buffer, int size) {
        return GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_LONGDATE, &local, nullptr, buffer,
                               size, nullptr);
    });
    const std::wstring time = FormatWith([&](LPWSTR buffer, int size) {
        return GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, TIME_NOSECONDS, &local, nullptr, buffer,
                               size);
    });
    if (date.empty() || time.empty())
        return {};
    return date + L", " + time;
}

std::wstring FormatSavedLine(const PageInfo& page)
{
    const std::wstring when = page.archiveTime ? FormatLocalDateTime(*page.archiveTime) : L"";
    const std::wstring& from = page.originalUrl;
    if (!when.empty() && !from.empty())
        return FillText(SavedAtFromKey, L"Saved %s from %s", {when, from});
    if (!from.empty())
        return FillText(SavedFromKey, L"Saved from %s", {from});
    if (!when.empty())
        return FillText(SavedAtKey, L"Saved %s", {when});
    return page.startItem;
}

} // namespace kv
