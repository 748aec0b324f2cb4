// The viewer's layout at the DPI the system reports, through the exports in a DPI-aware host.
// ctest runs these tests twice: in the build's Wine prefix (96 DPI) and in a prefix of their
// own that reports 192 DPI (KV_TEST_EXPECT_DPI tells them which to expect).
#include "tests/common/PluginLoader.h"
#include "tests/common/TestEnv.h"
#include "tests/common/TestWindows.h"
#include "tests/exports/HostWindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace kvtest;

namespace {

constexpr UINT DpiChangedAfterParent = 0x02E3;

// A file manager declares itself DPI aware; the host window must be made after that.
struct DpiAwareProcess {
    DpiAwareProcess() { SetProcessDPIAware(); }
};

UINT ScreenDpi()
{
    HDC screen = GetDC(nullptr);
    const UINT dpi = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSY));
    ReleaseDC(nullptr, screen);
    return dpi;
}

LONG FontHeight(HWND window)
{
    LOGFONTW font{};
    const auto handle = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
    if (handle == nullptr || GetObjectW(handle, sizeof(font), &font) == 0)
        return 0;
    return font.lfHeight;
}

class ViewerDpi : public ::testing::Test {
protected:
    HWND Load()
    {
        std::wstring path = FixturePath(L"viewer-two-pages.maff");
        return plugin_.ListLoadW(host_.Handle(), path.data(), 0);
    }
    // The list and the browser's window fill the viewer without overlapping.
    static void ExpectLaidOut(HWND viewer, int width, int height)
    {
        const HWND list = ViewerList(viewer);
        const HWND browser = GetWindow(list, GW_HWNDNEXT);
        ASSERT_NE(browser, nullptr);
        const RECT field = ChildRect(list);
        const RECT page = ChildRect(browser);
        EXPECT_EQ(field.left, 0);
        EXPECT_EQ(field.top, 0);
        // Wide enough, a line of the page's facts shares the strip, to the list's right.
        const HWND line = GetWindow(browser, GW_HWNDNEXT);
        if (line != nullptr && IsWindowVisible(line)) {
            const RECT info = ChildRect(line);
            EXPECT_GT(info.left, field.right);
            EXPECT_LE(info.right, width);
            EXPECT_LE(info.bottom, field.bottom);
        } else {
            EXPECT_EQ(field.right, width);
        }
        EXPECT_EQ(page.left, 0);
        EXPECT_EQ(page.top, field.bottom) << width << "x" << height;
        EXPECT_EQ(page.right, width);
        EXPECT_EQ(page.bottom, std::max<LONG>(height, field.bottom));
    }

    DpiAwareProcess aware_;
    Plugin plugin_;
    HostWindow host_;
};

} // namespace

TEST_F(ViewerDpi, BrowserStartsWhereTheListsFieldEnds)
{
    const UINT dpi = ScreenDpi();
    if (const char* expected = std::getenv("KV_TEST_EXPECT_DPI")) {
        ASSERT_EQ(dpi, static_cast<UINT>(std::atoi(expected)));
    }
    const HWND viewer = Load();
    ASSERT_NE(viewer, nullptr);
    const HWND list = ViewerList(viewer);
    EXPECT_EQ(FontHeight(list), -MulDiv(8, static_cast<int>(dpi), 72));

    const RECT field = ChildRect(list);
    const int fieldHeight = field.bottom - field.top;
    std::printf("list field at %u dpi: %d pixels (item height %d)\n", dpi, fieldHeight,
                static_cast<int>(SendMessageW(list, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0)));
    // The field holds a line of its font (8 points) with room to spare.
    EXPECT_GT(fieldHeight, MulDiv(8, static_cast<int>(dpi), 72) + 4);
    for (const SIZE size : {SIZE{800, 600}, SIZE{400, 300}, SIZE{100, 10}, SIZE{1200, 900}}) {
        MoveWindow(viewer, 0, 0, size.cx, size.cy, TRUE);
        ExpectLaidOut(viewer, size.cx, size.cy);
        const RECT now = ChildRect(list);
        EXPECT_EQ(now.bottom - now.top, fieldHeight);
    }
    plugin_.ListCloseWindow(viewer);
    EXPECT_EQ(host_.ChildCount(), 0);
}

// A move to a monitor of another DPI: the viewer makes its font and field again and lays
// itself out anew. Here the DPI stays, so the field comes back to the height it had.
TEST_F(ViewerDpi, DpiChangeLaysTheViewerOutAgain)
{
    const HWND viewer = Load();
    ASSERT_NE(viewer, nullptr);
    MoveWindow(viewer, 0, 0, 640, 480, TRUE);
    const HWND list = ViewerList(viewer);
    const RECT before = ChildRect(list);
    const auto oldFont = reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0));

    // Something else grew the field over the page.
    SendMessageW(list, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), 3 * (before.bottom - before.top));
    ASSERT_GT(ChildRect(list).bottom, before.bottom);

    SendMessageW(viewer, DpiChangedAfterParent, 0, 0);
    EXPECT_EQ(ChildRect(list).bottom, before.bottom);
    EXPECT_NE(reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)), oldFont);
    EXPECT_EQ(FontHeight(list), -MulDiv(8, static_cast<int>(ScreenDpi()), 72));
    ExpectLaidOut(viewer, 640, 480);
    // The viewer still works: another file loads into it.
    std::wstring next = FixturePath(L"viewer-one-page.maff");
    EXPECT_EQ(plugin_.ListLoadNextW(host_.Handle(), viewer, next.data(), 0), 0);
    ExpectLaidOut(viewer, 640, 480);
    PumpMessages();
    plugin_.ListCloseWindow(viewer);
    EXPECT_EQ(host_.ChildCount(), 0);
}
