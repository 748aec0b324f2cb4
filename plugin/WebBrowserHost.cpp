#include "plugin/WebBrowserHost.h"

#include "plugin/HtmlDocument.h"
#include "plugin/ViewerSettings.h"
#include "shell/BStr.h"
#include "shell/Exceptions.h"
#include "shell/OleCheck.h"

#include <mshtml.h>
#include <mshtmdid.h>
#include <olectl.h>

namespace kv {

OleInitialization::OleInitialization()
{
    // S_FALSE (already initialised here) also counts and is balanced like S_OK.
    OleCheck(OleInitialize(nullptr));
}

OleInitialization::~OleInitialization()
{
    OleUninitialize();
}

WebBrowserHost::WebBrowserHost(HWND parent, DWORD downloadControl)
{
    if (parent == nullptr || !IsWindow(parent))
        throw EArgumentException(L"Invalid parent window");
    RECT bounds{};
    if (!GetClientRect(parent, &bounds))
        RaiseLastOSError();
    parent_ = parent;
    try {
        site_ = OleSite::Create(parent, bounds, downloadControl);
        OleCheck(CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_PPV_ARGS(&object_)));
        OleCheck(object_->SetClientSite(site_.Get()));
        // Have the control read the download control from its site now, rather than keep a
        // default it may have taken before it had one; the engine reads it again per document.
        Microsoft::WRL::ComPtr<IOleControl> control;
        if (SUCCEEDED(object_.As(&control)) && control)
            control->OnAmbientPropertyChange(DISPID_AMBIENT_DLCONTROL);
        OleCheck(object_.As(&browser_));
        // Connected before the first navigation, so that none escapes the viewer's judgement.
        events_ = std::make_unique<BrowserEventConnection>(browser_.Get());
        OleCheck(object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_.Get(), 0, parent, &bounds));
        OleCheck(object_.As(&inPlace_));
        OleCheck(inPlace_->GetWindow(&window_));
        if (window_ == nullptr)
            throw EOleSysError(L"The browser control has no window", E_UNEXPECTED);
    } catch (...) {
        Close();
        throw;
    }
}

WebBrowserHost::~WebBrowserHost()
{
    Close();
}

void WebBrowserHost::Close() noexcept
{
    // No event may reach the viewer once it lets the browser go.
    events_.reset();
    // Deactivate while the site is still there to hear about it, then close and cut the
    // object's reference to the site so neither keeps the other alive.
    if (inPlace_)
        inPlace_->InPlaceDeactivate();
    if (object_) {
        object_->Close(OLECLOSE_NOSAVE);
        object_->SetClientSite(nullptr);
    }
    browser_.Reset();
    inPlace_.Reset();
    object_.Reset();
    site_.Reset();
    window_ = nullptr;
}

void WebBrowserHost::SetBounds(const RECT& bounds)
{
    site_->SetBounds(bounds);
    OleCheck(inPlace_->SetObjectRects(&bounds, &bounds));
}

void WebBrowserHost::Navigate(const std::wstring& url)
{
    BStr text(url);
    VARIANT target;
    VariantInit(&target);
    V_VT(&target) = VT_BSTR;
    V_BSTR(&target) = text.Get();  // still owned by text
    VARIANT empty;
    VariantInit(&empty);
    OleCheck(browser_->Navigate2(&target, &empty, &empty, &empty, &empty));
}

void WebBrowserHost::ExecCommand(OLECMDID command)
{
    OleCheck(browser_->ExecWB(command, OLECMDEXECOPT_DODEFAULT, nullptr, nullptr));
}

long WebBrowserHost::ReadyState()
{
    READYSTATE state = READYSTATE_UNINITIALIZED;
    OleCheck(browser_->get_ReadyState(&state));
    return static_cast<long>(state);
}

std::unique_ptr<IBrowserDocument> WebBrowserHost::Document()
{
    Microsoft::WRL::ComPtr<IDispatch> document;
    if (FAILED(browser_->get_Document(&document)) || !document)
        return nullptr;
    // Anything but an HTML document (a PDF, a folder view) has no text to search or scroll.
    Microsoft::WRL::ComPtr<IHTMLDocument2> html;
    if (FAILED(document.As(&html)) || !html)
        return nullptr;
    return std::make_unique<HtmlDocument>(std::move(html));
}

bool WebBrowserHost::Contains(HWND window) const
{
    return window != nullptr && window_ != nullptr &&
           (window == window_ || IsChild(window_, window));
}

void WebBrowserHost::Focus()
{
    // Activating the control for the user gives its document the focus; where the engine
    // does not take it, the innermost window of the control does, which is where a document
    // window sits.
    RECT bounds{};
    if (GetWindowRect(window_, &bounds))
        MapWindowPoints(nullptr, parent_, reinterpret_cast<POINT*>(&bounds), 2);
    if (object_)
        object_->DoVerb(OLEIVERB_UIACTIVATE, nullptr, site_.Get(), 0, parent_, &bounds);
    if (Contains(GetFocus()))
        return;
    HWND target = window_;
    for (HWND child = GetWindow(target, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_CHILD))
        target = child;
    SetFocus(target);
}

bool WebBrowserHost::TranslateAccelerator(MSG& message) noexcept
{
    Microsoft::WRL::ComPtr<IOleInPlaceActiveObject> active;
    if (!object_ || FAILED(object_.As(&active)) || !active)
        return false;
    return active->TranslateAccelerator(&message) == S_OK;
}

void WebBrowserHost::SetEvents(IBrowserEvents* events) noexcept
{
    if (events_)
        events_->SetEvents(events);
}

std::unique_ptr<IViewerBrowser> CreateWebBrowser(HWND parent)
{
    return std::make_unique<WebBrowserHost>(parent, DownloadControlFlags(CurrentViewerSettings()));
}

} // namespace kv
