// The library lookup chain with real INI files and the real archive library.
#include "archive/ArchiveLibrary.h"
#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/Strings.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

using namespace kv;
using kvtest::TempFolder;

namespace {

std::string IniWith(const std::wstring& value)
{
    return "[Kestrelview]\r\n" + WideToUtf8(std::wstring(ArchiveLibraryKey)) + "=" +
           WideToUtf8(value) + "\r\n";
}

std::wstring LoadedLibraryFile()
{
    return ModuleFileName(ArchiveLibraryHandle());
}

class ArchiveLibraryLoad : public ::testing::Test {
protected:
    void SetUp() override { UnloadArchiveLibrary(); }
    void TearDown() override { UnloadArchiveLibrary(); }
    TempFolder temp;
};

} // namespace

TEST(ArchiveLibraryLookup, ChainGivesFirstConfiguredValue)
{
    TempFolder host, plugin;
    const std::wstring pluginFolder = plugin.Path();

    // Nothing configured anywhere: the default name in the plug-in's folder.
    EXPECT_EQ(FindArchiveLibraryPath(host.File(L"missing.ini"), pluginFolder),
              pluginFolder + DefaultArchiveLibraryName);

    // The plug-in folder's own INI file.
    plugin.Write(PluginIniName, IniWith(L"C:\\from-plugin\\7z.dll"));
    EXPECT_EQ(FindArchiveLibraryPath(host.File(L"missing.ini"), pluginFolder),
              L"C:\\from-plugin\\7z.dll");

    // "Kestrelview.ini" beside the host INI wins over the plug-in folder's.
    host.Write(PluginIniName, IniWith(L"C:\\beside-host\\7z.dll"));
    const std::wstring hostIni = host.Write(L"host.ini", "[Other]\r\nx=1\r\n");
    EXPECT_EQ(FindArchiveLibraryPath(hostIni, pluginFolder), L"C:\\beside-host\\7z.dll");

    // The host INI itself wins over both; its value is trimmed of blanks and tabs.
    host.Write(L"host.ini", IniWith(L" \t C:\\host value\\7z.dll \t "));
    EXPECT_EQ(FindArchiveLibraryPath(hostIni, pluginFolder), L"C:\\host value\\7z.dll");

    // A value of blanks only does not configure anything.
    host.Write(L"host.ini", IniWith(L"   "));
    EXPECT_EQ(FindArchiveLibraryPath(hostIni, pluginFolder), L"C:\\beside-host\\7z.dll");
}

TEST(ArchiveLibraryLookup, OtherBitnessKeyIsIgnored)
{
    TempFolder host, plugin;
#ifdef _WIN64
    const std::string otherKey = "7z.32.dll";
#else
    const std::string otherKey = "7z.64.dll";
#endif
    const std::wstring hostIni =
        host.Write(L"host.ini", "[Kestrelview]\r\n" + otherKey + "=C:\\other\\7z.dll\r\n");
    EXPECT_EQ(FindArchiveLibraryPath(hostIni, plugin.Path()),
              plugin.Path() + DefaultArchiveLibraryName);
}

TEST(ArchiveLibraryLookup, UnreadableOrEmptyInputsGiveEmptyValue)
{
    TempFolder folder;
    EXPECT_EQ(ReadArchiveLibraryPath(folder.File(L"absent.ini")), L"");
    EXPECT_EQ(ReadArchiveLibraryPath(L""), L"");
    EXPECT_EQ(ReadArchiveLibraryPath(folder.Path()), L"");  // a folder, not a file
    EXPECT_EQ(ReadArchiveLibraryPath(folder.Write(L"binary.ini", std::string("\0\xff\xfe[", 4))), L"");
    EXPECT_EQ(ReadArchiveLibraryPath(folder.Write(L"nokey.ini", "[Kestrelview]\r\nother=1\r\n")), L"");
    // A long value is read whole.
    const std::wstring longPath = L"C:\\" + std::wstring(600, L'a') + L"\\7z.dll";
    EXPECT_EQ(ReadArchiveLibraryPath(folder.Write(L"long.ini", IniWith(longPath))), longPath);
}

TEST_F(ArchiveLibraryLoad, LoadsConfiguredLibraryOnceAndResolvesEntryPoints)
{
    SetHostIniFileName(temp.Write(L"host.ini", IniWith(L"  " + kvtest::ArchiveLibraryPath() + L"  ")));
    LoadArchiveLibrary();
    ASSERT_NE(ArchiveLibraryHandle(), nullptr);
    EXPECT_TRUE(SameTextIgnoreCase(LoadedLibraryFile(), kvtest::ArchiveLibraryPath()));
    const ArchiveLibraryEntryPoints entries = ArchiveLibraryEntries();
    EXPECT_NE(entries.CreateObject, nullptr);
    EXPECT_NE(entries.GetHandlerProperty2, nullptr);
    EXPECT_NE(entries.GetNumberOfFormats, nullptr);

    // A second open does no lookup: a broken setting now changes nothing.
    const HMODULE first = ArchiveLibraryHandle();
    temp.Write(L"host.ini", IniWith(L"C:\\nowhere\\7z.dll"));
    EXPECT_NO_THROW(LoadArchiveLibrary());
    EXPECT_EQ(ArchiveLibraryHandle(), first);
}

TEST_F(ArchiveLibraryLoad, MissingConfiguredLibraryFailsWithoutFallback)
{
    // The build puts a working library beside the test program, the plug-in's folder here;
    // a configured path must still be the only one tried.
    SetHostIniFileName(temp.Write(L"host.ini", IniWith(temp.File(L"absent\\7z.dll"))));
    try {
        LoadArchiveLibrary();
        FAIL() << "loaded although the configured library does not exist";
    } catch (const EOSError& e) {
        EXPECT_TRUE(e.ErrorCode() == ERROR_MOD_NOT_FOUND || e.ErrorCode() == ERROR_PATH_NOT_FOUND)
            << e.ErrorCode();
        EXPECT_NE(e.Message().find(L"System Error.  Code: "), std::wstring::npos);
    }
    EXPECT_EQ(ArchiveLibraryHandle(), nullptr);

    // Nothing was cached: the next open reads the INI again.
    temp.Write(L"host.ini", IniWith(kvtest::ArchiveLibraryPath()));
    EXPECT_NO_THROW(LoadArchiveLibrary());
    EXPECT_NE(ArchiveLibraryHandle(), nullptr);
}

TEST(ArchiveLibraryLookup, RelativeValuesResolveAgainstTheirIniFolder)
{
    TempFolder host, plugin;
    const std::wstring hostIni = host.Write(L"host.ini", IniWith(L"lib\\7z.dll"));
    EXPECT_EQ(FindArchiveLibraryPath(hostIni, plugin.Path()), host.Path() + L"lib\\7z.dll");
    host.Write(L"host.ini", IniWith(L".\\lib\\..\\7z.dll"));
    EXPECT_EQ(FindArchiveLibraryPath(hostIni, plugin.Path()), host.Path() + L"7z.dll");
    // Rooted: on the INI file's drive.
    host.Write(L"host.ini", IniWith(L"\\tools\\7z.dll"));
    EXPECT_EQ(FindArchiveLibraryPath(hostIni, plugin.Path()), host.Path().substr(0, 2) + L"\\tools\\7z.dll");
    // The plug-in folder's own INI file resolves against the plug-in folder.
    plugin.Write(PluginIniName, IniWith(L"7z.dll"));
    EXPECT_EQ(FindArchiveLibraryPath(host.File(L"missing.ini"), plugin.Path()), plugin.Path() + L"7z.dll");
}

TEST_F(ArchiveLibraryLoad, ALibraryInTheCurrentFolderIsNeverLoaded)
{
    TempFolder current;
    current.Copy(kvtest::ArchiveLibraryPath(), L"7z.dll");
    struct CurrentFolder {
        explicit CurrentFolder(const std::wstring& folder)
        {
            GetCurrentDirectoryW(MAX_PATH, previous);
            SetCurrentDirectoryW(folder.c_str());
        }
        ~CurrentFolder() { SetCurrentDirectoryW(previous); }
        wchar_t previous[MAX_PATH]{};
    } inCurrent(current.Path());

    // A bare name beside an INI file that has no such library next to it.
    SetHostIniFileName(temp.Write(L"host.ini", IniWith(L"7z.dll")));
    EXPECT_THROW(LoadArchiveLibrary(), EOSError);
    EXPECT_EQ(ArchiveLibraryHandle(), nullptr);
    EXPECT_EQ(GetModuleHandleW(current.File(L"7z.dll").c_str()), nullptr);

    // Once it is there, that one is loaded.
    temp.Copy(kvtest::ArchiveLibraryPath(), L"7z.dll");
    LoadArchiveLibrary();
    EXPECT_TRUE(SameTextIgnoreCase(LoadedLibraryFile(), temp.File(L"7z.dll")));
    EXPECT_EQ(GetModuleHandleW(current.File(L"7z.dll").c_str()), nullptr);
}

TEST_F(ArchiveLibraryLoad, WithoutHostIniTheDefaultBesideThePluginLoads)
{
    // ListSetDefaultParams never called: the lookups read an empty name and the bare
    // "Kestrelview.ini" before the plug-in's folder.
    SetHostIniFileName(L"");
    LoadArchiveLibrary();
    ASSERT_NE(ArchiveLibraryHandle(), nullptr);
    EXPECT_TRUE(SameTextIgnoreCase(LoadedLibraryFile(),
                                   ExtractFilePath(ModuleFileName(nullptr)) + DefaultArchiveLibraryName));
}

TEST_F(ArchiveLibraryLoad, LibraryWithoutCreateObjectLoads)
{
    SetHostIniFileName(temp.Write(L"host.ini", IniWith(kvtest::SupportPath(L"nocreateobject.dll"))));
    EXPECT_NO_THROW(LoadArchiveLibrary());
    EXPECT_NE(ArchiveLibraryHandle(), nullptr);
    EXPECT_EQ(ArchiveLibraryEntries().CreateObject, nullptr);
    EXPECT_NE(ArchiveLibraryEntries().GetNumberOfFormats, nullptr);
}

TEST_F(ArchiveLibraryLoad, UnloadClearsHostIniName)
{
    SetHostIniFileName(L"C:\\host\\filemanager.ini");
    UnloadArchiveLibrary();
    EXPECT_EQ(GetHostIniFileName(), L"");
    EXPECT_EQ(ArchiveLibraryHandle(), nullptr);
}
