#include "plugin/KeyboardHook.h"

#include "shell/ShellCallback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

using namespace kv;

namespace {

struct Received {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const Received&) const = default;
};

std::vector<Received> received;

bool IsRecorded(UINT message)
{
    switch (message) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CHAR:
    case WM_DEADCHAR:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
    case WM_SYSCHAR:
        return true;
    default:
        return false;
    }
}

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Recorded keys stop here: the default handling of system keys would start menu loops.
    if (IsRecorded(message)) {
        received.push_back({hwnd, message, wParam, lParam});
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

constexpr wchar_t ClassName[] = L"KvKeyRecorder";

HWND MakeWindow(HWND parent, DWORD style = WS_CHILD | WS_VISIBLE)
{
    return CreateWindowExW(0, ClassName, L"", style, 0, 0, 200, 150, parent, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

std::vector<Received> ReceivedBy(HWND hwnd)
{
    std::vector<Received> result;
    std::copy_if(received.begin(), received.end(), std::back_inserter(result),
                 [hwnd](const Received& r) { return r.hwnd == hwnd; });
    return result;
}

void Pump()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
}

// Index of the first free object of the hook pool: the one the next hook takes.
std::size_t FirstFreeCallback()
{
    const CallbackPoolInfo info = QueryCallbackPool();
    return static_cast<std::size_t>(std::find(info.inUse.begin(), info.inUse.end(), false) -
                                    info.inUse.begin());
}

bool CallbackInUse(std::size_t index)
{
    const CallbackPoolInfo info = QueryCallbackPool();
    return index < info.inUse.size() && info.inUse[index];
}

constexpr LPARAM DownBits = 0x014D0001;  // repeat 1, scan code 0x4D (right arrow)
constexpr LPARAM UpBits = static_cast<LPARAM>(0xC14D0001u);

// A host window holding a viewer (with a browser and its inner window) and a window of its own
// beside the viewer, plus a separate top-level window: all on the test's thread.
class KeyboardHookTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = RecordingProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = ClassName;
        RegisterClassW(&windowClass);
    }

    void SetUp() override
    {
        host = MakeWindow(nullptr, WS_OVERLAPPEDWINDOW);
        viewer = MakeWindow(host);
        browser = MakeWindow(viewer);
        inner = MakeWindow(browser);
        beside = MakeWindow(host);
        other = MakeWindow(nullptr, WS_OVERLAPPEDWINDOW);
        ASSERT_TRUE(host && viewer && browser && inner && beside && other);
        Pump();
        received.clear();
    }

    void TearDown() override
    {
        DestroyWindow(other);
        DestroyWindow(host);
        Pump();
    }

    HWND host = nullptr, viewer = nullptr, browser = nullptr, inner = nullptr, beside = nullptr,
         other = nullptr;
};

} // namespace

TEST_F(KeyboardHookTest, KeyDownAndKeyUpInsideTheViewerArriveAsCopies)
{
    TKeyboardHook hook(viewer);
    PostMessageW(inner, WM_KEYDOWN, VK_RIGHT, DownBits);
    PostMessageW(inner, WM_KEYUP, VK_RIGHT, UpBits);
    PostMessageW(browser, WM_KEYDOWN, VK_NEXT, 0x01510001);
    Pump();

    const std::vector<Received> innerGot{{inner, WM_KEYDOWN, VK_RIGHT, DownBits},
                                         {inner, WM_KEYUP, VK_RIGHT, UpBits}};
    EXPECT_EQ(ReceivedBy(inner), innerGot);
    const std::vector<Received> viewerGot{{viewer, WM_KEYDOWN, VK_RIGHT, DownBits},
                                          {viewer, WM_KEYUP, VK_RIGHT, UpBits},
                                          {viewer, WM_KEYDOWN, VK_NEXT, 0x01510001}};
    EXPECT_EQ(ReceivedBy(viewer), viewerGot);
}

TEST_F(KeyboardHookTest, CharacterAndSystemKeyMessagesAreNotForwarded)
{
    TKeyboardHook hook(viewer);
    PostMessageW(inner, WM_CHAR, 'a', 0x001E0001);
    PostMessageW(inner, WM_DEADCHAR, '^', 0x00290001);
    PostMessageW(inner, WM_SYSKEYDOWN, VK_F10, 0x20440001);
    PostMessageW(inner, WM_SYSKEYUP, VK_F10, static_cast<LPARAM>(0xE0440001u));
    PostMessageW(inner, WM_SYSCHAR, 'x', 0x202D0001);
    Pump();
    EXPECT_EQ(ReceivedBy(inner).size(), 5u);
    EXPECT_TRUE(ReceivedBy(viewer).empty());
}

TEST_F(KeyboardHookTest, KeysOutsideTheViewerAreNotForwarded)
{
    TKeyboardHook hook(viewer);
    for (HWND target : {host, beside, other}) {
        PostMessageW(target, WM_KEYDOWN, VK_DOWN, 0x01500001);
        PostMessageW(target, WM_KEYUP, VK_DOWN, static_cast<LPARAM>(0xC1500001u));
    }
    // A thread message has no window at all.
    PostThreadMessageW(GetCurrentThreadId(), WM_KEYDOWN, VK_DOWN, 0x01500001);
    Pump();
    EXPECT_EQ(received.size(), 6u);
    EXPECT_TRUE(ReceivedBy(viewer).empty());
}

TEST_F(KeyboardHookTest, KeysForTheViewerItselfAndCopiesAreNotForwardedAgain)
{
    TKeyboardHook hook(viewer);
    PostMessageW(viewer, WM_KEYDOWN, VK_SPACE, 0x00390001);
    PostMessageW(inner, WM_KEYDOWN, VK_LEFT, 0x014B0001);
    Pump();
    const std::vector<Received> viewerGot{{viewer, WM_KEYDOWN, VK_SPACE, 0x00390001},
                                          {viewer, WM_KEYDOWN, VK_LEFT, 0x014B0001}};
    EXPECT_EQ(ReceivedBy(viewer), viewerGot);
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_NOREMOVE));
}

TEST_F(KeyboardHookTest, MessagesOnlyLookedAtAreForwardedOnceWhenRemoved)
{
    TKeyboardHook hook(viewer);
    PostMessageW(inner, WM_KEYDOWN, VK_UP, 0x01480001);
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, inner, 0, 0, PM_NOREMOVE));
    ASSERT_TRUE(PeekMessageW(&message, inner, 0, 0, PM_NOREMOVE));
    Pump();
    EXPECT_EQ(ReceivedBy(viewer), (std::vector<Received>{{viewer, WM_KEYDOWN, VK_UP, 0x01480001}}));
}

TEST_F(KeyboardHookTest, DestroyedHookForwardsNothing)
{
    auto hook = std::make_unique<TKeyboardHook>(viewer);
    hook.reset();
    PostMessageW(inner, WM_KEYDOWN, VK_RIGHT, DownBits);
    Pump();
    EXPECT_TRUE(ReceivedBy(viewer).empty());
}

TEST_F(KeyboardHookTest, EachViewerHasItsOwnCallbackAndAClosedViewersIsReused)
{
    const std::size_t firstIndex = FirstFreeCallback();
    auto firstHook = std::make_unique<TKeyboardHook>(viewer);
    ASSERT_TRUE(CallbackInUse(firstIndex));

    HWND secondViewer = MakeWindow(host);
    HWND secondInner = MakeWindow(secondViewer);
    const std::size_t secondIndex = FirstFreeCallback();
    EXPECT_NE(secondIndex, firstIndex);
    auto secondHook = std::make_unique<TKeyboardHook>(secondViewer);
    EXPECT_TRUE(CallbackInUse(secondIndex));

    // Each hook forwards its own viewer's keys only.
    PostMessageW(inner, WM_KEYDOWN, 'A', 0x001E0001);
    PostMessageW(secondInner, WM_KEYDOWN, 'B', 0x00300001);
    Pump();
    EXPECT_EQ(ReceivedBy(viewer), (std::vector<Received>{{viewer, WM_KEYDOWN, 'A', 0x001E0001}}));
    EXPECT_EQ(ReceivedBy(secondViewer),
              (std::vector<Received>{{secondViewer, WM_KEYDOWN, 'B', 0x00300001}}));

    // Closing the first viewer frees its callback; a third viewer takes it.
    firstHook.reset();
    DestroyWindow(viewer);
    viewer = nullptr;
    EXPECT_FALSE(CallbackInUse(firstIndex));
    HWND thirdViewer = MakeWindow(host);
    HWND thirdInner = MakeWindow(thirdViewer);
    TKeyboardHook thirdHook(thirdViewer);
    EXPECT_TRUE(CallbackInUse(firstIndex));
    EXPECT_EQ(FirstFreeCallback(), std::max(firstIndex, secondIndex) + 1);

    received.clear();
    PostMessageW(thirdInner, WM_KEYUP, 'C', static_cast<LPARAM>(0xC02E0001u));
    Pump();
    EXPECT_EQ(ReceivedBy(thirdViewer),
              (std::vector<Received>{{thirdViewer, WM_KEYUP, 'C', static_cast<LPARAM>(0xC02E0001u)}}));
    EXPECT_TRUE(ReceivedBy(secondViewer).empty());
    secondHook.reset();
}

// A real key press with the focus inside the browser: the hardware messages reach the focused
// window, the viewer gets copies with the same parameters and no character message.
TEST_F(KeyboardHookTest, TypedKeyWithFocusInTheBrowserReachesTheViewer)
{
    TKeyboardHook hook(viewer);
    ShowWindow(host, SW_SHOW);
    SetForegroundWindow(host);
    SetFocus(inner);
    Pump();
    if (GetFocus() != inner)
        GTEST_SKIP() << "the test window cannot take the keyboard focus here";
    received.clear();

    INPUT inputs[2]{};
    for (INPUT& input : inputs) {
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = 'K';
    }
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ASSERT_EQ(SendInput(2, inputs, sizeof(INPUT)), 2u);

    // Wait for the input (bounded, so a lost key fails instead of hanging).
    for (int round = 0; round < 200 && ReceivedBy(viewer).size() < 2; ++round) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 25, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            // Translate as a host does, but not the viewer's copies (whose own translation
            // would make a character message for the viewer).
            if (message.hwnd != viewer)
                TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    std::vector<Received> innerKeys;
    bool innerChar = false;
    for (const Received& r : ReceivedBy(inner)) {
        if (r.message == WM_KEYDOWN || r.message == WM_KEYUP)
            innerKeys.push_back({viewer, r.message, r.wParam, r.lParam});
        innerChar = innerChar || r.message == WM_CHAR;
    }
    ASSERT_EQ(innerKeys.size(), 2u);
    EXPECT_EQ(innerKeys[0].message, static_cast<UINT>(WM_KEYDOWN));
    EXPECT_EQ(innerKeys[0].wParam, static_cast<WPARAM>('K'));
    EXPECT_EQ(innerKeys[1].message, static_cast<UINT>(WM_KEYUP));
    EXPECT_TRUE(innerChar);
    EXPECT_EQ(ReceivedBy(viewer), innerKeys);
}
