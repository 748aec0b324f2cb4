#include "shell/ShellCallback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>

using namespace kv;

namespace {

struct Call {
    int code = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    TorvCallbackObj* object = nullptr;
};
Call lastCall;
int callCount = 0;

LRESULT CALLBACK RecordingDispatcher(int code, WPARAM wParam, LPARAM lParam, TorvCallbackObj* object)
{
    lastCall = {code, wParam, lParam, object};
    ++callCount;
    return static_cast<LRESULT>(wParam ^ static_cast<WPARAM>(lParam)) + code;
}

std::unique_ptr<TorvCallbackObjList> MakePool(int maxPerBlock)
{
    return std::make_unique<TorvCallbackObjList>(&MakeCallbackObj<TorvCallbackObj>,
                                                 ThreeArgTrampolineTemplate(),
                                                 reinterpret_cast<const void*>(&RecordingDispatcher),
                                                 maxPerBlock);
}

std::size_t Granularity()
{
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    return system.dwAllocationGranularity;
}

HOOKPROC ProcOf(const TorvCallbackObj& object)
{
    return reinterpret_cast<HOOKPROC>(object.CodeAddress());
}

#if defined(__i386__)
// Calls a three-argument procedure and answers how far the stack pointer moved over the call:
// 0 when the procedure removed exactly its own 12 bytes of arguments.
extern "C" int __cdecl kvtest_stack_imbalance(HOOKPROC proc, int code, WPARAM wParam, LPARAM lParam,
                                              LRESULT* result);
asm(R"(
    .text
    .globl _kvtest_stack_imbalance
_kvtest_stack_imbalance:
    pushl %ebp
    movl %esp, %ebp
    pushl 20(%ebp)
    pushl 16(%ebp)
    pushl 12(%ebp)
    call *8(%ebp)
    movl 24(%ebp), %ecx
    movl %eax, (%ecx)
    movl %esp, %eax
    subl %ebp, %eax
    movl %ebp, %esp
    popl %ebp
    ret
)");
#endif

} // namespace

TEST(TorvCallbackObjList, TrampolineCallsDispatcherWithItsObjectAndArguments)
{
    auto pool = MakePool(100);
    TorvCallbackObj& first = pool->Acquire();
    TorvCallbackObj& second = pool->Acquire();
    ASSERT_NE(&first, &second);

    // Full-width values: on 64-bit every byte of the message parameters must survive.
    const WPARAM wParam = static_cast<WPARAM>(0x8877665544332211ull);
    const LPARAM lParam = static_cast<LPARAM>(0xF1E2D3C4B5A69788ull);
    callCount = 0;
    LRESULT result = ProcOf(first)(-7, wParam, lParam);
    EXPECT_EQ(callCount, 1);
    EXPECT_EQ(lastCall.object, &first);
    EXPECT_EQ(lastCall.code, -7);
    EXPECT_EQ(lastCall.wParam, wParam);
    EXPECT_EQ(lastCall.lParam, lParam);
    EXPECT_EQ(result, static_cast<LRESULT>(wParam ^ static_cast<WPARAM>(lParam)) - 7);

    result = ProcOf(second)(3, 1, 2);
    EXPECT_EQ(callCount, 2);
    EXPECT_EQ(lastCall.object, &second);
    EXPECT_EQ(lastCall.code, 3);
    EXPECT_EQ(lastCall.wParam, 1u);
    EXPECT_EQ(lastCall.lParam, 2);
    EXPECT_EQ(result, 6);
}

#if defined(__i386__)
TEST(TorvCallbackObjList, TrampolineRemovesExactlyItsThreeArguments)
{
    auto pool = MakePool(100);
    TorvCallbackObj& object = pool->Acquire();
    LRESULT result = 0;
    EXPECT_EQ(kvtest_stack_imbalance(ProcOf(object), 5, 0x10, 0x20, &result), 0);
    EXPECT_EQ(result, 0x35);
    EXPECT_EQ(lastCall.object, &object);
}
#endif

TEST(TorvCallbackObjList, BlocksHoldAtMostTheMaximumAndBecomeReadOnlyCode)
{
    auto pool = MakePool(100);
    EXPECT_EQ(pool->MemCount(), 0u);
    EXPECT_EQ(pool->ObjCount(), 0u);
    const std::size_t expectedSlot =
        (ThreeArgTrampolineTemplate().size() + sizeof(void*) + 15) / 16 * 16;
    EXPECT_EQ(pool->SlotSize(), expectedSlot);

    for (int i = 0; i < 100; ++i)
        pool->Acquire();
    EXPECT_EQ(pool->MemCount(), 1u);
    EXPECT_EQ(pool->ObjCount(), 100u);

    TorvCallbackObj& hundredAndFirst = pool->Acquire();
    ASSERT_EQ(pool->MemCount(), 2u);
    EXPECT_EQ(pool->ObjCount(), 200u);
    EXPECT_EQ(&hundredAndFirst, &pool->GetObj(100));
    EXPECT_EQ(hundredAndFirst.CodeAddress(), pool->GetMem(1));

    const CallbackPoolInfo info = pool->Info();
    EXPECT_EQ(info.blockSize, Granularity());
    EXPECT_EQ(info.objectsPerBlock, (std::vector<std::size_t>{100, 100}));
    EXPECT_EQ(std::count(info.inUse.begin(), info.inUse.end(), true), 101);

    // Slots follow each other from the block's start; each object knows its pool.
    auto* block = static_cast<std::uint8_t*>(pool->GetMem(0));
    for (std::size_t k = 0; k < 100; ++k) {
        EXPECT_EQ(pool->GetObj(k).CodeAddress(), block + k * pool->SlotSize());
        EXPECT_EQ(&pool->GetObj(k).Owner(), pool.get());
    }

    for (std::size_t i = 0; i < pool->MemCount(); ++i) {
        MEMORY_BASIC_INFORMATION memory{};
        ASSERT_NE(VirtualQuery(pool->GetMem(i), &memory, sizeof memory), 0u);
        EXPECT_EQ(memory.Protect, static_cast<DWORD>(PAGE_EXECUTE_READ));
        EXPECT_EQ(memory.AllocationBase, pool->GetMem(i));
        EXPECT_EQ(memory.RegionSize, Granularity());
    }
}

TEST(TorvCallbackObjList, WithoutMaximumABlockIsFilled)
{
    auto pool = MakePool(0);
    TorvCallbackObj& object = pool->Acquire();
    EXPECT_EQ(pool->ObjCount(), Granularity() / pool->SlotSize());
    EXPECT_EQ(pool->MemCount(), 1u);
    // The last slot of a full block works like the first.
    TorvCallbackObj& last = pool->GetObj(pool->ObjCount() - 1);
    ProcOf(last)(1, 2, 3);
    EXPECT_EQ(lastCall.object, &last);
    ProcOf(object)(1, 2, 3);
    EXPECT_EQ(lastCall.object, &object);
}

TEST(TorvCallbackObjList, ReleasedObjectsAreReusedInCreationOrder)
{
    auto pool = MakePool(100);
    TorvCallbackObj& a = pool->Acquire();
    TorvCallbackObj& b = pool->Acquire();
    TorvCallbackObj& c = pool->Acquire();
    EXPECT_TRUE(a.InUse());
    EXPECT_EQ(&a, &pool->GetObj(0));
    EXPECT_EQ(&b, &pool->GetObj(1));
    EXPECT_EQ(&c, &pool->GetObj(2));

    pool->Release(c);
    pool->Release(a);
    EXPECT_FALSE(a.InUse());
    EXPECT_FALSE(c.InUse());
    EXPECT_TRUE(b.InUse());
    EXPECT_EQ(&pool->Acquire(), &a);
    EXPECT_EQ(&pool->Acquire(), &c);
    EXPECT_EQ(&pool->Acquire(), &pool->GetObj(3));
    EXPECT_EQ(pool->MemCount(), 1u);

    // A released object keeps its trampoline.
    pool->Release(b);
    ProcOf(b)(0, 0, 0);
    EXPECT_EQ(lastCall.object, &b);
}

TEST(TorvCallbackObjList, TemplateWithoutMarkersIsRefused)
{
    const std::uint8_t code[] = {0xC3, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90};
    EXPECT_ANY_THROW(TorvCallbackObjList(&MakeCallbackObj<TorvCallbackObj>, code,
                                         reinterpret_cast<const void*>(&RecordingDispatcher), 1));
}
