// Class factories: they create objects for the platform and write or erase a class's registry
// keys. Every factory is entered in the module's factory list when it is made and stays there
// until the module's COM support shuts down; its AddRef and Release only move the module's lock
// count, because the list owns it.
#pragma once

#include "shell/ComObject.h"

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <memory>
#include <string>

namespace kv {

enum class TClassInstancing { Internal, SingleInstance, MultiInstance };
enum class TThreadingModel { None, Apartment, Free, Both, Neutral };

class TComObjectFactory : public IClassFactory {
public:
    TComObjectFactory(const TorvExtensionClass& extensionClass, const CLSID& classId,
                      std::wstring comClassName, std::wstring description,
                      TClassInstancing instancing, TThreadingModel threadingModel);
    TComObjectFactory(const TComObjectFactory&) = delete;
    TComObjectFactory& operator=(const TComObjectFactory&) = delete;
    virtual ~TComObjectFactory() = default;

    const TorvExtensionClass& ComClass() const noexcept { return class_; }
    const CLSID& ClassID() const noexcept { return classId_; }
    const std::wstring& ComClassName() const noexcept { return comClassName_; }
    const std::wstring& Description() const noexcept { return description_; }
    TClassInstancing Instancing() const noexcept { return instancing_; }
    TThreadingModel ThreadingModel() const noexcept { return threadingModel_; }
    // A failed construction is shown in a message box when set.
    bool ShowErrors = true;
    IID ErrorIID = IID_IUnknown;
    DWORD RegistrationCookie = static_cast<DWORD>(-1);

    // Server name + "." + COM class name; empty when the COM class name is empty.
    virtual std::wstring GetProgID() const;
    // Constructs and sets up a counted object (count 0 on return). Raises on failure.
    virtual TComObject* CreateComObject(IUnknown* controller);
    virtual void UpdateRegistry(bool doRegister) {}

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IClassFactory
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID id, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    const TorvExtensionClass& class_;
    CLSID classId_;
    std::wstring comClassName_;
    std::wstring description_;
    TClassInstancing instancing_;
    TThreadingModel threadingModel_;
};

class TorvShellExtensionFactory : public TComObjectFactory {
public:
    TorvShellExtensionFactory(const TorvExtensionClass& extensionClass, const CLSID& classId,
                              std::wstring comClassName, std::wstring description,
                              TClassInstancing instancing, TThreadingModel threadingModel);

    const TorvExtensionClass& ExtensionClass() const noexcept { return ComClass(); }

    void UpdateRegistry(bool doRegister) override;
    virtual void RegisterExtension(TorvShellBaseExtension& object, bool perUser, HKEY classesRoot,
                                   HKEY approvedRoot, const std::wstring& prefix);
    virtual void UnregisterExtension(TorvShellBaseExtension& object, bool perUser, HKEY classesRoot,
                                     HKEY approvedRoot, const std::wstring& prefix);
};

// Objects made outside COM, freed directly.
struct TorvExtensionDeleter {
    void operator()(TorvShellBaseExtension* object) const noexcept;
};
using UniqueExtension = std::unique_ptr<TorvShellBaseExtension, TorvExtensionDeleter>;

// The factory for a class: asks it for its class id, COM class name and description;
// instancing internal when internalOnly, else multiple instances; threading model "Apartment".
// The module's factory list owns it.
TorvShellExtensionFactory& CreateExtensionFactory(const TorvExtensionClass& extensionClass,
                                                  bool internalOnly);

// An initialised instance made outside COM, to ask a class registration questions. Its factory
// is the newest listed factory of the class; without one it raises "Object factory for class %s
// missing".
UniqueExtension CreateUncounted(const TorvExtensionClass& extensionClass);

// The class id as braced upper-case text.
std::wstring GuidToString(const GUID& id);

} // namespace kv
