#include "shell/ShellCallback.h"

#include "shell/Exceptions.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>

namespace kv {

namespace {

#if defined(_WIN64)
// The three arguments arrive in ECX, RDX and R8; the object goes into R9 as the fourth and
// the dispatcher is entered by a jump, so it returns straight to the system's call and uses
// the caller's stack frame and home area.
constexpr std::uint8_t TrampolineBytes[] = {
    0x49, 0xB9, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H',  // mov r9, object
    0x48, 0xB8, '0', '1', '2', '3', '4', '5', '6', '7',  // mov rax, cell
    0xFF, 0x20,                                          // jmp qword ptr [rax]
};
#elif defined(__i386__)
// Three arguments on the stack, removed by the callee: push the object, push the three
// arguments again above it, call the four-argument dispatcher (which removes its 16 bytes)
// and remove the original 12.
constexpr std::uint8_t TrampolineBytes[] = {
    0x68, 'A', 'B', 'C', 'D',        // push object
    0xFF, 0x74, 0x24, 0x10,          // push dword ptr [esp+16]   (lParam)
    0xFF, 0x74, 0x24, 0x10,          // push dword ptr [esp+16]   (wParam)
    0xFF, 0x74, 0x24, 0x10,          // push dword ptr [esp+16]   (code)
    0xFF, 0x15, '0', '1', '2', '3',  // call dword ptr [cell]
    0xC2, 0x0C, 0x00,                // ret 12
};
#else
#error "No trampoline for this processor"
#endif

std::size_t MarkerOffset(const std::vector<std::uint8_t>& code, const char* marker)
{
    const std::string_view text(reinterpret_cast<const char*>(code.data()), code.size());
    const std::size_t offset = text.find(std::string_view(marker, sizeof(void*)));
    if (offset == std::string_view::npos)
        throw EArgumentException(L"Trampoline template without marker");
    return offset;
}

} // namespace

std::span<const std::uint8_t> ThreeArgTrampolineTemplate() noexcept
{
    return TrampolineBytes;
}

void TorvCallbackObjList::BlockFreer::operator()(void* block) const noexcept
{
    VirtualFree(block, 0, MEM_RELEASE);
}

TorvCallbackObjList::TorvCallbackObjList(TorvCallbackObjClass itemClass,
                                         std::span<const std::uint8_t> trampolineTemplate,
                                         const void* dispatcher, int maxPerBlock)
    : itemClass_(itemClass),
      template_(trampolineTemplate.begin(), trampolineTemplate.end()),
      dispatcher_(dispatcher),
      maxPerBlock_(maxPerBlock),
      // Each slot holds the patched template and, right behind it, the dispatcher's cell.
      slotSize_((template_.size() + sizeof(void*) + 15) / 16 * 16),
      objectOffset_(MarkerOffset(template_, ObjectMarker)),
      cellOffset_(MarkerOffset(template_, CellMarker))
{
}

TorvCallbackObjList::~TorvCallbackObjList()
{
    while (!objs_.empty())
        objs_.pop_back();
    while (!mems_.empty())
        mems_.pop_back();
}

TorvCallbackObj& TorvCallbackObjList::Acquire()
{
    std::lock_guard guard(lock_);
    for (const auto& object : objs_) {
        if (!object->inUse_) {
            object->inUse_ = true;
            return *object;
        }
    }

    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const std::size_t blockSize = system.dwAllocationGranularity;
    mems_.reserve(mems_.size() + 1);
    void* memory = VirtualAlloc(nullptr, blockSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (memory == nullptr)
        RaiseLastOSError();
    // A block stays until the pool goes, even when filling it fails below.
    mems_.push_back(Block{std::unique_ptr<void, BlockFreer>(memory), blockSize});

    const std::size_t first = objs_.size();
    try {
        FillBlock(static_cast<std::uint8_t*>(memory), blockSize);
    } catch (...) {
        while (objs_.size() > first)
            objs_.pop_back();
        throw;
    }
    TorvCallbackObj& object = *objs_[first];
    object.inUse_ = true;
    return object;
}

void TorvCallbackObjList::FillBlock(std::uint8_t* block, std::size_t blockSize)
{
    std::size_t count = blockSize / slotSize_;
    if (maxPerBlock_ > 0 && static_cast<std::size_t>(maxPerBlock_) < count)
        count = static_cast<std::size_t>(maxPerBlock_);
    if (count == 0)
        throw EArgumentException(L"Trampoline template too large");

    std::vector<std::uint8_t> code(template_.size());
    for (std::size_t k = 0; k < count; ++k) {
        std::uint8_t* slot = block + k * slotSize_;
        objs_.push_back(itemClass_(*this, slot));
        const void* object = objs_.back().get();
        const void* cell = slot + template_.size();
        std::copy(template_.begin(), template_.end(), code.begin());
        std::memcpy(code.data() + objectOffset_, &object, sizeof object);
        std::memcpy(code.data() + cellOffset_, &cell, sizeof cell);
        std::memcpy(slot, code.data(), code.size());
        std::memcpy(slot + template_.size(), &dispatcher_, sizeof dispatcher_);
    }

    // Written once; from now on the block is code that nobody can change.
    DWORD previous = 0;
    if (!VirtualProtect(block, blockSize, PAGE_EXECUTE_READ, &previous))
        RaiseLastOSError();
    if (!FlushInstructionCache(GetCurrentProcess(), block, blockSize))
        RaiseLastOSError();
}

void TorvCallbackObjList::Release(TorvCallbackObj& object) noexcept
{
    std::lock_guard guard(lock_);
    object.inUse_ = false;
}

std::size_t TorvCallbackObjList::MemCount() const
{
    std::lock_guard guard(lock_);
    return mems_.size();
}

void* TorvCallbackObjList::GetMem(std::size_t index) const
{
    std::lock_guard guard(lock_);
    return mems_.at(index).memory.get();
}

std::size_t TorvCallbackObjList::ObjCount() const
{
    std::lock_guard guard(lock_);
    return objs_.size();
}

TorvCallbackObj& TorvCallbackObjList::GetObj(std::size_t index) const
{
    std::lock_guard guard(lock_);
    return *objs_.at(index);
}

CallbackPoolInfo TorvCallbackObjList::Info() const
{
    std::lock_guard guard(lock_);
    CallbackPoolInfo info;
    info.slotSize = slotSize_;
    if (!mems_.empty())
        info.blockSize = mems_.front().size;
    info.objectsPerBlock.assign(mems_.size(), 0);
    info.inUse.reserve(objs_.size());
    for (const auto& object : objs_) {
        info.inUse.push_back(object->inUse_);
        const auto* code = static_cast<const std::uint8_t*>(object->CodeAddress());
        for (std::size_t i = 0; i < mems_.size(); ++i) {
            const auto* start = static_cast<const std::uint8_t*>(mems_[i].memory.get());
            if (code >= start && code < start + mems_[i].size) {
                ++info.objectsPerBlock[i];
                break;
            }
        }
    }
    return info;
}

} // namespace kv
