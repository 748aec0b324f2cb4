// The platform's WebBrowser control embedded in a window of ours, behind IViewerBrowser.
// Everything here runs on the thread that created it, which must be a single-threaded
// apartment: the host initialises OLE on it for as long as it lives.
#pragma once

#include "plugin/Browser.h"
#include "plugin/BrowserEventSink.h"
#include "plugin/OleSite.h"

#include <exdisp.h>
#include <wrl/client.h>

#include <memory>

namespace kv {

// OleInitialize for the lifetime of an object; raises when the thread cannot host controls.
class OleInitialization {
public:
    OleInitialization();
    ~OleInitialization();
    OleInitialization(const OleInitialization&) = delete;
    OleInitialization& operator=(const OleInitialization&) = delete;
};

class WebBrowserHost final : public IViewerBrowser {
public:
    // Creates the control in place, as a child of parent filling its client area, with the
    // DLCTL_* flags its site answers for DISPID_AMBIENT_DLCONTROL.
    WebBrowserHost(HWND parent, DWORD downloadControl);
    ~WebBrowserHost() override;
    WebBrowserHost(const WebBrowserHost&) = delete;
    WebBrowserHost& operator=(const WebBrowserHost&) = delete;

    HWND Window() const override { return window_; }
    void SetBounds(const RECT& bounds) override;
    void Navigate(const std::wstring& url) override;
    void ExecCommand(OLECMDID command) override;
    long ReadyState() override;
    std::unique_ptr<IBrowserDocument> Document() override;
    bool Contains(HWND window) const override;
    void Focus() override;
    bool TranslateAccelerator(MSG& message) noexcept override;
    void SetEvents(IBrowserEvents* events) noexcept override;

    // The control itself, for the checks that need its own interfaces.
    IWebBrowser2* Control() const noexcept { return browser_.Get(); }

private:
    void Close() noexcept;

    // Declared first so that OLE stays initialised until every reference below is gone.
    OleInitialization ole_;
    Microsoft::WRL::ComPtr<OleSite> site_;
    Microsoft::WRL::ComPtr<IOleObject> object_;
    Microsoft::WRL::ComPtr<IOleInPlaceObject> inPlace_;
    Microsoft::WRL::ComPtr<IWebBrowser2> browser_;
    std::unique_ptr<BrowserEventConnection> events_;
    HWND window_ = nullptr;
    HWND parent_ = nullptr;
};

} // namespace kv
