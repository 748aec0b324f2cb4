// What the viewer lets a saved page do, read from the [Kestrelview] section of the same INI
// files that name the archive library. A quick view shows whatever file the cursor rests on, so
// a saved page is untrusted: by default its scripts do not run and nothing of it is fetched from
// the network.
#pragma once

#include <windows.h>

#include <string>

namespace kv {

inline constexpr wchar_t AllowScriptsKey[] = L"AllowScripts";
inline constexpr wchar_t AllowNetworkKey[] = L"AllowNetwork";

struct ViewerSettings {
    bool allowScripts = false;
    bool allowNetwork = false;
};

// Each key is decided by the first INI file of the chain that sets it: the host INI,
// "Kestrelview.ini" beside it, "Kestrelview.ini" in the plug-in's folder (pluginFolder keeps its
// trailing separator). "1" allows; any other value forbids; a file that does not set the key
// leaves it to the next. Never raises: unreadable files count as not setting anything.
ViewerSettings ReadViewerSettings(const std::wstring& hostIniFileName,
                                  const std::wstring& pluginFolder) noexcept;

// The settings for the host INI the plug-in was given and the plug-in's own folder, read anew on
// every call so that a changed file applies to the next view.
ViewerSettings CurrentViewerSettings() noexcept;

// The answer to the browser's DISPID_AMBIENT_DLCONTROL: images, videos and background sounds
// load; Java, ActiveX controls and behaviours never run or download, pages never reload or move
// on by themselves, and the engine shows no dialogs. Scripts and the network stay off unless
// allowed.
DWORD DownloadControlFlags(const ViewerSettings& settings) noexcept;

} // namespace kv
