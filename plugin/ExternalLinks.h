// Addresses outside the archive that the user follows from a saved page: they open in the
// user's own programs, never inside the quick view.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kv {

// Whether url is an address that a program of the user's opens: http, https, ftp or mailto
// (the scheme's case ignored). Everything else (file:, javascript:, other archives, unknown
// schemes) is never handed on.
bool IsExternalAddress(std::wstring_view url) noexcept;

// url as handed to the shell: blanks, quotes, angle brackets, control characters and
// characters beyond ASCII percent-encoded (as UTF-8), so that it stays a single argument of
// whatever command line the program's registration builds from it.
std::wstring ShellSafeAddress(std::wstring_view url);

// Opens an external address with the user's default program for it, on a thread of its own:
// returns at once and never shows a message. Anything but an external address is ignored.
void OpenExternally(const std::wstring& url) noexcept;

// What OpenExternally hands the (shell-safe) address to; null: the shell again. Returns the
// one it replaces. Tests record the address instead of launching a program.
using ExternalOpener = std::function<void(const std::wstring& url)>;
ExternalOpener SetExternalOpener(ExternalOpener opener);

// The shell's own way: ShellExecuteExW on a worker thread. Raises when no thread can be made.
void LaunchWithShell(const std::wstring& url);

} // namespace kv
