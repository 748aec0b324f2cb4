// The keyboard of a viewer made through the exports, with the real browser control inside,
// seen as the host sees it: the host watches the viewer window for its hotkeys.
#include "tests/common/PluginLoader.h"
#include "tests/common/TestEnv.h"
#include "tests/common/TestWindows.h"
#include "tests/exports/HostWindow.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace kvtest;

namespace {

void SetControl(bool down)
{
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_CONTROL] = down ? 0x80 : 0;
    SetKeyboardState(keys);
}

class ViewerKeys : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetControl(false);
        std::wstring path = FixturePath(L"viewer-two-pages.maff");
        viewer_ = plugin_.ListLoadW(host_.Handle(), path.data(), 0);
        ASSERT_NE(viewer_, nullptr);
        list_ = ViewerList(viewer_);
        ASSERT_NE(list_, nullptr);
        PumpMessages();
        hostKeys_.emplace(viewer_);  // the host's watch on the viewer window
    }
    void TearDown() override
    {
        SetControl(false);
        hostKeys_.reset();
        if (IsWindow(viewer_))
            plugin_.ListCloseWindow(viewer_);
        PumpMessages();
    }

    void Type(HWND target, WPARAM key)
    {
        PostMessageW(target, WM_KEYDOWN, key, 1);
        PostMessageW(target, WM_KEYUP, key, 0xC0000001);
        PumpMessages();
        PumpMessages();
    }

    Plugin plugin_;
    HostWindow host_;
    HWND viewer_ = nullptr;
    HWND list_ = nullptr;
    std::optional<KeyDownRecorder> hostKeys_;
};

} // namespace

TEST_F(ViewerKeys, ListKeysAreTheListsAndTheViewersOwnAndTheRestReachTheHost)
{
    SetFocus(list_);
    Type(list_, 'Q');  // the list's type-ahead, not the host's hotkey
    Type(list_, VK_F3);
    EXPECT_EQ(hostKeys_->Keys(), std::vector<WPARAM>{VK_F3});

    hostKeys_->Clear();
    SetControl(true);
    Type(list_, VK_NEXT);
    EXPECT_EQ(ViewerSelection(viewer_), 1);
    Type(list_, VK_PRIOR);
    EXPECT_EQ(ViewerSelection(viewer_), 0);
    SetControl(false);
    EXPECT_TRUE(hostKeys_->Keys().empty());
}

TEST_F(ViewerKeys, TabLeavesTheListForThePageAndComesBack)
{
    SetFocus(list_);
    Type(list_, VK_TAB);
    const HWND focus = GetFocus();
    EXPECT_NE(focus, list_);
    EXPECT_TRUE(focus != nullptr && IsChild(viewer_, focus));
    if (focus != nullptr && focus != viewer_ && IsChild(viewer_, focus)) {
        Type(focus, VK_TAB);
        EXPECT_EQ(GetFocus(), list_);
    }
    EXPECT_TRUE(hostKeys_->Keys().empty());

    // Activated by the host while the control has no document (never, under Wine): the viewer
    // keeps the focus and scrolls for the page.
    SetFocus(viewer_);
    EXPECT_EQ(GetFocus(), viewer_);
}
