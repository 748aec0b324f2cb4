#include "shell/ShellHook.h"
#include "tests/common/CountDown.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace kv;

namespace {

constexpr UINT TestMessage = WM_APP + 7;

struct Seen {
    int code;
    WPARAM removal;
    MSG message;
};

// A window that only receives posted messages, on the calling thread.
class MessageWindow {
public:
    MessageWindow()
        : hwnd_(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr))
    {
    }
    ~MessageWindow() { DestroyWindow(hwnd_); }
    HWND Handle() const { return hwnd_; }

private:
    HWND hwnd_;
};

void PumpAll()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
}

class ThrowingHook : public TorvShellHook {
public:
    ThrowingHook(std::vector<std::string>& log)
        : TorvShellHook(WH_GETMESSAGE, nullptr, GetCurrentThreadId()), log_(log)
    {
    }

protected:
    void HandleHook(int code, WPARAM wParam, LPARAM lParam) override
    {
        if (reinterpret_cast<const MSG*>(lParam)->message == TestMessage && wParam == PM_REMOVE) {
            log_.push_back("throwing");
            throw std::runtime_error("hook failure");
        }
    }

private:
    std::vector<std::string>& log_;
};

std::size_t CountInUse(const CallbackPoolInfo& info)
{
    return static_cast<std::size_t>(std::count(info.inUse.begin(), info.inUse.end(), true));
}

} // namespace

TEST(TorvShellHook, SeesEveryMessageTakenFromTheQueueWithTheRemovalFlag)
{
    MessageWindow window;
    ASSERT_NE(window.Handle(), nullptr);
    std::vector<Seen> seen;
    TorvShellHook hook(WH_GETMESSAGE, nullptr, GetCurrentThreadId(), [&](int code, WPARAM w, LPARAM l) {
        const MSG& message = *reinterpret_cast<const MSG*>(l);
        if (message.message == TestMessage)
            seen.push_back({code, w, message});
    });
    ASSERT_NE(hook.Handle(), nullptr);
    EXPECT_TRUE(hook.CallbackObject().InUse());

    ASSERT_TRUE(PostMessageW(window.Handle(), TestMessage, 0x1234, 0x5678));
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, TestMessage, TestMessage, PM_NOREMOVE));
    ASSERT_TRUE(PeekMessageW(&message, nullptr, TestMessage, TestMessage, PM_REMOVE));
    EXPECT_FALSE(PeekMessageW(&message, nullptr, TestMessage, TestMessage, PM_REMOVE));

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].removal, static_cast<WPARAM>(PM_NOREMOVE));
    EXPECT_EQ(seen[1].removal, static_cast<WPARAM>(PM_REMOVE));
    for (const Seen& s : seen) {
        EXPECT_EQ(s.code, HC_ACTION);
        EXPECT_EQ(s.message.hwnd, window.Handle());
        EXPECT_EQ(s.message.wParam, 0x1234u);
        EXPECT_EQ(s.message.lParam, 0x5678);
    }
}

TEST(TorvShellHook, ChainRunsFirstAndFailuresInsideAHookAreSwallowed)
{
    MessageWindow window;
    std::vector<std::string> log;
    TorvShellHook older(WH_GETMESSAGE, nullptr, GetCurrentThreadId(), [&](int, WPARAM w, LPARAM l) {
        if (reinterpret_cast<const MSG*>(l)->message == TestMessage && w == PM_REMOVE)
            log.push_back("older");
    });
    // The newer hook is called first by the system but lets the chain run before its own work.
    ThrowingHook newer(log);

    ASSERT_TRUE(PostMessageW(window.Handle(), TestMessage, 1, 2));
    MSG message{};
    ASSERT_TRUE(PeekMessageW(&message, nullptr, TestMessage, TestMessage, PM_REMOVE));
    EXPECT_EQ(message.hwnd, window.Handle());
    EXPECT_EQ(message.wParam, 1u);
    EXPECT_EQ(log, (std::vector<std::string>{"older", "throwing"}));

    // Still installed and working after the failure.
    ASSERT_TRUE(PostMessageW(window.Handle(), TestMessage, 3, 4));
    PumpAll();
    EXPECT_EQ(log.size(), 4u);
}

TEST(TorvShellHook, DestructionUnhooksAndReturnsTheCallbackForTheNextHook)
{
    MessageWindow window;
    int calls = 0;
    auto handler = [&](int, WPARAM w, LPARAM l) {
        if (reinterpret_cast<const MSG*>(l)->message == TestMessage && w == PM_REMOVE)
            ++calls;
    };
    auto hook = std::make_unique<TorvShellHook>(WH_GETMESSAGE, nullptr, GetCurrentThreadId(), handler);
    const TorvShellHookObj* object = &hook->CallbackObject();
    PostMessageW(window.Handle(), TestMessage, 0, 0);
    PumpAll();
    EXPECT_EQ(calls, 1);

    hook.reset();
    EXPECT_FALSE(object->InUse());
    PostMessageW(window.Handle(), TestMessage, 0, 0);
    PumpAll();
    EXPECT_EQ(calls, 1);

    TorvShellHook next(WH_GETMESSAGE, nullptr, GetCurrentThreadId(), handler);
    EXPECT_EQ(&next.CallbackObject(), object);
    PostMessageW(window.Handle(), TestMessage, 0, 0);
    PumpAll();
    EXPECT_EQ(calls, 2);
}

TEST(TorvShellHook, RefusedHookIsNotReported)
{
    // No such thread: the system refuses the hook, which then never runs.
    auto hook = std::make_unique<TorvShellHook>(WH_GETMESSAGE, nullptr, 0xFFFFFFF0u);
    EXPECT_EQ(hook->Handle(), nullptr);
    const TorvShellHookObj* object = &hook->CallbackObject();
    hook.reset();
    EXPECT_FALSE(object->InUse());
}

TEST(HookCallbackPool, IsEmptyUntilTheFirstHookAndGrowsByBlocksOfAHundred)
{
    FreeCallbackPool();
    EXPECT_TRUE(QueryCallbackPool().objectsPerBlock.empty());
    CreateCallbackPool();
    EXPECT_TRUE(QueryCallbackPool().objectsPerBlock.empty());

    MessageWindow window;
    std::vector<int> calls(101, 0);  // per hook: calls with the message being removed
    std::vector<std::unique_ptr<TorvShellHook>> hooks;
    for (int i = 0; i < 101; ++i) {
        hooks.push_back(std::make_unique<TorvShellHook>(
            WH_GETMESSAGE, nullptr, GetCurrentThreadId(), [&calls, i](int, WPARAM w, LPARAM l) {
                if (reinterpret_cast<const MSG*>(l)->message == TestMessage && w == PM_REMOVE)
                    ++calls[i];
            }));
        if (i == 99) {
            EXPECT_EQ(QueryCallbackPool().objectsPerBlock, (std::vector<std::size_t>{100}));
        }
    }
    CallbackPoolInfo info = QueryCallbackPool();
    EXPECT_EQ(info.objectsPerBlock, (std::vector<std::size_t>{100, 100}));
    EXPECT_EQ(CountInUse(info), 101u);

    // Every trampoline reaches its own hook. Wine runs at most 25 nested hooks of a chain,
    // so the newest hooks are checked first and removed a batch at a time.
    while (!hooks.empty()) {
        PostMessageW(window.Handle(), TestMessage, 0, 0);
        PumpAll();
        hooks.resize(hooks.size() > 20 ? hooks.size() - 20 : 0);
    }
    EXPECT_EQ(std::count(calls.begin(), calls.end(), 0), 0);
    EXPECT_EQ(CountInUse(QueryCallbackPool()), 0u);

    EXPECT_EQ(QueryCallbackPool().objectsPerBlock.size(), 2u);  // nothing is given back

    FreeCallbackPool();
    EXPECT_TRUE(QueryCallbackPool().inUse.empty());
    // Without an explicit creation the pool appears on first use.
    TorvShellHook hook(WH_GETMESSAGE, nullptr, GetCurrentThreadId());
    EXPECT_EQ(QueryCallbackPool().objectsPerBlock, (std::vector<std::size_t>{100}));
}

TEST(HookCallbackPool, HooksOnManyThreadsTakeDistinctCallbacks)
{
    constexpr int Threads = 4;
    constexpr int HooksPerThread = 20;
    kvtest::CountDown allHooked(Threads);
    std::vector<std::vector<const void*>> objects(Threads);
    std::vector<int> calls(Threads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            MessageWindow window;
            std::vector<std::unique_ptr<TorvShellHook>> hooks;
            for (int i = 0; i < HooksPerThread; ++i) {
                hooks.push_back(std::make_unique<TorvShellHook>(
                    WH_GETMESSAGE, nullptr, GetCurrentThreadId(), [&, t](int, WPARAM w, LPARAM l) {
                        if (reinterpret_cast<const MSG*>(l)->message == TestMessage && w == PM_REMOVE)
                            ++calls[t];
                    }));
                objects[t].push_back(&hooks.back()->CallbackObject());
            }
            // Every thread's hooks are alive together.
            EXPECT_TRUE(allHooked.ArriveAndWait());
            PostMessageW(window.Handle(), TestMessage, 0, 0);
            PumpAll();
        });
    }
    for (auto& thread : threads)
        thread.join();

    std::vector<const void*> all;
    for (const auto& list : objects)
        all.insert(all.end(), list.begin(), list.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    EXPECT_EQ(all.size(), static_cast<std::size_t>(Threads * HooksPerThread));
    // Each thread's hooks saw its own message only.
    EXPECT_EQ(calls, std::vector<int>(Threads, HooksPerThread));
}

TEST(TorvShellHook, DestructionWaitsForACallAlreadyInsideTheCallback)
{
    // A hook on one thread, destroyed from another while a call has entered its callback but
    // not yet the hook itself: the call must finish against a live hook.
    struct Shared {
        HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE proceed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::atomic<bool> destroyed{false};
        std::atomic<int> sawDestroyed{-1};
        ~Shared()
        {
            CloseHandle(entered);
            CloseHandle(proceed);
        }
    } shared;

    std::atomic<DWORD> hookedThreadId{0};
    kvtest::CountDown queueReady(1);
    std::thread hooked([&] {
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // makes the thread's queue
        hookedThreadId = GetCurrentThreadId();
        queueReady.Arrive();
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        }
    });
    ASSERT_TRUE(queueReady.Wait()) << "the hooked thread never started";

    auto hook = std::make_unique<TorvShellHook>(WH_GETMESSAGE, nullptr, hookedThreadId.load());
    ASSERT_NE(hook->Handle(), nullptr);
    // Stand between the dispatcher and the hook: the wrapper copies what it needs onto its own
    // stack first, so it stays sound even if its closure is destroyed while it waits.
    auto& object = const_cast<TorvShellHookObj&>(hook->CallbackObject());
    {
        // Swapped as the hook binds it: under the lock every call through the trampoline takes.
        std::lock_guard call(object.CallLock);
        object.Callback = [inner = object.Callback, state = &shared](int code, WPARAM w, LPARAM l) {
            Shared* const s = state;
            const TorvHookCallback forward = inner;
            if (code >= 0 && w == PM_REMOVE &&
                reinterpret_cast<const MSG*>(l)->message == TestMessage) {
                SetEvent(s->entered);
                WaitForSingleObject(s->proceed, INFINITE);
                s->sawDestroyed = s->destroyed ? 1 : 0;
                if (s->destroyed)
                    return CallNextHookEx(nullptr, code, w, l);
            }
            return forward(code, w, l);
        };
    }
    ASSERT_TRUE(PostThreadMessageW(hookedThreadId, TestMessage, 0, 0));
    ASSERT_EQ(WaitForSingleObject(shared.entered, 10000), WAIT_OBJECT_0);

    TorvShellHook* const doomed = hook.release();
    std::thread destroyer([&] {
        delete doomed;
        shared.destroyed = true;
    });
    // Give a destruction that does not wait every chance to finish first; one that waits is
    // released below either way.
    for (int i = 0; i < 50 && !shared.destroyed; ++i)
        Sleep(10);
    SetEvent(shared.proceed);
    destroyer.join();

    PostThreadMessageW(hookedThreadId, WM_QUIT, 0, 0);
    hooked.join();
    EXPECT_EQ(shared.sawDestroyed.load(), 0);
}

namespace {
// An older hook in the chain that destroys the newer one while it runs, as a foreign hook that
// closes the viewer would.
std::unique_ptr<TorvShellHook>* hookToDestroy = nullptr;

// Scribbles over its storage when freed, so any later use of the hook shows.
class ScribbledHook : public TorvShellHook {
public:
    using TorvShellHook::TorvShellHook;
    static void operator delete(void* storage, std::size_t size)
    {
        std::memset(storage, 0xA5, size);
        ::operator delete(storage);
    }
};

// The system swallows faults inside hook procedures; a first-chance handler still sees them.
std::atomic<int> accessViolations{0};

LONG CALLBACK CountAccessViolations(EXCEPTION_POINTERS* info)
{
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
        ++accessViolations;
    return EXCEPTION_CONTINUE_SEARCH;
}

LRESULT CALLBACK DestroyingHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code >= 0 && hookToDestroy != nullptr &&
        reinterpret_cast<const MSG*>(lParam)->message == TestMessage)
        hookToDestroy->reset();
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
} // namespace

TEST(TorvShellHook, DestroyedByTheRestOfTheChainOnItsOwnThreadStopsThere)
{
    MessageWindow window;
    HHOOK older = SetWindowsHookExW(WH_GETMESSAGE, DestroyingHook, nullptr, GetCurrentThreadId());
    ASSERT_NE(older, nullptr);
    std::atomic<int> handled{0};
    std::unique_ptr<TorvShellHook> hook = std::make_unique<ScribbledHook>(
        WH_GETMESSAGE, nullptr, GetCurrentThreadId(), [&](int, WPARAM, LPARAM) { ++handled; });
    const TorvShellHookObj* object = &hook->CallbackObject();
    hookToDestroy = &hook;
    void* watcher = AddVectoredExceptionHandler(1, CountAccessViolations);

    PostMessageW(window.Handle(), TestMessage, 0, 0);
    PumpAll();

    RemoveVectoredExceptionHandler(watcher);
    hookToDestroy = nullptr;
    EXPECT_EQ(accessViolations.load(), 0);
    UnhookWindowsHookEx(older);
    EXPECT_EQ(hook, nullptr);
    // The handler of a destroyed hook never runs, and its callback went back to the pool.
    EXPECT_EQ(handled.load(), 0);
    EXPECT_FALSE(object->InUse());
}
