// The lister plug-in interface as the host defines it.
#pragma once

#include <windows.h>

namespace kv {

inline constexpr int LISTPLUGIN_OK = 0;
inline constexpr int LISTPLUGIN_ERROR = 1;

inline constexpr int lc_copy = 1;
inline constexpr int lc_newparams = 2;
inline constexpr int lc_selectall = 3;
inline constexpr int lc_setpercent = 4;

inline constexpr int lcp_forceshow = 16;
inline constexpr int lcp_darkmode = 128;
inline constexpr int lcp_darkmodenative = 256;

// Notifications a plug-in posts to its parent window: WM_COMMAND with MAKELONG(value, item)
// and the plug-in's window.
inline constexpr WORD itm_percent = 0xFFFE;

inline constexpr int lcs_findfirst = 1;
inline constexpr int lcs_matchcase = 2;
inline constexpr int lcs_wholewords = 4;
inline constexpr int lcs_backwards = 8;

struct ListDefaultParamStruct {
    int size;
    DWORD PluginInterfaceVersionLow;
    DWORD PluginInterfaceVersionHi;
    char DefaultIniName[MAX_PATH];
};

inline constexpr char DetectString[] = "EXT=\"MAFF\"";

} // namespace kv
