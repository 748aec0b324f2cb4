// Instance-bound callbacks for system APIs that call a plain procedure without a context
// pointer (window hooks). A pool hands out callback objects, each with a generated entry
// procedure (a trampoline) that calls one dispatcher with the three system arguments and the
// address of its own object as a fourth.
#pragma once

#include "shell/Handles.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kv {

class TorvCallbackObjList;

// One instance-bound callback. Descendants add what their dispatcher needs.
class TorvCallbackObj {
public:
    TorvCallbackObj(TorvCallbackObjList& owner, void* codeAddress) noexcept
        : owner_(owner), codeAddress_(codeAddress)
    {
    }
    virtual ~TorvCallbackObj() = default;
    TorvCallbackObj(const TorvCallbackObj&) = delete;
    TorvCallbackObj& operator=(const TorvCallbackObj&) = delete;

    TorvCallbackObjList& Owner() const noexcept { return owner_; }
    // The trampoline: the procedure handed to the system.
    void* CodeAddress() const noexcept { return codeAddress_; }
    bool InUse() const noexcept { return inUse_; }

private:
    friend class TorvCallbackObjList;
    TorvCallbackObjList& owner_;
    void* codeAddress_;
    bool inUse_ = false;
};

// The class of the objects a pool makes: creates one for (pool, trampoline address).
using TorvCallbackObjClass = std::unique_ptr<TorvCallbackObj> (*)(TorvCallbackObjList& owner,
                                                                  void* codeAddress);

template <typename T>
std::unique_ptr<TorvCallbackObj> MakeCallbackObj(TorvCallbackObjList& owner, void* codeAddress)
{
    return std::make_unique<T>(owner, codeAddress);
}

// Markers in a trampoline template: the first occurrence of ObjectMarker is replaced with the
// callback object's address, the first occurrence of CellMarker with the address of the cell
// that holds the dispatcher's address. Both are pointer-sized.
#if defined(_WIN64)
inline constexpr char ObjectMarker[] = "ABCDEFGH";
inline constexpr char CellMarker[] = "01234567";
#else
inline constexpr char ObjectMarker[] = "ABCD";
inline constexpr char CellMarker[] = "0123";
#endif

// Template for a procedure of three pointer-sized arguments in the system's calling convention
// for hook procedures (CALLBACK): it calls a four-argument CALLBACK dispatcher with the three
// arguments and the object's address, and returns the dispatcher's result.
std::span<const std::uint8_t> ThreeArgTrampolineTemplate() noexcept;

// What a pool holds, for diagnostics and tests.
struct CallbackPoolInfo {
    std::size_t blockSize = 0;  // bytes per block (the allocation granularity)
    std::size_t slotSize = 0;   // bytes per trampoline
    std::vector<std::size_t> objectsPerBlock;  // one entry per block, in allocation order
    std::vector<bool> inUse;                   // one entry per object, in creation order
};

// A pool of callback objects. Trampolines are made a block of memory at a time and never
// given back before the pool is destroyed, so a trampoline stays callable while its object
// lives; released objects are handed out again, the earliest created first.
class TorvCallbackObjList {
public:
    // maxPerBlock <= 0: as many trampolines per block as fit.
    TorvCallbackObjList(TorvCallbackObjClass itemClass, std::span<const std::uint8_t> trampolineTemplate,
                        const void* dispatcher, int maxPerBlock);
    ~TorvCallbackObjList();
    TorvCallbackObjList(const TorvCallbackObjList&) = delete;
    TorvCallbackObjList& operator=(const TorvCallbackObjList&) = delete;

    // A free object marked in use, or a new one; raises the OS error when a block of
    // trampolines cannot be made.
    TorvCallbackObj& Acquire();
    void Release(TorvCallbackObj& object) noexcept;

    std::size_t MemCount() const;
    void* GetMem(std::size_t index) const;
    std::size_t ObjCount() const;
    TorvCallbackObj& GetObj(std::size_t index) const;

    std::size_t SlotSize() const noexcept { return slotSize_; }
    CallbackPoolInfo Info() const;

private:
    struct BlockFreer {
        void operator()(void* block) const noexcept;
    };
    struct Block {
        std::unique_ptr<void, BlockFreer> memory;
        std::size_t size;
    };

    void FillBlock(std::uint8_t* block, std::size_t blockSize);

    TorvCallbackObjClass itemClass_;
    std::vector<std::uint8_t> template_;
    const void* dispatcher_;
    int maxPerBlock_;
    std::size_t slotSize_;
    std::size_t objectOffset_;
    std::size_t cellOffset_;
    mutable CriticalSection lock_;
    std::vector<Block> mems_;
    std::vector<std::unique_ptr<TorvCallbackObj>> objs_;
};

// The process's pool of hook callbacks (its item class and dispatcher belong to the hook
// classes, shell/ShellHook.h). Create at library load and free at unload; used before
// creation, it is created on first use. Free only when no hook is left.
void CreateCallbackPool();
void FreeCallbackPool() noexcept;
// The hook pool's contents; empty when it does not exist.
CallbackPoolInfo QueryCallbackPool();

} // namespace kv
