// The viewer window's layout, loading a file into its list and switching pages.
#include "tests/plugin/KestrelFormFixture.h"

#include "protocol/ArchiveRegistry.h"
#include "tests/common/TestWindows.h"
#include "tests/common/TestEnv.h"

#include "shell/Exceptions.h"

#include <algorithm>
#include <vector>

using namespace kvtest;

namespace {

const std::wstring FirstLabel = L"First page - http://example.org/first/";
const std::wstring SecondLabel = L"Second page - http://example.org/second/";

class KestrelFormLoad : public KestrelFormFixture {
protected:
    // The failure message of a load; empty when it succeeded.
    std::wstring LoadFailure(const std::wstring& fileName)
    {
        try {
            form_->LoadFile(fileName);
            return {};
        } catch (...) {
            return MessageOf(std::current_exception());
        }
    }
};

} // namespace

TEST_F(KestrelFormLoad, WindowListAndBrowserAsLaidOut)
{
    const HWND window = form_->Handle();
    wchar_t text[64] = {};
    GetWindowTextW(window, text, 64);
    EXPECT_STREQ(text, L"KestrelForm");
    const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
    EXPECT_TRUE(style & WS_CHILD);
    EXPECT_TRUE(style & WS_CLIPCHILDREN);
    EXPECT_FALSE(style & WS_BORDER);
    EXPECT_EQ(GetParent(window), host_);
    EXPECT_EQ(GetClassLongPtrW(window, GCLP_HBRBACKGROUND), COLOR_BTNFACE + 1);

    const HWND combo = form_->ComboBox1();
    wchar_t className[32] = {};
    GetClassNameW(combo, className, 32);
    EXPECT_STREQ(className, L"ComboBox");
    const LONG_PTR comboStyle = GetWindowLongPtrW(combo, GWL_STYLE);
    EXPECT_EQ(comboStyle & 3, CBS_DROPDOWNLIST);
    EXPECT_TRUE(comboStyle & WS_TABSTOP);

    LOGFONTW font{};
    const auto comboFont = reinterpret_cast<HFONT>(SendMessageW(combo, WM_GETFONT, 0, 0));
    ASSERT_NE(comboFont, nullptr);
    GetObjectW(comboFont, sizeof(font), &font);
    EXPECT_STREQ(font.lfFaceName, L"Tahoma");
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(font.lfHeight, -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72));
    ReleaseDC(nullptr, screen);

    // Tab order: the list, then the browser.
    EXPECT_EQ(GetWindow(window, GW_CHILD), combo);
    EXPECT_EQ(GetWindow(combo, GW_HWNDNEXT), browser_->Window());
}

// The strip is the list's field as it measures; the browser starts below it.
TEST_F(KestrelFormLoad, ListKeepsItsHeightAndBrowserFillsTheRest)
{
    const int strip = form_->StripHeight();
    EXPECT_GT(strip, 13);
    for (const SIZE size : {SIZE{400, 300}, SIZE{640, 480}, SIZE{570, 328}, SIZE{100, 10}}) {
        Resize(size.cx, size.cy);
        const RECT combo = ChildRect(form_->ComboBox1());
        EXPECT_EQ(combo.left, 0);
        EXPECT_EQ(combo.top, 0);
        // Wide enough, the line of the page's facts shares the strip, to the list's right.
        const HWND line = form_->InfoLine();
        if (IsWindowVisible(line)) {
            const RECT info = ChildRect(line);
            EXPECT_GT(info.left, combo.right);
            EXPECT_LE(info.right, size.cx);
            EXPECT_LE(info.bottom, strip);
        } else {
            EXPECT_EQ(combo.right, size.cx);
        }
        EXPECT_EQ(combo.bottom - combo.top, strip) << size.cx << "x" << size.cy;
        const RECT browser = browser_->Bounds();
        EXPECT_EQ(browser.left, 0);
        EXPECT_EQ(browser.top, strip);
        EXPECT_EQ(browser.right, size.cx);
        EXPECT_EQ(browser.bottom, std::max<LONG>(size.cy, strip));
    }
}

// Every viewer of the process, not only the first, gets the same field.
TEST_F(KestrelFormLoad, EveryListOfTheProcessKeepsItsHeight)
{
    const RECT first = ChildRect(form_->ComboBox1());
    for (int i = 0; i < 3; ++i) {
        kv::TKestrelForm* const form = kv::TKestrelForm::Create(
            host_, [](HWND parent) { return std::make_unique<FakeBrowser>(parent); });
        const RECT combo = ChildRect(form->ComboBox1());
        EXPECT_EQ(combo.bottom - combo.top, first.bottom - first.top) << i;
        EXPECT_EQ(form->StripHeight(), form_->StripHeight()) << i;
        form->Destroy();
    }
    const RECT combo = ChildRect(form_->ComboBox1());
    EXPECT_EQ(combo.bottom - combo.top, first.bottom - first.top);
}

TEST_F(KestrelFormLoad, TwoPagesListedFirstShownThenPickingNavigatesViaBlank)
{
    const std::wstring path = FixturePath(L"viewer-two-pages.maff");
    ASSERT_EQ(LoadFailure(path), L"");
    const std::wstring id = kv::RegisterArchive(path).Id();
    EXPECT_EQ(Labels(), (std::vector<std::wstring>{FirstLabel, SecondLabel}));
    EXPECT_EQ(SelectedIndex(), 0);
    ASSERT_EQ(form_->Pages().Count(), 2);
    EXPECT_EQ(form_->Pages()[0], L"maff://" + id + L"first/index.html");
    // Selecting item 0 from code is not a change: one navigation only.
    EXPECT_EQ(browser_->NavigatedUrls(),
              (std::vector<std::wstring>{L"maff://" + id + L"first/index.html"}));

    Pick(1);
    EXPECT_EQ(browser_->NavigatedUrls(),
              (std::vector<std::wstring>{L"maff://" + id + L"first/index.html", L"about:blank",
                                         L"maff://" + id + L"second/index.html"}));
    Pick(0);
    ASSERT_EQ(browser_->NavigatedUrls().size(), 5u);
    EXPECT_EQ(browser_->NavigatedUrls()[4], L"maff://" + id + L"first/index.html");
}

TEST_F(KestrelFormLoad, LoadingAgainRebuildsTheList)
{
    ASSERT_EQ(LoadFailure(FixturePath(L"viewer-two-pages.maff")), L"");
    ASSERT_EQ(LoadFailure(FixturePath(L"viewer-one-page.maff")), L"");
    EXPECT_EQ(Labels(), (std::vector<std::wstring>{L"Only page - http://example.org/only/"}));
    EXPECT_EQ(form_->Pages().Count(), 1);
    EXPECT_EQ(SelectedIndex(), 0);
}

TEST_F(KestrelFormLoad, CapitalExtensionLoads)
{
    EXPECT_EQ(LoadFailure(FixturePath(L"viewer-two-pages-caps.MAFF")), L"");
    EXPECT_EQ(Labels().size(), 2u);
}

TEST_F(KestrelFormLoad, WrongExtensionsFailAndLeaveTheListEmpty)
{
    for (const wchar_t* name : {L"viewer-two-pages.zip", L"viewer-two-pages",
                                L"viewer-two-pages.maff.zip"}) {
        // A previous load's pages are gone as well.
        ASSERT_EQ(LoadFailure(FixturePath(L"viewer-two-pages.maff")), L"");
        const size_t navigations = browser_->NavigatedUrls().size();
        EXPECT_EQ(LoadFailure(FixturePath(name)), L"Invalid file") << name;
        EXPECT_TRUE(Labels().empty()) << name;
        EXPECT_EQ(form_->Pages().Count(), 0) << name;
        EXPECT_EQ(browser_->NavigatedUrls().size(), navigations) << name;
    }
    // The extension is the last one after the last folder, not a dot inside a folder name.
    EXPECT_EQ(LoadFailure(L"C:\\pages.maff\\saved"), L"Invalid file");
}

TEST_F(KestrelFormLoad, PagelessArchiveFails)
{
    EXPECT_EQ(LoadFailure(FixturePath(L"viewer-no-pages.maff")), L"INDEX.HTML not found");
    EXPECT_TRUE(Labels().empty());
    EXPECT_TRUE(browser_->NavigatedUrls().empty());
}

TEST_F(KestrelFormLoad, ArchiveFailurePassesThrough)
{
    EXPECT_NE(LoadFailure(FixturePath(L"not-a-zip.maff")), L"");
    EXPECT_NE(LoadFailure(FixturePath(L"no-such-file.maff")), L"");
    EXPECT_TRUE(Labels().empty());
}

TEST_F(KestrelFormLoad, HandlesMapOnlyToFormsOfThePlugin)
{
    EXPECT_EQ(kv::TKestrelForm::FromHandle(form_->Handle()), form_);
    EXPECT_EQ(kv::TKestrelForm::FromHandle(host_), nullptr);
    EXPECT_EQ(kv::TKestrelForm::FromHandle(form_->ComboBox1()), nullptr);
    EXPECT_EQ(kv::TKestrelForm::FromHandle(browser_->Window()), nullptr);
    EXPECT_EQ(kv::TKestrelForm::FromHandle(nullptr), nullptr);
    EXPECT_EQ(kv::TKestrelForm::FromHandle(GetDesktopWindow()), nullptr);
}

TEST_F(KestrelFormLoad, DestroyRemovesTheWindowAndItsControls)
{
    const HWND window = form_->Handle();
    const HWND browserWindow = browser_->Window();
    form_->Destroy();
    form_ = nullptr;
    browser_ = nullptr;
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(IsWindow(browserWindow));
    EXPECT_EQ(kv::TKestrelForm::FromHandle(window), nullptr);
    EXPECT_EQ(ChildWindowCount(host_), 0);
}

TEST(KestrelFormCreate, FailingBrowserLeavesNoWindow)
{
    const HWND host = CreateWindowExW(0, HostWindowClass(), L"Host", WS_OVERLAPPEDWINDOW, 0, 0, 300,
                                      200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(host, nullptr);
    EXPECT_THROW(kv::TKestrelForm::Create(host,
                                          [](HWND) -> std::unique_ptr<kv::IViewerBrowser> {
                                              throw kv::Exception(L"no browser here");
                                          }),
                 kv::Exception);
    EXPECT_EQ(ChildWindowCount(host), 0);
    DestroyWindow(host);
}
