// The host's parameter flags through the exports: dark colours for the strip and the page list
// (on load, on load-next and at once with lc_newparams), and a saved page opened whatever its
// file's extension when the user picked the viewer from the menu.
#include "plugin/ViewerTheme.h"
#include "tests/common/PluginLoader.h"
#include "tests/common/TestEnv.h"
#include "tests/exports/HostWindow.h"

#include "shell/Strings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kvtest;

namespace {

constexpr int ForceShow = 16;
constexpr int DarkMode = 128;
constexpr int DarkModeNative = 256;
constexpr int NewParams = 2;

const std::wstring FirstLabel = L"First page - http://example.org/first/";
const std::wstring SecondLabel = L"Second page - http://example.org/second/";

struct ControlColors {
    COLORREF brush = CLR_INVALID;
    COLORREF text = CLR_INVALID;
    COLORREF back = CLR_INVALID;
};

// What the viewer answers when its list asks for the colours to paint with.
ControlColors AskColors(HWND viewer, UINT message)
{
    const HWND list = ViewerList(viewer);
    ControlColors colors;
    HDC dc = GetDC(list);
    SetTextColor(dc, RGB(1, 2, 3));
    SetBkColor(dc, RGB(4, 5, 6));
    const auto brush = reinterpret_cast<HBRUSH>(
        SendMessageW(viewer, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(list)));
    LOGBRUSH logBrush{};
    if (brush != nullptr && GetObjectW(brush, sizeof(logBrush), &logBrush) != 0)
        colors.brush = logBrush.lbColor;
    colors.text = GetTextColor(dc);
    colors.back = GetBkColor(dc);
    ReleaseDC(list, dc);
    return colors;
}

// Draws the window into a bitmap as it paints itself and reads one pixel of it.
COLORREF PrintedPixel(HWND window, int x, int y)
{
    RECT bounds{};
    GetWindowRect(window, &bounds);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, bounds.right - bounds.left, bounds.bottom - bounds.top);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    PrintWindow(window, memory, 0);
    const COLORREF pixel = GetPixel(memory, x, y);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixel;
}

// The viewer's own background, as it erases it.
COLORREF ErasedBackground(HWND viewer)
{
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 8, 8);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    SendMessageW(viewer, WM_ERASEBKGND, reinterpret_cast<WPARAM>(memory), 0);
    const COLORREF pixel = GetPixel(memory, 4, 4);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixel;
}

// A point of the list's field that no label reaches: just left of the drop-down button.
COLORREF FieldPixel(HWND viewer)
{
    const HWND list = ViewerList(viewer);
    RECT field{};
    GetWindowRect(list, &field);
    const int width = field.right - field.left;
    const int height = field.bottom - field.top;
    return PrintedPixel(list, width - GetSystemMetrics(SM_CXVSCROLL) - 8, height / 2);
}

void ExpectDark(HWND viewer)
{
    for (const UINT message : {WM_CTLCOLOREDIT, WM_CTLCOLORLISTBOX, WM_CTLCOLORSTATIC}) {
        const ControlColors colors = AskColors(viewer, message);
        EXPECT_EQ(colors.brush, kv::DarkFieldColor) << message;
        EXPECT_EQ(colors.text, kv::DarkTextColor) << message;
        EXPECT_EQ(colors.back, kv::DarkFieldColor) << message;
    }
    EXPECT_EQ(ErasedBackground(viewer), kv::DarkStripColor);
    EXPECT_EQ(FieldPixel(viewer), kv::DarkFieldColor);
}

void ExpectLight(HWND viewer)
{
    for (const UINT message : {WM_CTLCOLOREDIT, WM_CTLCOLORLISTBOX}) {
        const ControlColors colors = AskColors(viewer, message);
        EXPECT_EQ(colors.brush, GetSysColor(COLOR_WINDOW)) << message;
        EXPECT_EQ(colors.text, GetSysColor(COLOR_WINDOWTEXT)) << message;
    }
    EXPECT_NE(AskColors(viewer, WM_CTLCOLORSTATIC).brush, kv::DarkFieldColor);
    EXPECT_EQ(ErasedBackground(viewer), GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(FieldPixel(viewer), GetSysColor(COLOR_WINDOW));
}

class ViewerShowFlags : public ::testing::Test {
protected:
    ViewerShowFlags() { SetFocus(host_.Handle()); }  // the field unselected: its own colours

    HWND Load(const std::wstring& fixture, int flags)
    {
        std::wstring path = FixturePath(fixture);
        return plugin_.ListLoadW(host_.Handle(), path.data(), flags);
    }
    int LoadNext(HWND viewer, const std::wstring& fixture, int flags)
    {
        std::wstring path = FixturePath(fixture);
        return plugin_.ListLoadNextW(host_.Handle(), viewer, path.data(), flags);
    }

    Plugin plugin_;
    HostWindow host_;  // destroyed first: nothing of the plug-in outlives it
};

} // namespace

TEST_F(ViewerShowFlags, DarkModeFromTheLoadAndNewParamsSwitchingBothWays)
{
    const HWND viewer = Load(L"viewer-two-pages.maff", DarkMode);
    ASSERT_NE(viewer, nullptr);
    PumpMessages();
    ExpectDark(viewer);

    EXPECT_EQ(plugin_.ListSendCommand(viewer, NewParams, 0), 0);
    ExpectLight(viewer);
    EXPECT_EQ(plugin_.ListSendCommand(viewer, NewParams, DarkMode | DarkModeNative), 0);
    ExpectDark(viewer);
    EXPECT_EQ(plugin_.ListSendCommand(viewer, NewParams, DarkMode | DarkModeNative), 0);  // again
    ExpectDark(viewer);
    EXPECT_EQ(plugin_.ListSendCommand(viewer, NewParams, DarkModeNative), 0);  // native alone: light
    ExpectLight(viewer);
    // The list and its page are untouched.
    EXPECT_EQ(ViewerLabels(viewer), (std::vector<std::wstring>{FirstLabel, SecondLabel}));
    EXPECT_EQ(ViewerSelection(viewer), 0);
    EXPECT_EQ(plugin_.ListSendCommand(host_.Handle(), NewParams, DarkMode), 1);  // no viewer
    PumpMessages();
    plugin_.ListCloseWindow(viewer);
    EXPECT_EQ(host_.ChildCount(), 0);
}

TEST_F(ViewerShowFlags, LoadNextTakesItsFlags)
{
    const HWND viewer = Load(L"viewer-two-pages.maff", 0);
    ASSERT_NE(viewer, nullptr);
    ExpectLight(viewer);
    EXPECT_EQ(LoadNext(viewer, L"viewer-one-page.maff", DarkMode), 0);
    ExpectDark(viewer);
    // A failed load still takes them: the viewer stays, in the host's colours.
    EXPECT_EQ(LoadNext(viewer, L"viewer-no-pages.maff", 0), 1);
    ExpectLight(viewer);
    std::string next = kv::WideToAnsi(FixturePath(L"viewer-two-pages.maff"));
    EXPECT_EQ(plugin_.ListLoadNext(host_.Handle(), viewer, next.data(), DarkMode | DarkModeNative), 0);
    ExpectDark(viewer);
    EXPECT_EQ(ViewerLabels(viewer), (std::vector<std::wstring>{FirstLabel, SecondLabel}));
    PumpMessages();
    plugin_.ListCloseWindow(viewer);
    EXPECT_EQ(host_.ChildCount(), 0);
}

TEST_F(ViewerShowFlags, ForceShowOpensASavedPageWhateverItsName)
{
    for (const wchar_t* name : {L"viewer-two-pages.zip", L"viewer-two-pages", L"viewer-two-pages.maff.zip"}) {
        EXPECT_EQ(Load(name, 0), nullptr) << name;
        const HWND viewer = Load(name, ForceShow);
        ASSERT_NE(viewer, nullptr) << name;
        EXPECT_TRUE(IsWindowVisible(viewer));
        EXPECT_EQ(ViewerLabels(viewer), (std::vector<std::wstring>{FirstLabel, SecondLabel})) << name;
        EXPECT_EQ(ViewerSelection(viewer), 0);
        PumpMessages();
        plugin_.ListCloseWindow(viewer);
        EXPECT_EQ(host_.ChildCount(), 0);
    }

    const HWND viewer = Load(L"viewer-one-page.maff", 0);
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(LoadNext(viewer, L"viewer-two-pages.zip", 0), 1);
    EXPECT_EQ(LoadNext(viewer, L"viewer-two-pages.zip", ForceShow | DarkMode), 0);
    EXPECT_EQ(ViewerLabels(viewer), (std::vector<std::wstring>{FirstLabel, SecondLabel}));
    ExpectDark(viewer);
    std::string ansi = kv::WideToAnsi(FixturePath(L"viewer-two-pages"));
    EXPECT_EQ(plugin_.ListLoadNext(host_.Handle(), viewer, ansi.data(), ForceShow), 0);
    EXPECT_EQ(plugin_.ListLoadNext(host_.Handle(), viewer, ansi.data(), 0), 1);
    PumpMessages();
    plugin_.ListCloseWindow(viewer);
    EXPECT_EQ(host_.ChildCount(), 0);
}

TEST_F(ViewerShowFlags, ForceShowStillRefusesWhatHoldsNoSavedPage)
{
    for (const wchar_t* name : {L"not-a-zip.txt", L"not-a-zip.maff", L"viewer-no-pages.zip",
                                L"no-such-file.zip"}) {
        EXPECT_EQ(Load(name, ForceShow), nullptr) << name;
        EXPECT_EQ(Load(name, ForceShow | DarkMode), nullptr) << name;
        EXPECT_EQ(host_.ChildCount(), 0) << name;
    }
    std::string ansi = kv::WideToAnsi(FixturePath(L"not-a-zip.txt"));
    EXPECT_EQ(plugin_.ListLoad(host_.Handle(), ansi.data(), ForceShow), nullptr);
    const HWND viewer = Load(L"viewer-one-page.maff", ForceShow);
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(LoadNext(viewer, L"not-a-zip.txt", ForceShow), 1);
    EXPECT_EQ(LoadNext(viewer, L"viewer-no-pages.zip", ForceShow), 1);
    EXPECT_TRUE(IsWindow(viewer));
    EXPECT_TRUE(ViewerLabels(viewer).empty());
    plugin_.ListCloseWindow(viewer);
    EXPECT_EQ(host_.ChildCount(), 0);
}
