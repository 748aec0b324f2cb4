#include "shell/ComServer.h"

#include "shell/Handles.h"

#include <atomic>

namespace kv::ComServer {

namespace {
std::atomic<LONG> objectCount{0};
std::atomic<LONG> lockCount{0};
std::atomic<bool> perUser{true};
} // namespace

// Only counts: the URL session creates and releases objects while holding its own lock, so
// nothing here may take the loader lock or decide about the library's lifetime. A started
// plug-in stays mapped until its process ends (plugin/entry/Startup.h).
LONG ObjectCount() noexcept { return objectCount.load(); }
void CountObject() noexcept { ++objectCount; }
void UncountObject() noexcept { --objectCount; }
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
