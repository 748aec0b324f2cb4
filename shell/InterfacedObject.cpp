#include "shell/InterfacedObject.h"

namespace kv {

const TorvInterfaceTable& TorvInterfacedObject::ClassInterfaces() noexcept
{
    static constexpr TorvInterfaceTable table{nullptr, 0, nullptr};
    return table;
}

HRESULT TorvInterfacedObject::InternalQueryInterface(REFIID id, void** object) noexcept
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    IUnknown* const found = FindInterface(id);
    if (found == nullptr)
        return E_NOINTERFACE;
    found->AddRef();
    *object = found;
    return S_OK;
}

IUnknown* TorvInterfacedObject::FindInterface(REFIID id) noexcept
{
    IUnknown* found = nullptr;
    const bool wantUnknown = IsEqualIID(id, IID_IUnknown);
    for (const TorvInterfaceTable* table = &InterfaceTable(); table != nullptr && found == nullptr;
         table = table->Base != nullptr ? &table->Base() : nullptr) {
        for (size_t i = 0; i < table->Count; ++i) {
            if (wantUnknown || IsEqualIID(id, *table->Entries[i].Id)) {
                found = table->Entries[i].Get(this);
                break;
            }
        }
    }
    return found;
}

ULONG TorvInterfacedObject::InternalAddRef() noexcept
{
    return static_cast<ULONG>(++refCount_);
}

ULONG TorvInterfacedObject::InternalRelease() noexcept
{
    const LONG count = --refCount_;
    if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}

} // namespace kv
