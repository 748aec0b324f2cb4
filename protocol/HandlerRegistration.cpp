#include "protocol/HandlerRegistration.h"

#include "protocol/ProtocolExtension.h"
#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/OleCheck.h"

#include <urlmon.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kv {

namespace {

struct SessionRegistration {
    IClassFactory* factory;  // owned by the module's factory list
    std::wstring name;
    bool mimeFilter;
};

struct Registrations {
    CriticalSection lock;
    std::vector<SessionRegistration> entries;
};

Registrations& SessionRegistrations()
{
    static Registrations* registrations = new Registrations();
    return *registrations;
}

} // namespace

TorvShellExtensionFactory& RegisterSessionHandler(const TorvExtensionClass& extensionClass)
{
    TorvShellExtensionFactory& factory = CreateExtensionFactory(extensionClass, false);
    UniqueExtension object = CreateUncounted(extensionClass);
    auto* handler = dynamic_cast<TorvShellBaseProtocolAndMIMEFilterExtension*>(object.get());
    if (handler == nullptr || !handler->TemporaryRegistration)
        return factory;
    Microsoft::WRL::ComPtr<IInternetSession> session;
    OleCheck(CoInternetGetSession(0, &session, 0));
    TorvNameList names;
    handler->GetNames(names);
    handler->NormalizeNames(names);
    const CLSID classId = extensionClass.GetClassID();
    for (const std::wstring& name : names) {
        if (handler->IsProtocolHandler())
            OleCheck(session->RegisterNameSpace(&factory, classId, name.c_str(), 0, nullptr, 0));
        else if (handler->IsMimeFilter())
            OleCheck(session->RegisterMimeFilter(&factory, classId, name.c_str()));
        else
            continue;
        Registrations& registrations = SessionRegistrations();
        std::lock_guard guard(registrations.lock);
        registrations.entries.push_back({&factory, name, handler->IsMimeFilter()});
    }
    return factory;
}

void UnregisterSessionHandlers() noexcept
{
    Registrations& registrations = SessionRegistrations();
    std::vector<SessionRegistration> entries;
    {
        std::lock_guard guard(registrations.lock);
        entries.swap(registrations.entries);
    }
    Microsoft::WRL::ComPtr<IInternetSession> session;
    if (FAILED(CoInternetGetSession(0, &session, 0)))
        return;
    for (const SessionRegistration& entry : entries) {
        if (entry.mimeFilter)
            session->UnregisterMimeFilter(entry.factory, entry.name.c_str());
        else
            session->UnregisterNameSpace(entry.factory, entry.name.c_str());
    }
}

} // namespace kv
