// The support library's worker thread. A subclass puts its work into Execute; the thread is
// started by Start (or StartDetached) once the object is fully constructed, so Execute never
// sees a half-built object, and an owned thread object is only destroyed after its thread has
// ended. While the thread runs it holds a reference on the library that contains this code,
// so the library cannot be unloaded under it, and every thread object counts as a live object
// of the module from construction to destruction.
#pragma once

#include "shell/Handles.h"

#include <windows.h>
#include <objbase.h>
#include <shlwapi.h>
#include <wrl/client.h>

#include <atomic>
#include <exception>
#include <memory>
#include <utility>

namespace kv {

class TorvShellThread {
public:
    // Waits for the thread before the object goes, so that a subclass's members outlive
    // Execute.
    struct Deleter {
        void operator()(TorvShellThread* thread) const noexcept;
    };
    template <class T>
    using Ptr = std::unique_ptr<T, Deleter>;

    // Constructs T, starts its thread and hands the object to the caller. Raises what the
    // constructor raises, or the OS error when no thread could be made (the object is gone).
    template <class T, class... Args>
    static Ptr<T> Start(Args&&... args)
    {
        Ptr<T> thread(new T(std::forward<Args>(args)...));
        thread->StartThread();
        return thread;
    }
    // Constructs T and starts it with FreeOnTerminate: the thread frees the object when its
    // work is done, so no pointer is handed out.
    template <class T, class... Args>
    static void StartDetached(Args&&... args)
    {
        Ptr<T> thread(new T(std::forward<Args>(args)...));
        thread->freeOnTerminate_ = true;
        thread->StartThread();
        thread.release();
    }

    // Constructs T without starting it, for an owner that must hold the object before its work
    // begins; the owner then calls RunHere once.
    template <class T, class... Args>
    static Ptr<T> Prepare(Args&&... args)
    {
        return Ptr<T>(new T(std::forward<Args>(args)...));
    }
    // Does the work of a prepared object on the calling thread (Execute, AfterExecute,
    // Finished), without a thread of its own: for work known to be short, where starting a
    // thread would cost more than the work. The object then behaves as one whose thread ended.
    void RunHere() noexcept { Run(); }

    TorvShellThread(const TorvShellThread&) = delete;
    TorvShellThread& operator=(const TorvShellThread&) = delete;
    // Waits for the thread (at once when called on the thread itself).
    virtual ~TorvShellThread();

    // Asks Execute to stop; the base only records it.
    virtual void Terminate() noexcept { terminated_ = true; }
    // True when the thread has ended, or there is none to wait for, or this is the thread
    // itself; false when the time ran out. INFINITE waits without limit. Raises the OS error
    // for a failed or abandoned wait.
    bool WaitFor(DWORD milliseconds);

    bool Terminated() const noexcept { return terminated_; }
    bool Finished() const noexcept { return finished_; }
    bool FreeOnTerminate() const noexcept { return freeOnTerminate_; }
    bool UseCreateThread() const noexcept { return useCreateThread_; }
    DWORD CreateFlags() const noexcept { return createFlags_; }
    HANDLE Handle() const noexcept { return handle_.get(); }
    DWORD ThreadID() const noexcept { return threadId_; }
    // What escaped Execute, if anything; read it once Finished (or WaitFor) says the work ended.
    std::exception_ptr FatalException() const noexcept { return fatalException_; }

protected:
    // createFlags: CTF_* flags for SHCreateThread; useCreateThread: make the thread with
    // CreateThread instead (then BeforeExecute is not called).
    explicit TorvShellThread(DWORD createFlags = CTF_PROCESS_REF, bool useCreateThread = false);

    // Runs on the new thread before Execute, while the creator still waits in SHCreateThread;
    // only in SHCreateThread mode. Exceptions are dropped.
    virtual void BeforeExecute() {}
    // The thread's work. What it raises is kept in FatalException.
    virtual void Execute() {}
    // Runs on the new thread after Execute. Exceptions are dropped.
    virtual void AfterExecute() {}

private:
    void StartThread();
    // Execute, AfterExecute, Finished and, with FreeOnTerminate, the object's end.
    void Run() noexcept;
    static DWORD WINAPI ThreadProc(void* self) noexcept;
    static DWORD WINAPI StartCallback(void* self) noexcept;

    bool useCreateThread_;
    DWORD createFlags_;
    UniqueHandle handle_;
    DWORD threadId_ = 0;
    bool freeOnTerminate_ = false;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::exception_ptr fatalException_;

    // Set up by the creator for the thread, which takes them over when it starts.
    HMODULE moduleRef_ = nullptr;
    DWORD comFlags_ = 0;
    Microsoft::WRL::ComPtr<IUnknown> processRef_;
    Microsoft::WRL::ComPtr<IUnknown> threadRef_;
    HRESULT comInit_ = E_FAIL;
};

} // namespace kv
