// Nothing here loads libraries, starts COM or waits: the loader lock is held. Start-up runs on
// the first call of an export instead (plugin/entry/Startup.h).
#include "plugin/entry/Startup.h"

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        break;
    case DLL_PROCESS_DETACH:
        // At process exit (reserved != null) other threads are gone and the system reclaims
        // everything; only a dynamic unload releases what the plug-in holds.
        if (reserved == nullptr)
            kv::ShutDown();
        break;
    }
    return TRUE;
}
