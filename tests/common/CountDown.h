// A count-down latch on an event, for tests that line threads up. libstdc++ 12 has no wait
// primitive of the platform on Windows, and its std::latch (like std::barrier,
// std::counting_semaphore and std::atomic::wait) can miss a wake-up there: a waiter that has
// just seen the old count goes to sleep on a condition variable after the last arrival has
// already notified it, and sleeps for good. Use this instead.
#pragma once

#include <windows.h>

#include <atomic>

namespace kvtest {

class CountDown {
public:
    explicit CountDown(long count) : count_(count)
    {
        if (count <= 0)
            SetEvent(done_);
    }
    ~CountDown() { CloseHandle(done_); }
    CountDown(const CountDown&) = delete;
    CountDown& operator=(const CountDown&) = delete;

    void Arrive()
    {
        if (--count_ == 0)
            SetEvent(done_);
    }
    // False when the count did not reach zero in time.
    bool Wait(DWORD timeoutMs = 10000) const
    {
        return WaitForSingleObject(done_, timeoutMs) == WAIT_OBJECT_0;
    }
    bool ArriveAndWait(DWORD timeoutMs = 10000)
    {
        Arrive();
        return Wait(timeoutMs);
    }

private:
    std::atomic<long> count_;
    HANDLE done_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

} // namespace kvtest
