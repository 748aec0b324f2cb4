// COM objects that the platform creates through a class factory: reference counting with
// optional aggregation, the module's live-object count, a site, a class identity and the hooks
// with which a class takes part in registration.
//
// Class-level operations (class id, COM class name, description) are answered without an
// instance, because a factory needs them before any object exists. C++ has no virtual static
// members, so each creatable class is described once by a TorvExtensionClass, made by
// ExtensionClassOf<T>() from T's static members:
//
//     class TMyExtension : public TorvImplements<TMyExtension, TorvShellBaseExtension, IMine> {
//     public:
//         static constexpr const wchar_t* ClassName = L"TMyExtension";
//         static CLSID GetClassID() { return CLSID_Mine; }
//         static std::wstring GetDescription() { return L"Mine"; }
//         static const TorvInterfaceTable& ClassInterfaces() noexcept;
//     };
//
// A static the class does not declare itself falls back to the base's default.
#pragma once

#include "shell/InterfacedObject.h"

#include <objidl.h>
#include <oaidl.h>
#include <ocidl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

class TComObject;
class TComObjectFactory;
class TorvShellBaseExtension;

using TorvNameList = std::vector<std::wstring>;

// The class of a creatable object, with its class-level operations.
struct TorvExtensionClass {
    std::wstring_view Name;
    // A new object of the class (count 0, not yet initialised).
    TorvShellBaseExtension* (*Construct)();
    // Raises "<class name>.GetClassID is not implemented" when the class has no own class id.
    CLSID (*GetClassID)();
    std::wstring (*GetComClassName)();
    std::wstring (*GetDescription)();
    bool OwnClassID;
    // Class-specific facts that a framework base derives from the class's own members (the
    // protocol framework records which URL-information hooks a class overrides).
    uint32_t Features;
};

// Non-delegating IUnknown of an aggregated object: what the controller holds.
class TComInnerUnknown final : public IUnknown {
public:
    explicit TComInnerUnknown(TComObject& owner) noexcept : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

private:
    TComObject& owner_;
};

// Reference counting with aggregation and the module's live-object count. The IUnknown slots of
// every interface go to the controller when the object is aggregated, else to ObjQueryInterface,
// ObjAddRef and ObjRelease.
class TComObject : public TorvImplements<TComObject, TorvInterfacedObject, ISupportErrorInfo> {
public:
    static const TorvInterfaceTable& ClassInterfaces() noexcept;

    // Delegating IUnknown (hides the root's, see TorvImplements).
    HRESULT InternalQueryInterface(REFIID id, void** object) noexcept;
    ULONG InternalAddRef() noexcept;
    ULONG InternalRelease() noexcept;

    // Non-delegating IUnknown.
    virtual HRESULT ObjQueryInterface(REFIID id, void** object) noexcept;
    virtual ULONG ObjAddRef() noexcept;
    virtual ULONG ObjRelease() noexcept;

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID id) override;

    IUnknown* Controller() const noexcept { return controller_; }
    TComObjectFactory* Factory() const noexcept { return factory_; }
    bool Uncounted() const noexcept { return uncounted_; }

    // Sets up an object made by Construct: count 1 while Initialize runs, so that references
    // taken and dropped there cannot destroy it, then back to 0. Raises what Initialize raises.
    void Setup(TComObjectFactory* factory, IUnknown* controller, bool uncounted);
    // Frees the object directly (objects made outside COM, or after a failed set-up): runs the
    // before-destruction steps, then deletes it.
    void Destroy() noexcept;

protected:
    TComObject() noexcept = default;
    ~TComObject() override;
    // Called once by Setup, right after construction.
    virtual void Initialize() {}
    // Runs before the C++ destructors, while the most derived class is still whole, so that
    // overridable clean-up reaches the right class.
    virtual void BeforeDestruction() noexcept {}

private:
    IUnknown* controller_ = nullptr;  // not counted: the controller owns us
    TComObjectFactory* factory_ = nullptr;
    bool uncounted_ = true;
    bool counted_ = false;  // whether the module count was raised for this object
    TComInnerUnknown inner_{*this};
};

// Base of the COM classes that the platform creates through a factory.
class TorvShellBaseExtension
    : public TorvImplements<TorvShellBaseExtension, TComObject, IObjectWithSite, IPersist> {
public:
    static constexpr const wchar_t* ClassName = L"TorvShellBaseExtension";
    static const TorvInterfaceTable& ClassInterfaces() noexcept;

    // Class-level operations; a class declares its own to override them.
    static CLSID GetClassID();  // raises: no class id
    static std::wstring GetComClassName() { return {}; }  // empty here: the class name is used
    static std::wstring GetDescription() { return {}; }   // empty here: the class name is used

    const TorvExtensionClass& Class() const noexcept { return *class_; }

    Microsoft::WRL::ComPtr<IUnknown> Site;
    bool DisableProcessIsolation = false;
    bool DisableLowILProcessIsolation = false;
    // 0: root and prefix from the module's COM server; 1: machine-wide; 2: current user.
    uint8_t RegistrationScope = 0;

    virtual void GetNames(TorvNameList& names);
    virtual void NormalizeNames(TorvNameList& names);
    virtual bool CanRegister();
    virtual HRESULT DoQueryInterface(REFIID id, void** object) noexcept;
    virtual void SiteChanged(IUnknown* site) {}
    virtual void BeforeRegister(TComObjectFactory& factory, bool perUser, const std::wstring& prefix,
                                HKEY classesRoot, HKEY approvedRoot) {}
    virtual void AfterRegister(TComObjectFactory& factory, bool perUser, const std::wstring& prefix,
                               HKEY classesRoot, HKEY approvedRoot) {}
    virtual void BeforeUnregister(TComObjectFactory& factory, bool perUser,
                                  const std::wstring& prefix, HKEY classesRoot, HKEY approvedRoot) {}
    virtual void AfterUnregister(TComObjectFactory& factory, bool perUser,
                                 const std::wstring& prefix, HKEY classesRoot, HKEY approvedRoot) {}

    HRESULT ObjQueryInterface(REFIID id, void** object) noexcept override;

    // IObjectWithSite
    HRESULT STDMETHODCALLTYPE SetSite(IUnknown* site) override;
    HRESULT STDMETHODCALLTYPE GetSite(REFIID id, void** site) override;
    // IPersist
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* classId) override;

    // Set by the class's Construct; every object is made through its class.
    void SetClass(const TorvExtensionClass& extensionClass) noexcept { class_ = &extensionClass; }

protected:
    TorvShellBaseExtension() noexcept = default;
    void Initialize() override;
    // Called once as the object goes, before the C++ destructors.
    virtual void Uninitialize() {}
    void BeforeDestruction() noexcept override;

private:
    const TorvExtensionClass* class_ = nullptr;
};

namespace detail {
[[noreturn]] void RaiseNoClassID(std::wstring_view className);

template <class T>
uint32_t ClassFeatures()
{
    if constexpr (requires { T::template ClassFeaturesOf<T>(); })
        return T::template ClassFeaturesOf<T>();
    else
        return 0;
}
} // namespace detail

// The description of class T, made once.
template <class T>
const TorvExtensionClass& ExtensionClassOf()
{
    static const TorvExtensionClass description = [] {
        TorvExtensionClass c{};
        c.Name = T::ClassName;
        c.Construct = []() -> TorvShellBaseExtension* {
            T* object = new T();
            object->SetClass(ExtensionClassOf<T>());
            return object;
        };
        // The static is named beside IPersist::GetClassID: pick it by its type.
        using ClassIdFunction = CLSID (*)();
        const ClassIdFunction own = &T::GetClassID;
        c.OwnClassID = own != static_cast<ClassIdFunction>(&TorvShellBaseExtension::GetClassID);
        c.GetClassID = c.OwnClassID ? own
                                    : +[]() -> CLSID { detail::RaiseNoClassID(T::ClassName); };
        c.GetComClassName = &T::GetComClassName != &TorvShellBaseExtension::GetComClassName
                                ? &T::GetComClassName
                                : +[] { return std::wstring(T::ClassName); };
        c.GetDescription = &T::GetDescription != &TorvShellBaseExtension::GetDescription
                               ? &T::GetDescription
                               : +[] { return std::wstring(T::ClassName); };
        c.Features = detail::ClassFeatures<T>();
        return c;
    }();
    return description;
}

} // namespace kv
