// The light COM object root of the support library: one reference count (TorvInterfacedObject),
// a site (IObjectWithSite), and a place among the module's live objects while the module is a
// library. The library's IStream implementation stands on it.
#pragma once

#include "shell/InterfacedObject.h"

#include <ocidl.h>

namespace kv {

class TorvShellInterfacedObject
    : public TorvImplements<TorvShellInterfacedObject, TorvInterfacedObject, IObjectWithSite> {
public:
    static const TorvInterfaceTable& ClassInterfaces() noexcept;

    // IObjectWithSite
    HRESULT STDMETHODCALLTYPE SetSite(IUnknown* site) override;
    HRESULT STDMETHODCALLTYPE GetSite(REFIID id, void** site) override;

    IUnknown* Site() const noexcept { return site_.Get(); }

protected:
    TorvShellInterfacedObject() noexcept;
    // Releases the site. A destructor cannot reach a subclass's SiteChanged any more: a
    // subclass that must hear of the site going calls DropSite from its own destructor.
    ~TorvShellInterfacedObject() override;

    // Called with the new site, or with none when the site goes; failures are ignored, since
    // a site change cannot be refused.
    virtual void SiteChanged(IUnknown* site) {}
    // Tells SiteChanged(none) and releases the site, if one is held.
    void DropSite() noexcept;

private:
    Microsoft::WRL::ComPtr<IUnknown> site_;
    bool counted_ = false;
};

} // namespace kv
