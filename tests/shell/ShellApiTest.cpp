// Shell functions bound at run time (from a stand-in library, from none, from the system's),
// the system version and the argument checks.
#include "shell/ShellApi.h"
#include "tests/common/ErrorMessage.h"

#include "TestPaths.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

using namespace kv;

namespace {

const std::wstring StandInPath = std::wstring(KV_TEST_SUPPORT) + L"\\shellstandin.dll";

std::wstring TempDllPath()
{
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + L"kv-shell-" + std::to_wstring(GetCurrentProcessId()) + L".dll";
}

// A list of items with one byte each after their two-byte size.
std::vector<BYTE> IdList(const std::string& items)
{
    std::vector<BYTE> list;
    for (const char c : items)
        list.insert(list.end(), {3, 0, static_cast<BYTE>(c)});
    list.insert(list.end(), {0, 0});
    return list;
}

} // namespace

TEST(ShellFunctionTable, BindsByNameByOrdinalAndByTheOlderName)
{
    ShellFunctionTable table(StandInPath);
    ASSERT_TRUE(table.HasLibrary());
    const HMODULE module = GetModuleHandleW(StandInPath.c_str());
    ASSERT_NE(module, nullptr);

    // Not exported by name: the ordinal fills the entry.
    EXPECT_EQ(table.Entry(ShellEntry::ILClone), GetProcAddress(module, MAKEINTRESOURCEA(18)));
    EXPECT_NE(table.Entry(ShellEntry::ILClone), nullptr);
    EXPECT_EQ(table.Entry(ShellEntry::Ordinal660), GetProcAddress(module, MAKEINTRESOURCEA(660)));
    EXPECT_NE(table.Entry(ShellEntry::Ordinal660), nullptr);
    EXPECT_EQ(table.Entry(ShellEntry::CachedImageIndex),
              GetProcAddress(module, "Shell_GetCachedImageIndex"));
    EXPECT_NE(table.Entry(ShellEntry::CachedImageIndex), nullptr);
    EXPECT_EQ(table.Entry(ShellEntry::ILFree), nullptr);
    EXPECT_EQ(table.Entry(ShellEntry::SHGetFolderPathW), nullptr);

    // Present entries are called, missing ones answer E_NOTIMPL with their out cleared.
    const auto second = IdList("b");
    const auto secondList = reinterpret_cast<PCUIDLIST_RELATIVE>(second.data());
    EXPECT_EQ(table.ILCombine(nullptr, secondList), reinterpret_cast<PCIDLIST_ABSOLUTE>(secondList));
    void* object = &object;
    PCUITEMID_CHILD last = nullptr;
    EXPECT_EQ(table.SHBindToParent(reinterpret_cast<PCIDLIST_ABSOLUTE>(secondList), IID_IUnknown,
                                   &object, &last),
              S_FALSE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(last, reinterpret_cast<PCUITEMID_CHILD>(secondList));
    object = &object;
    EXPECT_EQ(table.SHCreateShellItemArrayFromDataObject(nullptr, IID_IUnknown, &object), E_NOTIMPL);
    EXPECT_EQ(object, nullptr);

    table.Unload();
    EXPECT_EQ(GetModuleHandleW(StandInPath.c_str()), nullptr);
}

TEST(ShellFunctionTable, MissingLibraryLeavesEveryEntryNullAndIsNotTriedAgain)
{
    const std::wstring path = TempDllPath();
    DeleteFileW(path.c_str());
    ShellFunctionTable table(path);
    EXPECT_FALSE(table.HasLibrary());
    for (unsigned i = 0; i < static_cast<unsigned>(ShellEntry::Count); ++i)
        EXPECT_EQ(table.Entry(static_cast<ShellEntry>(i)), nullptr) << i;
    EXPECT_EQ(table.ILCombine(nullptr, nullptr), nullptr);
    void* object = &object;
    PCUITEMID_CHILD last = reinterpret_cast<PCUITEMID_CHILD>(&object);
    EXPECT_EQ(table.SHBindToParent(nullptr, IID_IUnknown, &object, &last), E_NOTIMPL);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(last, nullptr);

    // The library appears: the table keeps its failed load until it is unloaded.
    ASSERT_TRUE(CopyFileW(StandInPath.c_str(), path.c_str(), FALSE));
    EXPECT_FALSE(table.HasLibrary());
    EXPECT_EQ(table.Entry(ShellEntry::ILCombine), nullptr);
    table.Unload();
    EXPECT_TRUE(table.HasLibrary());
    EXPECT_NE(table.Entry(ShellEntry::ILCombine), nullptr);
    table.Unload();
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST(ShellFunctionTable, ProcessTableCallsTheSystemShell)
{
    LoadShellFunctions();
    EXPECT_NE(ShellFunctions().Entry(ShellEntry::SHBindToParent), nullptr);
    EXPECT_NE(ShellFunctions().Entry(ShellEntry::SHCreateShellItemArrayFromDataObject), nullptr);

    const auto first = IdList("ab");
    const auto second = IdList("c");
    PIDLIST_ABSOLUTE combined =
        ShellILCombine(reinterpret_cast<PCIDLIST_ABSOLUTE>(first.data()),
                       reinterpret_cast<PCUIDLIST_RELATIVE>(second.data()));
    ASSERT_NE(combined, nullptr);
    EXPECT_EQ(ILGetSize(combined), IdList("abc").size());
    EXPECT_EQ(std::memcmp(combined, IdList("abc").data(), IdList("abc").size()), 0);
    CoTaskMemFree(combined);

    // Unloading forgets the entries; the next use binds them again.
    FreeShellFunctions();
    EXPECT_NE(ShellFunctions().Entry(ShellEntry::ILCombine), nullptr);
}

TEST(ShellServices, VersionAndArgumentChecks)
{
    const OSVersionNumbers version = ReadOSVersion();
    EXPECT_GE(version.Major, 5u);
    EXPECT_EQ(OSVersion().Major, version.Major);
    EXPECT_EQ(OSVersion().Build, version.Build);
    EXPECT_EQ(IsVistaOrLater(), version.Major > 5);

    int value = 0;
    EXPECT_EQ(CheckPointer(&value), &value);
    try {
        CheckPointer(static_cast<int*>(nullptr));
        ADD_FAILURE() << "no exception";
    } catch (const EInvalidPointer&) {
        EXPECT_EQ(ExceptionToHResult(), E_POINTER);
    }
    EXPECT_NO_THROW(CheckArgument(true));
    try {
        CheckArgument(false);
        ADD_FAILURE() << "no exception";
    } catch (const EArgumentException&) {
        EXPECT_EQ(ExceptionToHResult(), E_INVALIDARG);
    }
    try {
        RaiseInvalidMedium();
    } catch (const EOleSysError& e) {
        EXPECT_EQ(e.Message(), L"Invalid medium");
        EXPECT_EQ(e.ErrorCode(), static_cast<HRESULT>(0x80070057));
    }
}
