// A library whose worker thread outlives the caller's FreeLibrary: the worker waits for an
// event the caller owns, and the library must stay loaded until the worker is done.
#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/ShellThread.h"

namespace {

class TWaitingThread : public kv::TorvShellThread {
public:
    explicit TWaitingThread(kv::UniqueHandle event) : event_(std::move(event)) {}

protected:
    void Execute() override { WaitForSingleObject(event_.get(), INFINITE); }

private:
    kv::UniqueHandle event_;
};

} // namespace

// Starts a self-freeing worker that runs until the event is set.
extern "C" __declspec(dllexport) HRESULT WINAPI StartWaitingWorker(HANDLE event) noexcept
{
    return kv::ComMethod([&] {
        HANDLE own = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &own, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            kv::RaiseLastOSError();
        kv::TorvShellThread::StartDetached<TWaitingThread>(kv::UniqueHandle(own));
        return S_OK;
    });
}
