// The head of one protocol response, kept as an HTTP response head is written: a status line
// ("200 OK"), header lines ("Content-Type:text/html") and, after a blank line, a tail text.
// The browser's threads may read a record while the worker fills it: every operation holds
// the record's own lock.
#pragma once

#include "shell/Handles.h"

#include <windows.h>
#include <objidl.h>

#include <array>
#include <string>
#include <vector>

namespace kv {

class TorvShellResponse {
public:
    TorvShellResponse();
    TorvShellResponse(const TorvShellResponse&) = delete;
    TorvShellResponse& operator=(const TorvShellResponse&) = delete;

    static constexpr const wchar_t* LineBreak = L"\r\n";

    void Clear();
    // Lines held, the status line and plain or empty lines included.
    int Count() const;
    // A copy of the lines as stored (header lines as "name:value").
    std::vector<std::wstring> Lines() const;
    std::wstring Tail() const;

    // The trimmed value of the first header whose name equals the trimmed tag, ignoring case;
    // empty for a blank tag or a missing header.
    std::wstring GetValue(const std::wstring& tag) const;
    // Replaces the first header of that name in its place, or appends one; an empty value
    // removes it. A blank tag, or one with ':', names no header and changes nothing. Line
    // breaks inside the tag or value become blanks, so no caller can add a line.
    void SetValue(const std::wstring& tag, const std::wstring& value);

    int GetStatus() const;
    void SetStatus(int status);
    std::wstring GetStatusText() const;
    void SetStatusText(const std::wstring& text);
    // The media type of "Content-Type" without its parameters.
    std::wstring GetContentType() const;
    // Sets the media type and keeps the header's parameters; empty without parameters
    // removes the header.
    void SetContentType(const std::wstring& type);

    // The header block: lines ("name: value" for headers) each ended by CR LF, one more
    // CR LF, then the tail.
    std::wstring GetText() const;
    // Parses a header block; what follows its blank line becomes the tail, verbatim.
    void SetText(const std::wstring& text);

    // Writes the block as UTF-16LE without a byte-order mark: as GetText, or, raw, each line
    // ended by one U+0000 and no blank line; the tail follows in both forms.
    void SaveToStream(IStream* stream, bool raw) const;
    std::wstring SavedText(bool raw) const;

    // A header read as an Internet date: zero when missing or empty; raises the OS error
    // when it cannot be parsed. Without localTime the parsed time is taken as local time
    // and returned as UTC.
    SYSTEMTIME GetValueAsSystemTime(const std::wstring& tag, bool localTime) const;
    FILETIME GetValueAsFileTime(const std::wstring& tag, bool localTime) const;
    // Days since 30 December 1899, the fraction being the time of day; 0 when missing.
    double GetValueAsDateTime(const std::wstring& tag, bool localTime) const;
    // Write an RFC 1123 date that the matching getter reads back (to the second); a zero
    // value removes the header.
    void SetValueAsSystemTime(const std::wstring& tag, bool localTime, const SYSTEMTIME& value);
    void SetValueAsFileTime(const std::wstring& tag, bool localTime, const FILETIME& value);
    void SetValueAsDateTime(const std::wstring& tag, bool localTime, double value);

private:
    mutable CriticalSection lock_;
    std::vector<std::wstring> lines_;
    std::wstring tail_;
};

// WinINet header query codes (HTTP_QUERY_*) and the header each stands for.
struct HeaderQueryRow {
    DWORD Code;
    const wchar_t* Name;
};
extern const std::array<HeaderQueryRow, 73> HeaderQueryTable;
// The header name of a query code; null when the code names no header.
const wchar_t* HeaderNameOfQuery(DWORD code) noexcept;

} // namespace kv
