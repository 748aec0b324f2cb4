#include "protocol/ShellResponse.h"

#include "shell/Exceptions.h"
#include "shell/OleCheck.h"
#include "shell/Strings.h"

#include <wininet.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>

namespace kv {

namespace {

using Guard = std::lock_guard<CriticalSection>;

constexpr wchar_t kSeparator = L':';

bool IsHeaderLine(const std::wstring& line)
{
    return line.find(kSeparator) != std::wstring::npos;
}

std::wstring HeaderName(const std::wstring& line)
{
    return Trim(std::wstring_view(line).substr(0, line.find(kSeparator)));
}

std::wstring HeaderValue(const std::wstring& line)
{
    return Trim(std::wstring_view(line).substr(line.find(kSeparator) + 1));
}

// Line ends, and the zero that ends a line in the raw form, would split a stored line into
// two when the block is written: they become blanks.
std::wstring Flatten(std::wstring text)
{
    for (wchar_t& c : text) {
        if (c == L'\r' || c == L'\n' || c == L'\0')
            c = L' ';
    }
    return text;
}

// A status code as text; anything that is not a whole decimal number (in int range) is 0.
int ParseStatus(std::wstring_view text)
{
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-'))
        negative = text[i++] == L'-';
    if (i == text.size())
        return 0;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9')
            return 0;
        value = value * 10 + (text[i] - L'0');
        if (value > 0x80000000LL)
            return 0;
    }
    if (negative)
        value = -value;
    return value > INT32_MAX ? 0 : static_cast<int>(value);
}

bool StartsWithDigit(const std::wstring& text)
{
    return !text.empty() && text[0] >= L'0' && text[0] <= L'9';
}

[[noreturn]] void RaiseLastOSErrorOr(DWORD fallback)
{
    const DWORD code = GetLastError();
    RaiseOSError(code != 0 ? code : fallback);
}

bool IsZero(const SYSTEMTIME& time)
{
    return time.wYear == 0 && time.wMonth == 0 && time.wDayOfWeek == 0 && time.wDay == 0 &&
           time.wHour == 0 && time.wMinute == 0 && time.wSecond == 0 && time.wMilliseconds == 0;
}

FILETIME ToFileTime(const SYSTEMTIME& time)
{
    FILETIME result{};
    if (!SystemTimeToFileTime(&time, &result))
        RaiseLastOSErrorOr(ERROR_INVALID_PARAMETER);
    return result;
}

SYSTEMTIME ToSystemTime(const FILETIME& time)
{
    SYSTEMTIME result{};
    if (!FileTimeToSystemTime(&time, &result))
        RaiseLastOSErrorOr(ERROR_INVALID_PARAMETER);
    return result;
}

uint64_t Ticks(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FromTicks(uint64_t ticks)
{
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Date-time numbers count days from 30 December 1899, which is this many days after the
// FILETIME epoch; the fraction is the time of day, also for days before the epoch.
constexpr int64_t kDateTimeEpochDays = 109205;
constexpr int64_t kTicksPerDay = 864000000000LL;
constexpr int64_t kMsPerDay = 86400000LL;

double ToDateTime(const SYSTEMTIME& time)
{
    SYSTEMTIME midnight = time;
    midnight.wHour = midnight.wMinute = midnight.wSecond = midnight.wMilliseconds = 0;
    const auto day =
        static_cast<int64_t>(Ticks(ToFileTime(midnight)) / kTicksPerDay) - kDateTimeEpochDays;
    const double fraction =
        (((time.wHour * 60 + time.wMinute) * 60 + time.wSecond) * 1000.0 + time.wMilliseconds) /
        kMsPerDay;
    return day >= 0 ? day + fraction : day - fraction;
}

SYSTEMTIME FromDateTime(double value)
{
    // 1 January 1601 to 31 December 9999.
    const double day = std::trunc(value);
    if (!std::isfinite(value) || day < -kDateTimeEpochDays || day > 2958465)
        throw EArgumentException(L"Invalid date");
    const int64_t ms = std::llround(std::fabs(value - day) * kMsPerDay);
    const int64_t ticks = (static_cast<int64_t>(day) + kDateTimeEpochDays) * kTicksPerDay + ms * 10000;
    return ToSystemTime(FromTicks(static_cast<uint64_t>(ticks)));
}

} // namespace

TorvShellResponse::TorvShellResponse() = default;

void TorvShellResponse::Clear()
{
    Guard guard(lock_);
    lines_.clear();
    tail_.clear();
}

int TorvShellResponse::Count() const
{
    Guard guard(lock_);
    return static_cast<int>(lines_.size());
}

std::vector<std::wstring> TorvShellResponse::Lines() const
{
    Guard guard(lock_);
    return lines_;
}

std::wstring TorvShellResponse::Tail() const
{
    Guard guard(lock_);
    return tail_;
}

std::wstring TorvShellResponse::GetValue(const std::wstring& tag) const
{
    const std::wstring name = Trim(tag);
    if (name.empty())
        return {};
    Guard guard(lock_);
    for (const std::wstring& line : lines_) {
        if (IsHeaderLine(line) && SameTextIgnoreCase(HeaderName(line), name))
            return HeaderValue(line);
    }
    return {};
}

void TorvShellResponse::SetValue(const std::wstring& tag, const std::wstring& value)
{
    const std::wstring name = Trim(Flatten(tag));
    if (name.empty() || name.find(kSeparator) != std::wstring::npos)
        return;
    const std::wstring text = Trim(Flatten(value));
    Guard guard(lock_);
    auto found = lines_.begin();
    for (; found != lines_.end(); ++found) {
        if (IsHeaderLine(*found) && SameTextIgnoreCase(HeaderName(*found), name))
            break;
    }
    if (!text.empty()) {
        std::wstring line = name + kSeparator + text;
        if (found != lines_.end())
            *found = std::move(line);
        else
            lines_.push_back(std::move(line));
    } else if (found != lines_.end()) {
        lines_.erase(found);
    }
}

int TorvShellResponse::GetStatus() const
{
    Guard guard(lock_);
    if (lines_.empty())
        return 0;
    const std::wstring line = Trim(lines_[0]);
    if (IsHeaderLine(line))
        return 0;
    return ParseStatus(std::wstring_view(line).substr(0, line.find(L' ')));
}

void TorvShellResponse::SetStatus(int status)
{
    const std::wstring code = std::to_wstring(status);
    Guard guard(lock_);
    if (lines_.empty()) {
        lines_.push_back(code);
        return;
    }
    const std::wstring line = Trim(lines_[0]);
    const size_t blank = line.find(L' ');
    if (line.empty() || IsHeaderLine(line))
        lines_.insert(lines_.begin(), code);
    else if (blank != std::wstring::npos)
        lines_[0] = code + L' ' + Trim(std::wstring_view(line).substr(blank + 1));
    else if (StartsWithDigit(line))
        lines_[0] = code;
    else
        lines_[0] = code + L' ' + line;
}

std::wstring TorvShellResponse::GetStatusText() const
{
    Guard guard(lock_);
    if (lines_.empty())
        return {};
    const std::wstring line = Trim(lines_[0]);
    if (line.empty() || IsHeaderLine(line))
        return {};
    const size_t blank = line.find(L' ');
    if (blank != std::wstring::npos)
        return Trim(std::wstring_view(line).substr(blank + 1));
    return StartsWithDigit(line) ? std::wstring() : line;
}

void TorvShellResponse::SetStatusText(const std::wstring& text)
{
    const std::wstring statusText = Trim(Flatten(text));
    Guard guard(lock_);
    if (lines_.empty()) {
        lines_.push_back(statusText);
        return;
    }
    const std::wstring line = Trim(lines_[0]);
    const size_t blank = line.find(L' ');
    if (line.empty() || IsHeaderLine(line))
        lines_.insert(lines_.begin(), statusText);
    else if (blank != std::wstring::npos)
        lines_[0] = line.substr(0, blank) + L' ' + statusText;
    else if (StartsWithDigit(line))
        lines_[0] = line + L' ' + statusText;
    else
        lines_[0] = statusText;
}

std::wstring TorvShellResponse::GetContentType() const
{
    const std::wstring value = GetValue(L"Content-Type");
    return Trim(std::wstring_view(value).substr(0, value.find(L';')));
}

void TorvShellResponse::SetContentType(const std::wstring& type)
{
    // One lock across the read and the write: no reader sees the header half changed.
    Guard guard(lock_);
    const std::wstring current = GetValue(L"Content-Type");
    const size_t parameters = current.find(L';');
    std::wstring value = Trim(type);
    if (parameters != std::wstring::npos)
        value += current.substr(parameters);
    SetValue(L"Content-Type", value);
}

std::wstring TorvShellResponse::SavedText(bool raw) const
{
    const std::wstring terminator = raw ? std::wstring(1, L'\0') : std::wstring(LineBreak);
    Guard guard(lock_);
    std::wstring text;
    for (const std::wstring& line : lines_) {
        if (IsHeaderLine(line))
            text += HeaderName(line) + L": " + HeaderValue(line);
        else
            text += line;
        text += terminator;
    }
    if (!raw)
        text += LineBreak;
    text += tail_;
    return text;
}

std::wstring TorvShellResponse::GetText() const
{
    return SavedText(false);
}

void TorvShellResponse::SetText(const std::wstring& text)
{
    Guard guard(lock_);
    lines_.clear();
    tail_.clear();
    const auto store = [this](const std::wstring& line) {
        const size_t colon = line.find(kSeparator);
        if (colon != std::wstring::npos)
            SetValue(line.substr(0, colon), line.substr(colon + 1));
        else
            lines_.push_back(Flatten(line));
    };
    std::wstring current;
    int lineEnds = 0;
    size_t i = 0;
    while (i < text.size()) {
        const wchar_t c = text[i];
        if (c != L'\r' && c != L'\n') {
            current += c;
            lineEnds = 0;
            ++i;
            continue;
        }
        store(current);
        current.clear();
        ++i;
        // CR LF and LF CR each end one line.
        if (i < text.size() && (text[i] == L'\r' || text[i] == L'\n') && text[i] != c)
            ++i;
        if (++lineEnds == 2) {
            tail_ = text.substr(i);
            return;
        }
    }
    if (!current.empty())
        store(current);
}

void TorvShellResponse::SaveToStream(IStream* stream, bool raw) const
{
    if (stream == nullptr)
        throw EInvalidPointer(L"Invalid pointer");
    // Taken under the lock as one piece; the stream is written outside it.
    const std::wstring text = SavedText(raw);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    size_t left = text.size() * sizeof(wchar_t);
    while (left > 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<size_t>(left, 0x40000000));
        ULONG written = 0;
        OleCheck(stream->Write(bytes, chunk, &written));
        if (written == 0)
            throw EOleSysError(STG_E_MEDIUMFULL);
        bytes += written;
        left -= std::min<size_t>(written, left);
    }
}

SYSTEMTIME TorvShellResponse::GetValueAsSystemTime(const std::wstring& tag, bool localTime) const
{
    SYSTEMTIME result{};
    const std::wstring value = GetValue(tag);
    if (value.empty())
        return result;
    if (!InternetTimeToSystemTimeW(value.c_str(), &result, 0))
        RaiseLastOSErrorOr(ERROR_INVALID_DATA);
    if (!localTime) {
        const FILETIME local = ToFileTime(result);
        FILETIME utc{};
        if (!LocalFileTimeToFileTime(&local, &utc))
            RaiseLastOSErrorOr(ERROR_INVALID_PARAMETER);
        result = ToSystemTime(utc);
    }
    return result;
}

FILETIME TorvShellResponse::GetValueAsFileTime(const std::wstring& tag, bool localTime) const
{
    const SYSTEMTIME time = GetValueAsSystemTime(tag, localTime);
    return IsZero(time) ? FILETIME{} : ToFileTime(time);
}

double TorvShellResponse::GetValueAsDateTime(const std::wstring& tag, bool localTime) const
{
    const SYSTEMTIME time = GetValueAsSystemTime(tag, localTime);
    return IsZero(time) ? 0.0 : ToDateTime(time);
}

void TorvShellResponse::SetValueAsSystemTime(const std::wstring& tag, bool localTime,
                                             const SYSTEMTIME& value)
{
    if (IsZero(value)) {
        SetValue(tag, std::wstring());
        return;
    }
    // The round trip through FILETIME checks the date and fills in its day of the week,
    // which the formatter prints as it finds it.
    FILETIME time = ToFileTime(value);
    if (!localTime) {
        // The getter takes the text as local time and turns it into UTC: write the local form.
        FILETIME local{};
        if (!FileTimeToLocalFileTime(&time, &local))
            RaiseLastOSErrorOr(ERROR_INVALID_PARAMETER);
        time = local;
    }
    const SYSTEMTIME normal = ToSystemTime(time);
    wchar_t text[64] = {};
    if (!InternetTimeFromSystemTimeW(&normal, INTERNET_RFC1123_FORMAT, text, sizeof(text)))
        RaiseLastOSErrorOr(ERROR_INVALID_PARAMETER);
    SetValue(tag, text);
}

void TorvShellResponse::SetValueAsFileTime(const std::wstring& tag, bool localTime,
                                           const FILETIME& value)
{
    if (Ticks(value) == 0)
        SetValue(tag, std::wstring());
    else
        SetValueAsSystemTime(tag, localTime, ToSystemTime(value));
}

void TorvShellResponse::SetValueAsDateTime(const std::wstring& tag, bool localTime, double value)
{
    if (value == 0)
        SetValue(tag, std::wstring());
    else
        SetValueAsSystemTime(tag, localTime, FromDateTime(value));
}

// Codes 18-22 (version and status), 45 and 71-78 name no header.
const std::array<HeaderQueryRow, 73> HeaderQueryTable = {{
    {0, L"MIME-Version"},
    {1, L"Content-Type"},
    {2, L"Content-Transfer-Encoding"},
    {3, L"Content-ID"},
    {4, L"Content-Description"},
    {5, L"Content-Length"},
    {6, L"Content-Language"},
    {7, L"Allow"},
    {8, L"Public"},
    {9, L"Date"},
    {10, L"Expires"},
    {11, L"Last-Modified"},
    {12, L"Message-ID"},
    {13, L"URI"},
    {14, L"Derived-From"},
    {15, L"Cost"},
    {16, L"Link"},
    {17, L"Pragma"},
    {23, L"Connection"},
    {24, L"Accept"},
    {25, L"Accept-Charset"},
    {26, L"Accept-Encoding"},
    {27, L"Accept-Language"},
    {28, L"Authorization"},
    {29, L"Content-Encoding"},
    {30, L"Forwarded"},
    {31, L"From"},
    {32, L"If-Modified-Since"},
    {33, L"Location"},
    {34, L"Origin"},
    {35, L"Referer"},
    {36, L"Retry-After"},
    {37, L"Server"},
    {38, L"Title"},
    {39, L"User-Agent"},
    {40, L"WWW-Authenticate"},
    {41, L"Proxy-Authenticate"},
    {42, L"Accept-Ranges"},
    {43, L"Set-Cookie"},
    {44, L"Cookie"},
    {46, L"Refresh"},
    {47, L"Content-Disposition"},
    {48, L"Age"},
    {49, L"Cache-Control"},
    {50, L"Content-Base"},
    {51, L"Content-Location"},
    {52, L"Content-MD5"},
    {53, L"Content-Range"},
    {54, L"ETag"},
    {55, L"Host"},
    {56, L"If-Match"},
    {57, L"If-None-Match"},
    {58, L"If-Range"},
    {59, L"If-Unmodified-Since"},
    {60, L"Max-Forwards"},
    {61, L"Proxy-Authorization"},
    {62, L"Range"},
    {63, L"Transfer-Encoding"},
    {64, L"Upgrade"},
    {65, L"Vary"},
    {66, L"Via"},
    {67, L"Warning"},
    {68, L"Expect"},
    {69, L"Proxy-Connection"},
    {70, L"Unless-Modified-Since"},
    {79, L"X-Content-Type-Options"},
    {80, L"P3P"},
    {81, L"X-P2P-PeerDist"},
    {82, L"Translate"},
    {83, L"X-UA-Compatible"},
    {84, L"Default-Style"},
    {85, L"X-Frame-Options"},
    {86, L"X-XSS-Protection"},
}};

const wchar_t* HeaderNameOfQuery(DWORD code) noexcept
{
    for (const HeaderQueryRow& row : HeaderQueryTable) {
        if (row.Code == code)
            return row.Name;
    }
    return nullptr;
}

} // namespace kv
