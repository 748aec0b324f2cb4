#include "shell/ComServer.h"

#include "shell/Handles.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace kv::ComServer {

namespace {
std::atomic<LONG> objectCount{0};
std::atomic<LONG> lockCount{0};
std::atomic<bool> perUser{true};

// While any object lives, the library holds a reference on itself: the URL-moniker layer may
// call an object it still holds (a protocol object with reports queued for its thread) after
// the host has called FreeLibrary, and that code must still be there. The reference is let go
// by a short-lived thread a moment after the last object went, so that the thread which
// destroyed it has long returned from this code when the library may unload.
constexpr DWORD ReleaseDelayMs = 250;
SrwLock keepAliveLock;
HMODULE keepAlive = nullptr;
bool releasePending = false;

HMODULE ReferenceThisModule() noexcept
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&ReferenceThisModule), &module);
    return module;
}

DWORD WINAPI ReleaseKeepAlive(void* ownReference)
{
    Sleep(ReleaseDelayMs);
    HMODULE release = nullptr;
    {
        std::lock_guard guard(keepAliveLock);
        releasePending = false;
        if (objectCount.load() == 0)
            release = std::exchange(keepAlive, nullptr);
    }
    // This thread's own reference keeps the code here until it exits.
    if (release != nullptr)
        FreeLibrary(release);
    FreeLibraryAndExitThread(static_cast<HMODULE>(ownReference), 0);
}
} // namespace

LONG ObjectCount() noexcept { return objectCount.load(); }

void CountObject() noexcept
{
    if (++objectCount == 1 && IsLibrary()) {
        std::lock_guard guard(keepAliveLock);
        if (keepAlive == nullptr)
            keepAlive = ReferenceThisModule();
    }
}

void UncountObject() noexcept
{
    if (--objectCount != 0 || !IsLibrary())
        return;
    std::lock_guard guard(keepAliveLock);
    if (keepAlive == nullptr || releasePending)
        return;
    HMODULE own = ReferenceThisModule();
    if (own == nullptr)
        return;
    const HANDLE thread = CreateThread(nullptr, 0, &ReleaseKeepAlive, own, 0, nullptr);
    if (thread == nullptr) {
        FreeLibrary(own);  // cannot unload here: the keep-alive reference still holds
        return;
    }
    releasePending = true;
    CloseHandle(thread);
}
LONG LockCount() noexcept { return lockCount.load(); }
void CountLock() noexcept { ++lockCount; }
void UncountLock() noexcept { --lockCount; }

bool IsLibrary() noexcept
{
    return ThisModule() != GetModuleHandleW(nullptr);
}

std::wstring ServerName()
{
    return L"Kestrelview";
}

std::wstring ServerKey()
{
    return IsLibrary() ? L"InprocServer32" : L"LocalServer32";
}

bool PerUserRegistration() noexcept { return perUser.load(); }
void SetPerUserRegistration(bool value) noexcept { perUser.store(value); }

HKEY RegistryRoot() noexcept
{
    return PerUserRegistration() ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT;
}

std::wstring RegistryKeyPrefix()
{
    return PerUserRegistration() ? L"Software\\Classes\\" : L"";
}

} // namespace kv::ComServer
