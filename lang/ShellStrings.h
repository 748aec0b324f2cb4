// Cached string resources of other modules, and the error-message formatter built on them.
#pragma once

#include "lang/ShellCommonLang.h"

#include <windows.h>

#include <cstddef>
#include <string>

namespace kv {

// The string resources of a module, loaded as a data file on first use. Every string read is
// kept in the process-wide string-resource collection under "<module name>,StringID<id>", so a
// string is loaded from its module once per language.
class TorvShellStrings {
public:
    // The name may contain environment variables ("%SystemRoot%\system32\shell32.dll").
    explicit TorvShellStrings(std::wstring moduleName);
    virtual ~TorvShellStrings() = default;
    TorvShellStrings(const TorvShellStrings&) = delete;
    TorvShellStrings& operator=(const TorvShellStrings&) = delete;

    const std::wstring& ModuleName() const noexcept { return moduleName_; }
    // The module, loaded through the module cache on first use (and again after the tables were
    // finalised); raises EOSError when it cannot be loaded.
    HMODULE ModuleHandle();

    // The string resource, whole whatever its length; empty when the module has none.
    std::wstring GetString(UINT id);
    // The string resource, or the default when the module has none or it is empty.
    std::wstring GetStringEx(UINT id, const std::wstring& defaultText);

private:
    std::wstring moduleName_;
};

// The system shell's strings.
class TorvShell32Strings : public TorvShellStrings {
public:
    TorvShell32Strings();
};

// The process-wide collection the string resources are cached in.
TorvShellLanguages& StringResourceLanguages();
// How many modules the module cache holds.
size_t CachedModuleCount();

// Creation and release of the module cache and the string-resource collection; the language
// tables' set-up calls them (lang/ShellLang.h).
void InitializeStringTables();
void FinalizeStringTables() noexcept;

// "Error 0x00000001: S_FALSE" style message for an error code and its name or text.
std::wstring FormatErrorMessage(HRESULT code, const std::wstring& text);

} // namespace kv
