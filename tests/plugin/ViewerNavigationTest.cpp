// Where the viewer lets its browser go: the judgement of each address, what is handed to the
// user's programs, and the drop-down list following the page shown.
#include "plugin/ExternalLinks.h"
#include "plugin/ViewerNavigation.h"
#include "protocol/ArchiveRegistry.h"
#include "tests/common/TestEnv.h"
#include "tests/plugin/KestrelFormFixture.h"
#include "tests/plugin/RecordedLaunches.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kv;
using namespace kvtest;

namespace {

const char* Name(NavigationVerdict verdict)
{
    switch (verdict) {
    case NavigationVerdict::Allow:
        return "Allow";
    case NavigationVerdict::OpenExternally:
        return "OpenExternally";
    case NavigationVerdict::Refuse:
        return "Refuse";
    }
    return "?";
}

struct JudgementCase {
    const wchar_t* url;
    NavigationVerdict page;   // as a navigation of the page itself
    NavigationVerdict frame;  // as a frame's
};

constexpr auto Allow = NavigationVerdict::Allow;
constexpr auto External = NavigationVerdict::OpenExternally;
constexpr auto Refuse = NavigationVerdict::Refuse;

class ViewerNavigationForm : public KestrelFormFixture {
protected:
    void Load(const wchar_t* fixture)
    {
        const std::wstring path = FixturePath(fixture);
        ASSERT_NO_THROW(form_->LoadFile(path));
        id_ = RegisterArchive(path).Id();
    }
    std::wstring Url(const std::wstring& rest) const { return L"maff://" + id_ + rest; }

    RecordedLaunches launches_;
    std::wstring id_;
};

} // namespace

TEST(NavigationJudgement, OnlyTheArchiveShownAndTheBlankPageStayInTheViewer)
{
    const JudgementCase cases[] = {
        {L"maff://3*page/index.html", Allow, Allow},
        {L"maff://3*page/image.png", Allow, Allow},
        {L"MAFF://3*page/index.html", Allow, Allow},
        {L"Maff://3*", Allow, Allow},
        {L"about:blank", Allow, Allow},
        {L"ABOUT:BLANK", Allow, Allow},
        // Other archives, earlier sessions, near misses of the id.
        {L"maff://4*page/index.html", Refuse, Refuse},
        {L"maff://33*page/index.html", Refuse, Refuse},
        {L"maff://3page/index.html", Refuse, Refuse},
        {L"maff:3*page/index.html", Refuse, Refuse},
        {L"maff://", Refuse, Refuse},
        {L" maff://3*page/index.html", Refuse, Refuse},
        // Web and mail addresses go to the user's programs, but only from the page itself.
        {L"http://example.com/", External, Refuse},
        {L"HTTPS://example.com/a?b#c", External, Refuse},
        {L"ftp://ftp.example.com/file.zip", External, Refuse},
        {L"mailto:someone@example.com", External, Refuse},
        // Everything else only stops.
        {L"file:///C:/Windows/win.ini", Refuse, Refuse},
        {L"C:\\Windows\\win.ini", Refuse, Refuse},
        {L"\\\\server\\share\\page.html", Refuse, Refuse},
        {L"javascript:alert(1)", Refuse, Refuse},
        {L"vbscript:msgbox(1)", Refuse, Refuse},
        {L"data:text/html,<b>x</b>", Refuse, Refuse},
        {L"about:home", Refuse, Refuse},
        {L"res://ieframe.dll/navcancl.htm", Refuse, Refuse},
        {L"ms-settings:", Refuse, Refuse},
        {L"news:comp.lang.c", Refuse, Refuse},
        {L"httpx://example.com/", Refuse, Refuse},
        {L"http", Refuse, Refuse},
        {L"", Refuse, Refuse},
    };
    for (const JudgementCase& c : cases) {
        EXPECT_STREQ(Name(JudgeNavigation(c.url, L"3*", true)), Name(c.page)) << c.url;
        EXPECT_STREQ(Name(JudgeNavigation(c.url, L"3*", false)), Name(c.frame)) << c.url;
    }
    // Before an archive is shown only the blank page is.
    EXPECT_EQ(JudgeNavigation(L"maff://3*page/index.html", L"", true), Refuse);
    EXPECT_EQ(JudgeNavigation(L"maff://", L"", true), Refuse);
    EXPECT_EQ(JudgeNavigation(L"about:blank", L"", true), Allow);
}

TEST(ExternalLinks, TheShellGetsOneCleanArgument)
{
    EXPECT_EQ(ShellSafeAddress(L"https://example.com/a/b?c=d&e=%20f#g"),
              L"https://example.com/a/b?c=d&e=%20f#g");
    EXPECT_EQ(ShellSafeAddress(L"http://example.com/a b\"c<d>e"),
              L"http://example.com/a%20b%22c%3Cd%3Ee");
    EXPECT_EQ(ShellSafeAddress(L"http://example.com/\" --new-window \"x"),
              L"http://example.com/%22%20--new-window%20%22x");
    EXPECT_EQ(ShellSafeAddress(L"mailto:a@example.com?subject=Gr\u00fc\u00dfe\r\n"),
              L"mailto:a@example.com?subject=Gr%C3%BC%C3%9Fe%0D%0A");
    EXPECT_EQ(ShellSafeAddress(L"http://example.com/\u20ac\t\x7f"),
              L"http://example.com/%E2%82%AC%09%7F");
}

TEST(ExternalLinks, OnlyWebAndMailAddressesReachTheOpener)
{
    RecordedLaunches launches;
    for (const wchar_t* url : {L"http://example.com/a b", L"https://example.com/", L"FTP://x/",
                               L"mailto:a@example.com"})
        OpenExternally(url);
    for (const wchar_t* url : {L"file:///C:/x.html", L"javascript:x", L"maff://0*a/index.html",
                               L"C:\\x.exe", L"about:blank", L"", L"shell:startup"})
        OpenExternally(url);
    EXPECT_EQ(launches.urls,
              (std::vector<std::wstring>{L"http://example.com/a%20b", L"https://example.com/",
                                         L"FTP://x/", L"mailto:a@example.com"}));
}

// The viewer's own navigations (first page, blank page, picked page) pass its own judgement.
TEST_F(ViewerNavigationForm, TheViewersOwnNavigationsGoAhead)
{
    Load(L"viewer-two-pages.maff");
    Pick(1);
    Pick(0);
    EXPECT_EQ(browser_->NavigatedUrls().size(), 5u);
    EXPECT_TRUE(browser_->RefusedUrls().empty());
    EXPECT_TRUE(launches_.urls.empty());
}

TEST_F(ViewerNavigationForm, ALinkToAnotherListedPageMovesTheList)
{
    Load(L"viewer-two-pages.maff");
    ASSERT_EQ(SelectedIndex(), 0);
    EXPECT_TRUE(browser_->FireBeforeNavigate(Url(L"second/index.html")));
    EXPECT_EQ(SelectedIndex(), 1);
    // The list compares as the page list does, ignoring case.
    EXPECT_TRUE(browser_->FireBeforeNavigate(L"MAFF://" + id_ + L"FIRST/Index.HTML"));
    EXPECT_EQ(SelectedIndex(), 0);
    // An item of the archive that is no listed page is shown; the list stays where it was.
    EXPECT_TRUE(browser_->FireBeforeNavigate(Url(L"second/image.png")));
    EXPECT_EQ(SelectedIndex(), 0);
    // A frame showing another page does not move the list.
    EXPECT_TRUE(browser_->FireBeforeNavigate(Url(L"second/index.html"), false));
    EXPECT_EQ(SelectedIndex(), 0);
    // Moving the list starts no navigation of its own.
    EXPECT_EQ(browser_->NavigatedUrls().size(), 1u);
    EXPECT_TRUE(browser_->RefusedUrls().empty());
}

TEST_F(ViewerNavigationForm, APageAtTheArchivesTopIsFoundUnderTheSlashTheBrowserAdds)
{
    Load(L"pages-toplevel.maff");
    ASSERT_EQ(form_->Pages().Count(), 1);
    ASSERT_EQ(form_->Pages()[0], Url(L"index.html"));
    SendMessageW(form_->ComboBox1(), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    EXPECT_TRUE(browser_->FireBeforeNavigate(Url(L"index.html/")));
    EXPECT_EQ(SelectedIndex(), 0);
}

TEST_F(ViewerNavigationForm, LinksOutOfTheArchiveStopAndWebAddressesOpenOutside)
{
    Load(L"viewer-two-pages.maff");
    const size_t navigations = browser_->NavigatedUrls().size();
    EXPECT_FALSE(browser_->FireBeforeNavigate(L"http://example.org/first/"));
    EXPECT_FALSE(browser_->FireBeforeNavigate(L"mailto:someone@example.org"));
    EXPECT_FALSE(browser_->FireBeforeNavigate(L"file:///C:/Windows/win.ini"));
    EXPECT_FALSE(browser_->FireBeforeNavigate(L"javascript:alert(1)"));
    EXPECT_FALSE(browser_->FireBeforeNavigate(L"maff://999*first/index.html"));
    // A frame of the page never opens anything.
    EXPECT_FALSE(browser_->FireBeforeNavigate(L"https://ads.example.com/", false));
    EXPECT_EQ(launches_.urls, (std::vector<std::wstring>{L"http://example.org/first/",
                                                         L"mailto:someone@example.org"}));
    EXPECT_EQ(SelectedIndex(), 0);
    EXPECT_EQ(browser_->NavigatedUrls().size(), navigations);
}

TEST_F(ViewerNavigationForm, NewWindowsOpenOutsideUnderTheSameRule)
{
    Load(L"viewer-two-pages.maff");
    browser_->FireNewWindow(L"https://example.org/popup");
    browser_->FireNewWindow(L"");  // a new window that does not say where
    browser_->FireNewWindow(Url(L"second/index.html"));
    browser_->FireNewWindow(L"file:///C:/x.html");
    EXPECT_EQ(launches_.urls, std::vector<std::wstring>{L"https://example.org/popup"});
    EXPECT_EQ(SelectedIndex(), 0);
    EXPECT_EQ(browser_->NavigatedUrls().size(), 1u);
}

// The archive shown decides: after the next file, links into the previous one stop.
TEST_F(ViewerNavigationForm, TheNextFileTakesTheArchivesPlace)
{
    Load(L"viewer-two-pages.maff");
    const std::wstring first = id_;
    Load(L"viewer-one-page.maff");
    ASSERT_NE(id_, first);
    EXPECT_TRUE(browser_->RefusedUrls().empty());
    EXPECT_FALSE(browser_->FireBeforeNavigate(L"maff://" + first + L"second/index.html"));
    EXPECT_TRUE(browser_->FireBeforeNavigate(Url(L"only/index.html")));
    EXPECT_EQ(SelectedIndex(), 0);
    EXPECT_TRUE(launches_.urls.empty());
}

// Before any file is loaded, and after a load that failed, only the blank page is shown.
TEST_F(ViewerNavigationForm, TheViewerReceivesItsBrowsersEventsFromTheStart)
{
    ASSERT_NE(browser_->Events(), nullptr);
    EXPECT_TRUE(browser_->FireBeforeNavigate(L"about:blank"));
    EXPECT_FALSE(browser_->FireBeforeNavigate(L"maff://0*x/index.html"));
    EXPECT_FALSE(browser_->FireBeforeNavigate(L"http://example.com/"));
    EXPECT_EQ(launches_.urls, std::vector<std::wstring>{L"http://example.com/"});

    // A file that is no archive leaves nothing to show either.
    EXPECT_ANY_THROW(form_->LoadFile(FixturePath(L"not-a-zip.maff")));
    EXPECT_FALSE(browser_->FireBeforeNavigate(L"maff://0*x/index.html"));
    EXPECT_EQ(browser_->RefusedUrls().size(), 3u);
}

// A URL scheme of the test's own, registered for as long as the object lives.
class TestScheme {
public:
    TestScheme(const wchar_t* name, const std::wstring& command) : name_(name)
    {
        HKEY scheme = nullptr;
        HKEY open = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &scheme, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(scheme, L"URL Protocol", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""),
                       sizeof(wchar_t));
        EXPECT_EQ(RegCreateKeyExW(scheme, L"shell\\open\\command", 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &open, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(open, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                       static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(open);
        RegCloseKey(scheme);
    }
    ~TestScheme() { RegDeleteTreeW(HKEY_CLASSES_ROOT, name_); }
    TestScheme(const TestScheme&) = delete;
    TestScheme& operator=(const TestScheme&) = delete;

private:
    const wchar_t* name_;
};

// The shell's launch, for real, with a scheme whose program writes what it was given: the call
// returns at once and the program gets the address as one argument.
TEST(ExternalLinks, TheShellLaunchesTheSchemesProgramOnAThreadOfItsOwn)
{
    TempFolder folder;
    const std::wstring output = folder.File(L"launched.txt");
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const TestScheme scheme(L"kvtest-launch", L"\"" + std::wstring(system) +
                                                  L"\\cmd.exe\" /c echo \"%1\"> \"" + output +
                                                  L"\"");

    const ULONGLONG start = GetTickCount64();
    LaunchWithShell(L"kvtest-launch:one-argument/page.html?q=1&r=2");
    EXPECT_LT(GetTickCount64() - start, 500u);
    std::string written;
    const ULONGLONG deadline = GetTickCount64() + 15000;
    while (GetTickCount64() < deadline) {
        written = ReadFileBytes(output);
        if (written.find('\n') != std::string::npos)
            break;
        Sleep(50);
    }
    EXPECT_EQ(written.substr(0, written.find_first_of("\r\n")),
              "\"kvtest-launch:one-argument/page.html?q=1&r=2\"");
}
