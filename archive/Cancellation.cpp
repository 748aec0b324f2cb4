#include "archive/Cancellation.h"

#include "shell/Exceptions.h"

namespace kv {

void RaiseCancelled()
{
    throw EOleSysError(L"Operation aborted", E_ABORT);
}

} // namespace kv
