// The viewer's keyboard hook: sees every key-down and key-up message taken from the thread's
// queue for a window inside the viewer, and by default posts a copy of it to the viewer window
// itself, where the host, which watches that window, finds its hotkeys.
#pragma once

#include <windows.h>

#include <memory>

namespace kv {

enum class KeyRoute {
    Forward,  // the window it is for gets it, and the viewer a copy
    Keep,     // only the window it is for gets it
    Swallow,  // nobody gets it: the viewer has acted on it
};

// Decides what becomes of a key message for a window inside the viewer. Called inside the
// thread's message retrieval: it must not raise, and should leave what takes time (moving the
// focus, loading a page) to a message it posts.
class IKeyRouter {
public:
    virtual ~IKeyRouter() = default;
    virtual KeyRoute RouteKey(const MSG& message) noexcept = 0;
};

class TKeyboardHook {
public:
    // Installs the hook on the calling thread; without a router every key is forwarded.
    explicit TKeyboardHook(HWND viewer, IKeyRouter* router = nullptr);
    ~TKeyboardHook();  // removes it and returns its callback to the pool
    TKeyboardHook(const TKeyboardHook&) = delete;
    TKeyboardHook& operator=(const TKeyboardHook&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kv
