// Stands in for a shell library: one entry exported by ordinal only, one under its older name
// only, two by name that answer recognisably, and most missing.
#include <windows.h>
#include <shtypes.h>

extern "C" {

PIDLIST_RELATIVE WINAPI StandInILClone(PCUIDLIST_RELATIVE)
{
    return nullptr;
}

BOOL WINAPI StandInOrdinal660(BOOL)
{
    return TRUE;
}

int WINAPI Shell_GetCachedImageIndex(PCWSTR, int, UINT)
{
    return 0;
}

// Hands back the second list, so a caller can tell that the call arrived here.
PIDLIST_ABSOLUTE WINAPI ILCombine(PCIDLIST_ABSOLUTE, PCUIDLIST_RELATIVE second)
{
    return reinterpret_cast<PIDLIST_ABSOLUTE>(const_cast<PUIDLIST_RELATIVE>(second));
}

HRESULT WINAPI SHBindToParent(PCIDLIST_ABSOLUTE idList, REFIID, void** object,
                              PCUITEMID_CHILD* last)
{
    if (last != nullptr)
        *last = reinterpret_cast<PCUITEMID_CHILD>(idList);
    return S_FALSE;
}

} // extern "C"
