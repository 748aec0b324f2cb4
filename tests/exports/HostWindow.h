// What a file manager gives the plug-in and what a user sees of the viewer: a top-level lister
// window, and the viewer's drop-down list read through the list's own messages.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kvtest {

class HostWindow {
public:
    HostWindow();  // 800 x 600, visible, OLE initialised on the thread as a host has it
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    HWND Handle() const { return window_; }
    int ChildCount() const;  // every window below it, at any depth

private:
    HWND window_ = nullptr;
    bool oleInitialized_ = false;
};

HWND ViewerList(HWND viewer);  // the ComboBox child, or null
std::vector<std::wstring> ViewerLabels(HWND viewer);
int ViewerSelection(HWND viewer);
void PumpMessages();

} // namespace kvtest
