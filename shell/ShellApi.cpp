#include "shell/ShellApi.h"

#include <mutex>

namespace kv {

namespace {

struct EntryImport {
    const char* name;      // null: by ordinal only
    WORD ordinal;          // 0: by name only
    const char* fallback;  // another name tried when the first is not exported
};

// In ShellEntry order.
constexpr EntryImport kImports[] = {
    {"ILClone", 18, nullptr},
    {"ILCombine", 25, nullptr},
    {"ILFindChild", 24, nullptr},
    {"ILFindLastID", 16, nullptr},
    {"ILFree", 155, nullptr},
    {"ILIsParent", 23, nullptr},
    {"ILRemoveLastID", 17, nullptr},
    {"AssocCreateForClasses", 0, nullptr},
    {nullptr, 660, nullptr},
    {"OpenAs_RunDLLW", 0, nullptr},
    {"Shell_GetCachedImageIndexW", 0, "Shell_GetCachedImageIndex"},
    {"SHAssocEnumHandlers", 0, nullptr},
    {"SHBindToParent", 0, nullptr},
    {"SHCreateAssociationRegistration", 0, nullptr},
    {"SHCreateItemFromIDList", 0, nullptr},
    {"SHCreateItemFromParsingName", 0, nullptr},
    {"SHCreateItemWithParent", 0, nullptr},
    {"SHCreateShellItem", 0, nullptr},
    {"SHCreateShellFolderView", 256, nullptr},
    {"SHCreateShellItemArrayFromDataObject", 0, nullptr},
    {"SHGetAssocKeys", 777, nullptr},
    {"SHGetFolderLocation", 0, nullptr},
    {"SHGetFolderPathW", 0, nullptr},
    {"SHGetIDListFromObject", 0, nullptr},
    {"SHGetImageList", 727, nullptr},
    {"SHGetKnownFolderIDList", 0, nullptr},
    {"SHGetKnownFolderPath", 0, nullptr},
    {"SHGetStockIconInfo", 0, nullptr},
    {"SHLoadInProc", 0, nullptr},
    {"SHOpenWithDialog", 0, nullptr},
    {"CDefFolderMenu_Create2", 701, nullptr},
};
static_assert(std::size(kImports) == static_cast<size_t>(ShellEntry::Count));

FARPROC Resolve(HMODULE module, const EntryImport& import) noexcept
{
    FARPROC address = nullptr;
    if (import.name != nullptr)
        address = GetProcAddress(module, import.name);
    if (address == nullptr && import.fallback != nullptr)
        address = GetProcAddress(module, import.fallback);
    if (address == nullptr && import.ordinal != 0)
        address = GetProcAddress(module, MAKEINTRESOURCEA(import.ordinal));
    return address;
}

using ILCombineProc = PIDLIST_ABSOLUTE(WINAPI*)(PCIDLIST_ABSOLUTE, PCUIDLIST_RELATIVE);
using SHBindToParentProc = HRESULT(WINAPI*)(PCIDLIST_ABSOLUTE, REFIID, void**, PCUITEMID_CHILD*);
using SHCreateShellItemArrayFromDataObjectProc = HRESULT(WINAPI*)(IDataObject*, REFIID, void**);
using RtlGetVersionProc = LONG(WINAPI*)(OSVERSIONINFOW*);

} // namespace

ShellFunctionTable::ShellFunctionTable(std::wstring library) : library_(std::move(library)) {}

void ShellFunctionTable::Load() noexcept
{
    if (loaded_.load(std::memory_order_acquire))
        return;
    std::lock_guard guard(lock_);
    if (loaded_.load(std::memory_order_relaxed))
        return;
    // A missing library must not stop a host's thread on a message box; the thread's own
    // error mode leaves other threads alone.
    DWORD oldMode = 0;
    const bool modeSet = SetThreadErrorMode(GetThreadErrorMode() | SEM_NOOPENFILEERRORBOX, &oldMode);
    module_.reset(LoadLibraryW(library_.c_str()));
    if (modeSet)
        SetThreadErrorMode(oldMode, nullptr);
    entries_.fill(nullptr);
    if (module_) {
        for (size_t i = 0; i < entries_.size(); ++i)
            entries_[i] = Resolve(module_.get(), kImports[i]);
    }
    loaded_.store(true, std::memory_order_release);
}

FARPROC ShellFunctionTable::Entry(ShellEntry entry) noexcept
{
    Load();
    const auto index = static_cast<size_t>(entry);
    return index < entries_.size() ? entries_[index] : nullptr;
}

bool ShellFunctionTable::HasLibrary() noexcept
{
    Load();
    return module_ != nullptr;
}

void ShellFunctionTable::Unload() noexcept
{
    std::lock_guard guard(lock_);
    loaded_.store(false, std::memory_order_release);
    entries_.fill(nullptr);
    module_.reset();
}

PIDLIST_ABSOLUTE ShellFunctionTable::ILCombine(PCIDLIST_ABSOLUTE first,
                                               PCUIDLIST_RELATIVE second) noexcept
{
    const auto proc = Typed<ILCombineProc>(ShellEntry::ILCombine);
    return proc != nullptr ? proc(first, second) : nullptr;
}

HRESULT ShellFunctionTable::SHBindToParent(PCIDLIST_ABSOLUTE idList, REFIID iid, void** object,
                                           PCUITEMID_CHILD* last) noexcept
{
    if (object != nullptr)
        *object = nullptr;
    if (last != nullptr)
        *last = nullptr;
    const auto proc = Typed<SHBindToParentProc>(ShellEntry::SHBindToParent);
    return proc != nullptr ? proc(idList, iid, object, last) : E_NOTIMPL;
}

HRESULT ShellFunctionTable::SHCreateShellItemArrayFromDataObject(IDataObject* dataObject,
                                                                 REFIID iid,
                                                                 void** object) noexcept
{
    if (object != nullptr)
        *object = nullptr;
    const auto proc = Typed<SHCreateShellItemArrayFromDataObjectProc>(
        ShellEntry::SHCreateShellItemArrayFromDataObject);
    return proc != nullptr ? proc(dataObject, iid, object) : E_NOTIMPL;
}

ShellFunctionTable& ShellFunctions() noexcept
{
    static ShellFunctionTable table(L"shell32.dll");
    return table;
}

void LoadShellFunctions() noexcept
{
    ShellFunctions().Load();
}

void FreeShellFunctions() noexcept
{
    ShellFunctions().Unload();
}

PIDLIST_ABSOLUTE ShellILCombine(PCIDLIST_ABSOLUTE first, PCUIDLIST_RELATIVE second) noexcept
{
    return ShellFunctions().ILCombine(first, second);
}

HRESULT ShellBindToParent(PCIDLIST_ABSOLUTE idList, REFIID iid, void** object,
                          PCUITEMID_CHILD* last) noexcept
{
    return ShellFunctions().SHBindToParent(idList, iid, object, last);
}

HRESULT ShellCreateItemArrayFromDataObject(IDataObject* dataObject, REFIID iid,
                                           void** object) noexcept
{
    return ShellFunctions().SHCreateShellItemArrayFromDataObject(dataObject, iid, object);
}

OSVersionNumbers ReadOSVersion() noexcept
{
    OSVersionNumbers version{5, 1, 2600};
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr)
        return version;
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionProc>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (rtlGetVersion == nullptr)
        return version;
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (rtlGetVersion(&info) != 0)
        return version;
    return {info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber};
}

const OSVersionNumbers& OSVersion() noexcept
{
    static const OSVersionNumbers version = ReadOSVersion();
    return version;
}

bool IsVistaOrLater() noexcept
{
    return OSVersion().Major > 5;
}

void CheckArgument(bool condition)
{
    if (!condition)
        throw EArgumentException(L"Invalid argument");
}

void RaiseInvalidMedium()
{
    throw EOleSysError(L"Invalid medium", E_INVALIDARG);
}

} // namespace kv
