// Nothing here loads or frees libraries, starts COM or waits: the loader lock is held. Start-up
// runs on the first call of an export instead and pins the library (plugin/entry/Startup.h),
// so a dynamic unload only ever meets a library that holds nothing, and process exit needs
// nothing either.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    return TRUE;
}
