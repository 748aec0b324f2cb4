// What a saved page may do in the viewer: the two switches of the INI chain and the download
// control the browser's site answers from them.
#include "plugin/OleSite.h"
#include "plugin/ViewerSettings.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

#include <idispids.h>
#include <mshtmdid.h>
#include <olectl.h>

#include <string>

using namespace kv;
using kvtest::TempFolder;

namespace {

constexpr DWORD Always = DLCTL_DLIMAGES | DLCTL_VIDEOS | DLCTL_BGSOUNDS | DLCTL_NO_JAVA |
                         DLCTL_NO_RUNACTIVEXCTLS | DLCTL_NO_DLACTIVEXCTLS | DLCTL_NO_BEHAVIORS |
                         DLCTL_NO_CLIENTPULL | DLCTL_SILENT;
constexpr DWORD Offline = DLCTL_FORCEOFFLINE | DLCTL_OFFLINEIFNOTCONNECTED;

std::string Section(const std::string& lines)
{
    return "[Kestrelview]\r\n" + lines;
}

// The chain laid out as a file manager has it: the host INI and a Kestrelview.ini in one folder,
// the plug-in in another with its own Kestrelview.ini. Each case writes a chain of its own: the
// INI reader may keep a file it has read, and a file rewritten within its clock tick would look
// unchanged.
class Chain {
public:
    Chain()
    {
        EXPECT_TRUE(CreateDirectoryW(folder_.File(L"host").c_str(), nullptr));
        EXPECT_TRUE(CreateDirectoryW(folder_.File(L"plugin").c_str(), nullptr));
    }

    Chain& Host(const std::string& text) { return Write(L"host\\host.ini", text); }
    Chain& BesideHost(const std::string& text) { return Write(L"host\\Kestrelview.ini", text); }
    Chain& BesidePlugin(const std::string& text) { return Write(L"plugin\\Kestrelview.ini", text); }

    ViewerSettings Read() const
    {
        return ReadViewerSettings(folder_.File(L"host\\host.ini"), PluginFolder());
    }
    std::wstring PluginFolder() const { return folder_.File(L"plugin\\"); }

private:
    Chain& Write(const wchar_t* name, const std::string& text)
    {
        folder_.Write(name, text);
        return *this;
    }

    TempFolder folder_;
};

// The answer of an ambient property as the engine asks for it.
HRESULT AskAmbient(IUnknown* site, DISPID member, VARIANT& result, WORD flags = DISPATCH_PROPERTYGET)
{
    Microsoft::WRL::ComPtr<IDispatch> ambient;
    const HRESULT found = site->QueryInterface(IID_PPV_ARGS(&ambient));
    if (FAILED(found))
        return found;
    DISPPARAMS none{};
    VariantInit(&result);
    return ambient->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &none, &result, nullptr,
                           nullptr);
}

} // namespace

TEST(DownloadControl, EachSwitchLiftsOnlyItsOwnRestriction)
{
    EXPECT_EQ(DownloadControlFlags({}), Always | DLCTL_NO_SCRIPTS | Offline);
    EXPECT_EQ(DownloadControlFlags({.allowScripts = true}), Always | Offline);
    EXPECT_EQ(DownloadControlFlags({.allowNetwork = true}), Always | DLCTL_NO_SCRIPTS);
    EXPECT_EQ(DownloadControlFlags({.allowScripts = true, .allowNetwork = true}), Always);
    // DLCTL_OFFLINE is the same bit as DLCTL_OFFLINEIFNOTCONNECTED.
    EXPECT_TRUE(DownloadControlFlags({}) & DLCTL_OFFLINE);
}

TEST(SettingsChain, BothOffWithoutAnySetting)
{
    ViewerSettings settings = Chain().Read();
    EXPECT_FALSE(settings.allowScripts);
    EXPECT_FALSE(settings.allowNetwork);

    // Other sections and keys of other names do not count.
    settings = Chain()
                   .Host("[Other]\r\nAllowScripts=1\r\nAllowNetwork=1\r\n" +
                         Section("7z.64.dll=x\r\nAllowScript=1\r\nAllowNetworks=1\r\n"))
                   .Read();
    EXPECT_FALSE(settings.allowScripts);
    EXPECT_FALSE(settings.allowNetwork);
}

TEST(SettingsChain, OneAllowsAnythingElseForbids)
{
    for (const char* value : {"1", " 1 ", "\t1"}) {
        const ViewerSettings settings =
            Chain().Host(Section(std::string("AllowScripts=") + value + "\r\nallownetwork=1\r\n")).Read();
        EXPECT_TRUE(settings.allowScripts) << value;
        EXPECT_TRUE(settings.allowNetwork) << value;  // keys ignore case, as INI keys do
    }
    for (const char* value : {"0", "yes", "true", "2", "01", "1x"}) {
        const ViewerSettings settings =
            Chain()
                .Host(Section(std::string("AllowScripts=") + value + "\r\nAllowNetwork=" + value +
                              "\r\n"))
                .BesidePlugin(Section("AllowScripts=1\r\nAllowNetwork=1\r\n"))
                .Read();
        EXPECT_FALSE(settings.allowScripts) << value;
        EXPECT_FALSE(settings.allowNetwork) << value;
    }
}

TEST(SettingsChain, TheFirstFileThatSetsAKeyDecidesIt)
{
    const std::string both = Section("AllowScripts=1\r\nAllowNetwork=1\r\n");
    ViewerSettings settings = Chain().BesidePlugin(both).Read();
    EXPECT_TRUE(settings.allowScripts);
    EXPECT_TRUE(settings.allowNetwork);

    // Beside the host comes before beside the plug-in, key by key.
    settings = Chain().BesideHost(Section("AllowScripts=0\r\n")).BesidePlugin(both).Read();
    EXPECT_FALSE(settings.allowScripts);
    EXPECT_TRUE(settings.allowNetwork);

    // The host's own INI comes first; an empty value sets nothing.
    settings = Chain()
                   .Host(Section("AllowScripts=1\r\nAllowNetwork=\r\n"))
                   .BesideHost(Section("AllowScripts=0\r\n"))
                   .BesidePlugin(both)
                   .Read();
    EXPECT_TRUE(settings.allowScripts);
    EXPECT_TRUE(settings.allowNetwork);
    settings = Chain().Host(Section("AllowNetwork=0\r\n")).BesideHost(Section("AllowScripts=0\r\n"))
                   .BesidePlugin(both)
                   .Read();
    EXPECT_FALSE(settings.allowScripts);
    EXPECT_FALSE(settings.allowNetwork);
}

TEST(SettingsChain, WithoutAHostIniOnlyThePluginFolderCounts)
{
    Chain chain;
    chain.BesideHost(Section("AllowScripts=1\r\n")).BesidePlugin(Section("AllowNetwork=1\r\n"));
    const ViewerSettings settings = ReadViewerSettings(L"", chain.PluginFolder());
    EXPECT_FALSE(settings.allowScripts);
    EXPECT_TRUE(settings.allowNetwork);
    const ViewerSettings none = ReadViewerSettings(L"", L"");
    EXPECT_FALSE(none.allowScripts);
    EXPECT_FALSE(none.allowNetwork);
}

// The client site answers the download control through IDispatch, as the engine reads an
// ambient property, and leaves every other ambient property to the engine's default.
TEST(SiteAmbient, AnswersTheDownloadControlOnly)
{
    for (const ViewerSettings settings : {ViewerSettings{}, ViewerSettings{true, false},
                                          ViewerSettings{false, true}, ViewerSettings{true, true}}) {
        const DWORD expected = DownloadControlFlags(settings);
        const auto site = OleSite::Create(nullptr, RECT{}, expected);
        VARIANT result;
        ASSERT_EQ(AskAmbient(static_cast<IOleClientSite*>(site.Get()), DISPID_AMBIENT_DLCONTROL,
                             result),
                  S_OK);
        EXPECT_EQ(V_VT(&result), VT_I4);
        EXPECT_EQ(static_cast<DWORD>(V_I4(&result)), expected);
        EXPECT_EQ((V_I4(&result) & DLCTL_NO_SCRIPTS) != 0, !settings.allowScripts);
        EXPECT_EQ((V_I4(&result) & DLCTL_FORCEOFFLINE) != 0, !settings.allowNetwork);
        // Some callers ask with the method flag as well.
        ASSERT_EQ(AskAmbient(static_cast<IOleInPlaceSite*>(site.Get()), DISPID_AMBIENT_DLCONTROL,
                             result, DISPATCH_PROPERTYGET | DISPATCH_METHOD),
                  S_OK);
        EXPECT_EQ(static_cast<DWORD>(V_I4(&result)), expected);
    }

    const auto site = OleSite::Create(nullptr, RECT{}, DownloadControlFlags({}));
    IUnknown* const unknown = static_cast<IOleClientSite*>(site.Get());
    for (const DISPID other : {DISPID_AMBIENT_USERMODE, DISPID_AMBIENT_USERAGENT,
                               DISPID_AMBIENT_SILENT, DISPID_AMBIENT_OFFLINEIFNOTCONNECTED,
                               DISPID_AMBIENT_BACKCOLOR, DISPID_UNKNOWN, 0}) {
        VARIANT result;
        EXPECT_EQ(AskAmbient(unknown, other, result), DISP_E_MEMBERNOTFOUND) << other;
        EXPECT_EQ(V_VT(&result), VT_EMPTY) << other;
    }
    // Writing the property or calling it as a method is not reading it.
    VARIANT result;
    EXPECT_EQ(AskAmbient(unknown, DISPID_AMBIENT_DLCONTROL, result, DISPATCH_PROPERTYPUT),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(AskAmbient(unknown, DISPID_AMBIENT_DLCONTROL, result, DISPATCH_METHOD),
              DISP_E_MEMBERNOTFOUND);

    Microsoft::WRL::ComPtr<IDispatch> ambient;
    ASSERT_EQ(site.As(&ambient), S_OK);
    DISPPARAMS none{};
    EXPECT_EQ(ambient->Invoke(DISPID_AMBIENT_DLCONTROL, IID_IUnknown, LOCALE_USER_DEFAULT,
                              DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(ambient->Invoke(DISPID_AMBIENT_DLCONTROL, IID_NULL, LOCALE_USER_DEFAULT,
                              DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr),
              E_INVALIDARG);
    UINT count = 7;
    EXPECT_EQ(ambient->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    Microsoft::WRL::ComPtr<ITypeInfo> typeInfo;
    EXPECT_TRUE(FAILED(ambient->GetTypeInfo(0, LOCALE_USER_DEFAULT, &typeInfo)));
    EXPECT_EQ(typeInfo, nullptr);
    // The same object whichever way it was reached.
    Microsoft::WRL::ComPtr<IUnknown> fromDispatch;
    ASSERT_EQ(ambient.As(&fromDispatch), S_OK);
    EXPECT_EQ(fromDispatch.Get(), unknown);
}
