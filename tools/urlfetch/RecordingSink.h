// A protocol sink and bind information that drive a protocol object directly, as the
// URL-moniker layer does, and record every report. It lives on the caller's stack.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace kvfetch {

struct Report {
    std::wstring kind;  // "progress", "data", "result"
    ULONG code;
    std::wstring text;
    ULONG progress;
    ULONG max;
};

// Records the reports; answers the bind flags it was given.
class RecordingSink final : public IInternetProtocolSink, public IInternetBindInfo {
public:
    explicit RecordingSink(DWORD bindFlags) : bindFlags_(bindFlags) {}
    std::vector<Report> reports;
    // Called after each report is recorded, on the reporting thread.
    std::function<void(const Report&)> onReport;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~RecordingSink() { CloseHandle(done); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IInternetProtocolSink))
            *object = static_cast<IInternetProtocolSink*>(this);
        else if (IsEqualIID(id, IID_IInternetBindInfo))
            *object = static_cast<IInternetBindInfo*>(this);
        else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // lives on the stack

    HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReportProgress(ULONG code, LPCWSTR text) override
    {
        reports.push_back({L"progress", code, text != nullptr ? text : L"", 0, 0});
        Notify();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReportData(DWORD flags, ULONG progress, ULONG max) override
    {
        reports.push_back({L"data", flags, L"", progress, max});
        Notify();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReportResult(HRESULT result, DWORD error, LPCWSTR text) override
    {
        reports.push_back({L"result", static_cast<ULONG>(result), text != nullptr ? text : L"",
                           error, 0});
        SetEvent(done);
        Notify();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override
    {
        *flags = bindFlags_;
        const ULONG size = info->cbSize;
        ZeroMemory(info, size);
        info->cbSize = size;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBindString(ULONG, LPOLESTR*, ULONG, ULONG*) override
    {
        return E_NOTIMPL;
    }

private:
    void Notify()
    {
        if (onReport)
            onReport(reports.back());
    }

    std::atomic<ULONG> refs_{1};
    DWORD bindFlags_;
};

} // namespace kvfetch
