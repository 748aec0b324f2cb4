// A request to stop long work early, set by one thread and read by the one doing the work
// (an extraction checks it between writes, a wait for a reader between short sleeps).
#pragma once

#include <atomic>

namespace kv {

class TCancellation {
public:
    void Cancel() noexcept { cancelled_.store(true, std::memory_order_release); }
    bool Cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> cancelled_{false};
};

// Ends work that was cancelled: an E_ABORT error, which nobody waits for.
[[noreturn]] void RaiseCancelled();

inline bool IsCancelled(const TCancellation* cancellation) noexcept
{
    return cancellation != nullptr && cancellation->Cancelled();
}

} // namespace kv
