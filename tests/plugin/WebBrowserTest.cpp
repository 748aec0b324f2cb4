// The real WebBrowser control in our own container. Under Wine the control has no HTML engine:
// it embeds and navigates, but never completes a page, has no document and refuses commands.
#include "plugin/Browser.h"
#include "plugin/OleSite.h"
#include "plugin/WebBrowserHost.h"

#include "shell/Exceptions.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <memory>
#include <thread>
#include <vector>

using namespace kv;

namespace {

constexpr wchar_t ParentClass[] = L"KvBrowserTestParent";

void RegisterParentClass()
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = ParentClass;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    RegisterClassW(&windowClass);  // fails harmlessly when already registered
}

HWND MakeParent()
{
    RegisterParentClass();
    RECT frame{0, 0, 640, 480};
    AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
    return CreateWindowExW(0, ParentClass, L"Browser test", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                           20, 20, frame.right - frame.left, frame.bottom - frame.top, nullptr,
                           nullptr, GetModuleHandleW(nullptr), nullptr);
}

// Lets the control's posted work run: a bounded number of rounds, each taking what is queued
// and waiting briefly for more.
void PumpMessages(int rounds = 20)
{
    for (int i = 0; i < rounds; ++i) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

RECT WindowRectInParent(HWND window, HWND parent)
{
    RECT rect{};
    GetWindowRect(window, &rect);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

BOOL CALLBACK CollectWindow(HWND child, LPARAM list)
{
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
    return TRUE;
}

std::vector<HWND> Descendants(HWND window)
{
    std::vector<HWND> found;
    EnumChildWindows(window, CollectWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

class WebBrowserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
        parent_ = MakeParent();
        ASSERT_NE(parent_, nullptr);
    }

    void TearDown() override
    {
        if (IsWindow(parent_))
            DestroyWindow(parent_);
        PumpMessages(2);
        OleUninitialize();
    }

    HWND parent_ = nullptr;
};

} // namespace

TEST_F(WebBrowserTest, EmbedsItsWindowInTheParent)
{
    const auto browser = CreateWebBrowser(parent_);
    const HWND window = browser->Window();
    ASSERT_TRUE(IsWindow(window));
    EXPECT_EQ(GetAncestor(window, GA_PARENT), parent_);
    EXPECT_TRUE(GetWindowLongW(window, GWL_STYLE) & WS_CHILD);

    // At first it fills the parent's client area.
    RECT client{};
    GetClientRect(parent_, &client);
    const RECT placed = WindowRectInParent(window, parent_);
    EXPECT_EQ(placed.left, client.left);
    EXPECT_EQ(placed.top, client.top);
    EXPECT_EQ(placed.right, client.right);
    EXPECT_EQ(placed.bottom, client.bottom);

    EXPECT_TRUE(browser->Contains(window));
    // Navigating gives the control windows of its own inside its outer window.
    browser->Navigate(L"about:blank");
    PumpMessages(5);
    const std::vector<HWND> inner = Descendants(window);
    EXPECT_FALSE(inner.empty());
    for (HWND child : inner)
        EXPECT_TRUE(browser->Contains(child));
    EXPECT_FALSE(browser->Contains(parent_));
    EXPECT_FALSE(browser->Contains(nullptr));
    const HWND sibling = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 10, 10, parent_,
                                         nullptr, GetModuleHandleW(nullptr), nullptr);
    EXPECT_FALSE(browser->Contains(sibling));
}

TEST_F(WebBrowserTest, SetBoundsMovesAndSizesTheControl)
{
    const auto browser = CreateWebBrowser(parent_);
    const RECT bounds{0, 21, 570, 328};
    browser->SetBounds(bounds);
    RECT placed = WindowRectInParent(browser->Window(), parent_);
    EXPECT_EQ(placed.left, 0);
    EXPECT_EQ(placed.top, 21);
    EXPECT_EQ(placed.right, 570);
    EXPECT_EQ(placed.bottom, 328);

    browser->SetBounds(RECT{10, 40, 210, 140});
    placed = WindowRectInParent(browser->Window(), parent_);
    EXPECT_EQ(placed.left, 10);
    EXPECT_EQ(placed.top, 40);
    EXPECT_EQ(placed.right - placed.left, 200);
    EXPECT_EQ(placed.bottom - placed.top, 100);
}

TEST_F(WebBrowserTest, NavigatesWithoutEverCompletingAPage)
{
    const auto browser = CreateWebBrowser(parent_);
    EXPECT_LT(browser->ReadyState(), READYSTATE_COMPLETE);
    EXPECT_NO_THROW(browser->Navigate(L"about:blank"));
    PumpMessages();
    EXPECT_NO_THROW(browser->Navigate(L"about:blank"));
    PumpMessages();
    // No HTML engine here: the navigation never finishes and leaves no document.
    EXPECT_LT(browser->ReadyState(), READYSTATE_COMPLETE);
    EXPECT_EQ(browser->Document(), nullptr);
}

// Before its first navigation the control has no document on any platform, and it refuses
// every command the viewer passes on.
TEST_F(WebBrowserTest, CommandsWithoutADocumentRaise)
{
    const auto browser = CreateWebBrowser(parent_);
    ASSERT_EQ(browser->Document(), nullptr);
    for (OLECMDID command : {OLECMDID_COPY, OLECMDID_SELECTALL, OLECMDID_FIND,
                             OLECMDID_PRINTPREVIEW}) {
        try {
            browser->ExecCommand(command);
            ADD_FAILURE() << "command " << command << " did not raise";
        } catch (const EOleSysError& error) {
            EXPECT_TRUE(FAILED(error.ErrorCode())) << command;
        }
    }
    // The control is still usable afterwards.
    EXPECT_NO_THROW(browser->Navigate(L"about:blank"));
}

TEST_F(WebBrowserTest, CleansUpInEitherOrderOfDestruction)
{
    // The browser first, then its parent.
    auto browser = CreateWebBrowser(parent_);
    HWND window = browser->Window();
    browser->Navigate(L"about:blank");
    PumpMessages(5);
    browser.reset();
    // The control takes its window with it and leaves the parent alone.
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(IsWindow(parent_));
    PumpMessages(5);
    DestroyWindow(parent_);

    // The parent first (a closing viewer takes its children with it), then the browser.
    parent_ = MakeParent();
    browser = CreateWebBrowser(parent_);
    window = browser->Window();
    browser->Navigate(L"about:blank");
    PumpMessages(5);
    DestroyWindow(parent_);
    EXPECT_FALSE(IsWindow(window));
    browser.reset();
    PumpMessages(5);
}

TEST_F(WebBrowserTest, SeveralBrowsersInARowAndSideBySide)
{
    for (int i = 0; i < 4; ++i) {
        const auto browser = CreateWebBrowser(parent_);
        ASSERT_TRUE(IsWindow(browser->Window()));
        browser->Navigate(L"about:blank");
        PumpMessages(3);
    }

    const auto left = CreateWebBrowser(parent_);
    const auto right = CreateWebBrowser(parent_);
    left->SetBounds(RECT{0, 0, 320, 480});
    right->SetBounds(RECT{320, 0, 640, 480});
    EXPECT_NE(left->Window(), right->Window());
    EXPECT_FALSE(left->Contains(right->Window()));
    EXPECT_FALSE(right->Contains(left->Window()));
    EXPECT_NO_THROW(left->Navigate(L"about:blank"));
    EXPECT_NO_THROW(right->Navigate(L"about:blank"));
    PumpMessages(5);
}

TEST_F(WebBrowserTest, RefusesAMissingParent)
{
    EXPECT_THROW(CreateWebBrowser(nullptr), EArgumentException);
    const HWND gone = MakeParent();
    DestroyWindow(gone);
    EXPECT_THROW(CreateWebBrowser(gone), EArgumentException);
}

// The host initialises OLE itself, so a thread that has not done so can still embed it; a
// thread in the multithreaded apartment cannot host a control at all.
TEST(WebBrowserThreads, InitialisesOleItselfAndRefusesAFreeThreadedApartment)
{
    bool created = false;
    bool oleReleased = false;
    std::thread([&] {
        const HWND parent = MakeParent();
        {
            const auto browser = CreateWebBrowser(parent);
            created = IsWindow(browser->Window()) != FALSE;
            browser->Navigate(L"about:blank");
            PumpMessages(3);
        }
        DestroyWindow(parent);
        // Everything was released before the host's OleUninitialize: nothing is left
        // initialised on the thread, so a free-threaded apartment can start now.
        const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        oleReleased = result == S_OK;
        if (SUCCEEDED(result))
            CoUninitialize();
    }).join();
    EXPECT_TRUE(created);
    EXPECT_TRUE(oleReleased);

    HRESULT refused = S_OK;
    std::thread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        const HWND parent = MakeParent();
        try {
            CreateWebBrowser(parent);
        } catch (const EOleSysError& error) {
            refused = error.ErrorCode();
        }
        DestroyWindow(parent);
        CoUninitialize();
    }).join();
    EXPECT_EQ(refused, RPC_E_CHANGED_MODE);
}

// The container answers for the parent window and acts as its own frame.
TEST(OleSiteTest, IsOneObjectThatPlacesTheControlInItsParent)
{
    const HWND parent = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1234));
    const auto site = OleSite::Create(parent, RECT{1, 2, 30, 40}, 0);

    Microsoft::WRL::ComPtr<IUnknown> identity;
    Microsoft::WRL::ComPtr<IOleInPlaceSite> inPlaceSite;
    Microsoft::WRL::ComPtr<IOleInPlaceFrame> frameByQuery;
    Microsoft::WRL::ComPtr<IOleWindow> window;
    ASSERT_EQ(site.As(&identity), S_OK);
    ASSERT_EQ(identity.As(&inPlaceSite), S_OK);
    ASSERT_EQ(inPlaceSite.As(&frameByQuery), S_OK);
    ASSERT_EQ(frameByQuery.As(&window), S_OK);
    Microsoft::WRL::ComPtr<IUnknown> again;
    ASSERT_EQ(frameByQuery.As(&again), S_OK);
    EXPECT_EQ(again.Get(), identity.Get());
    Microsoft::WRL::ComPtr<IOleControlSite> none;
    EXPECT_EQ(site.As(&none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);

    HWND answered = nullptr;
    EXPECT_EQ(window->GetWindow(&answered), S_OK);
    EXPECT_EQ(answered, parent);
    EXPECT_EQ(window->GetWindow(nullptr), E_POINTER);

    site->SetBounds(RECT{5, 21, 570, 328});
    Microsoft::WRL::ComPtr<IOleInPlaceFrame> frame;
    Microsoft::WRL::ComPtr<IOleInPlaceUIWindow> document;
    RECT position{}, clip{};
    OLEINPLACEFRAMEINFO info{};
    info.cb = sizeof(info);
    ASSERT_EQ(inPlaceSite->GetWindowContext(&frame, &document, &position, &clip, &info), S_OK);
    EXPECT_EQ(frame.Get(), frameByQuery.Get());
    EXPECT_EQ(document, nullptr);
    EXPECT_EQ(position.left, 5);
    EXPECT_EQ(position.top, 21);
    EXPECT_EQ(clip.right, 570);
    EXPECT_EQ(clip.bottom, 328);
    EXPECT_EQ(info.hwndFrame, parent);
    EXPECT_EQ(info.cAccelEntries, 0u);
    EXPECT_EQ(inPlaceSite->GetWindowContext(&frame, &document, nullptr, &clip, &info), E_POINTER);

    // A size the control asks for itself is kept for its next activation.
    const RECT requested{0, 0, 100, 50};
    EXPECT_EQ(inPlaceSite->OnPosRectChange(&requested), S_OK);
    EXPECT_EQ(site->Bounds().right, 100);
}
