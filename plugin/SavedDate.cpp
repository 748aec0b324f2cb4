#include "plugin/SavedDate.h"

#include <array>
#include <cstdint>

namespace kv {
namespace {

constexpr std::array<std::wstring_view, 7> DayNames = {L"sunday",   L"monday", L"tuesday",
                                                       L"wednesday", L"thursday", L"friday",
                                                       L"saturday"};
constexpr std::array<std::wstring_view, 12> MonthNames = {
    L"january", L"february", L"march",     L"april",   L"may",      L"june",
    L"july",    L"august",   L"september", L"october", L"november", L"december"};

struct NamedZone {
    std::wstring_view name;
    int minutes;  // east of UTC
};
constexpr std::array<NamedZone, 12> NamedZones = {{{L"ut", 0},
                                                   {L"gmt", 0},
                                                   {L"utc", 0},
                                                   {L"z", 0},
                                                   {L"est", -5 * 60},
                                                   {L"edt", -4 * 60},
                                                   {L"cst", -6 * 60},
                                                   {L"cdt", -5 * 60},
                                                   {L"mst", -7 * 60},
                                                   {L"mdt", -6 * 60},
                                                   {L"pst", -8 * 60},
                                                   {L"pdt", -7 * 60}}};

wchar_t LowerAscii(wchar_t c) noexcept
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + (L'a' - L'A')) : c;
}

bool IsLetter(wchar_t c) noexcept
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

bool IsDigit(wchar_t c) noexcept
{
    return c >= L'0' && c <= L'9';
}

bool SameLetters(std::wstring_view word, std::wstring_view lowerName) noexcept
{
    if (word.size() != lowerName.size())
        return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (LowerAscii(word[i]) != lowerName[i])
            return false;
    return true;
}

// A day or month written as its three-letter abbreviation or in full; -1 for any other word.
template <size_t N>
int NameIndex(std::wstring_view word, const std::array<std::wstring_view, N>& names) noexcept
{
    for (size_t i = 0; i < N; ++i)
        if (SameLetters(word, names[i].substr(0, 3)) || SameLetters(word, names[i]))
            return static_cast<int>(i);
    return -1;
}

bool IsLeapYear(int year) noexcept
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) noexcept
{
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

class Reader {
public:
    explicit Reader(std::wstring_view text) noexcept : text_(text) {}

    void SkipBlanks() noexcept
    {
        while (pos_ < text_.size() &&
               (text_[pos_] == L' ' || text_[pos_] == L'\t' || text_[pos_] == L'\r' ||
                text_[pos_] == L'\n'))
            ++pos_;
    }
    bool AtEnd() const noexcept { return pos_ >= text_.size(); }
    wchar_t Peek() const noexcept { return AtEnd() ? L'\0' : text_[pos_]; }
    bool Take(wchar_t c) noexcept
    {
        if (Peek() != c)
            return false;
        ++pos_;
        return true;
    }
    std::wstring_view Word() noexcept
    {
        const size_t start = pos_;
        while (!AtEnd() && IsLetter(text_[pos_]))
            ++pos_;
        return text_.substr(start, pos_ - start);
    }
    // A number of minDigits to maxDigits digits; -1 for fewer or more, so a huge number is
    // refused before it can overflow.
    int Number(size_t minDigits, size_t maxDigits, size_t* digits = nullptr) noexcept
    {
        const size_t start = pos_;
        int value = 0;
        while (!AtEnd() && IsDigit(text_[pos_])) {
            if (pos_ - start == maxDigits)
                return -1;
            value = value * 10 + (text_[pos_] - L'0');
            ++pos_;
        }
        if (pos_ - start < minDigits)
            return -1;
        if (digits != nullptr)
            *digits = pos_ - start;
        return value;
    }
    // A comment in parentheses, nested ones included; false when it is not closed.
    bool SkipComment() noexcept
    {
        int depth = 0;
        do {
            if (AtEnd())
                return false;
            if (text_[pos_] == L'(')
                ++depth;
            else if (text_[pos_] == L')')
                --depth;
            ++pos_;
        } while (depth > 0);
        return true;
    }

private:
    std::wstring_view text_;
    size_t pos_ = 0;
};

// The zone's offset east of UTC in minutes; nullopt for a zone that is missing or unknown.
std::optional<int> ReadZone(Reader& reader) noexcept
{
    const wchar_t sign = reader.Peek();
    if (sign == L'+' || sign == L'-') {
        reader.Take(sign);
        const int hhmm = reader.Number(4, 4);
        if (hhmm < 0 || hhmm / 100 > 23 || hhmm % 100 > 59)
            return std::nullopt;
        const int minutes = hhmm / 100 * 60 + hhmm % 100;
        return sign == L'-' ? -minutes : minutes;
    }
    const std::wstring_view word = reader.Word();
    for (const NamedZone& zone : NamedZones)
        if (SameLetters(word, zone.name))
            return zone.minutes;
    return std::nullopt;
}

} // namespace

std::optional<SYSTEMTIME> ParseSavedDate(std::wstring_view text) noexcept
{
    Reader reader(text);
    reader.SkipBlanks();
    if (IsLetter(reader.Peek())) {
        // The weekday says nothing the date does not; it only has to be one.
        if (NameIndex(reader.Word(), DayNames) < 0)
            return std::nullopt;
        reader.SkipBlanks();
        reader.Take(L',');
        reader.SkipBlanks();
    }
    const int day = reader.Number(1, 2);
    reader.SkipBlanks();
    const int month = NameIndex(reader.Word(), MonthNames) + 1;
    reader.SkipBlanks();
    size_t yearDigits = 0;
    int year = reader.Number(2, 4, &yearDigits);
    if (day < 1 || month < 1 || year < 0)
        return std::nullopt;
    // Two-digit years as RFC 2822 reads them; three-digit ones count from 1900.
    if (yearDigits == 2)
        year += year < 50 ? 2000 : 1900;
    else if (yearDigits == 3)
        year += 1900;
    if (year < 1601 || day > DaysInMonth(year, month))
        return std::nullopt;

    reader.SkipBlanks();
    const int hour = reader.Number(1, 2);
    if (hour < 0 || hour > 23 || !reader.Take(L':'))
        return std::nullopt;
    const int minute = reader.Number(2, 2);
    if (minute < 0 || minute > 59)
        return std::nullopt;
    int second = 0;
    if (reader.Take(L':')) {
        second = reader.Number(2, 2);
        if (second < 0 || second > 60)
            return std::nullopt;
        if (second == 60)
            second = 59;  // a leap second; the time has no room for it
    }
    reader.SkipBlanks();
    const std::optional<int> zone = ReadZone(reader);
    if (!zone)
        return std::nullopt;
    reader.SkipBlanks();
    if (reader.Peek() == L'(' && !reader.SkipComment())
        return std::nullopt;
    reader.SkipBlanks();
    if (!reader.AtEnd())
        return std::nullopt;

    SYSTEMTIME written{};
    written.wYear = static_cast<WORD>(year);
    written.wMonth = static_cast<WORD>(month);
    written.wDay = static_cast<WORD>(day);
    written.wHour = static_cast<WORD>(hour);
    written.wMinute = static_cast<WORD>(minute);
    written.wSecond = static_cast<WORD>(second);
    FILETIME fileTime{};
    if (!SystemTimeToFileTime(&written, &fileTime))
        return std::nullopt;
    constexpr int64_t TicksPerMinute = 60LL * 10'000'000LL;
    const int64_t ticks = static_cast<int64_t>(
        (static_cast<uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime);
    const int64_t utcTicks = ticks - static_cast<int64_t>(*zone) * TicksPerMinute;
    if (utcTicks < 0)
        return std::nullopt;
    fileTime.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(utcTicks));
    fileTime.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(utcTicks) >> 32);
    SYSTEMTIME utc{};
    if (!FileTimeToSystemTime(&fileTime, &utc))
        return std::nullopt;
    return utc;
}

} // namespace kv
