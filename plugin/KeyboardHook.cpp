#include "plugin/KeyboardHook.h"

#include "shell/ShellHook.h"

namespace kv {

// A message hook on the creating thread: it sees every message the thread's loops take from
// the queue, with the flag that tells whether the message is being removed.
struct TKeyboardHook::Impl final : TorvShellHook {
    Impl(HWND target, IKeyRouter* router)
        : TorvShellHook(WH_GETMESSAGE, nullptr, GetCurrentThreadId()), TargetWnd(target),
          Router(router)
    {
    }

    void HandleHook(int code, WPARAM wParam, LPARAM lParam) override;

    HWND TargetWnd;
    IKeyRouter* Router;
};

void TKeyboardHook::Impl::HandleHook(int code, WPARAM wParam, LPARAM lParam)
{
    // Messages only looked at are seen again when they are removed: forward once.
    if (wParam != PM_REMOVE)
        return;
    MSG& message = *reinterpret_cast<MSG*>(lParam);
    // Also keeps the posted copies from being forwarded again.
    if (message.hwnd == TargetWnd)
        return;
    if (message.message != WM_KEYDOWN && message.message != WM_KEYUP)
        return;

    // Stop at the desktop window too: it is where a top-level window's parent chain ends.
    const HWND desktop = GetDesktopWindow();
    for (HWND window = message.hwnd; window != nullptr && window != desktop;
         window = GetAncestor(window, GA_PARENT)) {
        if (window == TargetWnd) {
            switch (Router != nullptr ? Router->RouteKey(message) : KeyRoute::Forward) {
            case KeyRoute::Forward:
                PostMessageW(TargetWnd, message.message, message.wParam, message.lParam);
                break;
            case KeyRoute::Keep:
                break;
            case KeyRoute::Swallow:
                // A hook of retrieved messages may change them: the loop that took this one
                // dispatches nothing.
                message.message = WM_NULL;
                break;
            }
            return;
        }
    }
}

TKeyboardHook::TKeyboardHook(HWND viewer, IKeyRouter* router)
    : impl_(std::make_unique<Impl>(viewer, router))
{
}

TKeyboardHook::~TKeyboardHook() = default;

} // namespace kv
