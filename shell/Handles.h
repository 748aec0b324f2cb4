// Small RAII owners for handles, modules and locks.
#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

namespace kv {

struct HandleCloser {
    void operator()(HANDLE h) const noexcept
    {
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

struct ModuleFreer {
    void operator()(HMODULE h) const noexcept
    {
        if (h != nullptr)
            FreeLibrary(h);
    }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

struct RegKeyCloser {
    void operator()(HKEY key) const noexcept
    {
        if (key != nullptr)
            RegCloseKey(key);
    }
};
// An opened registry key (never a predefined root such as HKEY_CURRENT_USER).
using UniqueRegKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegKeyCloser>;

// A critical section usable with std::lock_guard / std::unique_lock.
class CriticalSection {
public:
    CriticalSection() noexcept { InitializeCriticalSection(&cs_); }
    ~CriticalSection() { DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void lock() noexcept { EnterCriticalSection(&cs_); }
    void unlock() noexcept { LeaveCriticalSection(&cs_); }
    bool try_lock() noexcept { return TryEnterCriticalSection(&cs_) != FALSE; }

private:
    CRITICAL_SECTION cs_;
};

// A slim reader/writer lock usable with std::shared_lock / std::unique_lock.
class SrwLock {
public:
    SrwLock() noexcept = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;
    void lock() noexcept { AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept { ReleaseSRWLockExclusive(&lock_); }
    void lock_shared() noexcept { AcquireSRWLockShared(&lock_); }
    void unlock_shared() noexcept { ReleaseSRWLockShared(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// The module that contains this code (the plug-in, or a test program linking it statically).
HMODULE ThisModule() noexcept;
// Full file name of a module; raises the OS error on failure.
std::wstring ModuleFileName(HMODULE module);

} // namespace kv
