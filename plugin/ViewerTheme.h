// The viewer's own colours: light (the system's) or dark, as the host's parameter flags ask.
// The page keeps its own colours; only the strip with the page list changes. Classic controls
// have no dark look of their own, so the list's field and its dropped list are drawn with
// these colours (owner-drawn items, WM_CTLCOLOR* answers), and where the system can draw
// native dark controls the list's windows take its dark theme as well.
#pragma once

#include "shell/GdiHandles.h"

#include <windows.h>

#include <memory>
#include <type_traits>

namespace kv {

inline constexpr COLORREF DarkStripColor = RGB(32, 32, 32);
inline constexpr COLORREF DarkFieldColor = RGB(43, 43, 43);
inline constexpr COLORREF DarkTextColor = RGB(240, 240, 240);
inline constexpr COLORREF DarkHighlightColor = RGB(77, 77, 77);

class ViewerTheme {
public:
    ViewerTheme() = default;
    ViewerTheme(const ViewerTheme&) = delete;
    ViewerTheme& operator=(const ViewerTheme&) = delete;

    // Takes the host's parameter flags (lcp_*); returns whether the colours changed.
    bool SetFlags(int flags) noexcept;
    int Flags() const noexcept { return flags_; }
    bool Dark() const noexcept;

    // The answer to WM_CTLCOLOREDIT, WM_CTLCOLORLISTBOX and WM_CTLCOLORSTATIC of the list, with
    // the DC's colours set; null when the default answer (system colours) is right.
    HBRUSH ControlColor(HDC dc) noexcept;
    // Paints the viewer's background; false when the class's default is right.
    bool EraseBackground(HWND window, HDC dc) noexcept;
    // Draws an item of the owner-drawn list, the selection field's included.
    void DrawListItem(const DRAWITEMSTRUCT& item, UINT dpi) const noexcept;
    // Gives the list and its dropped list the system's dark theme, or their default again.
    void ApplyNativeTheme(HWND comboBox) const noexcept;

private:
    int flags_ = 0;
    UniqueBrush stripBrush_{CreateSolidBrush(DarkStripColor)};
    UniqueBrush fieldBrush_{CreateSolidBrush(DarkFieldColor)};
};

} // namespace kv
