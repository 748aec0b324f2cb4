// Reference-counted base of the plug-in's COM objects (the objects handed to the archive
// library, streams, protocol handlers), and the interface
// table through which each class names the interfaces it answers.
//
// A concrete class derives from TorvImplements<Itself, Base, Interfaces...>, which supplies the
// IUnknown slots of every interface, and defines its table once:
//
//     const TorvInterfaceTable& TMyObject::ClassInterfaces() noexcept
//     {
//         static constexpr TorvInterfaceEntry entries[] = {
//             InterfaceEntry<TMyObject, IFirst>(IID_IFirst),
//             InterfaceEntry<TMyObject, IParentOfSecond, ISecond>(IID_IParentOfSecond),
//         };
//         static constexpr TorvInterfaceTable table = MakeInterfaceTable<Base>(entries);
//         return table;
//     }
//
// QueryInterface looks the id up in the object's own class table first, then in its bases'.
// The first entry of the most derived table is the object's IUnknown.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <atomic>
#include <cstddef>
#include <utility>

namespace kv {

class TorvInterfacedObject;

struct TorvInterfaceEntry {
    const IID* Id;
    IUnknown* (*Get)(TorvInterfacedObject* self) noexcept;
};

struct TorvInterfaceTable {
    const TorvInterfaceEntry* Entries;
    size_t Count;
    // The table of the class this one derives from; null for the root.
    const TorvInterfaceTable& (*Base)() noexcept;
};

// The row for interface I of class T. Via names the base through which I is reached when I is
// not a unique base of T (an interface's parent, such as ISequentialStream through IStream).
template <class T, class I, class Via = I>
constexpr TorvInterfaceEntry InterfaceEntry(const IID& id) noexcept
{
    return {&id, [](TorvInterfacedObject* self) noexcept -> IUnknown* {
                return static_cast<I*>(static_cast<Via*>(static_cast<T*>(self)));
            }};
}

template <class Base, size_t N>
constexpr TorvInterfaceTable MakeInterfaceTable(const TorvInterfaceEntry (&entries)[N]) noexcept
{
    return {entries, N, &Base::ClassInterfaces};
}

// The count starts at 0: whoever creates an object takes the first reference at once (see
// MakeInterfaced) and hands out no reference from inside a constructor. Objects are destroyed
// through the virtual destructor when the last reference goes; counts are atomic because the
// library may release its references on any thread.
class TorvInterfacedObject {
public:
    TorvInterfacedObject(const TorvInterfacedObject&) = delete;
    TorvInterfacedObject& operator=(const TorvInterfacedObject&) = delete;

    HRESULT InternalQueryInterface(REFIID id, void** object) noexcept;
    ULONG InternalAddRef() noexcept;
    ULONG InternalRelease() noexcept;
    LONG RefCount() const noexcept { return refCount_.load(); }
    // The interface the object's tables name for the id, without a reference; null when none.
    IUnknown* FindInterface(REFIID id) noexcept;

    // The root answers no interface of its own.
    static const TorvInterfaceTable& ClassInterfaces() noexcept;

protected:
    TorvInterfacedObject() noexcept = default;
    virtual ~TorvInterfacedObject() = default;
    // The table of the object's own class; TorvImplements answers it.
    virtual const TorvInterfaceTable& InterfaceTable() const noexcept { return ClassInterfaces(); }
    // Lowers the count without destroying the object at 0: for an object that holds a
    // reference to itself while it is being set up.
    ULONG ReleaseWithoutDestroying() noexcept { return static_cast<ULONG>(--refCount_); }

private:
    std::atomic<LONG> refCount_{0};
};

// Derives from Base and from each interface, and routes the IUnknown slots of all of them to the
// one reference count. Derived must define `static const TorvInterfaceTable& ClassInterfaces()`.
// The slots call Derived's Internal* operations, so a base that delegates them (an aggregated
// COM object hands them to its controller) hides the root's by declaring its own.
template <class Derived, class Base, class... Is>
class TorvImplements : public Base, public Is... {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        return static_cast<Derived*>(this)->InternalQueryInterface(id, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        return static_cast<Derived*>(this)->InternalAddRef();
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        return static_cast<Derived*>(this)->InternalRelease();
    }

protected:
    using Base::Base;
    const TorvInterfaceTable& InterfaceTable() const noexcept override
    {
        return Derived::ClassInterfaces();
    }
};

// Creates an object and takes its first reference. Raises what the constructor raises.
template <class T, class... Args>
Microsoft::WRL::ComPtr<T> MakeInterfaced(Args&&... args)
{
    // Assignment from a raw pointer takes the reference (Attach would too, in this ComPtr).
    Microsoft::WRL::ComPtr<T> object;
    object = new T(std::forward<Args>(args)...);
    return object;
}

} // namespace kv
