// Turns a failed HRESULT into the plug-in's OLE exception.
#pragma once

#include "shell/Exceptions.h"

namespace kv {

// Raises EOleSysError when the result is a failure; passes success codes (S_FALSE too) through.
inline HRESULT OleCheck(HRESULT result)
{
    if (FAILED(result))
        throw EOleSysError(result);
    return result;
}

} // namespace kv
