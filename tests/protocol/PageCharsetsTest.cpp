// What a start file's response takes from its description: the character sets the registry
// keeps per archive, which of them a header may carry, and the rendering-mode header of HTML
// responses.
#include "protocol/ArchiveRegistry.h"
#include "protocol/MimeTypes.h"
#include "protocol/PageCharsets.h"
#include "protocol/ShellResponse.h"

#include <gtest/gtest.h>

#include <string>

using namespace kv;

namespace {

class PageCharsetRegistry : public ::testing::Test {
protected:
    void SetUp() override
    {
        FreeArchiveRegistry();
        CreateArchiveRegistry();
    }
    void TearDown() override { FreeArchiveRegistry(); }
};

bool Marked(const std::string& bytes)
{
    return StartsWithByteOrderMark(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

} // namespace

TEST(PageCharsets, OnlyPlainTokensMayGoIntoAHeader)
{
    for (const wchar_t* safe : {L"UTF-8", L"windows-1252", L"ISO_8859-1:1987", L"x.y", L"a",
                                L"1234567890123456789012345678901234567890"})
        EXPECT_TRUE(IsSafeCharset(safe)) << safe;
    for (const wchar_t* unsafe :
         {L"", L" UTF-8", L"utf-8\r\nX-Injected: 1", L"utf-8\nX: 1", L"utf-8; x=1", L"\"utf-8\"",
          L"utf 8", L"utf-8,", L"utf\u00e9", L"\uff55tf-8",
          L"12345678901234567890123456789012345678901"})
        EXPECT_FALSE(IsSafeCharset(unsafe)) << testing::PrintToString(std::wstring(unsafe));
    EXPECT_FALSE(IsSafeCharset(std::wstring_view(L"utf-8\0x", 7)));
}

TEST(PageCharsets, ByteOrderMarksAndTextTypes)
{
    EXPECT_TRUE(Marked("\xEF\xBB\xBF<html>"));
    EXPECT_TRUE(Marked("\xEF\xBB\xBF"));
    EXPECT_TRUE(Marked("\xFF\xFE<\0"));
    EXPECT_TRUE(Marked("\xFE\xFF\0<"));
    EXPECT_FALSE(Marked(""));
    EXPECT_FALSE(Marked("\xEF\xBB"));
    EXPECT_FALSE(Marked("\xEF\xBB<html>"));
    EXPECT_FALSE(Marked("<html>\xEF\xBB\xBF"));
    EXPECT_FALSE(Marked("\xFF"));
    EXPECT_FALSE(Marked(std::string("\0\0\xFE\xFF", 4)));  // UTF-32 is no page's encoding

    for (const wchar_t* type : {L"text/html", L"TEXT/HTML", L"text/plain", L"application/xhtml+xml"})
        EXPECT_TRUE(TakesCharset(type)) << type;
    for (const wchar_t* type : {L"text/", L"image/png", L"application/octet-stream", L"", L"image/svg+xml"})
        EXPECT_FALSE(TakesCharset(type)) << type;
}

TEST(PageCharsets, HtmlResponsesAskForTheNewestRenderingMode)
{
    for (const wchar_t* type : {L"text/html", L"text/html; charset=windows-1252", L"Text/HTML",
                                L"application/xhtml+xml"}) {
        TorvShellResponse response;
        response.SetValue(L"Content-Type", type);
        AddRenderingMode(response);
        EXPECT_EQ(response.GetValue(L"X-UA-Compatible"), L"IE=edge") << type;
        AddRenderingMode(response);  // once, however often asked
        EXPECT_EQ(response.Count(), 2) << type;
    }
    for (const wchar_t* type : {L"text/css", L"image/png", L"text/plain", L"image/svg+xml", L""}) {
        TorvShellResponse response;
        response.SetValue(L"Content-Type", type);
        AddRenderingMode(response);
        EXPECT_EQ(response.GetValue(L"X-UA-Compatible"), L"") << type;
    }
}

TEST_F(PageCharsetRegistry, AnArchiveKeepsItsStartFilesCharsetsWhileHeld)
{
    TArchiveRegistration first = RegisterArchive(L"C:\\a.maff");
    const TArchiveRegistration other = RegisterArchive(L"C:\\b.maff");
    EXPECT_EQ(GetPageCharset(0, L"x\\index.html"), L"");
    first.SetPageCharsets({{L"x\\index.html", L"koi8-r"}, {L"index.html", L"utf-8"}});
    EXPECT_EQ(GetPageCharset(0, L"x\\index.html"), L"koi8-r");
    EXPECT_EQ(GetPageCharset(0, L"index.html"), L"utf-8");
    // Item paths as the archive names them: exact, "\" between folders.
    EXPECT_EQ(GetPageCharset(0, L"X\\index.html"), L"");
    EXPECT_EQ(GetPageCharset(0, L"x/index.html"), L"");
    EXPECT_EQ(GetPageCharset(0, L"x\\style.css"), L"");
    // Each archive its own.
    EXPECT_EQ(GetPageCharset(1, L"x\\index.html"), L"");
    EXPECT_EQ(GetPageCharset(2, L"x\\index.html"), L"");
    EXPECT_EQ(GetPageCharset(-1, L"x\\index.html"), L"");

    // A second viewer of the archive loads it again: its discovery replaces the first's.
    {
        const TArchiveRegistration second = RegisterArchive(L"c:\\A.MAFF");
        second.SetPageCharsets({{L"x\\index.html", L"windows-1251"}});
    }
    EXPECT_EQ(GetPageCharset(0, L"x\\index.html"), L"windows-1251");
    EXPECT_EQ(GetPageCharset(0, L"index.html"), L"");

    // Gone with the last hold, and not back with a new one.
    first = TArchiveRegistration();
    EXPECT_EQ(GetPageCharset(0, L"x\\index.html"), L"");
    const TArchiveRegistration again = RegisterArchive(L"C:\\a.maff");
    EXPECT_EQ(again.Id(), L"0*");
    EXPECT_EQ(GetPageCharset(0, L"x\\index.html"), L"");
    TArchiveRegistration().SetPageCharsets({{L"x", L"y"}});  // no registration: nothing happens
    EXPECT_EQ(GetPageCharset(0, L"x"), L"");
}
