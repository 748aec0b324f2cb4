#include "plugin/DpiScaling.h"

namespace kv {

namespace {

using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
using SetThreadDpiAwarenessContextFunction = HANDLE(WINAPI*)(HANDLE);

// DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
const HANDLE PerMonitorAwareV2 = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4));

// Looked up by name: older systems (and Wine 8 for some of them) lack these functions.
template <typename Function>
Function User32Function(const char* name) noexcept
{
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name)));
}

} // namespace

UINT WindowDpi(HWND window) noexcept
{
    static const auto getDpiForWindow = User32Function<GetDpiForWindowFunction>("GetDpiForWindow");
    if (getDpiForWindow != nullptr && window != nullptr) {
        if (const UINT dpi = getDpiForWindow(window); dpi != 0)
            return dpi;
    }
    UINT dpi = 0;
    if (const WindowDc dc(window); dc)
        dpi = static_cast<UINT>(GetDeviceCaps(dc.Get(), LOGPIXELSY));
    return dpi != 0 ? dpi : DefaultDpi;
}

int ScaleForDpi(int value, UINT dpi) noexcept
{
    return MulDiv(value, static_cast<int>(dpi), static_cast<int>(DefaultDpi));
}

UniqueFont CreateViewerFont(UINT dpi) noexcept
{
    // 8 points: height -11 at 96 pixels per inch.
    return UniqueFont(CreateFontW(-MulDiv(8, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE,
                                  FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                  CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                                  L"Tahoma"));
}

int FontLineHeight(HWND window, HFONT font) noexcept
{
    int height = 0;
    if (const WindowDc dc(window); dc) {
        const HGDIOBJ previous = font != nullptr ? SelectObject(dc.Get(), font) : nullptr;
        TEXTMETRICW metrics{};
        if (GetTextMetricsW(dc.Get(), &metrics))
            height = metrics.tmHeight;
        if (previous != nullptr)
            SelectObject(dc.Get(), previous);
    }
    return height > 0 ? height : 13;
}

ThreadDpiAwarenessScope::ThreadDpiAwarenessScope() noexcept
{
    static const auto setContext =
        User32Function<SetThreadDpiAwarenessContextFunction>("SetThreadDpiAwarenessContext");
    if (setContext != nullptr)
        previous_ = setContext(PerMonitorAwareV2);  // null when refused: nothing to restore
}

ThreadDpiAwarenessScope::~ThreadDpiAwarenessScope()
{
    static const auto setContext =
        User32Function<SetThreadDpiAwarenessContextFunction>("SetThreadDpiAwarenessContext");
    if (setContext != nullptr && previous_ != nullptr)
        setContext(previous_);
}

} // namespace kv
