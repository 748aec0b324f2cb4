// Window helpers shared by the tests that create windows.
#pragma once

#include <windows.h>

#include <vector>

namespace kvtest {

// The number of windows below parent, at any depth.
int ChildWindowCount(HWND parent);

// A child window's rectangle in its parent's client coordinates.
RECT ChildRect(HWND child);

// Records the key-down messages a window receives, as a host that watches the window for its
// hotkeys sees them, from its construction until its destruction.
class KeyDownRecorder {
public:
    explicit KeyDownRecorder(HWND window);
    ~KeyDownRecorder();  // puts the window's own procedure back while the window lives
    KeyDownRecorder(const KeyDownRecorder&) = delete;
    KeyDownRecorder& operator=(const KeyDownRecorder&) = delete;

    const std::vector<WPARAM>& Keys() const { return keys_; }
    void Clear() { keys_.clear(); }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND window_;
    WNDPROC previous_ = nullptr;
    std::vector<WPARAM> keys_;
};

} // namespace kvtest
