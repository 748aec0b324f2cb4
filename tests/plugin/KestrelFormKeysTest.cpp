// The viewer as the keyboard user meets it: where the focus goes, which keys reach the host,
// the keys of its own, and the position it tells the host.
#include "tests/plugin/KestrelFormFixture.h"

#include "plugin/ListerApi.h"
#include "tests/common/TestEnv.h"
#include "tests/common/TestWindows.h"

#include <optional>

#include <vector>

using namespace kvtest;

namespace {

void SetKey(int key, bool down)
{
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[key] = down ? 0x80 : 0;
    SetKeyboardState(keys);
}

class KestrelFormKeys : public KestrelFormFixture {
protected:
    void SetUp() override
    {
        KestrelFormFixture::SetUp();
        SetKey(VK_CONTROL, false);
        SetKey(VK_SHIFT, false);
        form_->LoadFile(FixturePath(L"viewer-two-pages.maff"));
        browser_->SetHasDocument(true);
        // Key-down messages that reach the viewer window itself: what the host, which watches
        // that window, would take for its hotkeys.
        hostKeys_.emplace(form_->Handle());
    }
    void TearDown() override
    {
        SetKey(VK_CONTROL, false);
        SetKey(VK_SHIFT, false);
        hostKeys_.reset();
        KestrelFormFixture::TearDown();
    }

    // A key typed into a window of the viewer: down and up through the thread's queue.
    void Type(HWND target, WPARAM key)
    {
        PostMessageW(target, WM_KEYDOWN, key, 1);
        PostMessageW(target, WM_KEYUP, key, 0xC0000001);
        Pump();
        Pump();  // the actions and copies the first round posted
    }

    // The percentages the viewer posted to the host so far, oldest first.
    std::vector<int> Reported()
    {
        std::vector<int> percents;
        MSG message;
        while (PeekMessageW(&message, host_, WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
            EXPECT_EQ(HIWORD(message.wParam), kv::itm_percent);
            EXPECT_EQ(reinterpret_cast<HWND>(message.lParam), form_->Handle());
            percents.push_back(LOWORD(message.wParam));
        }
        return percents;
    }

    // Pumps until the viewer has reported a percentage or two seconds have gone.
    std::vector<int> AwaitReport()
    {
        for (int round = 0; round < 100; ++round) {
            MSG message;
            if (PeekMessageW(&message, host_, WM_COMMAND, WM_COMMAND, PM_NOREMOVE))
                return Reported();
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
            PumpAllButTheHost();
        }
        return {};
    }

    const std::vector<WPARAM>& HostKeys() const { return hostKeys_->Keys(); }

    std::optional<KeyDownRecorder> hostKeys_;

    void PumpAllButTheHost()
    {
        MSG message;
        while (PeekMessageW(&message, form_->Handle(), 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
};

} // namespace

TEST_F(KestrelFormKeys, ActivatingTheViewerPutsTheFocusIntoThePage)
{
    SetFocus(form_->Handle());
    EXPECT_EQ(browser_->FocusCalls(), 1);
    EXPECT_EQ(GetFocus(), browser_->Window());

    // Without a document the viewer keeps the focus and scrolls for the page; it hands the
    // focus on once the document is there.
    browser_->SetHasDocument(false);
    SetFocus(form_->ComboBox1());
    SetFocus(form_->Handle());
    EXPECT_EQ(GetFocus(), form_->Handle());
    browser_->SetHasDocument(true);
    for (int round = 0; round < 100 && GetFocus() != browser_->Window(); ++round) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        PumpAllButTheHost();
    }
    EXPECT_EQ(GetFocus(), browser_->Window());
}

TEST_F(KestrelFormKeys, TabMovesBetweenTheListAndThePage)
{
    SetFocus(form_->ComboBox1());
    Type(form_->ComboBox1(), VK_TAB);
    EXPECT_EQ(GetFocus(), browser_->Window());
    Type(browser_->Window(), VK_TAB);
    EXPECT_EQ(GetFocus(), form_->ComboBox1());
    SetKey(VK_SHIFT, true);
    Type(form_->ComboBox1(), VK_TAB);
    EXPECT_EQ(GetFocus(), browser_->Window());
    SetKey(VK_SHIFT, false);
    EXPECT_TRUE(HostKeys().empty());

    // Inside a form of the page, Tab is the page's, to move between its fields.
    browser_->SetFocusTakesText(true);
    browser_->SetAcceleratorsTaken(true);
    Type(browser_->Window(), VK_TAB);
    EXPECT_EQ(GetFocus(), browser_->Window());
    ASSERT_FALSE(browser_->AcceleratorMessages().empty());
    EXPECT_EQ(browser_->AcceleratorMessages()[0].wParam, static_cast<WPARAM>(VK_TAB));
    EXPECT_TRUE(HostKeys().empty());
}

TEST_F(KestrelFormKeys, TextTypedIntoTheListOrAFieldIsNoHotkeyOfTheHost)
{
    SetFocus(form_->ComboBox1());
    Type(form_->ComboBox1(), 'Q');
    Type(form_->ComboBox1(), VK_F3);
    EXPECT_EQ(HostKeys(), std::vector<WPARAM>{VK_F3});

    hostKeys_->Clear();
    browser_->SetFocusTakesText(true);
    for (const WPARAM key : {WPARAM('N'), WPARAM('P'), WPARAM('1'), WPARAM(VK_SPACE),
                             WPARAM(VK_BACK), WPARAM(VK_LEFT), WPARAM(VK_ESCAPE), WPARAM(VK_F7)})
        Type(browser_->Window(), key);
    EXPECT_EQ(HostKeys(), (std::vector<WPARAM>{VK_ESCAPE, VK_F7}));

    // Outside a field every key of the page reaches the host, as before.
    hostKeys_->Clear();
    browser_->SetFocusTakesText(false);
    Type(browser_->Window(), 'N');
    Type(browser_->Window(), VK_NEXT);
    EXPECT_EQ(HostKeys(), (std::vector<WPARAM>{'N', VK_NEXT}));
}

TEST_F(KestrelFormKeys, CtrlPageDownAndUpSwitchPagesWhereverTheFocusIs)
{
    ASSERT_EQ(SelectedIndex(), 0);
    const size_t navigated = browser_->NavigatedUrls().size();
    SetKey(VK_CONTROL, true);
    Type(browser_->Window(), VK_NEXT);
    EXPECT_EQ(SelectedIndex(), 1);
    ASSERT_EQ(browser_->NavigatedUrls().size(), navigated + 2);
    EXPECT_EQ(browser_->NavigatedUrls().back(), form_->Pages()[1]);
    Type(form_->ComboBox1(), VK_NEXT);  // already the last page
    EXPECT_EQ(SelectedIndex(), 1);
    EXPECT_EQ(browser_->NavigatedUrls().size(), navigated + 2);
    Type(form_->ComboBox1(), VK_PRIOR);
    EXPECT_EQ(SelectedIndex(), 0);
    EXPECT_EQ(browser_->NavigatedUrls().back(), form_->Pages()[0]);
    // The keys are the viewer's: neither the host nor the page sees them.
    EXPECT_TRUE(HostKeys().empty());
    EXPECT_TRUE(browser_->ScrollByCalls().empty());

    // With the focus on the viewer itself.
    browser_->SetTakesFocus(false);
    SetFocus(form_->Handle());
    SendMessageW(form_->Handle(), WM_KEYDOWN, VK_NEXT, 1);
    EXPECT_EQ(SelectedIndex(), 1);
    SetKey(VK_CONTROL, false);
    EXPECT_FALSE(form_->SwitchPage(1));
    EXPECT_TRUE(form_->SwitchPage(-1));
    EXPECT_FALSE(form_->SwitchPage(-1));
}

TEST_F(KestrelFormKeys, HomeAndEndGoToTheTopAndTheBottom)
{
    browser_->SetTakesFocus(false);
    browser_->SetScrollExtent(1000, 300);
    SetFocus(form_->Handle());
    ASSERT_EQ(GetFocus(), form_->Handle());
    SendMessageW(form_->Handle(), WM_KEYDOWN, VK_END, 1);
    EXPECT_EQ(browser_->ScrollPosition().y, 700);
    SendMessageW(form_->Handle(), WM_KEYDOWN, VK_HOME, 1);
    EXPECT_EQ(browser_->ScrollPosition().y, 0);
    EXPECT_EQ(browser_->ScrollToCalls().size(), 2u);
    EXPECT_EQ(Reported(), (std::vector<int>{100, 0}));
}

TEST_F(KestrelFormKeys, SetPercentScrollsAndThePositionIsReportedToTheHost)
{
    browser_->SetScrollExtent(1000, 300);
    Reported();
    EXPECT_TRUE(form_->SetPercent(50));
    EXPECT_EQ(browser_->ScrollPosition().y, 350);
    EXPECT_TRUE(form_->SetPercent(100));
    EXPECT_EQ(browser_->ScrollPosition().y, 700);
    EXPECT_TRUE(form_->SetPercent(250));  // at most the bottom; nothing new to tell
    EXPECT_EQ(browser_->ScrollPosition().y, 700);
    EXPECT_EQ(Reported(), (std::vector<int>{50, 100}));

    // The page scrolled by itself (the user's wheel, a link to an anchor): the viewer notices.
    browser_->SetScrollTop(175);
    EXPECT_EQ(AwaitReport(), std::vector<int>{25});

    browser_->SetHasDocument(false);
    EXPECT_FALSE(form_->SetPercent(10));
}
