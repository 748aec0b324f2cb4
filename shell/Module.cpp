#include "shell/Exceptions.h"
#include "shell/Handles.h"

#include <string>

namespace kv {

// The linker's symbol for the start of the image that contains this code. Unlike a lookup by
// address it takes no loader lock, so the objects the URL session creates while holding its
// own lock can ask for it.
extern "C" IMAGE_DOS_HEADER __ImageBase;

HMODULE ThisModule() noexcept
{
    return reinterpret_cast<HMODULE>(&__ImageBase);
}

std::wstring ModuleFileName(HMODULE module)
{
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0)
            RaiseLastOSError();
        if (length < name.size()) {
            name.resize(length);
            return name;
        }
        name.resize(name.size() * 2);
    }
}

} // namespace kv
