#include "shell/ShellThread.h"

#include "shell/ComServer.h"
#include "shell/Exceptions.h"

#include <ole2.h>
#include <shlobj.h>

namespace kv {
namespace {

constexpr DWORD ComInitFlags = CTF_COINIT_STA | CTF_COINIT_MTA | CTF_OLEINITIALIZE;
// Flags whose clean-up SHCreateThread does after the thread procedure returns. A thread that
// holds the library ends with FreeLibraryAndExitThread and never returns there, so this class
// does that work itself; CTF_FREELIBANDEXIT is replaced by the thread's own library reference
// (some SHCreateThread implementations ignore it), and CTF_INSIST would run the work on the
// creator's thread, which a thread object cannot be.
constexpr DWORD OwnFlags = ComInitFlags | CTF_PROCESS_REF | CTF_THREAD_REF | CTF_REF_COUNTED |
                           CTF_FREELIBANDEXIT | CTF_INSIST;

[[noreturn]] void RaiseWaitError(DWORD fallback)
{
    const DWORD code = GetLastError();
    RaiseOSError(code != 0 ? code : fallback);
}

} // namespace

void TorvShellThread::Deleter::operator()(TorvShellThread* thread) const noexcept
{
    try {
        thread->WaitFor(INFINITE);
    } catch (...) {
    }
    delete thread;
}

TorvShellThread::TorvShellThread(DWORD createFlags, bool useCreateThread)
    : useCreateThread_(useCreateThread), createFlags_(createFlags)
{
    ComServer::CountObject();
}

TorvShellThread::~TorvShellThread()
{
    // A backstop: by now a subclass's members are gone, which is why owners hold thread
    // objects through Ptr, whose deleter waits first.
    try {
        WaitFor(INFINITE);
    } catch (...) {
    }
    fatalException_ = nullptr;
    handle_.reset();
    ComServer::UncountObject();
}

void TorvShellThread::StartThread()
{
    // The thread's reference on this library, handed to the thread once it surely runs.
    UniqueModule module;
    if (ComServer::IsLibrary()) {
        HMODULE self = nullptr;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                reinterpret_cast<LPCWSTR>(&TorvShellThread::ThreadProc), &self))
            RaiseLastOSError();
        module.reset(self);
    }
    moduleRef_ = module.get();

    if (useCreateThread_) {
        // Suspended until handle and id are stored: the thread may free the object as soon as
        // it runs.
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, 0, &ThreadProc, this, CREATE_SUSPENDED, &id);
        if (thread == nullptr) {
            moduleRef_ = nullptr;
            RaiseLastOSError();
        }
        handle_.reset(thread);
        threadId_ = id;
        if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
            const DWORD error = GetLastError();
            TerminateThread(thread, 0);
            WaitForSingleObject(thread, INFINITE);
            handle_.reset();
            threadId_ = 0;
            moduleRef_ = nullptr;
            RaiseOSError(error);
        }
        module.release();
        return;
    }

    comFlags_ = createFlags_ & ComInitFlags;
    if (createFlags_ & CTF_PROCESS_REF)
        SHGetInstanceExplorer(processRef_.ReleaseAndGetAddressOf());
    if (createFlags_ & CTF_THREAD_REF)
        SHGetThreadRef(threadRef_.ReleaseAndGetAddressOf());
    const DWORD passed = createFlags_ & ~OwnFlags;
    if (!SHCreateThread(&ThreadProc, this, static_cast<SHCT_FLAGS>(passed), &StartCallback)) {
        const DWORD error = GetLastError();
        moduleRef_ = nullptr;
        processRef_.Reset();
        threadRef_.Reset();
        RaiseOSError(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY);
    }
    // From here the thread owns the object's fate (FreeOnTerminate): only locals are touched.
    module.release();
}

DWORD WINAPI TorvShellThread::StartCallback(void* parameter) noexcept
{
    auto* self = static_cast<TorvShellThread*>(parameter);
    // A real handle of this thread for the owner's waits; without one, WaitFor does not wait.
    HANDLE real = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &real, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
        self->handle_.reset(real);
        self->threadId_ = GetCurrentThreadId();
    }
    if (self->comFlags_ & CTF_OLEINITIALIZE)
        self->comInit_ = OleInitialize(nullptr);
    else if (self->comFlags_ & CTF_COINIT_MTA)
        self->comInit_ = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    else if (self->comFlags_ & CTF_COINIT_STA)
        self->comInit_ = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    try {
        self->BeforeExecute();
    } catch (...) {
    }
    return 0;
}

DWORD WINAPI TorvShellThread::ThreadProc(void* parameter) noexcept
{
    auto* self = static_cast<TorvShellThread*>(parameter);
    // Taken over before Run: with FreeOnTerminate the object is gone after it.
    const HMODULE module = self->moduleRef_;
    const DWORD comFlags = self->comFlags_;
    const HRESULT comInit = self->comInit_;
    Microsoft::WRL::ComPtr<IUnknown> processRef = std::move(self->processRef_);
    Microsoft::WRL::ComPtr<IUnknown> threadRef = std::move(self->threadRef_);

    self->Run();

    // Nothing below may be left to destructors: FreeLibraryAndExitThread does not return.
    threadRef.Reset();
    processRef.Reset();
    if (SUCCEEDED(comInit)) {
        if (comFlags & CTF_OLEINITIALIZE)
            OleUninitialize();
        else
            CoUninitialize();
    }
    if (module != nullptr)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

void TorvShellThread::Run() noexcept
{
    // Every exception is kept, not just the plug-in's own: one dropped here would make the
    // owner believe the work had succeeded.
    try {
        Execute();
    } catch (...) {
        fatalException_ = std::current_exception();
    }
    try {
        AfterExecute();
    } catch (...) {
    }
    const bool freeSelf = freeOnTerminate_;
    finished_ = true;
    if (freeSelf)
        delete this;
}

bool TorvShellThread::WaitFor(DWORD milliseconds)
{
    if (!handle_ || threadId_ == 0)
        return true;
    if (GetCurrentThreadId() == threadId_)
        return true;
    switch (WaitForSingleObject(handle_.get(), milliseconds)) {
    case WAIT_OBJECT_0:
        return true;
    case WAIT_TIMEOUT:
        if (milliseconds != INFINITE)
            return false;
        RaiseOSError(ERROR_TIMEOUT);
    default:
        RaiseWaitError(ERROR_INVALID_HANDLE);
    }
}

} // namespace kv
