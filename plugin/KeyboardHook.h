// The viewer's keyboard hook: posts a copy of every key-down and key-up message taken from the
// thread's queue for a window inside the viewer to the viewer window itself.
#pragma once

#include <windows.h>

#include <memory>

namespace kv {

class TKeyboardHook {
public:
    explicit TKeyboardHook(HWND viewer);  // installs the hook on the calling thread
    ~TKeyboardHook();                     // removes it and returns its callback to the pool
    TKeyboardHook(const TKeyboardHook&) = delete;
    TKeyboardHook& operator=(const TKeyboardHook&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kv
