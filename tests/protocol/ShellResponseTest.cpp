// The response record: status line shapes, headers, the text forms, dates, and readers on
// other threads while the content type changes.
#include "protocol/ShellResponse.h"
#include "shell/MemoryStream.h"

#include <gtest/gtest.h>
#include <wininet.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace kv;

namespace {

using Lines = std::vector<std::wstring>;

TorvShellResponse& WithLines(TorvShellResponse& response, const Lines& lines)
{
    std::wstring text;
    for (const std::wstring& line : lines)
        text += line + L"\r\n";
    response.SetText(text);
    return response;
}

std::wstring Saved(const TorvShellResponse& response, bool raw)
{
    auto stream = MemoryStream::Create();
    response.SaveToStream(stream.Get(), raw);
    const auto& bytes = stream->Data();
    std::wstring text(bytes.size() / 2, L'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * 2);
    return text;
}

} // namespace

TEST(ShellResponse, NewRecordIsEmpty)
{
    TorvShellResponse response;
    EXPECT_EQ(response.Count(), 0);
    EXPECT_EQ(response.GetStatus(), 0);
    EXPECT_EQ(response.GetStatusText(), L"");
    EXPECT_EQ(response.GetContentType(), L"");
    EXPECT_EQ(response.GetText(), L"\r\n");
    EXPECT_EQ(Saved(response, true), L"");
}

TEST(ShellResponse, StatusLineShapes)
{
    TorvShellResponse response;
    response.SetStatus(200);
    response.SetStatusText(L"OK");
    EXPECT_EQ(response.Lines(), Lines{L"200 OK"});
    response.Clear();
    response.SetStatusText(L" OK ");
    response.SetStatus(200);
    EXPECT_EQ(response.Lines(), Lines{L"200 OK"});
    response.SetStatus(404);
    response.SetStatusText(L"Not Found");
    EXPECT_EQ(response.Lines(), Lines{L"404 Not Found"});

    struct Case {
        std::wstring line;
        int status;
        std::wstring text;
    };
    for (const Case& c : {Case{L"200", 200, L""}, Case{L"OK", 0, L"OK"},
                          Case{L"200   Not  Found", 200, L"Not  Found"},
                          Case{L"HTTP/1.1 200 OK", 0, L"200 OK"},
                          Case{L"Content-Type:text/html", 0, L""}}) {
        response.Clear();
        response.SetText(c.line);
        EXPECT_EQ(response.GetStatus(), c.status) << c.line;
        EXPECT_EQ(response.GetStatusText(), c.text) << c.line;
    }

    // Code alone, text alone, and a header where the status line would be.
    response.SetText(L"200");
    response.SetStatusText(L"OK");
    EXPECT_EQ(response.Lines(), Lines{L"200 OK"});
    response.SetText(L"OK");
    response.SetStatus(201);
    EXPECT_EQ(response.Lines(), Lines{L"201 OK"});
    response.SetText(L"Content-Type:text/html");
    response.SetStatus(502);
    EXPECT_EQ(response.Lines(), (Lines{L"502", L"Content-Type:text/html"}));
    EXPECT_EQ(response.GetContentType(), L"text/html");

    // A blank line 0 (left by parsing) is not a status line: both setters insert one.
    WithLines(response, {L"   ", L"A:1"});
    EXPECT_EQ(response.GetStatus(), 0);
    EXPECT_EQ(response.GetStatusText(), L"");
    response.SetStatus(200);
    EXPECT_EQ(response.Lines(), (Lines{L"200", L"   ", L"A:1"}));
    WithLines(response, {L"", L"A:1"});
    response.SetStatusText(L"OK");
    EXPECT_EQ(response.Lines(), (Lines{L"OK", L"", L"A:1"}));
}

TEST(ShellResponse, HeaderValues)
{
    TorvShellResponse response;
    response.SetStatus(200);
    response.SetValue(L" Content-Type ", L" text/html; charset=utf-8 ");
    response.SetValue(L"X", L"1");
    EXPECT_EQ(response.Lines(), (Lines{L"200", L"Content-Type:text/html; charset=utf-8", L"X:1"}));
    EXPECT_EQ(response.GetValue(L"CONTENT-TYPE"), L"text/html; charset=utf-8");
    EXPECT_EQ(response.GetContentType(), L"text/html");

    // Parameters stay when the type changes; an empty type without parameters removes it.
    response.SetContentType(L"image/svg+xml");
    EXPECT_EQ(response.GetValue(L"Content-Type"), L"image/svg+xml; charset=utf-8");
    response.SetValue(L"content-type", L"x");
    EXPECT_EQ(response.Lines(), (Lines{L"200", L"content-type:x", L"X:1"}));
    response.SetContentType(L"");
    EXPECT_EQ(response.Lines(), (Lines{L"200", L"X:1"}));

    response.SetValue(L"X", L"  ");
    response.SetValue(L"Missing", L"");
    response.SetValue(L"  ", L"value");
    EXPECT_EQ(response.Lines(), Lines{L"200"});
    EXPECT_EQ(response.GetValue(L" "), L"");
    EXPECT_EQ(response.GetValue(L"200"), L"");

    // Neither a name nor a value can add a line to the saved block, nor rename a header.
    response.SetValue(L"Evil\r\nSet-Cookie", std::wstring(L"a\r\nLocation: x\nY\0Z", 18));
    response.SetValue(L"A:B", L"c");
    response.SetStatusText(L"OK\r\nInjected: 1");
    EXPECT_EQ(response.Lines(), (Lines{L"200 OK  Injected: 1", L"Evil  Set-Cookie:a  Location: x Y Z"}));
    EXPECT_EQ(response.GetValue(L"Evil  Set-Cookie"), L"a  Location: x Y Z");
    EXPECT_EQ(response.GetValue(L"Set-Cookie"), L"");
    EXPECT_EQ(response.GetValue(L"A"), L"");
}

TEST(ShellResponse, TextBlockRoundTrip)
{
    TorvShellResponse response;
    response.SetText(L"200 OK\r\nA: 1\nB:2\r\n\r\nbody\r\nmore");
    EXPECT_EQ(response.Lines(), (Lines{L"200 OK", L"A:1", L"B:2", L""}));
    EXPECT_EQ(response.Tail(), L"body\r\nmore");
    EXPECT_EQ(response.Count(), 4);
    EXPECT_EQ(response.GetText(), L"200 OK\r\nA: 1\r\nB: 2\r\n\r\n\r\nbody\r\nmore");
    EXPECT_EQ(Saved(response, false), response.GetText());

    // LF CR is one line end too; a repeated name replaces the earlier value in its place.
    response.SetText(L"A: 1\n\rB: 0\r\nA: 2");
    EXPECT_EQ(response.Lines(), (Lines{L"A:2", L"B:0"}));
    EXPECT_EQ(response.Tail(), L"");
    response.SetText(L"A: 1\r\nA:");
    EXPECT_EQ(response.Count(), 0);

    TorvShellResponse built;
    built.SetStatus(200);
    built.SetStatusText(L"OK");
    built.SetContentType(L"text/html");
    EXPECT_EQ(built.GetText(), L"200 OK\r\nContent-Type: text/html\r\n\r\n");
    response.SetText(built.GetText());
    EXPECT_EQ(response.GetText(), L"200 OK\r\nContent-Type: text/html\r\n\r\n\r\n");
}

TEST(ShellResponse, SavesRawLinesEndedByZeros)
{
    TorvShellResponse response;
    WithLines(response, {L"200 OK", L"A:1"});
    const std::wstring expected(L"200 OK\0A: 1\0", 12);
    EXPECT_EQ(Saved(response, true), expected);
    response.SetText(L"200 OK\r\nA:1\r\n\r\ntail");
    EXPECT_EQ(Saved(response, true), std::wstring(L"200 OK\0A: 1\0\0tail", 17));

    auto stream = MemoryStream::Create();
    response.SaveToStream(stream.Get(), false);
    const std::vector<uint8_t> head(stream->Data().begin(), stream->Data().begin() + 4);
    EXPECT_EQ(head, (std::vector<uint8_t>{'2', 0, '0', 0}));  // UTF-16LE, no byte-order mark
}

TEST(ShellResponse, DatesReadAndWriteBack)
{
    TorvShellResponse response;
    const FILETIME none = response.GetValueAsFileTime(L"Expires", true);
    EXPECT_EQ(none.dwLowDateTime | none.dwHighDateTime, 0u);
    EXPECT_EQ(response.GetValueAsDateTime(L"Expires", false), 0.0);

    response.SetValue(L"Last-Modified", L"Sun, 06 Nov 1994 08:49:37 GMT");
    const SYSTEMTIME time = response.GetValueAsSystemTime(L"Last-Modified", true);
    EXPECT_EQ(time.wYear, 1994);
    EXPECT_EQ(time.wMonth, 11);
    EXPECT_EQ(time.wDay, 6);
    EXPECT_EQ(time.wHour, 8);
    EXPECT_EQ(time.wMinute, 49);
    EXPECT_EQ(time.wSecond, 37);
    FILETIME expected{};
    SystemTimeToFileTime(&time, &expected);
    const FILETIME file = response.GetValueAsFileTime(L"Last-Modified", true);
    EXPECT_EQ(CompareFileTime(&file, &expected), 0);
    // 34644 days after 30 December 1899, and the time of day as the fraction.
    EXPECT_NEAR(response.GetValueAsDateTime(L"Last-Modified", true),
                34644 + (8 * 3600 + 49 * 60 + 37) / 86400.0, 1e-9);

    // Without the local flag the text is read as local time and returned as UTC.
    FILETIME utc{};
    LocalFileTimeToFileTime(&expected, &utc);
    const FILETIME converted = response.GetValueAsFileTime(L"Last-Modified", false);
    EXPECT_EQ(CompareFileTime(&converted, &utc), 0);

    // The writers read back through their getters, in both modes.
    for (const bool local : {true, false}) {
        SYSTEMTIME written = {2031, 2, 0, 28, 23, 59, 58, 0};
        response.SetValueAsSystemTime(L"Expires", local, written);
        const SYSTEMTIME read = response.GetValueAsSystemTime(L"Expires", local);
        EXPECT_EQ(std::memcmp(&written.wDay, &read.wDay, 10), 0) << response.GetValue(L"Expires");
        EXPECT_EQ(read.wDayOfWeek, 5);  // a Friday, filled in whatever the caller passed

        response.SetValueAsFileTime(L"Date", local, expected);
        const FILETIME back = response.GetValueAsFileTime(L"Date", local);
        EXPECT_EQ(CompareFileTime(&back, &expected), 0);

        response.SetValueAsDateTime(L"Date", local, -1.25);  // 29 December 1899, 06:00
        EXPECT_DOUBLE_EQ(response.GetValueAsDateTime(L"Date", local), -1.25);
        response.SetValueAsDateTime(L"Date", local, 45000.5);
        EXPECT_DOUBLE_EQ(response.GetValueAsDateTime(L"Date", local), 45000.5);
    }
    EXPECT_EQ(response.GetValue(L"Expires"), L"Fri, 28 Feb 2031 23:59:58 GMT");
    response.SetValueAsDateTime(L"Date", true, 0);
    EXPECT_EQ(response.GetValue(L"Date"), L"");
}

TEST(ShellResponse, HeaderQueryTableNamesItsCodes)
{
    EXPECT_EQ(HeaderQueryTable.size(), 73u);
    for (size_t i = 1; i < HeaderQueryTable.size(); ++i)
        EXPECT_LT(HeaderQueryTable[i - 1].Code, HeaderQueryTable[i].Code);
    EXPECT_STREQ(HeaderNameOfQuery(HTTP_QUERY_CONTENT_TYPE), L"Content-Type");
    EXPECT_STREQ(HeaderNameOfQuery(HTTP_QUERY_ORIG_URI), L"Origin");
    EXPECT_STREQ(HeaderNameOfQuery(35), L"Referer");
    EXPECT_STREQ(HeaderNameOfQuery(HTTP_QUERY_REFRESH), L"Refresh");
    EXPECT_STREQ(HeaderNameOfQuery(HTTP_QUERY_UNLESS_MODIFIED_SINCE), L"Unless-Modified-Since");
    EXPECT_STREQ(HeaderNameOfQuery(HTTP_QUERY_X_XSS_PROTECTION), L"X-XSS-Protection");
    for (const DWORD missing : {18u, 19u, 22u, 45u, 71u, 78u, 87u})
        EXPECT_EQ(HeaderNameOfQuery(missing), nullptr) << missing;
}

TEST(ShellResponse, ReadersNeverSeeAHalfChangedContentType)
{
    TorvShellResponse response;
    response.SetStatus(200);
    response.SetStatusText(L"OK");
    response.SetValue(L"Content-Type", L"text/html; charset=utf-8");
    response.SetValue(L"X-Other", L"1");

    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                const std::wstring type = response.GetContentType();
                const std::wstring text = response.GetText();
                if ((type != L"text/html" && type != L"image/png") || response.GetStatus() != 200 ||
                    text.find(L"; charset=utf-8\r\nX-Other: 1\r\n\r\n") == std::wstring::npos)
                    ++bad;
            }
        });
    }
    for (int i = 0; i < 20000; ++i)
        response.SetContentType(i % 2 == 0 ? L"image/png" : L"text/html");
    stop = true;
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(response.GetValue(L"Content-Type"), L"text/html; charset=utf-8");
}
