#include "plugin/ViewerSettings.h"

#include "archive/ArchiveLibrary.h"
#include "shell/Handles.h"
#include "shell/Strings.h"

#include <mshtmdid.h>

#include <optional>

namespace kv {

namespace {

// The key's value in one INI file; nothing when the file does not set it.
std::optional<bool> ReadSwitch(const std::wstring& iniFileName, const wchar_t* key) noexcept
{
    wchar_t buffer[64] = {};
    const DWORD length = GetPrivateProfileStringW(ArchiveLibrarySection, key, L"", buffer,
                                                  static_cast<DWORD>(std::size(buffer)),
                                                  iniFileName.c_str());
    try {
        const std::wstring value = Trim(std::wstring_view(buffer, length));
        if (value.empty())
            return std::nullopt;
        return value == L"1";
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace

ViewerSettings ReadViewerSettings(const std::wstring& hostIniFileName,
                                  const std::wstring& pluginFolder) noexcept
{
    ViewerSettings settings;
    try {
        std::optional<bool> scripts;
        std::optional<bool> network;
        std::wstring chain[3];
        // Without a host INI its two places name nothing: a bare "Kestrelview.ini" would be
        // looked for in the Windows folder.
        if (!hostIniFileName.empty()) {
            chain[0] = hostIniFileName;
            chain[1] = ExtractFilePath(hostIniFileName) + PluginIniName;
        }
        if (!pluginFolder.empty())
            chain[2] = pluginFolder + PluginIniName;
        for (const std::wstring& ini : chain) {
            if (ini.empty())
                continue;
            if (!scripts)
                scripts = ReadSwitch(ini, AllowScriptsKey);
            if (!network)
                network = ReadSwitch(ini, AllowNetworkKey);
        }
        settings.allowScripts = scripts.value_or(false);
        settings.allowNetwork = network.value_or(false);
    } catch (...) {
        settings = ViewerSettings{};
    }
    return settings;
}

ViewerSettings CurrentViewerSettings() noexcept
{
    try {
        return ReadViewerSettings(GetHostIniFileName(),
                                  ExtractFilePath(ModuleFileName(ThisModule())));
    } catch (...) {
        return ViewerSettings{};
    }
}

DWORD DownloadControlFlags(const ViewerSettings& settings) noexcept
{
    DWORD flags = DLCTL_DLIMAGES | DLCTL_VIDEOS | DLCTL_BGSOUNDS | DLCTL_NO_JAVA |
                  DLCTL_NO_RUNACTIVEXCTLS | DLCTL_NO_DLACTIVEXCTLS | DLCTL_NO_BEHAVIORS |
                  DLCTL_NO_CLIENTPULL | DLCTL_SILENT;
    if (!settings.allowScripts)
        flags |= DLCTL_NO_SCRIPTS;
    // Offline, the engine takes only what the URL cache holds: the archive's own items are
    // served by the maff: handler whatever the mode.
    if (!settings.allowNetwork)
        flags |= DLCTL_FORCEOFFLINE | DLCTL_OFFLINEIFNOTCONNECTED;
    return flags;
}

} // namespace kv
