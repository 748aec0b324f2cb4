#include "plugin/entry/Startup.h"

#include "archive/ArchiveCache.h"
#include "archive/ArchiveLibrary.h"
#include "lang/ShellLang.h"
#include "plugin/KestrelForm.h"
#include "protocol/ArchiveRegistry.h"
#include "protocol/MaffProtocol.h"
#include "shell/ComFactory.h"
#include "shell/Handles.h"
#include "shell/ShellApi.h"
#include "shell/ShellCallback.h"

#include <mutex>

namespace kv {

namespace {

// The maff: handler's registration in the process's URL-moniker session. Its place in the
// order matters: after the tables the handler's messages use, before the archive registry.
void RegisterMaffProtocolHandler()
{
    RegisterMaffProtocol();
}

enum class Stage { None, CallbackPool, LanguageTables, ProtocolHandler, ArchiveRegistry };

SrwLock stageLock;
Stage stage = Stage::None;

} // namespace

void EnsureStarted()
{
    std::lock_guard guard(stageLock);
    if (stage == Stage::None) {
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

void ShutDown() noexcept
{
    std::lock_guard guard(stageLock);
    UnregisterKestrelFormClass();
    // The URL session must not hand a request to code that is about to go.
    if (stage >= Stage::ProtocolHandler)
        UnregisterMaffProtocol();
    if (stage >= Stage::ArchiveRegistry)
        FreeArchiveRegistry();
    if (stage >= Stage::ProtocolHandler)
        ShutdownComFactories();
    // The readers release the library's objects: before the library goes.
    CloseAllArchives();
    UnloadArchiveLibrary();
    if (stage >= Stage::LanguageTables)
        FinalizeLanguageTables();
    if (stage >= Stage::CallbackPool)
        FreeCallbackPool();
    // Loaded on first use by any module, so it goes last.
    FreeShellFunctions();
    stage = Stage::None;
}

} // namespace kv
