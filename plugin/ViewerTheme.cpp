#include "plugin/ViewerTheme.h"

#include "plugin/DpiScaling.h"
#include "plugin/ListerApi.h"
#include "shell/ShellApi.h"

#include <vector>

namespace kv {

namespace {

using SetWindowThemeFunction = HRESULT(WINAPI*)(HWND, LPCWSTR, LPCWSTR);
using AllowDarkModeForWindowFunction = bool(WINAPI*)(HWND, bool);

// uxtheme is loaded on first use and kept: the plug-in stays loaded for the process anyway.
HMODULE UxTheme() noexcept
{
    static const HMODULE module = [] {
        constexpr DWORD SearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
        HMODULE loaded = LoadLibraryExW(L"uxtheme.dll", nullptr, SearchSystem32);
        return loaded != nullptr ? loaded : LoadLibraryW(L"uxtheme.dll");
    }();
    return module;
}

SetWindowThemeFunction SetWindowThemeEntry() noexcept
{
    static const auto entry = [] {
        const HMODULE module = UxTheme();
        return module == nullptr ? nullptr
                                 : reinterpret_cast<SetWindowThemeFunction>(reinterpret_cast<void*>(
                                       GetProcAddress(module, "SetWindowTheme")));
    }();
    return entry;
}

// Exported by ordinal only, and only from Windows 10 1809 (build 17763) on; elsewhere the
// ordinal may be missing or another function.
AllowDarkModeForWindowFunction AllowDarkModeForWindowEntry() noexcept
{
    static const auto entry = [] {
        const OSVersionNumbers& version = OSVersion();
        if (version.Major < 10 || version.Build < 17763)
            return AllowDarkModeForWindowFunction{};
        const HMODULE module = UxTheme();
        return module == nullptr ? nullptr
                                 : reinterpret_cast<AllowDarkModeForWindowFunction>(
                                       reinterpret_cast<void*>(GetProcAddress(
                                           module, MAKEINTRESOURCEA(133))));
    }();
    return entry;
}

void ApplyWindowTheme(HWND window, bool dark, const wchar_t* darkTheme) noexcept
{
    if (window == nullptr)
        return;
    if (const auto allow = AllowDarkModeForWindowEntry())
        allow(window, dark);
    if (const auto setTheme = SetWindowThemeEntry())
        setTheme(window, dark ? darkTheme : nullptr, nullptr);
}

} // namespace

bool ViewerTheme::SetFlags(int flags) noexcept
{
    const bool wasDark = Dark();
    const bool wasNative = (flags_ & lcp_darkmodenative) != 0;
    flags_ = flags;
    return wasDark != Dark() || wasNative != ((flags_ & lcp_darkmodenative) != 0);
}

bool ViewerTheme::Dark() const noexcept
{
    return (flags_ & lcp_darkmode) != 0;
}

HBRUSH ViewerTheme::ControlColor(HDC dc) noexcept
{
    if (!Dark() || !fieldBrush_)
        return nullptr;
    SetTextColor(dc, DarkTextColor);
    SetBkColor(dc, DarkFieldColor);
    return fieldBrush_.get();
}

bool ViewerTheme::EraseBackground(HWND window, HDC dc) noexcept
{
    if (!Dark() || !stripBrush_)
        return false;
    RECT client{};
    GetClientRect(window, &client);
    FillRect(dc, &client, stripBrush_.get());
    return true;
}

void ViewerTheme::DrawListItem(const DRAWITEMSTRUCT& item, UINT dpi) const noexcept
{
    const HDC dc = item.hDC;
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    COLORREF back;
    COLORREF text;
    if (Dark()) {
        back = selected ? DarkHighlightColor : DarkFieldColor;
        text = DarkTextColor;
    } else {
        back = GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW);
        text = GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT);
    }
    if ((item.itemState & ODS_DISABLED) != 0)
        text = GetSysColor(COLOR_GRAYTEXT);
    const COLORREF oldBack = SetBkColor(dc, back);
    const COLORREF oldText = SetTextColor(dc, text);
    ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &item.rcItem, nullptr, 0, nullptr);
    if (item.itemID != static_cast<UINT>(-1)) {
        const LRESULT length = SendMessageW(item.hwndItem, CB_GETLBTEXTLEN, item.itemID, 0);
        if (length > 0) {
            std::vector<wchar_t> label(static_cast<size_t>(length) + 1, L'\0');
            SendMessageW(item.hwndItem, CB_GETLBTEXT, item.itemID,
                         reinterpret_cast<LPARAM>(label.data()));
            RECT textRect = item.rcItem;
            textRect.left += ScaleForDpi(2, dpi);
            DrawTextW(dc, label.data(), -1, &textRect,
                      DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
        }
    }
    if ((item.itemState & ODS_FOCUS) != 0 && (item.itemState & ODS_NOFOCUSRECT) == 0)
        DrawFocusRect(dc, &item.rcItem);
    SetTextColor(dc, oldText);
    SetBkColor(dc, oldBack);
}

void ViewerTheme::ApplyNativeTheme(HWND comboBox) const noexcept
{
    if (comboBox == nullptr)
        return;
    const bool dark = Dark() && (flags_ & lcp_darkmodenative) != 0;
    ApplyWindowTheme(comboBox, dark, L"DarkMode_CFD");
    COMBOBOXINFO info{};
    info.cbSize = sizeof(info);
    if (GetComboBoxInfo(comboBox, &info))
        ApplyWindowTheme(info.hwndList, dark, L"DarkMode_Explorer");  // its scroll bar
}

} // namespace kv
