// The module's COM server record: its live-object and factory-lock counts and the names used
// when a class is written to the registry. Objects, factories and worker threads move the
// counts; nothing in the plug-in decides anything by them, but tests and a host's
// DllCanUnloadNow-style checks read them.
#pragma once

#include <windows.h>

#include <string>

namespace kv {

namespace ComServer {

// Live objects of the module (counted COM objects, interfaced objects, worker threads).
LONG ObjectCount() noexcept;
void CountObject() noexcept;    // +1
void UncountObject() noexcept;  // -1
// Class-factory locks (IClassFactory::LockServer and factory references).
LONG LockCount() noexcept;
void CountLock() noexcept;
void UncountLock() noexcept;

// True for a DLL (the plug-in); false when the code is linked into an executable (tests).
bool IsLibrary() noexcept;

// Registration names: ProgIDs are ServerName() + "." + the COM class name.
std::wstring ServerName();
// "InprocServer32" for a library, "LocalServer32" for an executable.
std::wstring ServerKey();
// Per-user registration writes under HKEY_CURRENT_USER\Software\Classes\; the plug-in never
// registers itself, so the default is per-user to keep stray calls off the machine keys.
bool PerUserRegistration() noexcept;
void SetPerUserRegistration(bool perUser) noexcept;
HKEY RegistryRoot() noexcept;
std::wstring RegistryKeyPrefix();

} // namespace ComServer

} // namespace kv
