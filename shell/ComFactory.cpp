#include "shell/ComFactory.h"

#include "shell/ComServer.h"
#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/Registry.h"
#include "shell/Strings.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace kv {

namespace {

// The module's factories, newest last.
struct FactoryList {
    CriticalSection lock;
    std::vector<std::unique_ptr<TComObjectFactory>> factories;
};

FactoryList& Factories()
{
    // Never destroyed: a factory given to the URL session may be called until the process
    // ends, and the list may be asked for after static destruction has begun.
    static FactoryList* list = new FactoryList();
    return *list;
}

const wchar_t* ThreadingModelName(TThreadingModel model)
{
    switch (model) {
    case TThreadingModel::Apartment:
        return L"Apartment";
    case TThreadingModel::Free:
        return L"Free";
    case TThreadingModel::Both:
        return L"Both";
    case TThreadingModel::Neutral:
        return L"Neutral";
    case TThreadingModel::None:
        break;
    }
    return nullptr;
}

void ShowConstructionError(const std::wstring& message)
{
    std::wstring text = message;
    if (text.back() > L'.')
        text += L'.';
    MessageBoxW(nullptr, text.c_str(), L"ZIV Error", MB_OK | MB_ICONSTOP | MB_SETFOREGROUND);
}

// The module's file name, in its short form when it holds a blank (an unquoted registry path
// with blanks is ambiguous to the loader).
std::wstring ServerFileName()
{
    std::wstring name = ModuleFileName(ThisModule());
    if (name.find(L' ') == std::wstring::npos)
        return name;
    std::wstring shortName(MAX_PATH, L'\0');
    const DWORD length = GetShortPathNameW(name.c_str(), shortName.data(),
                                           static_cast<DWORD>(shortName.size()));
    if (length == 0 || length >= shortName.size())
        return name;
    shortName.resize(length);
    return shortName;
}

} // namespace

std::wstring GuidToString(const GUID& id)
{
    wchar_t text[40] = {};
    StringFromGUID2(id, text, 40);
    return text;
}

// ---- TComObjectFactory ----

TComObjectFactory::TComObjectFactory(const TorvExtensionClass& extensionClass,
                                     const CLSID& classId, std::wstring comClassName,
                                     std::wstring description, TClassInstancing instancing,
                                     TThreadingModel threadingModel)
    : class_(extensionClass), classId_(classId), comClassName_(std::move(comClassName)),
      description_(std::move(description)), instancing_(instancing),
      threadingModel_(threadingModel)
{
}

std::wstring TComObjectFactory::GetProgID() const
{
    if (comClassName_.empty())
        return {};
    return ComServer::ServerName() + L"." + comClassName_;
}

TComObject* TComObjectFactory::CreateComObject(IUnknown* controller)
{
    TorvShellBaseExtension* object = class_.Construct();
    try {
        object->Setup(this, controller, false);
    } catch (...) {
        object->Destroy();
        throw;
    }
    return object;
}

HRESULT TComObjectFactory::QueryInterface(REFIID id, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG TComObjectFactory::AddRef()
{
    ComServer::CountLock();
    return 2;
}

ULONG TComObjectFactory::Release()
{
    ComServer::UncountLock();
    return 1;
}

HRESULT TComObjectFactory::CreateInstance(IUnknown* outer, REFIID id, void** object)
{
    return ComMethod([&]() -> HRESULT {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (outer != nullptr && !IsEqualIID(id, IID_IUnknown))
            return CLASS_E_NOAGGREGATION;
        TComObject* created = nullptr;
        try {
            created = CreateComObject(outer);
        } catch (...) {
            const std::wstring message = ExceptionMessage(std::current_exception());
            if (ShowErrors && !message.empty())
                ShowConstructionError(message);
            return E_UNEXPECTED;
        }
        const HRESULT result = created->ObjQueryInterface(id, object);
        // Nobody took a reference (the interface is missing): the object is not wanted.
        if (created->RefCount() == 0)
            created->Destroy();
        return result;
    });
}

HRESULT TComObjectFactory::LockServer(BOOL lock)
{
    const HRESULT result = CoLockObjectExternal(static_cast<IClassFactory*>(this), lock, TRUE);
    if (lock)
        ComServer::CountObject();
    else
        ComServer::UncountObject();
    return result;
}

// ---- TorvShellExtensionFactory ----

TorvShellExtensionFactory::TorvShellExtensionFactory(const TorvExtensionClass& extensionClass,
                                                     const CLSID& classId,
                                                     std::wstring comClassName,
                                                     std::wstring description,
                                                     TClassInstancing instancing,
                                                     TThreadingModel threadingModel)
    : TComObjectFactory(extensionClass, classId, std::move(comClassName), std::move(description),
                        instancing, threadingModel)
{
}

void TorvShellExtensionFactory::UpdateRegistry(bool doRegister)
{
    if (Instancing() == TClassInstancing::Internal)
        return;
    UniqueExtension object = CreateUncounted(ExtensionClass());
    if (!object->CanRegister())
        throw EAbort();
    HKEY classesRoot;
    HKEY approvedRoot;
    std::wstring prefix;
    bool perUser;
    switch (object->RegistrationScope) {
    case 1:
        classesRoot = HKEY_CLASSES_ROOT;
        approvedRoot = HKEY_LOCAL_MACHINE;
        perUser = false;
        break;
    case 2:
        classesRoot = HKEY_CURRENT_USER;
        prefix = L"Software\\Classes\\";
        approvedRoot = HKEY_CURRENT_USER;
        perUser = true;
        break;
    default:
        classesRoot = ComServer::RegistryRoot();
        prefix = ComServer::RegistryKeyPrefix();
        perUser = ComServer::PerUserRegistration();
        approvedRoot = perUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
        break;
    }
    if (doRegister)
        RegisterExtension(*object, perUser, classesRoot, approvedRoot, prefix);
    else
        UnregisterExtension(*object, perUser, classesRoot, approvedRoot, prefix);
}

namespace {
const wchar_t ApprovedKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";

// The names a class is registered under.
struct ClassKeys {
    ClassKeys(const TComObjectFactory& factory, const std::wstring& prefix)
        : classId(GuidToString(factory.ClassID())), classKey(prefix + L"CLSID\\" + classId),
          progId(factory.GetProgID()), progIdKey(prefix + progId),
          serverKey(classKey + L"\\" + ComServer::ServerKey())
    {
    }
    std::wstring classId;
    std::wstring classKey;
    std::wstring progId;
    std::wstring progIdKey;
    std::wstring serverKey;
};
} // namespace

void TorvShellExtensionFactory::RegisterExtension(TorvShellBaseExtension& object, bool perUser,
                                                  HKEY classesRoot, HKEY approvedRoot,
                                                  const std::wstring& prefix)
{
    const ClassKeys keys(*this, prefix);
    const std::wstring& classId = keys.classId;
    const std::wstring& classKey = keys.classKey;
    const std::wstring& progId = keys.progId;
    const std::wstring& progIdKey = keys.progIdKey;
    const std::wstring& serverKey = keys.serverKey;

    object.BeforeRegister(*this, perUser, prefix, classesRoot, approvedRoot);
    WriteRegKeyString(classesRoot, classKey, L"", Description());
    WriteRegKeyString(classesRoot, serverKey, L"", ServerFileName());
    if (const wchar_t* model = ThreadingModelName(ThreadingModel());
        model != nullptr && ComServer::IsLibrary())
        WriteRegKeyString(classesRoot, serverKey, L"ThreadingModel", model);
    if (!progId.empty()) {
        WriteRegKeyString(classesRoot, progIdKey, L"", Description());
        WriteRegKeyString(classesRoot, progIdKey + L"\\CLSID", L"", classId);
        WriteRegKeyString(classesRoot, classKey + L"\\ProgID", L"", progId);
    }
    object.AfterRegister(*this, perUser, prefix, classesRoot, approvedRoot);
    const auto isolation = [&](const wchar_t* name, bool disable) {
        if (disable)
            WriteRegKeyDWord(classesRoot, classKey, name, 1);
        else
            DeleteRegValue(classesRoot, classKey, name);
    };
    isolation(L"DisableProcessIsolation", object.DisableProcessIsolation);
    isolation(L"DisableLowILProcessIsolation", object.DisableLowILProcessIsolation);
    // Every supported system is of the NT family.
    WriteRegKeyString(approvedRoot, ApprovedKey, classId, Description());
}

void TorvShellExtensionFactory::UnregisterExtension(TorvShellBaseExtension& object, bool perUser,
                                                    HKEY classesRoot, HKEY approvedRoot,
                                                    const std::wstring& prefix)
{
    const ClassKeys keys(*this, prefix);

    object.BeforeUnregister(*this, perUser, prefix, classesRoot, approvedRoot);
    DeleteRegValue(approvedRoot, ApprovedKey, keys.classId);
    if (!keys.progId.empty()) {
        DeleteRegKey(classesRoot, keys.classKey + L"\\ProgID");
        DeleteRegKey(classesRoot, keys.progIdKey + L"\\CLSID");
        DeleteRegKey(classesRoot, keys.progIdKey);
    }
    DeleteRegKey(classesRoot, keys.serverKey);
    DeleteRegKey(classesRoot, keys.classKey);
    object.AfterUnregister(*this, perUser, prefix, classesRoot, approvedRoot);
}

// ---- module functions ----

void TorvExtensionDeleter::operator()(TorvShellBaseExtension* object) const noexcept
{
    if (object != nullptr)
        object->Destroy();
}

TorvShellExtensionFactory& CreateExtensionFactory(const TorvExtensionClass& extensionClass,
                                                  bool internalOnly)
{
    auto factory = std::make_unique<TorvShellExtensionFactory>(
        extensionClass, extensionClass.GetClassID(), extensionClass.GetComClassName(),
        extensionClass.GetDescription(),
        internalOnly ? TClassInstancing::Internal : TClassInstancing::MultiInstance,
        TThreadingModel::Apartment);
    TorvShellExtensionFactory& result = *factory;
    FactoryList& list = Factories();
    std::lock_guard guard(list.lock);
    list.factories.push_back(std::move(factory));
    return result;
}

UniqueExtension CreateUncounted(const TorvExtensionClass& extensionClass)
{
    TComObjectFactory* factory = nullptr;
    {
        FactoryList& list = Factories();
        std::lock_guard guard(list.lock);
        const auto found = std::find_if(list.factories.rbegin(), list.factories.rend(),
                                        [&](const auto& f) { return &f->ComClass() == &extensionClass; });
        if (found != list.factories.rend())
            factory = found->get();
    }
    if (factory == nullptr)
        throw Exception(FormatString(L"Object factory for class %ls missing",
                                     std::wstring(extensionClass.Name).c_str()));
    UniqueExtension object(extensionClass.Construct());
    object->Setup(factory, nullptr, true);
    return object;
}

} // namespace kv
