#include "tests/common/TestWindows.h"

namespace kvtest {

namespace {

constexpr wchar_t RecorderProperty[] = L"KvTestKeyDownRecorder";

BOOL CALLBACK CountWindow(HWND, LPARAM counter)
{
    ++*reinterpret_cast<int*>(counter);
    return TRUE;
}

} // namespace

int ChildWindowCount(HWND parent)
{
    int count = 0;
    EnumChildWindows(parent, CountWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

RECT ChildRect(HWND child)
{
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

KeyDownRecorder::KeyDownRecorder(HWND window) : window_(window)
{
    // A property, not the user data: the window's own code may use that.
    SetPropW(window_, RecorderProperty, this);
    previous_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Procedure)));
}

KeyDownRecorder::~KeyDownRecorder()
{
    if (!IsWindow(window_))
        return;
    SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
    RemovePropW(window_, RecorderProperty);
}

LRESULT CALLBACK KeyDownRecorder::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* recorder = static_cast<KeyDownRecorder*>(GetPropW(window, RecorderProperty));
    if (recorder == nullptr)
        return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_KEYDOWN)
        recorder->keys_.push_back(wParam);
    const WNDPROC previous = recorder->previous_;
    if (message == WM_NCDESTROY)
        RemovePropW(window, RecorderProperty);
    return CallWindowProcW(previous, window, message, wParam, lParam);
}

} // namespace kvtest
