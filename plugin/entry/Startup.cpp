#include "plugin/entry/Startup.h"

#include "lang/ShellLang.h"
#include "protocol/ArchiveRegistry.h"
#include "protocol/MaffProtocol.h"
#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/ShellCallback.h"

#include <windows.h>

#include <mutex>

namespace kv {

namespace {

// The maff: handler's registration in the process's URL-moniker session. Its place in the
// order matters: after the tables the handler's messages use, before the archive registry.
void RegisterMaffProtocolHandler()
{
    RegisterMaffProtocol();
}

// Keeps this library mapped until the process ends; pinned before anything else is created.
void PinThisModule()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&PinThisModule), &module))
        RaiseLastOSError();
}

enum class Stage { None, Pinned, CallbackPool, LanguageTables, ProtocolHandler, ArchiveRegistry };

SrwLock stageLock;
Stage stage = Stage::None;

} // namespace

void EnsureStarted()
{
    std::lock_guard guard(stageLock);
    if (stage == Stage::None) {
        PinThisModule();
        stage = Stage::Pinned;
    }
    if (stage == Stage::Pinned) {
        CreateCallbackPool();
        stage = Stage::CallbackPool;
    }
    if (stage == Stage::CallbackPool) {
        InitializeLanguageTables();
        stage = Stage::LanguageTables;
    }
    if (stage == Stage::LanguageTables) {
        RegisterMaffProtocolHandler();
        stage = Stage::ProtocolHandler;
    }
    if (stage == Stage::ProtocolHandler) {
        CreateArchiveRegistry();
        stage = Stage::ArchiveRegistry;
    }
}

} // namespace kv
