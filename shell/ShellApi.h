// Process-wide services of the support library: shell functions bound at run time (so the
// plug-in starts on systems that lack some of them), the system version, argument checks and
// the "Invalid medium" error.
#pragma once

#include "shell/Exceptions.h"
#include "shell/Handles.h"

#include <windows.h>
#include <objidl.h>
#include <shtypes.h>

#include <array>
#include <atomic>
#include <string>

namespace kv {

// The entries of the shell function table, in load order.
enum class ShellEntry : unsigned {
    ILClone,
    ILCombine,
    ILFindChild,
    ILFindLastID,
    ILFree,
    ILIsParent,
    ILRemoveLastID,
    AssocCreateForClasses,
    Ordinal660,        // exported by ordinal only
    OpenAs_RunDLLW,
    CachedImageIndex,  // Shell_GetCachedImageIndexW, else Shell_GetCachedImageIndex
    SHAssocEnumHandlers,
    SHBindToParent,
    SHCreateAssociationRegistration,
    SHCreateItemFromIDList,
    SHCreateItemFromParsingName,
    SHCreateItemWithParent,
    SHCreateShellItem,
    SHCreateShellFolderView,
    SHCreateShellItemArrayFromDataObject,
    SHGetAssocKeys,
    SHGetFolderLocation,
    SHGetFolderPathW,
    SHGetIDListFromObject,
    SHGetImageList,
    SHGetKnownFolderIDList,
    SHGetKnownFolderPath,
    SHGetStockIconInfo,
    SHLoadInProc,
    SHOpenWithDialog,
    CDefFolderMenu_Create2,
    Count
};

// Entries bound from one library, loaded on first use. The process uses the one over
// "shell32.dll" (ShellFunctions()); other instances bind from another library for tests.
class ShellFunctionTable {
public:
    // library: a module name or path, loaded with LoadLibraryW when the table is first used.
    explicit ShellFunctionTable(std::wstring library);
    ~ShellFunctionTable() = default;
    ShellFunctionTable(const ShellFunctionTable&) = delete;
    ShellFunctionTable& operator=(const ShellFunctionTable&) = delete;

    // Binds every entry once, from any thread. A library that cannot be loaded leaves every
    // entry null, and the load is not tried again until Unload.
    void Load() noexcept;
    // The entry's address after Load; null when the library lacks it.
    FARPROC Entry(ShellEntry entry) noexcept;
    bool HasLibrary() noexcept;
    // Frees the library and forgets the entries, which would point into it; the next use
    // loads again. Nothing may be calling an entry meanwhile.
    void Unload() noexcept;

    // Wrappers: null, or E_NOTIMPL with the out parameters cleared, when the entry is missing.
    PIDLIST_ABSOLUTE ILCombine(PCIDLIST_ABSOLUTE first, PCUIDLIST_RELATIVE second) noexcept;
    HRESULT SHBindToParent(PCIDLIST_ABSOLUTE idList, REFIID iid, void** object,
                           PCUITEMID_CHILD* last) noexcept;
    HRESULT SHCreateShellItemArrayFromDataObject(IDataObject* dataObject, REFIID iid,
                                                 void** object) noexcept;

private:
    template <typename Proc>
    Proc Typed(ShellEntry entry) noexcept
    {
        return reinterpret_cast<Proc>(reinterpret_cast<void*>(Entry(entry)));
    }

    const std::wstring library_;
    CriticalSection lock_;
    // Set once the entries are final, so later calls read them without the lock.
    std::atomic<bool> loaded_{false};
    UniqueModule module_;
    std::array<FARPROC, static_cast<size_t>(ShellEntry::Count)> entries_{};
};

// The process's table over "shell32.dll".
ShellFunctionTable& ShellFunctions() noexcept;
void LoadShellFunctions() noexcept;
// At unload: frees the shell library if it was loaded.
void FreeShellFunctions() noexcept;

// The process table's wrappers, named apart from the system's own declarations.
PIDLIST_ABSOLUTE ShellILCombine(PCIDLIST_ABSOLUTE first, PCUIDLIST_RELATIVE second) noexcept;
HRESULT ShellBindToParent(PCIDLIST_ABSOLUTE idList, REFIID iid, void** object,
                          PCUITEMID_CHILD* last) noexcept;
HRESULT ShellCreateItemArrayFromDataObject(IDataObject* dataObject, REFIID iid,
                                           void** object) noexcept;

struct OSVersionNumbers {
    DWORD Major = 0;
    DWORD Minor = 0;
    DWORD Build = 0;
};

// Asks the system (RtlGetVersion, which unlike GetVersionEx does not depend on a manifest);
// 5.1 build 2600 when it cannot tell.
OSVersionNumbers ReadOSVersion() noexcept;
// The version read once for the process.
const OSVersionNumbers& OSVersion() noexcept;
bool IsVistaOrLater() noexcept;

// Raises EInvalidPointer (E_POINTER) for a null pointer, else returns it.
template <typename T>
T* CheckPointer(T* pointer)
{
    if (pointer == nullptr)
        throw EInvalidPointer(L"Invalid pointer");
    return pointer;
}

// Raises EArgumentException (E_INVALIDARG) when the condition is false.
void CheckArgument(bool condition);

// A data transfer offered a storage medium that the library does not handle.
[[noreturn]] void RaiseInvalidMedium();

} // namespace kv
