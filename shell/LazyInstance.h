// A process-wide object created on first use from any thread and freed on demand, for tables
// that the library's start-up may create early and its unload must free before the loader
// lock is released.
#pragma once

#include "shell/Handles.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace kv {

template <typename T>
class LazyInstance {
public:
    LazyInstance() = default;
    ~LazyInstance() { Reset(); }
    LazyInstance(const LazyInstance&) = delete;
    LazyInstance& operator=(const LazyInstance&) = delete;

    T& Get()
    {
        if (T* const instance = instance_.load(std::memory_order_acquire))
            return *instance;
        std::lock_guard guard(lock_);
        T* instance = instance_.load(std::memory_order_relaxed);
        if (instance == nullptr) {
            instance = new T();
            instance_.store(instance, std::memory_order_release);
        }
        return *instance;
    }

    // Frees the object; the next Get creates a new one. Nothing may be using the old one.
    void Reset() noexcept
    {
        std::lock_guard guard(lock_);
        std::unique_ptr<T> old(instance_.exchange(nullptr, std::memory_order_acq_rel));
    }

private:
    CriticalSection lock_;
    std::atomic<T*> instance_{nullptr};
};

} // namespace kv
