// The archive library's location taken from the host's INI file, through the exports. Each
// test loads its own copy of the plug-in under a name of its own, so it starts as a separate
// module with no archive library loaded yet, in a folder without one beside it.
#include "tests/common/PluginLoader.h"
#include "tests/common/TestEnv.h"
#include "tests/exports/HostWindow.h"

#include "archive/ArchiveLibrary.h"
#include "shell/Strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace kvtest;

namespace {

std::wstring PluginExtension()
{
    const std::wstring path = PluginPath();
    return path.substr(path.rfind(L'.'));
}

// Loads the two-page archive through a copy of the plug-in given this host INI (none: empty).
// Returns whether it loaded; no window may stay behind either way.
bool LoadThroughCopy(const TempFolder& folder, const std::wstring& copyName,
                     const std::wstring& iniFile)
{
    const std::wstring copy = folder.Copy(PluginPath(), copyName + PluginExtension());
    Plugin plugin(copy.c_str());
    if (plugin.ListLoadW == nullptr)
        return false;
    HostWindow host;
    if (!iniFile.empty()) {
        ListDefaultParamStruct params{};
        params.size = sizeof(params);
        params.PluginInterfaceVersionLow = 50;
        params.PluginInterfaceVersionHi = 2;
        const std::string ini = kv::WideToAnsi(iniFile);
        std::strncpy(params.DefaultIniName, ini.c_str(), MAX_PATH - 1);
        plugin.ListSetDefaultParams(&params);
    }
    std::wstring archive = FixturePath(L"viewer-two-pages.maff");
    const HWND viewer = plugin.ListLoadW(host.Handle(), archive.data(), 0);
    if (viewer == nullptr) {
        EXPECT_EQ(host.ChildCount(), 0);
        return false;
    }
    EXPECT_EQ(ViewerLabels(viewer).size(), 2u);
    plugin.ListCloseWindow(viewer);
    return true;
}

std::wstring WriteHostIni(const TempFolder& folder, const std::wstring& libraryPath)
{
    return folder.Write(L"host.ini", "[Kestrelview]\r\n" + kv::WideToUtf8(kv::ArchiveLibraryKey) +
                                         "=" + kv::WideToAnsi(libraryPath) + "\r\n");
}

} // namespace

TEST(IniChain, HostIniNamesTheArchiveLibrary)
{
    TempFolder folder;
    EXPECT_TRUE(LoadThroughCopy(folder, L"kv-ini-found", WriteHostIni(folder, ArchiveLibraryPath())));
}

TEST(IniChain, HostIniNamingAMissingLibraryFailsTheLoad)
{
    TempFolder folder;
    EXPECT_FALSE(LoadThroughCopy(folder, L"kv-ini-missing",
                                 WriteHostIni(folder, folder.File(L"missing\\7z.dll"))));
}

TEST(IniChain, NoIniAndNoLibraryBesideThePluginFailsTheLoad)
{
    TempFolder folder;
    EXPECT_FALSE(LoadThroughCopy(folder, L"kv-ini-none", L""));
}

// The record's name is read no further than its array, a null record changes nothing, and the
// name of the last valid record is the one the library lookup reads.
TEST(IniChain, DefaultParamsRecordsOfAnyContent)
{
    TempFolder folder;
    const std::wstring copy = folder.Copy(PluginPath(), L"kv-ini-records" + PluginExtension());
    Plugin plugin(copy.c_str());
    ASSERT_NE(plugin.ListSetDefaultParams, nullptr);
    HostWindow host;
    std::wstring archive = FixturePath(L"viewer-two-pages.maff");
    const auto load = [&] {
        const HWND viewer = plugin.ListLoadW(host.Handle(), archive.data(), 0);
        if (viewer != nullptr)
            plugin.ListCloseWindow(viewer);
        return viewer != nullptr;
    };

    struct {
        ListDefaultParamStruct params;
        char after[16];  // what a reader running past the array would take for the name
    } record{};
    record.params.size = sizeof(record.params);
    std::memset(record.params.DefaultIniName, 'a', sizeof(record.params.DefaultIniName));
    std::strcpy(record.after, "\\host.ini");
    plugin.ListSetDefaultParams(&record.params);
    // No INI of that name, and no library beside this copy of the plug-in.
    EXPECT_FALSE(load());
    EXPECT_EQ(host.ChildCount(), 0);

    const std::string ini = kv::WideToAnsi(WriteHostIni(folder, ArchiveLibraryPath()));
    std::strcpy(record.params.DefaultIniName, ini.c_str());
    plugin.ListSetDefaultParams(&record.params);
    plugin.ListSetDefaultParams(nullptr);
    EXPECT_TRUE(load());
}
