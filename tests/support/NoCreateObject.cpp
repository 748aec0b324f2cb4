// Stands in for an archive library that lacks the CreateObject entry point.
#include <windows.h>

extern "C" __declspec(dllexport) HRESULT WINAPI GetNumberOfFormats(UINT32* count)
{
    if (count)
        *count = 0;
    return S_OK;
}
