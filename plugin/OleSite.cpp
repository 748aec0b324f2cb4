#include "plugin/OleSite.h"

#include "shell/Exceptions.h"

#include <mshtmdid.h>

#include <new>

namespace kv {

namespace {

template <typename T>
HRESULT ClearOut(T** out) noexcept
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    return S_OK;
}

} // namespace

Microsoft::WRL::ComPtr<OleSite> OleSite::Create(HWND parent, const RECT& bounds,
                                                DWORD downloadControl)
{
    Microsoft::WRL::ComPtr<OleSite> site;
    site.Attach(new OleSite(parent, bounds, downloadControl));
    return site;
}

HRESULT STDMETHODCALLTYPE OleSite::QueryInterface(REFIID riid, void** object)
{
    return ComMethod([&] {
        if (object == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IOleClientSite)
            *object = static_cast<IOleClientSite*>(this);
        else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite)
            *object = static_cast<IOleInPlaceSite*>(this);
        else if (riid == IID_IOleInPlaceUIWindow || riid == IID_IOleInPlaceFrame)
            *object = static_cast<IOleInPlaceFrame*>(this);
        else if (riid == IID_IDispatch)  // how the control reads the ambient properties
            *object = static_cast<IDispatch*>(this);
        else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    });
}

ULONG STDMETHODCALLTYPE OleSite::AddRef()
{
    return ++references_;
}

ULONG STDMETHODCALLTYPE OleSite::Release()
{
    const ULONG count = --references_;
    if (count == 0)
        delete this;
    return count;
}

// IOleClientSite: the control is never saved or linked; there is no container to enumerate.

HRESULT STDMETHODCALLTYPE OleSite::SaveObject()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE OleSite::GetMoniker(DWORD, DWORD, IMoniker** moniker)
{
    return ComMethod([&] {
        const HRESULT result = ClearOut(moniker);
        return FAILED(result) ? result : E_NOTIMPL;
    });
}

HRESULT STDMETHODCALLTYPE OleSite::GetContainer(IOleContainer** container)
{
    return ComMethod([&] {
        const HRESULT result = ClearOut(container);
        return FAILED(result) ? result : E_NOINTERFACE;
    });
}

HRESULT STDMETHODCALLTYPE OleSite::ShowObject()
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OleSite::OnShowWindow(BOOL)
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OleSite::RequestNewObjectLayout()
{
    return E_NOTIMPL;
}

// IOleWindow: both the site and the frame stand for the parent window.

HRESULT STDMETHODCALLTYPE OleSite::GetWindow(HWND* window)
{
    return ComMethod([&] {
        if (window == nullptr)
            return E_POINTER;
        *window = parent_;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE OleSite::ContextSensitiveHelp(BOOL)
{
    return E_NOTIMPL;
}

// IOleInPlaceSite

HRESULT STDMETHODCALLTYPE OleSite::CanInPlaceActivate()
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OleSite::OnInPlaceActivate()
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OleSite::OnUIActivate()
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OleSite::GetWindowContext(IOleInPlaceFrame** frame,
                                                    IOleInPlaceUIWindow** document, LPRECT posRect,
                                                    LPRECT clipRect, LPOLEINPLACEFRAMEINFO frameInfo)
{
    return ComMethod([&] {
        if (frame == nullptr || document == nullptr || posRect == nullptr || clipRect == nullptr ||
            frameInfo == nullptr)
            return E_POINTER;
        // The site is its own frame; there is no separate document window.
        *frame = static_cast<IOleInPlaceFrame*>(this);
        AddRef();
        *document = nullptr;
        *posRect = bounds_;
        *clipRect = bounds_;
        frameInfo->cb = sizeof(OLEINPLACEFRAMEINFO);
        frameInfo->fMDIApp = FALSE;
        frameInfo->hwndFrame = parent_;
        frameInfo->haccel = nullptr;
        frameInfo->cAccelEntries = 0;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE OleSite::Scroll(SIZE)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE OleSite::OnUIDeactivate(BOOL)
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OleSite::OnInPlaceDeactivate()
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OleSite::DiscardUndoState()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE OleSite::DeactivateAndUndo()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE OleSite::OnPosRectChange(LPCRECT posRect)
{
    return ComMethod([&] {
        if (posRect == nullptr)
            return E_INVALIDARG;
        // The host decides the layout; remember the request so a later activation agrees.
        bounds_ = *posRect;
        return S_OK;
    });
}

// IOleInPlaceUIWindow: no toolbars, so no border space to give.

HRESULT STDMETHODCALLTYPE OleSite::GetBorder(LPRECT border)
{
    return ComMethod([&] {
        if (border == nullptr)
            return E_POINTER;
        return static_cast<HRESULT>(INPLACE_E_NOTOOLSPACE);
    });
}

HRESULT STDMETHODCALLTYPE OleSite::RequestBorderSpace(LPCBORDERWIDTHS)
{
    return INPLACE_E_NOTOOLSPACE;
}

HRESULT STDMETHODCALLTYPE OleSite::SetBorderSpace(LPCBORDERWIDTHS widths)
{
    return ComMethod([&] {
        if (widths == nullptr)
            return S_OK;
        const bool none = widths->left == 0 && widths->top == 0 && widths->right == 0 &&
                          widths->bottom == 0;
        return none ? S_OK : static_cast<HRESULT>(INPLACE_E_NOTOOLSPACE);
    });
}

HRESULT STDMETHODCALLTYPE OleSite::SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR)
{
    return S_OK;
}

// IOleInPlaceFrame: no menus, status bar or accelerators of our own.

HRESULT STDMETHODCALLTYPE OleSite::InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS widths)
{
    return ComMethod([&] {
        if (widths == nullptr)
            return E_INVALIDARG;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE OleSite::SetMenu(HMENU, HOLEMENU, HWND)
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OleSite::RemoveMenus(HMENU)
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OleSite::SetStatusText(LPCOLESTR)
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OleSite::EnableModeless(BOOL)
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE OleSite::TranslateAccelerator(LPMSG, WORD)
{
    return S_FALSE;
}

// IDispatch: the ambient properties, read by their DISPIDs.

HRESULT STDMETHODCALLTYPE OleSite::Invoke(DISPID member, REFIID riid, LCID, WORD flags,
                                          DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*)
{
    return ComMethod([&] {
        if (riid != IID_NULL)
            return static_cast<HRESULT>(DISP_E_UNKNOWNINTERFACE);
        // Not found leaves the control its default, which is what every other ambient wants.
        if (member != DISPID_AMBIENT_DLCONTROL || !(flags & DISPATCH_PROPERTYGET))
            return static_cast<HRESULT>(DISP_E_MEMBERNOTFOUND);
        if (result == nullptr)
            return E_INVALIDARG;
        VariantInit(result);
        V_VT(result) = VT_I4;
        V_I4(result) = static_cast<LONG>(downloadControl_);
        return S_OK;
    });
}

} // namespace kv
