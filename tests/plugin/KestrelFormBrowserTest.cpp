// What the viewer asks of its browser: the text search, the commands and keyboard scrolling.
#include "tests/plugin/KestrelFormFixture.h"

#include "plugin/ListerApi.h"
#include "shell/Exceptions.h"
#include "tests/common/TestWindows.h"

#include <climits>
#include <vector>

using namespace kvtest;

namespace {

class KestrelFormSearch : public KestrelFormFixture {
protected:
    void SetUp() override
    {
        KestrelFormFixture::SetUp();
        browser_->SetHasDocument(true);
        //                 0         1         2         3
        //                 0123456789012345678901234567890123
        browser_->SetText(L"Kestrel hovers; kestrels hover.");
    }
};

class KestrelFormScroll : public KestrelFormFixture {
protected:
    void SetUp() override
    {
        KestrelFormFixture::SetUp();
        browser_->SetHasDocument(true);
        Resize(400, 300);  // page step 300 / 3 * 2 = 200
        SetShift(false);
        // The page keeps the focus it is given; here it takes none, so the viewer scrolls.
        browser_->SetTakesFocus(false);
        SetFocus(form_->Handle());
    }
    void TearDown() override
    {
        SetShift(false);
        KestrelFormFixture::TearDown();
    }

    static void SetShift(bool down)
    {
        BYTE keys[256];
        GetKeyboardState(keys);
        keys[VK_SHIFT] = down ? 0x80 : 0;
        keys[VK_LSHIFT] = down ? 0x80 : 0;
        SetKeyboardState(keys);
    }

    // The scroll that one key-down message to the viewer causes; (0, 0) with no call.
    POINT ScrollFor(WPARAM key)
    {
        const size_t before = browser_->ScrollByCalls().size();
        SendMessageW(form_->Handle(), WM_KEYDOWN, key, 1);
        const auto& calls = browser_->ScrollByCalls();
        if (calls.size() == before)
            return POINT{0, 0};
        EXPECT_EQ(calls.size(), before + 1);
        return calls.back();
    }
};

} // namespace

// Found by argument-dependent lookup for POINT, which lives in the global namespace.
static bool operator==(const POINT& a, const POINT& b)
{
    return a.x == b.x && a.y == b.y;
}

static void PrintTo(const POINT& p, std::ostream* os)
{
    *os << "(" << p.x << ", " << p.y << ")";
}

TEST_F(KestrelFormSearch, SearchFlagsMapToTextRangeFlags)
{
    struct Case {
        int searchFlags;
        long rangeFlags;
    };
    for (const Case c : {Case{0, 0}, Case{kv::lcs_matchcase, 4}, Case{kv::lcs_wholewords, 2},
                         Case{kv::lcs_matchcase | kv::lcs_wholewords, 6},
                         Case{kv::lcs_findfirst | kv::lcs_matchcase, 4}}) {
        browser_->SetSelection(0, 0);
        const size_t before = browser_->FindTextCalls().size();
        EXPECT_TRUE(form_->SearchText(L"hover", c.searchFlags));
        ASSERT_EQ(browser_->FindTextCalls().size(), before + 1);
        EXPECT_EQ(browser_->FindTextCalls().back().flags, c.rangeFlags) << c.searchFlags;
        EXPECT_EQ(browser_->FindTextCalls().back().text, L"hover");
    }
}

TEST_F(KestrelFormSearch, ForwardsFromTheSelectionsEnd)
{
    EXPECT_TRUE(form_->SearchText(L"kestrel", 0));
    ASSERT_EQ(browser_->FindTextCalls().size(), 1u);
    EXPECT_EQ(browser_->FindTextCalls()[0].count, 2147483647L);
    EXPECT_EQ(browser_->CollapseCalls(), std::vector<bool>{false});
    EXPECT_EQ(browser_->SelectionStart(), 0);
    EXPECT_EQ(browser_->SelectedText(), L"Kestrel");
    ASSERT_EQ(browser_->ScrollIntoViewCalls().size(), 1u);
    EXPECT_TRUE(browser_->ScrollIntoViewCalls()[0].alignToTop);

    // The next search starts behind the found text; match case skips "Kestrel".
    EXPECT_TRUE(form_->SearchText(L"kestrel", kv::lcs_matchcase));
    EXPECT_EQ(browser_->SelectionStart(), 16);
    EXPECT_EQ(browser_->EmptySelectionCount(), 0);
}

TEST_F(KestrelFormSearch, BackwardsFromTheSelectionsStart)
{
    browser_->SetSelection(25, 5);  // "hover" at the end
    EXPECT_TRUE(form_->SearchText(L"hover", kv::lcs_backwards));
    ASSERT_EQ(browser_->FindTextCalls().size(), 1u);
    EXPECT_EQ(browser_->FindTextCalls()[0].count, -2147483647L - 1);
    EXPECT_EQ(browser_->FindTextCalls()[0].count, LONG_MIN);
    EXPECT_EQ(browser_->CollapseCalls(), std::vector<bool>{true});
    EXPECT_EQ(browser_->SelectionStart(), 8);
}

// As the host's own "find next" does: from match to match, then "not found" with the last
// match still selected, and from the start again when the host asks for a first search.
TEST_F(KestrelFormSearch, FindNextGoesFromMatchToMatchThenReportsNotFound)
{
    EXPECT_TRUE(form_->SearchText(L"hover", kv::lcs_findfirst));
    EXPECT_EQ(browser_->SelectionStart(), 8);
    EXPECT_TRUE(form_->SearchText(L"hover", 0));
    EXPECT_EQ(browser_->SelectionStart(), 25);
    EXPECT_FALSE(form_->SearchText(L"hover", 0));
    EXPECT_EQ(browser_->SelectionStart(), 25);
    EXPECT_EQ(browser_->SelectedText(), L"hover");
    EXPECT_EQ(browser_->ScrollIntoViewCalls().size(), 2u);
    EXPECT_TRUE(form_->SearchText(L"hover", kv::lcs_findfirst));
    EXPECT_EQ(browser_->SelectionStart(), 8);
    EXPECT_EQ(browser_->EmptySelectionCount(), 0);
}

TEST_F(KestrelFormSearch, BackwardsFirstSearchStartsAtTheDocumentsEnd)
{
    browser_->SetSelection(0, 7);
    EXPECT_TRUE(form_->SearchText(L"hover", kv::lcs_backwards | kv::lcs_findfirst));
    EXPECT_EQ(browser_->DocumentRangeCount(), 1);
    EXPECT_EQ(browser_->FindTextCalls().back().count, LONG_MIN);
    EXPECT_EQ(browser_->SelectionStart(), 25);  // the last "hover"
    EXPECT_TRUE(form_->SearchText(L"hover", kv::lcs_backwards));
    EXPECT_EQ(browser_->SelectionStart(), 8);
    EXPECT_FALSE(form_->SearchText(L"hover", kv::lcs_backwards));
    EXPECT_EQ(browser_->SelectionStart(), 8);
}

TEST_F(KestrelFormSearch, WholeWordsAndCaseNarrowTheMatches)
{
    EXPECT_TRUE(form_->SearchText(L"kestrel", kv::lcs_findfirst | kv::lcs_wholewords));
    EXPECT_EQ(browser_->SelectionStart(), 0);
    EXPECT_FALSE(form_->SearchText(L"kestrel", kv::lcs_wholewords));  // "kestrels" is no word
    EXPECT_TRUE(form_->SearchText(L"kestrel", kv::lcs_findfirst | kv::lcs_matchcase));
    EXPECT_EQ(browser_->SelectionStart(), 16);
    EXPECT_FALSE(form_->SearchText(L"KESTREL", kv::lcs_findfirst | kv::lcs_matchcase));
    EXPECT_EQ(browser_->SelectionStart(), 16);
}

TEST_F(KestrelFormSearch, AbsentTextLeavesTheSelectionAsItWas)
{
    browser_->SetSelection(8, 6);
    EXPECT_FALSE(form_->SearchText(L"falcon", kv::lcs_wholewords));
    EXPECT_FALSE(form_->SearchText(L"falcon", kv::lcs_findfirst));
    EXPECT_EQ(browser_->FindTextCalls().size(), 2u);
    EXPECT_EQ(browser_->FindTextCalls()[0].flags, 2);
    EXPECT_EQ(browser_->SelectionStart(), 8);
    EXPECT_EQ(browser_->SelectionLength(), 6);
    EXPECT_EQ(browser_->EmptySelectionCount(), 0);
    EXPECT_TRUE(browser_->ScrollIntoViewCalls().empty());
}

TEST_F(KestrelFormSearch, NoDocumentOrNoTextRangeIsAFailure)
{
    browser_->SetSelectionHasNoTextRange(true);
    EXPECT_ANY_THROW(form_->SearchText(L"hover", 0));
    browser_->SetSelectionHasNoTextRange(false);
    browser_->SetHasDocument(false);
    EXPECT_ANY_THROW(form_->SearchText(L"hover", 0));
    EXPECT_TRUE(browser_->FindTextCalls().empty());
}

TEST_F(KestrelFormFixture, CommandsGoToTheBrowser)
{
    form_->CopySelection();
    form_->SelectAll();
    EXPECT_EQ(browser_->ExecutedCommands(),
              (std::vector<OLECMDID>{OLECMDID_COPY, OLECMDID_SELECTALL}));
    EXPECT_EQ(static_cast<int>(browser_->ExecutedCommands()[0]), 12);
    EXPECT_EQ(static_cast<int>(browser_->ExecutedCommands()[1]), 17);

    browser_->SetCommandsFail(true);
    EXPECT_ANY_THROW(form_->CopySelection());
}

TEST_F(KestrelFormFixture, PrintPreviewOnlyOnceThePageIsComplete)
{
    for (const long state : {0L, 1L, 2L, 3L}) {
        browser_->SetReadyState(state);
        EXPECT_FALSE(form_->PrintPreview()) << state;
    }
    EXPECT_TRUE(browser_->ExecutedCommands().empty());
    browser_->SetReadyState(4);
    EXPECT_TRUE(form_->PrintPreview());
    EXPECT_EQ(browser_->ExecutedCommands(), std::vector<OLECMDID>{OLECMDID_PRINTPREVIEW});
    EXPECT_EQ(static_cast<int>(browser_->ExecutedCommands()[0]), 7);
}

TEST_F(KestrelFormScroll, AmountsForEveryKey)
{
    ASSERT_EQ(GetFocus(), form_->Handle());
    EXPECT_EQ(ScrollFor(VK_SPACE), (POINT{0, 200}));
    EXPECT_EQ(ScrollFor(VK_PRIOR), (POINT{0, -200}));
    EXPECT_EQ(ScrollFor(VK_NEXT), (POINT{0, 200}));
    EXPECT_EQ(ScrollFor(VK_LEFT), (POINT{-16, 0}));
    EXPECT_EQ(ScrollFor(VK_UP), (POINT{0, -16}));
    EXPECT_EQ(ScrollFor(VK_RIGHT), (POINT{16, 0}));
    EXPECT_EQ(ScrollFor(VK_DOWN), (POINT{0, 16}));
    const size_t handled = browser_->ScrollByCalls().size();
    for (const int key : {VK_END, VK_HOME, VK_RETURN, int('A'), VK_INSERT, VK_DELETE})
        ScrollFor(key);
    EXPECT_EQ(browser_->ScrollByCalls().size(), handled);
}

TEST_F(KestrelFormScroll, ShiftSpaceScrollsUp)
{
    SetShift(true);
    EXPECT_EQ(ScrollFor(VK_SPACE), (POINT{0, -200}));
    EXPECT_EQ(ScrollFor(VK_NEXT), (POINT{0, 200}));  // Shift only turns Space round
    SetShift(false);
    EXPECT_EQ(ScrollFor(VK_SPACE), (POINT{0, 200}));
}

TEST_F(KestrelFormScroll, PageStepIsTwoThirdsOfTheClientHeight)
{
    Resize(570, 328);
    EXPECT_EQ(ScrollFor(VK_NEXT), (POINT{0, 218}));
    Resize(570, 100);
    EXPECT_EQ(ScrollFor(VK_PRIOR), (POINT{0, -66}));
}

TEST_F(KestrelFormScroll, KeysIgnoredWhileTheFocusIsElsewhere)
{
    SetFocus(form_->ComboBox1());
    ASSERT_EQ(GetFocus(), form_->ComboBox1());
    SendMessageW(form_->Handle(), WM_KEYDOWN, VK_DOWN, 1);
    SetFocus(browser_->Window());
    SendMessageW(form_->Handle(), WM_KEYDOWN, VK_NEXT, 1);
    EXPECT_TRUE(browser_->ScrollByCalls().empty());
}

TEST_F(KestrelFormScroll, NoDocumentNoScrollNoFailure)
{
    browser_->SetHasDocument(false);
    EXPECT_EQ(ScrollFor(VK_NEXT), (POINT{0, 0}));
    EXPECT_GT(browser_->DocumentRequests(), 0);
    EXPECT_TRUE(IsWindow(form_->Handle()));
}

// Keys typed into the browser reach the viewer as copies through its hook, and the viewer,
// which does not have the focus then, leaves the scrolling to the browser.
TEST_F(KestrelFormScroll, KeysTypedInTheBrowserReachTheViewerWithoutScrollingIt)
{
    SetFocus(browser_->Window());
    if (GetFocus() != browser_->Window())
        GTEST_SKIP() << "the browser's window cannot take the keyboard focus here";
    std::vector<WPARAM> keys;
    {
        const KeyDownRecorder recorder(form_->Handle());
        PostMessageW(browser_->Window(), WM_KEYDOWN, VK_NEXT, 1);
        PostMessageW(browser_->Window(), WM_KEYDOWN, VK_DOWN, 1);
        Pump();
        keys = recorder.Keys();
    }
    EXPECT_EQ(keys, (std::vector<WPARAM>{VK_NEXT, VK_DOWN}));
    EXPECT_TRUE(browser_->ScrollByCalls().empty());
}
