#include "archive/ArchiveResult.h"

#include "lang/ShellStrings.h"

namespace kv {

EFalseError::EFalseError() : EOleSysErrorEx(FormatErrorMessage(S_FALSE, L"S_FALSE"), S_FALSE) {}

HRESULT CheckArchiveResult(HRESULT result)
{
    if (result == S_OK)
        return result;
    if (result == S_FALSE)
        throw EFalseError();
    throw EOleSysError(result);
}

} // namespace kv
