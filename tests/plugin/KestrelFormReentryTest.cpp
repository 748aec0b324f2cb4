// The viewer closed or reloaded from inside its own window procedure: a browser call that runs
// a nested message loop lets the host act on the viewer before the call returns.
#include "tests/plugin/KestrelFormFixture.h"

#include "tests/common/TestWindows.h"
#include "tests/common/TestEnv.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace kvtest;

namespace {

// What the browser was asked to do; outlives the browser, which the viewer owns.
struct NavigationRecord {
    std::vector<std::wstring> urls;
    int navigationsAfterDestruction = 0;
    bool browserDestroyed = false;
    // Runs inside Navigate, as the host's handling of a message dispatched by a nested loop.
    std::function<void(const std::wstring&)> duringNavigation;
};

class ReentrantBrowser final : public kv::IViewerBrowser {
public:
    ReentrantBrowser(HWND parent, std::shared_ptr<NavigationRecord> record)
        : record_(std::move(record))
    {
        window_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, parent,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~ReentrantBrowser() override
    {
        record_->browserDestroyed = true;
        if (IsWindow(window_))
            DestroyWindow(window_);
    }

    HWND Window() const override { return window_; }
    void SetBounds(const RECT&) override {}
    void Navigate(const std::wstring& url) override
    {
        // This object may be gone when the nested work returns: only locals from here on.
        const std::shared_ptr<NavigationRecord> record = record_;
        if (record->browserDestroyed)
            ++record->navigationsAfterDestruction;
        record->urls.push_back(url);
        const auto nested = record->duringNavigation;
        if (nested)
            nested(url);
    }
    void ExecCommand(OLECMDID) override {}
    long ReadyState() override { return READYSTATE_LOADING; }
    std::unique_ptr<kv::IBrowserDocument> Document() override { return nullptr; }
    void SetEvents(kv::IBrowserEvents*) noexcept override {}
    bool Contains(HWND window) const override { return window == window_; }
    void Focus() override {}
    bool TranslateAccelerator(MSG&) noexcept override { return false; }

private:
    std::shared_ptr<NavigationRecord> record_;
    HWND window_ = nullptr;
};

class KestrelFormReentry : public ::testing::Test {
protected:
    void SetUp() override
    {
        host_ = CreateWindowExW(0, HostWindowClass(), L"Host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                                0, 700, 500, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(host_, nullptr);
        form_ = kv::TKestrelForm::Create(host_, [record = record_](HWND parent) {
            return std::make_unique<ReentrantBrowser>(parent, record);
        });
        ASSERT_NE(form_, nullptr);
        window_ = form_->Handle();
        form_->LoadFile(FixturePath(L"viewer-two-pages.maff"));
        ASSERT_EQ(record_->urls.size(), 1u);
    }
    void TearDown() override
    {
        if (host_ != nullptr)
            DestroyWindow(host_);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }

    // Picks item 1 as a user does: the list reports the change through the window procedure.
    void PickSecond()
    {
        const HWND combo = GetWindow(window_, GW_CHILD);
        SendMessageW(combo, CB_SETCURSEL, 1, 0);
        SendMessageW(window_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(combo));
    }

    std::shared_ptr<NavigationRecord> record_ = std::make_shared<NavigationRecord>();
    HWND host_ = nullptr;
    HWND window_ = nullptr;
    kv::TKestrelForm* form_ = nullptr;
};

} // namespace

TEST_F(KestrelFormReentry, ViewerClosedWhilePickingAPageGoesAwayCleanly)
{
    // The host closes the viewer (ListCloseWindow) while the blank page is being started.
    record_->duringNavigation = [this](const std::wstring& url) {
        if (url == L"about:blank")
            if (kv::TKestrelForm* form = kv::TKestrelForm::FromHandle(window_))
                form->Destroy();
    };
    PickSecond();
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_TRUE(record_->browserDestroyed);
    EXPECT_EQ(record_->navigationsAfterDestruction, 0);
    ASSERT_EQ(record_->urls.size(), 2u);
    EXPECT_EQ(record_->urls[1], L"about:blank");
    EXPECT_EQ(ChildWindowCount(host_), 0);
}

TEST_F(KestrelFormReentry, ViewerWindowDestroyedWhilePickingAPage)
{
    // The lister window is closed under the viewer without a ListCloseWindow.
    record_->duringNavigation = [this](const std::wstring& url) {
        if (url == L"about:blank")
            DestroyWindow(host_);
    };
    PickSecond();
    host_ = nullptr;
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_TRUE(record_->browserDestroyed);
    EXPECT_EQ(record_->navigationsAfterDestruction, 0);
    EXPECT_EQ(record_->urls.size(), 2u);
}

TEST_F(KestrelFormReentry, ViewerReloadedWhilePickingAPageShowsTheNewFile)
{
    // The host loads the next file (ListLoadNext) into the viewer meanwhile: the pick then
    // lands on the new list, whose only entry is selected.
    record_->duringNavigation = [this](const std::wstring& url) {
        if (url == L"about:blank") {
            record_->duringNavigation = nullptr;
            kv::TKestrelForm::FromHandle(window_)->LoadFile(FixturePath(L"viewer-one-page.maff"));
        }
    };
    PickSecond();
    ASSERT_TRUE(IsWindow(window_));
    ASSERT_EQ(record_->urls.size(), 4u);
    EXPECT_EQ(record_->urls[2], record_->urls[3]);
    EXPECT_EQ(form_->Pages().Count(), 1);
    EXPECT_EQ(record_->urls[3], form_->Pages()[0]);
}
