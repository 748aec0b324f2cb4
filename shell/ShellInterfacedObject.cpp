#include "shell/ShellInterfacedObject.h"

#include "shell/ComServer.h"
#include "shell/Exceptions.h"

namespace kv {

const TorvInterfaceTable& TorvShellInterfacedObject::ClassInterfaces() noexcept
{
    using T = TorvShellInterfacedObject;
    static constexpr TorvInterfaceEntry entries[] = {
        InterfaceEntry<T, IObjectWithSite>(IID_IObjectWithSite),
    };
    static constexpr TorvInterfaceTable table = MakeInterfaceTable<TorvInterfacedObject>(entries);
    return table;
}

TorvShellInterfacedObject::TorvShellInterfacedObject() noexcept
{
    // An executable's objects do not decide whether it can go; a library's keep it loaded.
    if (ComServer::IsLibrary()) {
        ComServer::CountObject();
        counted_ = true;
    }
}

TorvShellInterfacedObject::~TorvShellInterfacedObject()
{
    site_.Reset();
    if (counted_)
        ComServer::UncountObject();
}

void TorvShellInterfacedObject::DropSite() noexcept
{
    if (!site_)
        return;
    try {
        SiteChanged(nullptr);
    } catch (...) {
    }
    site_.Reset();
}

HRESULT TorvShellInterfacedObject::SetSite(IUnknown* site)
{
    return ComMethod([&] {
        if (site == site_.Get())
            return S_OK;
        DropSite();
        if (site != nullptr) {
            try {
                SiteChanged(site);
            } catch (...) {
            }
            site_ = site;
        }
        return S_OK;
    });
}

HRESULT TorvShellInterfacedObject::GetSite(REFIID id, void** site)
{
    return ComMethod([&] {
        if (site == nullptr)
            return E_POINTER;
        *site = nullptr;
        if (!site_)
            return E_FAIL;
        return site_->QueryInterface(id, site);
    });
}

} // namespace kv
