// The library's results as exceptions: only S_OK lets a call go on.
#pragma once

#include "shell/Exceptions.h"

namespace kv {

// A library call answered S_FALSE (for example Open on a file that is not a ZIP archive).
// Error code 1, so ExceptionToHResult gives S_FALSE back.
class EFalseError : public EOleSysErrorEx {
public:
    EFalseError();
};

// Returns S_OK unchanged; raises EFalseError for S_FALSE and an OLE error carrying the code for
// every other value, success codes included.
HRESULT CheckArchiveResult(HRESULT result);

} // namespace kv
