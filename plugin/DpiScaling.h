// The viewer's pixels per inch: the window's own DPI where the system tracks it per window,
// the screen's otherwise, and the font and sizes made for it.
#pragma once

#include "shell/GdiHandles.h"

#include <windows.h>

#include <memory>
#include <type_traits>

namespace kv {

inline constexpr UINT DefaultDpi = 96;
// Not in this SDK's headers for the targeted Windows version.
inline constexpr UINT WmDpiChanged = 0x02E0;
inline constexpr UINT WmDpiChangedBeforeParent = 0x02E2;
inline constexpr UINT WmDpiChangedAfterParent = 0x02E3;

// The DPI the window is drawn at: GetDpiForWindow where the system has it, else the
// LOGPIXELSY of the window's device context.
UINT WindowDpi(HWND window) noexcept;

// value pixels at 96 DPI, at dpi.
int ScaleForDpi(int value, UINT dpi) noexcept;

// 8-point Tahoma, the viewer's font, for dpi.
UniqueFont CreateViewerFont(UINT dpi) noexcept;

// The height of a line of text in font, in pixels.
int FontLineHeight(HWND window, HFONT font) noexcept;

// While it lives, windows the thread creates are per-monitor (v2) DPI aware, so that they get
// WM_DPICHANGED_* and their real DPI. Does nothing where the system cannot switch a thread's
// awareness; the thread's previous awareness comes back when it ends.
class ThreadDpiAwarenessScope {
public:
    ThreadDpiAwarenessScope() noexcept;
    ~ThreadDpiAwarenessScope();
    ThreadDpiAwarenessScope(const ThreadDpiAwarenessScope&) = delete;
    ThreadDpiAwarenessScope& operator=(const ThreadDpiAwarenessScope&) = delete;

private:
    HANDLE previous_ = nullptr;  // a DPI_AWARENESS_CONTEXT
};

} // namespace kv
