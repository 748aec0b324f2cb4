// The worker thread base: start after construction, stored failures, waits, destruction, and
// the library reference that keeps a worker's code loaded.
#include "shell/ComServer.h"
#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/ShellThread.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <type_traits>

using kv::TorvShellThread;

namespace {

// Records what ran where; Execute waits for its gate when one is given.
class TProbeThread : public TorvShellThread {
public:
    TProbeThread(bool useCreateThread, HANDLE gate = nullptr, std::atomic<bool>* done = nullptr)
        : TorvShellThread(CTF_PROCESS_REF, useCreateThread), gate_(gate), done_(done)
    {
    }

    std::atomic<DWORD> beforeThread{0};
    std::atomic<DWORD> executeThread{0};
    std::atomic<bool> selfWaitReturned{false};
    std::atomic<bool> afterRan{false};

protected:
    void BeforeExecute() override { beforeThread = GetCurrentThreadId(); }
    void Execute() override
    {
        executeThread = GetCurrentThreadId();
        selfWaitReturned = WaitFor(INFINITE);
        if (gate_ != nullptr)
            WaitForSingleObject(gate_, INFINITE);
        if (done_ != nullptr) {
            Sleep(50);
            *done_ = true;
        }
    }
    void AfterExecute() override { afterRan = true; }

private:
    HANDLE gate_;
    std::atomic<bool>* done_;
};

template <class E>
class TRaisingThread : public TorvShellThread {
protected:
    void Execute() override
    {
        if constexpr (std::is_base_of_v<kv::Exception, E>)
            throw E(L"worker failed");
        else
            throw E("worker failed");
    }
    void AfterExecute() override { throw std::runtime_error("dropped"); }
};

kv::UniqueHandle NewEvent()
{
    return kv::UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

DWORD WINAPI SetEventLater(void* event)
{
    Sleep(100);
    SetEvent(event);
    return 0;
}

} // namespace

TEST(ShellThread, BothCreationModesRunTheHooksOnTheNewThread)
{
    for (const bool useCreateThread : {false, true}) {
        SCOPED_TRACE(useCreateThread ? "CreateThread" : "SHCreateThread");
        auto thread = TorvShellThread::Start<TProbeThread>(useCreateThread);
        // Handle and id are settled when Start returns.
        EXPECT_NE(thread->Handle(), nullptr);
        EXPECT_NE(thread->ThreadID(), 0u);
        ASSERT_TRUE(thread->WaitFor(INFINITE));
        EXPECT_TRUE(thread->Finished());
        EXPECT_TRUE(thread->afterRan);
        EXPECT_EQ(thread->executeThread.load(), thread->ThreadID());
        EXPECT_NE(thread->executeThread.load(), GetCurrentThreadId());
        // BeforeExecute belongs to SHCreateThread's start callback only.
        EXPECT_EQ(thread->beforeThread.load(), useCreateThread ? 0u : thread->ThreadID());
        // Waiting for itself returned at once instead of deadlocking.
        EXPECT_TRUE(thread->selfWaitReturned);
        EXPECT_FALSE(thread->FatalException());
    }
}

TEST(ShellThread, WhatExecuteRaisesIsKeptAndAfterExecuteFailuresDropped)
{
    auto own = TorvShellThread::Start<TRaisingThread<kv::EArgumentException>>();
    ASSERT_TRUE(own->WaitFor(INFINITE));
    EXPECT_TRUE(own->Finished());
    ASSERT_TRUE(own->FatalException());
    EXPECT_THROW(std::rethrow_exception(own->FatalException()), kv::EArgumentException);

    // Not only the plug-in's own kinds: any failure must reach the owner.
    auto foreign = TorvShellThread::Start<TRaisingThread<std::runtime_error>>();
    ASSERT_TRUE(foreign->WaitFor(INFINITE));
    EXPECT_EQ(kv::ExceptionMessage(foreign->FatalException()), L"worker failed");
}

TEST(ShellThread, WaitsTimeoutsDestructionAndLiveObjectCount)
{
    const LONG before = kv::ComServer::ObjectCount();
    auto gate = NewEvent();
    std::atomic<bool> returned{false};
    auto thread = TorvShellThread::Start<TProbeThread>(false, gate.get(), &returned);
    auto second = TorvShellThread::Start<TProbeThread>(true);
    EXPECT_EQ(kv::ComServer::ObjectCount(), before + 2);

    EXPECT_FALSE(thread->WaitFor(0));
    EXPECT_FALSE(thread->WaitFor(50));
    EXPECT_FALSE(thread->Finished());
    thread->Terminate();
    EXPECT_TRUE(thread->Terminated());

    // Destroying the object while Execute still runs waits for it to return.
    kv::UniqueHandle opener(CreateThread(nullptr, 0, &SetEventLater, gate.get(), 0, nullptr));
    ASSERT_NE(opener.get(), nullptr);
    thread.reset();
    EXPECT_TRUE(returned);
    EXPECT_EQ(kv::ComServer::ObjectCount(), before + 1);

    ASSERT_TRUE(second->WaitFor(INFINITE));
    EXPECT_TRUE(second->WaitFor(0));
    second.reset();
    EXPECT_EQ(kv::ComServer::ObjectCount(), before);
}

TEST(ShellThread, WorkerKeepsItsLibraryLoadedAfterFreeLibrary)
{
    const std::wstring path = kvtest::SupportPath(L"shellthreadlib.dll");
    HMODULE library = LoadLibraryW(path.c_str());
    ASSERT_NE(library, nullptr);
    using StartFn = HRESULT(WINAPI*)(HANDLE);
    auto start = reinterpret_cast<StartFn>(reinterpret_cast<void*>(GetProcAddress(library, "StartWaitingWorker")));
    ASSERT_NE(start, nullptr);

    auto gate = NewEvent();
    ASSERT_EQ(start(gate.get()), S_OK);
    FreeLibrary(library);
    // The worker's reference holds the library while it waits.
    EXPECT_NE(GetModuleHandleW(L"shellthreadlib.dll"), nullptr);

    SetEvent(gate.get());
    bool unloaded = false;
    for (int i = 0; i < 500 && !unloaded; ++i) {
        unloaded = GetModuleHandleW(L"shellthreadlib.dll") == nullptr;
        if (!unloaded)
            Sleep(10);
    }
    EXPECT_TRUE(unloaded);
}
