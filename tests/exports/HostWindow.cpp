#include "tests/exports/HostWindow.h"

#include "tests/common/TestWindows.h"

#include <gtest/gtest.h>
#include <ole2.h>

namespace kvtest {

namespace {

const wchar_t* HostClass()
{
    static const wchar_t* const name = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
        windowClass.lpszClassName = L"KvListerWindow";
        RegisterClassExW(&windowClass);
        return L"KvListerWindow";
    }();
    return name;
}

} // namespace

HostWindow::HostWindow()
{
    oleInitialized_ = SUCCEEDED(OleInitialize(nullptr));
    window_ = CreateWindowExW(0, HostClass(), L"Lister", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_VISIBLE,
                              0, 0, 800, 600, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    EXPECT_NE(window_, nullptr);
}

HostWindow::~HostWindow()
{
    if (window_ != nullptr)
        DestroyWindow(window_);
    PumpMessages();
    if (oleInitialized_)
        OleUninitialize();
}

int HostWindow::ChildCount() const
{
    return ChildWindowCount(window_);
}

HWND ViewerList(HWND viewer)
{
    return FindWindowExW(viewer, nullptr, L"ComboBox", nullptr);
}

std::vector<std::wstring> ViewerLabels(HWND viewer)
{
    std::vector<std::wstring> labels;
    const HWND list = ViewerList(viewer);
    const LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        std::vector<wchar_t> text(static_cast<size_t>(length < 0 ? 0 : length) + 1, L'\0');
        SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.data()));
        labels.emplace_back(text.data());
    }
    return labels;
}

int ViewerSelection(HWND viewer)
{
    return static_cast<int>(SendMessageW(ViewerList(viewer), CB_GETCURSEL, 0, 0));
}

void PumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

} // namespace kvtest
