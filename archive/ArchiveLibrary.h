// Where the archive library comes from, its one-time load and its entry points.
#pragma once

#include "archive/orv7z.h"

#include <string>

namespace kv {

// The INI key naming the library: each bitness has its own, because a file manager's 32-bit
// and 64-bit builds usually share one INI file and a library of the other bitness cannot load.
#ifdef _WIN64
inline constexpr wchar_t ArchiveLibraryKey[] = L"7z.64.dll";
inline constexpr wchar_t DefaultArchiveLibraryName[] = L"7z.64.dll";
#else
inline constexpr wchar_t ArchiveLibraryKey[] = L"7z.32.dll";
inline constexpr wchar_t DefaultArchiveLibraryName[] = L"7z.32.dll";
#endif
inline constexpr wchar_t ArchiveLibrarySection[] = L"Kestrelview";
inline constexpr wchar_t PluginIniName[] = L"Kestrelview.ini";

// The host's default INI file, as handed to ListSetDefaultParams.
std::wstring GetHostIniFileName();
void SetHostIniFileName(std::wstring name);

// The trimmed library path configured in an INI file; empty when it configures none or cannot
// be read. Never raises.
std::wstring ReadArchiveLibraryPath(const std::wstring& iniFileName) noexcept;

// The first library path the lookup chain gives: the host INI, "Kestrelview.ini" beside it,
// "Kestrelview.ini" in the plug-in's folder, else the default name in the plug-in's folder.
// pluginFolder keeps its trailing separator. A relative value is taken relative to the folder
// of the INI file that gives it, never to the current directory: a file manager's current
// directory is the folder the user browses, where anybody may have put a library.
std::wstring FindArchiveLibraryPath(const std::wstring& hostIniFileName,
                                    const std::wstring& pluginFolder);

// The full path of value, a library path read from iniFileName: a relative value is taken
// relative to the INI file's folder (the Windows directory for a bare INI name, where the INI
// reader looks for it).
std::wstring ResolveLibraryPath(const std::wstring& value, const std::wstring& iniFileName);

// Loads the library once and resolves its entry points; raises the OS error when the library
// cannot be loaded. The library and what it imports are never looked for in the current
// directory. A failure caches nothing, so the next call looks everything up again.
void LoadArchiveLibrary();

// Frees the library (if loaded) and clears the host INI name, as at plug-in unload.
void UnloadArchiveLibrary() noexcept;

struct ArchiveLibraryEntryPoints {
    CreateObjectFunc CreateObject = nullptr;
    FARPROC GetHandlerProperty = nullptr;
    FARPROC GetHandlerProperty2 = nullptr;
    FARPROC GetIsArc = nullptr;
    FARPROC GetMethodProperty = nullptr;
    FARPROC GetNumberOfFormats = nullptr;
    FARPROC GetNumberOfMethods = nullptr;
    FARPROC SetLargePageMode = nullptr;
    FARPROC SetCodecs = nullptr;
};

// The loaded library's handle (null while not loaded) and its entry points.
HMODULE ArchiveLibraryHandle() noexcept;
ArchiveLibraryEntryPoints ArchiveLibraryEntries() noexcept;

} // namespace kv
