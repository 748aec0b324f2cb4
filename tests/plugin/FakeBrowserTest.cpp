// The stand-in browser that the viewer's tests search, scroll and command: its text model must
// behave like a document's text ranges, or those tests prove nothing.
#include "tests/common/FakeBrowser.h"

#include "shell/Exceptions.h"

#include <gtest/gtest.h>

#include <climits>

using kvtest::FakeBrowser;

namespace {

class FakeBrowserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        parent_ = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(parent_, nullptr);
        browser_ = std::make_unique<FakeBrowser>(parent_);
        browser_->SetHasDocument(true);
        //                 0         1         2         3         4
        //                 0123456789012345678901234567890123456789012345
        browser_->SetText(L"The cat sat. A Cat-like concat; the CAT_ cat.");
    }

    void TearDown() override
    {
        browser_.reset();
        DestroyWindow(parent_);
    }

    // One find step as the viewer runs it: from the selection, collapsed towards the search.
    bool FindFromSelection(const std::wstring& text, bool backwards, long flags)
    {
        auto range = browser_->Document()->SelectionRange();
        range->Collapse(backwards);
        if (!range->FindText(text, backwards ? LONG_MIN : LONG_MAX, flags))
            return false;
        range->Select();
        return true;
    }

    HWND parent_ = nullptr;
    std::unique_ptr<FakeBrowser> browser_;
};

} // namespace

TEST_F(FakeBrowserTest, FindsForwardsFromTheSelectionAndHonoursFlags)
{
    // Case ignored, any part of a word: every "cat" in turn.
    const long expected[] = {4, 15, 27, 36, 41};
    for (long start : expected) {
        ASSERT_TRUE(FindFromSelection(L"cat", false, 0)) << start;
        EXPECT_EQ(browser_->SelectionStart(), start);
        EXPECT_EQ(browser_->SelectionLength(), 3);
    }
    EXPECT_FALSE(FindFromSelection(L"cat", false, 0));
    EXPECT_EQ(browser_->SelectionStart(), 41);  // a miss leaves the selection alone

    // Match case (4): only the lower-case ones.
    browser_->Document()->EmptySelection();
    ASSERT_TRUE(FindFromSelection(L"cat", false, 4));
    EXPECT_EQ(browser_->SelectionStart(), 4);
    ASSERT_TRUE(FindFromSelection(L"cat", false, 4));
    EXPECT_EQ(browser_->SelectionStart(), 27);  // inside "concat"

    // Whole word (2): "Cat-like" counts (a hyphen ends a word), "concat" and "CAT_" do not.
    browser_->Document()->EmptySelection();
    ASSERT_TRUE(FindFromSelection(L"cat", false, 2));
    EXPECT_EQ(browser_->SelectionStart(), 4);
    ASSERT_TRUE(FindFromSelection(L"cat", false, 2));
    EXPECT_EQ(browser_->SelectionStart(), 15);
    ASSERT_TRUE(FindFromSelection(L"cat", false, 2));
    EXPECT_EQ(browser_->SelectionStart(), 41);

    // Both (6).
    browser_->Document()->EmptySelection();
    ASSERT_TRUE(FindFromSelection(L"Cat", false, 6));
    EXPECT_EQ(browser_->SelectionStart(), 15);
    EXPECT_FALSE(FindFromSelection(L"Cat", false, 6));
    EXPECT_FALSE(FindFromSelection(L"dog", false, 0));
    EXPECT_FALSE(FindFromSelection(L"", false, 0));
}

TEST_F(FakeBrowserTest, FindsBackwardsFromTheSelectionStart)
{
    browser_->SetSelection(36, 3);  // "CAT"
    ASSERT_TRUE(FindFromSelection(L"cat", true, 0));
    EXPECT_EQ(browser_->SelectionStart(), 27);
    ASSERT_TRUE(FindFromSelection(L"cat", true, 2));
    EXPECT_EQ(browser_->SelectionStart(), 15);
    ASSERT_TRUE(FindFromSelection(L"cat", true, 0));
    EXPECT_EQ(browser_->SelectionStart(), 4);
    EXPECT_FALSE(FindFromSelection(L"cat", true, 0));
    EXPECT_EQ(browser_->SelectionStart(), 4);

    // A match that overlaps the range's start lies outside a backwards search.
    browser_->SetSelection(6, 0);
    EXPECT_FALSE(FindFromSelection(L"cat", true, 0));
}

TEST_F(FakeBrowserTest, CountLimitsTheSearchAndEveryCallIsRecorded)
{
    auto document = browser_->Document();
    auto range = document->SelectionRange();
    EXPECT_FALSE(range->FindText(L"cat", 6, 0));  // "The ca" only
    EXPECT_TRUE(range->FindText(L"cat", 7, 0));
    range->Collapse(true);
    EXPECT_FALSE(range->FindText(L"The", -3, 4));  // from 4 back to 1
    EXPECT_TRUE(range->FindText(L"The", -4, 4));
    EXPECT_FALSE(range->FindText(L"The", 0, 0));

    const auto& calls = browser_->FindTextCalls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].text, L"cat");
    EXPECT_EQ(calls[0].count, 6);
    EXPECT_EQ(calls[3].text, L"The");
    EXPECT_EQ(calls[3].count, -4);
    EXPECT_EQ(calls[3].flags, 4);
    EXPECT_EQ(browser_->CollapseCalls(), std::vector<bool>{true});
}

TEST_F(FakeBrowserTest, SelectionScrollingAndFailures)
{
    auto document = browser_->Document();
    browser_->SetSelection(4, 3);
    EXPECT_EQ(browser_->SelectedText(), L"cat");
    auto range = document->SelectionRange();
    range->Collapse(false);
    ASSERT_TRUE(range->FindText(L"sat", LONG_MAX, 0));
    range->Select();
    range->ScrollIntoView(true);
    EXPECT_EQ(browser_->SelectedText(), L"sat");
    ASSERT_EQ(browser_->ScrollIntoViewCalls().size(), 1u);
    EXPECT_EQ(browser_->ScrollIntoViewCalls()[0].start, 8);
    EXPECT_TRUE(browser_->ScrollIntoViewCalls()[0].alignToTop);

    document->EmptySelection();
    EXPECT_EQ(browser_->SelectionLength(), 0);
    EXPECT_EQ(browser_->EmptySelectionCount(), 1);

    document->ScrollBy(0, 218);
    document->ScrollBy(-16, 0);
    EXPECT_EQ(browser_->ScrollPosition().x, -16);
    EXPECT_EQ(browser_->ScrollPosition().y, 218);
    EXPECT_EQ(browser_->ScrollByCalls().size(), 2u);

    browser_->SetSelectionHasNoTextRange(true);
    EXPECT_THROW(document->SelectionRange(), kv::EOleSysError);

    browser_->SetCommandsFail(true);
    EXPECT_THROW(browser_->ExecCommand(OLECMDID_COPY), kv::EOleSysError);
    browser_->SetCommandsFail(false);
    browser_->ExecCommand(OLECMDID_SELECTALL);
    EXPECT_EQ(browser_->ExecutedCommands(),
              (std::vector<OLECMDID>{OLECMDID_COPY, OLECMDID_SELECTALL}));

    browser_->SetHasDocument(false);
    EXPECT_EQ(browser_->Document(), nullptr);
}

TEST_F(FakeBrowserTest, WindowIsAChildThatFollowsItsBounds)
{
    const HWND window = browser_->Window();
    ASSERT_TRUE(IsWindow(window));
    EXPECT_EQ(GetParent(window), parent_);
    EXPECT_TRUE(browser_->Contains(window));
    EXPECT_FALSE(browser_->Contains(parent_));
    browser_->SetBounds(RECT{0, 21, 200, 150});
    RECT placed{};
    GetWindowRect(window, &placed);
    MapWindowPoints(HWND_DESKTOP, parent_, reinterpret_cast<POINT*>(&placed), 2);
    EXPECT_EQ(placed.top, 21);
    EXPECT_EQ(placed.bottom, 150);

    browser_->Navigate(L"about:blank");
    browser_->Navigate(L"maff://0*a/index.html");
    EXPECT_EQ(browser_->NavigatedUrls(),
              (std::vector<std::wstring>{L"about:blank", L"maff://0*a/index.html"}));
}
