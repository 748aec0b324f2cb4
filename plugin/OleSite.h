// The container side of an embedded OLE control: the client site, in-place site and frame that
// an in-place object talks to, and the ambient properties it reads through the site's IDispatch.
// It owns nothing of the object; the host that embeds the control keeps the object and tells
// the site where the control sits.
#pragma once

#include "plugin/DispIdDispatch.h"

#include <windows.h>
#include <ole2.h>
#include <oleidl.h>
#include <wrl/client.h>

#include <atomic>

namespace kv {

class OleSite final : public IOleClientSite,
                      public IOleInPlaceSite,
                      public IOleInPlaceFrame,
                      public DispIdDispatch {
public:
    // A site whose control window is a child of parent, placed at bounds (client coordinates).
    // downloadControl is the DLCTL_* answer to the ambient property DISPID_AMBIENT_DLCONTROL.
    static Microsoft::WRL::ComPtr<OleSite> Create(HWND parent, const RECT& bounds,
                                                  DWORD downloadControl);

    OleSite(const OleSite&) = delete;
    OleSite& operator=(const OleSite&) = delete;

    // Where the control sits now; the in-place object asks for it when it activates.
    void SetBounds(const RECT& bounds) noexcept { bounds_ = bounds; }
    const RECT& Bounds() const noexcept { return bounds_; }
    HWND Parent() const noexcept { return parent_; }
    DWORD DownloadControl() const noexcept { return downloadControl_; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IOleClientSite
    HRESULT STDMETHODCALLTYPE SaveObject() override;
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD assign, DWORD whichMoniker, IMoniker** moniker) override;
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override;
    HRESULT STDMETHODCALLTYPE ShowObject() override;
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL show) override;
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override;

    // IOleWindow (shared by the in-place site and the frame)
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override;
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL enterMode) override;

    // IOleInPlaceSite
    HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override;
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override;
    HRESULT STDMETHODCALLTYPE OnUIActivate() override;
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                               LPRECT posRect, LPRECT clipRect,
                                               LPOLEINPLACEFRAMEINFO frameInfo) override;
    HRESULT STDMETHODCALLTYPE Scroll(SIZE scrollExtent) override;
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL undoable) override;
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override;
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override;
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override;
    HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT posRect) override;

    // IOleInPlaceUIWindow
    HRESULT STDMETHODCALLTYPE GetBorder(LPRECT border) override;
    HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS widths) override;
    HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS widths) override;
    HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject* activeObject,
                                              LPCOLESTR objectName) override;

    // IOleInPlaceFrame
    HRESULT STDMETHODCALLTYPE InsertMenus(HMENU shared, LPOLEMENUGROUPWIDTHS widths) override;
    HRESULT STDMETHODCALLTYPE SetMenu(HMENU shared, HOLEMENU oleMenu, HWND activeObject) override;
    HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU shared) override;
    HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR statusText) override;
    HRESULT STDMETHODCALLTYPE EnableModeless(BOOL enable) override;
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG message, WORD id) override;

    // IDispatch: the ambient properties. Only DISPID_AMBIENT_DLCONTROL is answered; every other
    // member is unknown, so the control keeps its own default for it.
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID locale, WORD flags,
                                     DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override;

private:
    OleSite(HWND parent, const RECT& bounds, DWORD downloadControl) noexcept
        : parent_(parent), bounds_(bounds), downloadControl_(downloadControl)
    {
    }
    ~OleSite() = default;

    std::atomic<ULONG> references_{1};
    HWND parent_;
    RECT bounds_;
    DWORD downloadControl_;
};

} // namespace kv
