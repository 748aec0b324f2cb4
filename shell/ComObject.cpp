#include "shell/ComObject.h"

#include "shell/ComServer.h"
#include "shell/Exceptions.h"
#include "shell/Strings.h"

#include <utility>

namespace kv {

// ---- TComInnerUnknown ----

HRESULT TComInnerUnknown::QueryInterface(REFIID id, void** object)
{
    return owner_.ObjQueryInterface(id, object);
}

ULONG TComInnerUnknown::AddRef()
{
    return owner_.ObjAddRef();
}

ULONG TComInnerUnknown::Release()
{
    return owner_.ObjRelease();
}

// ---- TComObject ----

const TorvInterfaceTable& TComObject::ClassInterfaces() noexcept
{
    static constexpr TorvInterfaceEntry entries[] = {
        InterfaceEntry<TComObject, ISupportErrorInfo>(IID_ISupportErrorInfo),
    };
    static constexpr TorvInterfaceTable table = MakeInterfaceTable<TorvInterfacedObject>(entries);
    return table;
}

TComObject::~TComObject()
{
    if (counted_)
        ComServer::UncountObject();
}

HRESULT TComObject::InternalQueryInterface(REFIID id, void** object) noexcept
{
    if (controller_ != nullptr)
        return controller_->QueryInterface(id, object);
    return ObjQueryInterface(id, object);
}

ULONG TComObject::InternalAddRef() noexcept
{
    return controller_ != nullptr ? controller_->AddRef() : ObjAddRef();
}

ULONG TComObject::InternalRelease() noexcept
{
    return controller_ != nullptr ? controller_->Release() : ObjRelease();
}

HRESULT TComObject::ObjQueryInterface(REFIID id, void** object) noexcept
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    // The controller of an aggregate holds the non-delegating IUnknown; asking it for any other
    // interface gives a delegating one.
    if (controller_ != nullptr && IsEqualIID(id, IID_IUnknown)) {
        inner_.AddRef();
        *object = static_cast<IUnknown*>(&inner_);
        return S_OK;
    }
    return TorvInterfacedObject::InternalQueryInterface(id, object);
}

ULONG TComObject::ObjAddRef() noexcept
{
    return TorvInterfacedObject::InternalAddRef();
}

ULONG TComObject::ObjRelease() noexcept
{
    const ULONG count = ReleaseWithoutDestroying();
    if (count == 0)
        Destroy();
    return count;
}

HRESULT TComObject::InterfaceSupportsErrorInfo(REFIID)
{
    // No method sets error information (SetErrorInfo): a caller told otherwise would read a
    // stale error object of some other call.
    return S_FALSE;
}

void TComObject::Setup(TComObjectFactory* factory, IUnknown* controller, bool uncounted)
{
    TorvInterfacedObject::InternalAddRef();
    factory_ = factory;
    controller_ = controller;
    uncounted_ = uncounted;
    if (!uncounted_) {
        ComServer::CountObject();
        counted_ = true;
    }
    try {
        Initialize();
    } catch (...) {
        ReleaseWithoutDestroying();
        throw;
    }
    ReleaseWithoutDestroying();
}

void TComObject::Destroy() noexcept
{
    // An object freed directly while clients still hold references must not be called again
    // through a proxy.
    if (RefCount() > 0 && controller_ == nullptr)
        CoDisconnectObject(static_cast<ISupportErrorInfo*>(this), 0);
    BeforeDestruction();
    delete this;
}

// ---- TorvShellBaseExtension ----

namespace detail {
void RaiseNoClassID(std::wstring_view className)
{
    throw Exception(std::wstring(className) + L".GetClassID is not implemented");
}
} // namespace detail

const TorvInterfaceTable& TorvShellBaseExtension::ClassInterfaces() noexcept
{
    static constexpr TorvInterfaceEntry entries[] = {
        InterfaceEntry<TorvShellBaseExtension, IObjectWithSite>(IID_IObjectWithSite),
        InterfaceEntry<TorvShellBaseExtension, IPersist>(IID_IPersist),
    };
    static constexpr TorvInterfaceTable table = MakeInterfaceTable<TComObject>(entries);
    return table;
}

CLSID TorvShellBaseExtension::GetClassID()
{
    detail::RaiseNoClassID(ClassName);
}

void TorvShellBaseExtension::Initialize()
{
    RegistrationScope = 0;
    TComObject::Initialize();
}

void TorvShellBaseExtension::BeforeDestruction() noexcept
{
    if (Site) {
        try {
            SiteChanged(nullptr);
        } catch (...) {
            // The object is going either way.
        }
        Site.Reset();
    }
    try {
        Uninitialize();
    } catch (...) {
    }
    TComObject::BeforeDestruction();
}

void TorvShellBaseExtension::GetNames(TorvNameList&) {}

void TorvShellBaseExtension::NormalizeNames(TorvNameList& names)
{
    for (size_t i = names.size(); i-- > 0;) {
        std::wstring trimmed = Trim(names[i]);
        if (trimmed.empty())
            names.erase(names.begin() + static_cast<std::ptrdiff_t>(i));
        else
            names[i] = std::move(trimmed);
    }
}

bool TorvShellBaseExtension::CanRegister()
{
    return class_ != nullptr && class_->OwnClassID;
}

HRESULT TorvShellBaseExtension::DoQueryInterface(REFIID id, void** object) noexcept
{
    return TComObject::ObjQueryInterface(id, object);
}

HRESULT TorvShellBaseExtension::ObjQueryInterface(REFIID id, void** object) noexcept
{
    return DoQueryInterface(id, object);
}

HRESULT TorvShellBaseExtension::SetSite(IUnknown* site)
{
    return ComMethod([&] {
        if (site == Site.Get())
            return S_OK;
        if (Site) {
            SiteChanged(nullptr);
            Site.Reset();
        }
        if (site != nullptr) {
            SiteChanged(site);
            Site = site;
        }
        return S_OK;
    });
}

HRESULT TorvShellBaseExtension::GetSite(REFIID id, void** site)
{
    // The IID arrives by reference, so a missing one cannot be told apart here.
    if (site != nullptr)
        *site = nullptr;
    if (site == nullptr)
        return E_POINTER;
    if (!Site)
        return E_FAIL;
    return Site->QueryInterface(id, site);
}

HRESULT TorvShellBaseExtension::GetClassID(CLSID* classId)
{
    return ComMethod([&] {
        if (classId == nullptr)
            return E_POINTER;
        *classId = Class().GetClassID();
        return S_OK;
    });
}

} // namespace kv
