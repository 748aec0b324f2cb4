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

bool IsSeparator(wchar_t c) noexcept
{
    return c == L'\\' || c == L'/';
}

bool IsDriveLetter(wchar_t c) noexcept
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// "C:\x" or "\\server\share\x": nothing in it depends on a current drive or directory.
bool IsFullyQualified(std::wstring_view path) noexcept
{
    if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' && IsSeparator(path[2]))
        return true;
    return path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

std::wstring WindowsFolder()
{
    std::wstring folder(MAX_PATH, L'\0');
    const UINT length = GetWindowsDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    if (length == 0 || length >= folder.size())
        RaiseLastOSError();
    folder.resize(length);
    return folder;
}

std::wstring WithSeparator(const std::wstring& folder)
{
    return !folder.empty() && IsSeparator(folder.back()) ? folder : folder + L"\\";
}

// "C:" of "C:\a\b", "\\server\share" of "\\server\share\a" (a full path).
std::wstring RootOf(const std::wstring& fullPath)
{
    if (!IsSeparator(fullPath[0]))
        return fullPath.substr(0, 2);
    const size_t server = fullPath.find_first_of(L"\\/", 2);
    if (server == std::wstring::npos)
        return fullPath;
    return fullPath.substr(0, fullPath.find_first_of(L"\\/", server + 1));
}

std::wstring FullPath(const std::wstring& path)
{
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        RaiseLastOSError();
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        RaiseLastOSError();
    full.resize(length);
    return full;
}

// The library's own folder and the system folder only, where the system knows these search
// flags (Windows 8, or Windows 7 with its loader update); else the altered search order, which
// starts in the library's folder (the library itself imports system libraries only).
HMODULE LoadLibraryFromFullPath(const std::wstring& path)
{
    constexpr DWORD SearchDllLoadDir = 0x00000100;  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
    constexpr DWORD SearchSystem32 = 0x00000800;    // LOAD_LIBRARY_SEARCH_SYSTEM32
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, SearchDllLoadDir | SearchSystem32);
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER)
        module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return module;
}

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

std::wstring ResolveLibraryPath(const std::wstring& value, const std::wstring& iniFileName)
{
    if (IsFullyQualified(value))
        return FullPath(value);
    // "C:x" would depend on the current folder of drive C.
    if (value.size() >= 2 && IsDriveLetter(value[0]) && value[1] == L':')
        return FullPath(value.substr(0, 2) + L"\\" + value.substr(2));
    const std::wstring iniFolder = ExtractFilePath(iniFileName);
    const std::wstring base = iniFolder.empty() ? WindowsFolder() : FullPath(iniFolder);
    if (!value.empty() && IsSeparator(value[0]))
        return FullPath(RootOf(base) + value);  // rooted: on the INI file's drive or share
    return FullPath(WithSeparator(base) + value);
}

std::wstring FindArchiveLibraryPath(const std::wstring& hostIniFileName,
                                    const std::wstring& pluginFolder)
{
    for (const std::wstring& ini : {hostIniFileName, ExtractFilePath(hostIniFileName) + PluginIniName,
                                    pluginFolder + PluginIniName}) {
        const std::wstring value = ReadArchiveLibraryPath(ini);
        if (!value.empty())
            return ResolveLibraryPath(value, ini);
    }
    return pluginFolder + DefaultArchiveLibraryName;
}

void LoadArchiveLibrary()
{
    std::lock_guard lock(libraryLock);
    if (libraryHandle != nullptr)
        return;
    const std::wstring path =
        FindArchiveLibraryPath(GetHostIniFileName(), ExtractFilePath(ModuleFileName(ThisModule())));
    // Only the first configured path is tried: a wrong setting is reported, not papered over.
    HMODULE module = LoadLibraryFromFullPath(path);
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
