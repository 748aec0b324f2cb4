#include "protocol/HandlerRegistration.h"

#include "protocol/ProtocolExtension.h"
#include "shell/Exceptions.h"
#include "shell/OleCheck.h"

#include <urlmon.h>

#include <string>

namespace kv {

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
    }
    return factory;
}

} // namespace kv
