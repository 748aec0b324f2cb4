#include "shell/ShellHook.h"

#include <mutex>

namespace kv {

namespace {

constexpr int HooksPerBlock = 100;

#if defined(__i386__)
// The trampoline guarantees only the system's 4-byte stack alignment.
#define KV_TRAMPOLINE_TARGET __attribute__((force_align_arg_pointer))
#else
#define KV_TRAMPOLINE_TARGET
#endif

// Every hook trampoline lands here with its callback object as the fourth argument.
KV_TRAMPOLINE_TARGET LRESULT CALLBACK HookDispatcher(int code, WPARAM wParam, LPARAM lParam,
                                                     TorvCallbackObj* object) noexcept
{
    try {
        auto& hookObject = static_cast<TorvShellHookObj&>(*object);
        std::lock_guard guard(hookObject.CallLock);
        // A copy: the hook may unbind itself (and so its function) while this call runs.
        if (const TorvHookCallback callback = hookObject.Callback)
            return callback(code, wParam, lParam);
    } catch (...) {
        // Nothing may unwind into the system's hook caller.
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

SrwLock poolGuard;
TorvCallbackObjList* pool = nullptr;

TorvCallbackObjList* NewPool()
{
    return new TorvCallbackObjList(&MakeCallbackObj<TorvShellHookObj>, ThreeArgTrampolineTemplate(),
                                   reinterpret_cast<const void*>(&HookDispatcher), HooksPerBlock);
}

} // namespace

void CreateCallbackPool()
{
    std::lock_guard guard(poolGuard);
    if (pool == nullptr)
        pool = NewPool();
}

void FreeCallbackPool() noexcept
{
    std::lock_guard guard(poolGuard);
    delete pool;
    pool = nullptr;
}

TorvCallbackObjList& CallbackPool()
{
    std::lock_guard guard(poolGuard);
    if (pool == nullptr)
        pool = NewPool();
    return *pool;
}

CallbackPoolInfo QueryCallbackPool()
{
    std::lock_guard guard(poolGuard);
    return pool != nullptr ? pool->Info() : CallbackPoolInfo{};
}

TorvShellHook::TorvShellHook(int hookType, HINSTANCE module, DWORD threadId, TorvHookHandler onHook)
    : onHook_(std::move(onHook))
{
    auto& object = static_cast<TorvShellHookObj&>(CallbackPool().Acquire());
    callbackObject_ = &object;
    {
        // A late call through this trampoline may still be in the dispatcher on another thread.
        std::lock_guard call(object.CallLock);
        object.Callback = [this](int code, WPARAM wParam, LPARAM lParam) {
            return HookCallback(code, wParam, lParam);
        };
        object.BoundHook = this;
    }
    // Held while installing, so a call on another thread sees the handle only once it is set.
    std::lock_guard guard(lock_);
    hook_ = SetWindowsHookExW(hookType, reinterpret_cast<HOOKPROC>(object.CodeAddress()), module,
                              threadId);
}

TorvShellHook::~TorvShellHook()
{
    // Taken first, as the dispatcher takes it before the hook's own lock: a call on another
    // thread that has entered the callback but not yet this hook is waited for.
    std::lock_guard call(callbackObject_->CallLock);
    std::lock_guard guard(lock_);
    if (hook_ != nullptr)
        UnhookWindowsHookEx(hook_);
    hook_ = nullptr;
    callbackObject_->Callback = nullptr;
    callbackObject_->BoundHook = nullptr;
    callbackObject_->Owner().Release(*callbackObject_);
}

void TorvShellHook::HandleHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (onHook_)
        onHook_(code, wParam, lParam);
}

LRESULT TorvShellHook::HookCallback(int code, WPARAM wParam, LPARAM lParam) noexcept
{
    TorvShellHookObj* const object = callbackObject_;
    HHOOK hook = nullptr;
    {
        std::lock_guard guard(lock_);
        hook = hook_;
    }
    // The rest of the chain runs first; the result is the chain's whatever this hook does.
    const LRESULT result = CallNextHookEx(hook, code, wParam, lParam);
    // A later hook may have closed the viewer, and so destroyed this hook, on this thread.
    if (object->BoundHook != this)
        return result;
    std::lock_guard guard(lock_);
    if (code >= 0 && hook_ != nullptr) {
        try {
            HandleHook(code, wParam, lParam);
        } catch (...) {
        }
    }
    return result;
}

} // namespace kv
