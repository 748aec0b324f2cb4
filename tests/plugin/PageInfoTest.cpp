// What descriptions tell of their pages: save times read from RFC 822 dates (damaged ones give
// none), labels, character sets for the start files, and the line that tells it all.
#include "plugin/PageDiscovery.h"
#include "plugin/PageInfoText.h"
#include "plugin/SavedDate.h"
#include "shell/Strings.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

using namespace kv;
using kvtest::FixturePath;

namespace {

struct Utc {
    int year, month, day, hour, minute, second;
};

std::string Show(const std::optional<SYSTEMTIME>& time)
{
    if (!time)
        return "none";
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", time->wYear, time->wMonth,
                  time->wDay, time->wHour, time->wMinute, time->wSecond);
    return text;
}

std::string Show(const Utc& t)
{
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(t.year);
    time.wMonth = static_cast<WORD>(t.month);
    time.wDay = static_cast<WORD>(t.day);
    time.wHour = static_cast<WORD>(t.hour);
    time.wMinute = static_cast<WORD>(t.minute);
    time.wSecond = static_cast<WORD>(t.second);
    return Show(std::optional<SYSTEMTIME>(time));
}

PageList DiscoverPageInfo()
{
    TMaffZipFile archive(FixturePath(L"pageinfo.maff"));
    PageList pages;
    VectorLabelList labels;
    RunIndexScan(L"5*", archive, pages, labels);
    RunFallbackScan(L"5*", archive, pages, labels);
    EXPECT_EQ(static_cast<size_t>(pages.Count()), labels.labels.size());
    for (int i = 0; i < pages.Count() && static_cast<size_t>(i) < labels.labels.size(); ++i)
        EXPECT_EQ(pages.Info(i).label, labels.labels[static_cast<size_t>(i)]);
    return pages;
}

SYSTEMTIME UtcTime(int year, int month, int day, int hour, int minute)
{
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    return time;
}

} // namespace

TEST(SavedDate, ReadsTheFormsSavedPagesCarry)
{
    const struct {
        const wchar_t* text;
        Utc utc;
    } cases[] = {
        {L"Tue, 12 Mar 2024 14:05:31 +0100", {2024, 3, 12, 13, 5, 31}},
        {L"12 Mar 2024 14:05:31 +0100", {2024, 3, 12, 13, 5, 31}},
        {L"Tue, 12 Mar 2024 14:05 -0230", {2024, 3, 12, 16, 35, 0}},
        {L"tue,12 MAR 24 14:05:31 gmt", {2024, 3, 12, 14, 5, 31}},
        {L"  Tuesday, 12 March 2024 14:05:31 UT  ", {2024, 3, 12, 14, 5, 31}},
        {L"Mon, 01 Jan 2024 00:00:00 +0000", {2024, 1, 1, 0, 0, 0}},
        {L"Sun, 31 Dec 2023 23:30:00 -0100", {2024, 1, 1, 0, 30, 0}},  // a day and a year on
        {L"Mon, 01 Jan 2024 00:30:00 +0100", {2023, 12, 31, 23, 30, 0}},
        {L"1 Jul 99 08:00:00 EDT", {1999, 7, 1, 12, 0, 0}},
        {L"1 Jul 49 08:00 PST", {2049, 7, 1, 16, 0, 0}},
        {L"1 Jul 124 08:00 CST", {2024, 7, 1, 14, 0, 0}},
        {L"29 Feb 2024 12:00:00 Z", {2024, 2, 29, 12, 0, 0}},
        {L"Fri, 29 Feb 2024 12:00:60 +0000 (leap second)", {2024, 2, 29, 12, 0, 59}},
        {L"Tue, 12 Mar 2024 14:05:31 +0100 (CET (Berlin))", {2024, 3, 12, 13, 5, 31}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Show(ParseSavedDate(c.text)), Show(c.utc)) << WideToUtf8(c.text);
    // The weekday comes from the date, not from the text.
    const std::optional<SYSTEMTIME> tuesday = ParseSavedDate(L"Fri, 12 Mar 2024 14:05:31 +0100");
    ASSERT_TRUE(tuesday);
    EXPECT_EQ(tuesday->wDayOfWeek, 2);
}

TEST(SavedDate, DamagedDatesGiveNoTime)
{
    const wchar_t* damaged[] = {
        L"", L"   ", L"yesterday", L"garbage 12 Mar 2024 14:05:31 +0100",
        L"Tue, 12 Mar 2024 14:05:31 +0100 trailing", L"Tue, 12 Mar 2024 14:05:31 +0100 (open",
        L"Tue, 12 Mar 2024 14:05:31",                   // no zone: the hour could be anything
        L"Tue, 12 Mar 2024 14:05:31 CET", L"Tue, 12 Mar 2024 14:05:31 +01",
        L"Tue, 12 Mar 2024 14:05:31 +2400", L"Tue, 12 Mar 2024 14:05:31 +0160",
        L"Tue, 12 Mar 2024", L"Tue, 12 Mar 2024 14 +0100", L"Tue, 12 2024 14:05 +0100",
        L"Tue, Mar 2024 14:05 +0100", L"Tue, 12 Mar 14:05 +0100",
        L"Tue, 0 Mar 2024 14:05 +0100", L"Tue, 32 Jan 2024 14:05 +0100",
        L"Tue, 29 Feb 2023 14:05 +0100", L"Tue, 29 Feb 1900 14:05 +0100",
        L"Tue, 31 Apr 2024 14:05 +0100", L"Tue, 12 Foo 2024 14:05 +0100",
        L"Tue, 12 13 2024 14:05 +0100", L"Tue, 12 Mar 2024 24:00 +0100",
        L"Tue, 12 Mar 2024 14:60 +0100", L"Tue, 12 Mar 2024 14:05:61 +0100",
        L"Tue, 12 Mar 2024 14:5 +0100", L"Tue, 12 Mar 2024 14:05:3 +0100",
        L"Tue, 12 Mar 2 14:05 +0100", L"Tue, 12 Mar 20245 14:05 +0100",
        L"Tue, 12 Mar 1600 14:05 +0100", L"Thu, 01 Jan 1601 00:30 +0100",  // before FILETIME
        L"Tue, 123 Mar 2024 14:05 +0100", L"Tue, 99999999999999999999 Mar 2024 14:05 +0100",
        L"Tue, 12 Mar 99999999999999999999 14:05 +0100",
        L"Tue, 12 Mar 2024 99999999999999999999:05 +0100",
        L"Tue, 12 Mar 2024 14:05 +99999999999999999999", L"Tue, 12 Mar 2024 14:05 -",
        L"Tux, 12 Mar 2024 14:05 +0100",
        L"\uFF11\uFF12 Mar 2024 14:05 +0100",  // digits that are not ASCII
    };
    for (const wchar_t* text : damaged)
        EXPECT_EQ(Show(ParseSavedDate(text)), "none") << WideToUtf8(text);
    EXPECT_EQ(Show(ParseSavedDate(std::wstring_view(L"12 Mar 2024 14:05:31 +0100\0x", 28))), "none");
    EXPECT_EQ(Show(ParseSavedDate(std::wstring(100000, L'9'))), "none");
}

TEST(PageInfo, DescriptionsGiveTheirPagesFactsAndLabels)
{
    const PageList pages = DiscoverPageInfo();
    const struct {
        const wchar_t* url;
        const wchar_t* label;
        const wchar_t* title;
        const wchar_t* originalUrl;
        const char* time;
        const wchar_t* charset;
        const wchar_t* startItem;
    } expected[] = {
        {L"maff://5*latin/index.html", L"Caf\u00e9 - https://example.com/latin/", L"Caf\u00e9",
         L"https://example.com/latin/", "2024-03-12 13:05:31", L"windows-1252", L"latin/index.html"},
        {L"maff://5*bom8/index.html", L"UTF-8 with a mark - https://example.com/bom8/",
         L"UTF-8 with a mark", L"https://example.com/bom8/", "2024-03-12 13:05:00", L"ISO-8859-1",
         L"bom8/index.html"},
        {L"maff://5*bom16/index.html", L"UTF-16 - https://example.com/bom16/", L"UTF-16",
         L"https://example.com/bom16/", "none", L"windows-1252", L"bom16/index.html"},
        {L"maff://5*unsafe/index.html", L"Unsafe - https://example.com/unsafe/", L"Unsafe",
         L"https://example.com/unsafe/", "none", L"utf-8\r\nX-Injected: 1", L"unsafe/index.html"},
        {L"maff://5*quoted/index.html", L"Quoted - https://example.com/quoted/", L"Quoted",
         L"https://example.com/quoted/", "none", L"utf-8\"; x=\"1", L"quoted/index.html"},
        {L"maff://5*long/index.html", L"Long - https://example.com/long/", L"Long",
         L"https://example.com/long/", "none",
         L"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", L"long/index.html"},
        {L"maff://5*addressonly/index.html", L"https://example.com/a/", L"",
         L"https://example.com/a/", "2024-01-05 14:30:00", L"", L"addressonly/index.html"},
        {L"maff://5*titleonly/index.html", L"Only a title", L"Only a title", L"", "none", L"",
         L"titleonly/index.html"},
        {L"maff://5*neither/start.htm", L"neither/start.htm", L"", L"", "none", L"UTF-8",
         L"neither/start.htm"},
        // Start files without descriptions: their paths, so they are told apart.
        {L"maff://5*plain/index.html", L"plain/index.html", L"", L"", "none", L"",
         L"plain/index.html"},
        {L"maff://5*other/index.html", L"other/index.html", L"", L"", "none", L"",
         L"other/index.html"},
        {L"maff://5*index.htm", L"index.htm", L"", L"", "none", L"", L"index.htm"},
    };
    ASSERT_EQ(pages.Count(), static_cast<int>(std::size(expected)));
    for (int i = 0; i < pages.Count(); ++i) {
        const auto& e = expected[i];
        const PageInfo& page = pages.Info(i);
        SCOPED_TRACE(WideToUtf8(e.url));
        EXPECT_EQ(page.url, e.url);
        EXPECT_EQ(pages[i], e.url);
        EXPECT_EQ(page.label, e.label);
        EXPECT_EQ(page.title, e.title);
        EXPECT_EQ(page.originalUrl, e.originalUrl);
        EXPECT_EQ(Show(page.archiveTime), e.time);
        EXPECT_EQ(page.charset, e.charset);
        EXPECT_EQ(page.startItem, e.startItem);
        EXPECT_EQ(page.label.find(L"No URL"), std::wstring::npos);
    }

    // Only the character sets a header can carry go to the archive's registration.
    const TPageCharsets charsets = StartFileCharsets(pages);
    const TPageCharsets expectedCharsets = {{L"latin\\index.html", L"windows-1252"},
                                            {L"bom8\\index.html", L"ISO-8859-1"},
                                            {L"bom16\\index.html", L"windows-1252"},
                                            {L"neither\\start.htm", L"UTF-8"}};
    EXPECT_EQ(charsets, expectedCharsets);
}

TEST(PageInfo, TheFirstDescriptionOfAStartFileNamesItsCharacterSet)
{
    PageList pages;
    PageInfo first;
    first.url = L"maff://0*a/index.html";
    first.startItem = L"a/index.html";
    first.charset = L"koi8-r";
    PageInfo second = first;
    second.charset = L"utf-8";
    pages.Add(first);
    pages.Add(second);
    pages.Add(L"maff://0*b/index.html");  // known by its URL alone
    EXPECT_EQ(StartFileCharsets(pages), (TPageCharsets{{L"a\\index.html", L"koi8-r"}}));
    EXPECT_EQ(pages.Info(2).startItem, L"");
    EXPECT_EQ(pages.IndexOf(L"MAFF://0*A/INDEX.HTML"), 0);
}

TEST(PageInfo, TheSavedLineTellsWhatIsKnown)
{
    PageInfo page;
    page.startItem = L"a/index.html";
    EXPECT_EQ(FormatSavedLine(page), L"a/index.html");
    page.title = L"A title alone says nothing of the save";
    EXPECT_EQ(FormatSavedLine(page), L"a/index.html");

    page.originalUrl = L"https://example.com/a/";
    EXPECT_EQ(FormatSavedLine(page), L"Saved from https://example.com/a/");

    // The date and time in the user's format and zone, as the system gives them.
    page.archiveTime = UtcTime(2024, 3, 12, 13, 5);
    const std::wstring when = FormatLocalDateTime(*page.archiveTime);
    ASSERT_FALSE(when.empty());
    EXPECT_NE(when.find(L"2024"), std::wstring::npos) << WideToUtf8(when);
    EXPECT_NE(when.find(L", "), std::wstring::npos) << WideToUtf8(when);
    EXPECT_EQ(FormatSavedLine(page), L"Saved " + when + L" from https://example.com/a/");
    page.originalUrl.clear();
    EXPECT_EQ(FormatSavedLine(page), L"Saved " + when);

    // A time the system cannot show counts as none.
    page.archiveTime = UtcTime(2024, 13, 40, 25, 61);
    EXPECT_EQ(FormatLocalDateTime(*page.archiveTime), L"");
    EXPECT_EQ(FormatSavedLine(page), L"a/index.html");
}
