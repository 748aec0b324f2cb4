#include "archive/ArchiveLibrary.h"

#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/Strings.h"

#include <mutex>
#include <vector>

namespace kv {
namespace {

// The host may set its INI name on one thread while a request thread loads the library on
// another; the lock keeps the string whole.
std::mutex hostIniLock;
std::wstring hostIniFileName;

// Guards the one-time load: the viewer's thread and request threads may both be first.
std::mutex libraryLock;
HMODULE libraryHandle = nullptr;
ArchiveLibraryEntryPoints entries;

template <typename T>
T Resolve(HMODULE module, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

} // namespace

std::wstring GetHostIniFileName()
{
    std::lock_guard lock(hostIniLock);
    return hostIniFileName;
}

void SetHostIniFileName(std::wstring name)
{
    std::lock_guard lock(hostIniLock);
    hostIniFileName = std::move(name);
}

std::wstring ReadArchiveLibraryPath(const std::wstring& iniFileName) noexcept
{
    try {
        std::vector<wchar_t> buffer(MAX_PATH + 1);
        for (;;) {
            const DWORD length = GetPrivateProfileStringW(
                ArchiveLibrarySection, ArchiveLibraryKey, L"", buffer.data(),
                static_cast<DWORD>(buffer.size()), iniFileName.c_str());
            // A value that filled the buffer may have been cut: read it again with more room.
            if (length + 1 < buffer.size() || buffer.size() >= 32768)
                return Trim(std::wstring_view(buffer.data(), length));
            buffer.resize(buffer.size() * 2);
        }
    } catch (...) {
        return {};
    }
}

std::wstring FindArchiveLibraryPath(const std::wstring& hostIniFileName,
                                    const std::wstring& pluginFolder)
{
    std::wstring path = ReadArchiveLibraryPath(hostIniFileName);
    if (path.empty())
        path = ReadArchiveLibraryPath(ExtractFilePath(hostIniFileName) + PluginIniName);
    if (path.empty())
        path = ReadArchiveLibraryPath(pluginFolder + PluginIniName);
    if (path.empty())
        path = pluginFolder + DefaultArchiveLibraryName;
    return path;
}

void LoadArchiveLibrary()
{
    std::lock_guard lock(libraryLock);
    if (libraryHandle != nullptr)
        return;
    const std::wstring path =
        FindArchiveLibraryPath(GetHostIniFileName(), ExtractFilePath(ModuleFileName(ThisModule())));
    // Only the first configured path is tried: a wrong setting is reported, not papered over.
    HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr)
        RaiseLastOSError();
    entries.CreateObject = Resolve<CreateObjectFunc>(module, "CreateObject");
    entries.GetHandlerProperty = Resolve<FARPROC>(module, "GetHandlerProperty");
    entries.GetHandlerProperty2 = Resolve<FARPROC>(module, "GetHandlerProperty2");
    entries.GetIsArc = Resolve<FARPROC>(module, "GetIsArc");
    entries.GetMethodProperty = Resolve<FARPROC>(module, "GetMethodProperty");
    entries.GetNumberOfFormats = Resolve<FARPROC>(module, "GetNumberOfFormats");
    entries.GetNumberOfMethods = Resolve<FARPROC>(module, "GetNumberOfMethods");
    entries.SetLargePageMode = Resolve<FARPROC>(module, "SetLargePageMode");
    entries.SetCodecs = Resolve<FARPROC>(module, "SetCodecs");
    libraryHandle = module;
}

void UnloadArchiveLibrary() noexcept
{
    {
        std::lock_guard lock(libraryLock);
        if (libraryHandle != nullptr)
            FreeLibrary(libraryHandle);
        libraryHandle = nullptr;
        entries = {};
    }
    SetHostIniFileName({});
}

HMODULE ArchiveLibraryHandle() noexcept
{
    std::lock_guard lock(libraryLock);
    return libraryHandle;
}

ArchiveLibraryEntryPoints ArchiveLibraryEntries() noexcept
{
    std::lock_guard lock(libraryLock);
    return entries;
}

} // namespace kv
