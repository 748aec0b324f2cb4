// The receiver of the WebBrowser control's DWebBrowserEvents2, connected through the control's
// connection point. It turns the events the viewer cares about into IBrowserEvents calls and
// refuses, by itself, what the viewer never allows: a new window, and a download that would not
// be shown as a document (its dialog would stop the file manager's thread).
//
// The control holds the sink; the sink holds neither the control nor the receiver, so there is
// no cycle. BrowserEventConnection ties the connection to the host's lifetime and cuts the
// receiver off before it unadvises.
#pragma once

#include "plugin/Browser.h"
#include "plugin/DispIdDispatch.h"

#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <atomic>

namespace kv {

class BrowserEventSink final : public DispIdDispatch {
public:
    // browser: the control whose own navigations count as top-level (any of its interfaces;
    // only its identity is kept, without a reference, for comparison).
    static Microsoft::WRL::ComPtr<BrowserEventSink> Create(IUnknown* browser);

    BrowserEventSink(const BrowserEventSink&) = delete;
    BrowserEventSink& operator=(const BrowserEventSink&) = delete;

    // The receiver of the events; null: every navigation goes ahead, new windows are refused.
    void SetEvents(IBrowserEvents* events) noexcept { events_ = events; }
    // Forgets the control too: from here on no event is taken for a top-level one.
    void Disconnect() noexcept
    {
        events_ = nullptr;
        browser_ = nullptr;
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch: the events, by their DISPIDs.
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID locale, WORD flags,
                                     DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override;

private:
    explicit BrowserEventSink(IUnknown* identity) noexcept : browser_(identity) {}
    ~BrowserEventSink() = default;

    void BeforeNavigate2(const DISPPARAMS& parameters);
    void NewWindow(const DISPPARAMS& parameters, DISPID member);
    void FileDownload(const DISPPARAMS& parameters);
    bool IsBrowser(const VARIANT& frame) const noexcept;

    std::atomic<ULONG> references_{1};
    IUnknown* browser_;           // identity only, never called
    IBrowserEvents* events_ = nullptr;
};

// The sink advised on a control's DWebBrowserEvents2 connection point for as long as the object
// lives (or until Close).
class BrowserEventConnection {
public:
    // Raises when the control has no such connection point or refuses the sink.
    explicit BrowserEventConnection(IUnknown* browser);
    ~BrowserEventConnection() { Close(); }
    BrowserEventConnection(const BrowserEventConnection&) = delete;
    BrowserEventConnection& operator=(const BrowserEventConnection&) = delete;

    void SetEvents(IBrowserEvents* events) noexcept;
    // Cuts the receiver off, then unadvises; idempotent.
    void Close() noexcept;

private:
    Microsoft::WRL::ComPtr<BrowserEventSink> sink_;
    Microsoft::WRL::ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
};

} // namespace kv
