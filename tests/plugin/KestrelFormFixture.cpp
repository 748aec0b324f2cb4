#include "tests/plugin/KestrelFormFixture.h"

#include "shell/Exceptions.h"

namespace kvtest {

const wchar_t* HostWindowClass()
{
    static const wchar_t* const name = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KvTestHost";
        RegisterClassExW(&windowClass);
        return L"KvTestHost";
    }();
    return name;
}

void KestrelFormFixture::SetUp()
{
    host_ = CreateWindowExW(0, HostWindowClass(), L"Host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                            700, 500, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(host_, nullptr);
    form_ = kv::TKestrelForm::Create(host_, [this](HWND parent) {
        auto browser = std::make_unique<FakeBrowser>(parent);
        browser_ = browser.get();
        return browser;
    });
    ASSERT_NE(form_, nullptr);
    ASSERT_NE(browser_, nullptr);
    ShowWindow(form_->Handle(), SW_SHOW);
}

void KestrelFormFixture::TearDown()
{
    if (host_ != nullptr)
        DestroyWindow(host_);
    Pump();
}

void KestrelFormFixture::Resize(int width, int height)
{
    MoveWindow(form_->Handle(), 0, 0, width, height, TRUE);
}

std::vector<std::wstring> KestrelFormFixture::Labels() const
{
    std::vector<std::wstring> labels;
    const HWND combo = form_->ComboBox1();
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        std::wstring text(static_cast<size_t>(SendMessageW(combo, CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
        SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()));
        text.resize(wcslen(text.c_str()));
        labels.push_back(text);
    }
    return labels;
}

int KestrelFormFixture::SelectedIndex() const
{
    return static_cast<int>(SendMessageW(form_->ComboBox1(), CB_GETCURSEL, 0, 0));
}

void KestrelFormFixture::Pick(int index)
{
    const HWND combo = form_->ComboBox1();
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(form_->Handle(), WM_COMMAND,
                 MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

void KestrelFormFixture::Pump()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

std::wstring KestrelFormFixture::MessageOf(const std::exception_ptr& error)
{
    return kv::ExceptionMessage(error);
}

} // namespace kvtest
