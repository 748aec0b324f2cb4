#include "plugin/BrowserEventSink.h"

#include "shell/Exceptions.h"
#include "shell/OleCheck.h"

#include <exdisp.h>
#include <exdispid.h>
#include <olectl.h>

#include <string>

namespace kv {

namespace {

// The browser passes most arguments by reference, as VARIANTs holding VARIANTs.
const VARIANT* Referenced(const VARIANT& argument) noexcept
{
    if (V_VT(&argument) == (VT_BYREF | VT_VARIANT))
        return V_VARIANTREF(&argument);
    return &argument;
}

// The text of a string argument; empty for anything else.
std::wstring StringOf(const VARIANT& argument)
{
    const VARIANT* value = Referenced(argument);
    if (value == nullptr)
        return {};
    BSTR text = nullptr;
    if (V_VT(value) == VT_BSTR)
        text = V_BSTR(value);
    else if (V_VT(value) == (VT_BYREF | VT_BSTR) && V_BSTRREF(value) != nullptr)
        text = *V_BSTRREF(value);
    return text != nullptr ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

// The event's cancel flag; null when the argument is not one.
VARIANT_BOOL* CancelFlag(const VARIANT& argument) noexcept
{
    return V_VT(&argument) == (VT_BYREF | VT_BOOL) ? V_BOOLREF(&argument) : nullptr;
}

// The engine's argument order: the last parameter comes first.
const VARIANT& Argument(const DISPPARAMS& parameters, UINT position) noexcept
{
    return parameters.rgvarg[parameters.cArgs - 1 - position];
}

} // namespace

Microsoft::WRL::ComPtr<BrowserEventSink> BrowserEventSink::Create(IUnknown* browser)
{
    Microsoft::WRL::ComPtr<IUnknown> identity;
    if (browser != nullptr)
        OleCheck(browser->QueryInterface(IID_PPV_ARGS(&identity)));
    Microsoft::WRL::ComPtr<BrowserEventSink> sink;
    sink.Attach(new BrowserEventSink(identity.Get()));
    return sink;
}

HRESULT STDMETHODCALLTYPE BrowserEventSink::QueryInterface(REFIID riid, void** object)
{
    return ComMethod([&] {
        if (object == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID_DWebBrowserEvents2) {
            *object = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    });
}

ULONG STDMETHODCALLTYPE BrowserEventSink::AddRef()
{
    return ++references_;
}

ULONG STDMETHODCALLTYPE BrowserEventSink::Release()
{
    const ULONG count = --references_;
    if (count == 0)
        delete this;
    return count;
}

HRESULT STDMETHODCALLTYPE BrowserEventSink::Invoke(DISPID member, REFIID riid, LCID, WORD,
                                                   DISPPARAMS* parameters, VARIANT*, EXCEPINFO*,
                                                   UINT*)
{
    return ComMethod([&] {
        if (riid != IID_NULL)
            return static_cast<HRESULT>(DISP_E_UNKNOWNINTERFACE);
        if (parameters == nullptr || (parameters->cArgs > 0 && parameters->rgvarg == nullptr))
            return E_INVALIDARG;
        switch (member) {
        case DISPID_BEFORENAVIGATE2:
            BeforeNavigate2(*parameters);
            return S_OK;
        case DISPID_NEWWINDOW2:
        case DISPID_NEWWINDOW3:
            NewWindow(*parameters, member);
            return S_OK;
        case DISPID_FILEDOWNLOAD:
            FileDownload(*parameters);
            return S_OK;
        default:
            return static_cast<HRESULT>(DISP_E_MEMBERNOTFOUND);
        }
    });
}

// BeforeNavigate2(pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel)
void BrowserEventSink::BeforeNavigate2(const DISPPARAMS& parameters)
{
    if (parameters.cArgs != 7)
        return;
    VARIANT_BOOL* const cancel = CancelFlag(Argument(parameters, 6));
    IBrowserEvents* const events = events_;
    if (cancel == nullptr || events == nullptr)
        return;
    bool allowed = false;
    try {
        allowed = events->BeforeNavigate(StringOf(Argument(parameters, 1)),
                                         IsBrowser(Argument(parameters, 0)));
    } catch (...) {
        allowed = false;  // a navigation that cannot be judged does not go ahead
    }
    // Only ever set: another sink may have cancelled already.
    if (!allowed)
        *cancel = VARIANT_TRUE;
}

// NewWindow2(ppDisp, Cancel); NewWindow3(ppDisp, Cancel, dwFlags, bstrUrlContext, bstrUrl)
void BrowserEventSink::NewWindow(const DISPPARAMS& parameters, DISPID member)
{
    const UINT count = member == DISPID_NEWWINDOW3 ? 5 : 2;
    if (parameters.cArgs != count)
        return;
    if (VARIANT_BOOL* const cancel = CancelFlag(Argument(parameters, 1)))
        *cancel = VARIANT_TRUE;
    IBrowserEvents* const events = events_;
    if (member == DISPID_NEWWINDOW3 && events != nullptr)
        events->NewWindow(StringOf(Argument(parameters, 4)));
}

// FileDownload(ActiveDocument, Cancel): a file that will not be shown as a document would open
// the download dialog on the file manager's thread.
void BrowserEventSink::FileDownload(const DISPPARAMS& parameters)
{
    if (parameters.cArgs != 2)
        return;
    const VARIANT* document = Referenced(Argument(parameters, 0));
    VARIANT_BOOL* const cancel = CancelFlag(Argument(parameters, 1));
    if (document == nullptr || cancel == nullptr)
        return;
    const bool shownAsDocument = V_VT(document) == VT_BOOL && V_BOOL(document) != VARIANT_FALSE;
    if (!shownAsDocument)
        *cancel = VARIANT_TRUE;
}

bool BrowserEventSink::IsBrowser(const VARIANT& frame) const noexcept
{
    const VARIANT* value = Referenced(frame);
    IUnknown* const browser = browser_;
    if (value == nullptr || browser == nullptr)
        return false;
    IUnknown* object = nullptr;
    if (V_VT(value) == VT_DISPATCH)
        object = V_DISPATCH(value);
    else if (V_VT(value) == VT_UNKNOWN)
        object = V_UNKNOWN(value);
    if (object == nullptr)
        return false;
    Microsoft::WRL::ComPtr<IUnknown> identity;
    if (FAILED(object->QueryInterface(IID_PPV_ARGS(&identity))))
        return false;
    return identity.Get() == browser;
}

BrowserEventConnection::BrowserEventConnection(IUnknown* browser)
{
    if (browser == nullptr)
        throw EArgumentException(L"No browser to connect to");
    sink_ = BrowserEventSink::Create(browser);
    Microsoft::WRL::ComPtr<IConnectionPointContainer> container;
    OleCheck(browser->QueryInterface(IID_PPV_ARGS(&container)));
    OleCheck(container->FindConnectionPoint(DIID_DWebBrowserEvents2, &point_));
    if (!point_)
        throw EOleSysError(CONNECT_E_NOCONNECTION);
    OleCheck(point_->Advise(static_cast<IDispatch*>(sink_.Get()), &cookie_));
}

void BrowserEventConnection::SetEvents(IBrowserEvents* events) noexcept
{
    if (sink_)
        sink_->SetEvents(events);
}

void BrowserEventConnection::Close() noexcept
{
    // Cut off first: the control may still hold the sink after Unadvise, and whatever it sends
    // then must reach nobody.
    if (sink_)
        sink_->Disconnect();
    if (point_ && cookie_ != 0)
        point_->Unadvise(cookie_);
    cookie_ = 0;
    point_.Reset();
    sink_.Reset();
}

} // namespace kv
