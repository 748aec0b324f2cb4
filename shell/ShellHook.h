// One installed system hook, reaching its own object through a callback from the process's
// hook callback pool.
#pragma once

#include "shell/Handles.h"
#include "shell/ShellCallback.h"

#include <windows.h>

#include <functional>

namespace kv {

// Hook arguments: code, message parameter, message parameter.
using TorvHookCallback = std::function<LRESULT(int, WPARAM, LPARAM)>;
using TorvHookHandler = std::function<void(int, WPARAM, LPARAM)>;

// The item class of the hook callback pool: its dispatcher calls Callback.
class TorvShellHookObj : public TorvCallbackObj {
public:
    using TorvCallbackObj::TorvCallbackObj;
    TorvHookCallback Callback;
    // The hook bound to this object, or null: a call compares it after the rest of the chain
    // has run, since that may have destroyed the hook on this very thread.
    const void* BoundHook = nullptr;
    // Held by the dispatcher for a whole call and by a hook while it binds or unbinds Callback.
    // It lives as long as the pool, not the hook, so a call that arrives while its hook is
    // being destroyed on another thread waits here instead of entering a freed hook; it is
    // re-entrant for nested calls on one thread.
    CriticalSection CallLock;
};

// The hook callback pool; created on first use when CreateCallbackPool was not called.
TorvCallbackObjList& CallbackPool();

class TorvShellHook {
public:
    // Installs the hook; a hook the system refuses is not reported: it is simply never called.
    TorvShellHook(int hookType, HINSTANCE module, DWORD threadId, TorvHookHandler onHook = {});
    virtual ~TorvShellHook();
    TorvShellHook(const TorvShellHook&) = delete;
    TorvShellHook& operator=(const TorvShellHook&) = delete;

    HHOOK Handle() const noexcept { return hook_; }
    // The trampoline the system was given.
    const TorvShellHookObj& CallbackObject() const noexcept { return *callbackObject_; }

protected:
    // Runs after the rest of the hook chain, for calls with a code of 0 or more. Failures are
    // swallowed by the caller. The default calls the OnHook handler when there is one.
    virtual void HandleHook(int code, WPARAM wParam, LPARAM lParam);

private:
    LRESULT HookCallback(int code, WPARAM wParam, LPARAM lParam) noexcept;

    // Guards hook_ and the handler; never held across the rest of the chain, which may destroy
    // this hook. Re-entrant: a nested message loop in the handler enters again.
    CriticalSection lock_;
    TorvShellHookObj* callbackObject_ = nullptr;
    HHOOK hook_ = nullptr;
    TorvHookHandler onHook_;
};

} // namespace kv
