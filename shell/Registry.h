// Registry helpers for class and protocol registration and the MIME database. Keys are open
// key handles (or predefined roots); an empty value name means the key's default value.
#pragma once

#include <windows.h>

#include <string>

namespace kv {

// 0 passes; any other code becomes the thread's last error and is raised as EOSError.
void CheckRegResult(LONG code);

// Writes a REG_SZ including its terminating zero.
void WriteRegString(HKEY key, const std::wstring& name, const std::wstring& value);
// Creates or opens root\subKey and writes one value into it.
void WriteRegKeyString(HKEY root, const std::wstring& subKey, const std::wstring& name,
                       const std::wstring& value);
void WriteRegKeyDWord(HKEY root, const std::wstring& subKey, const std::wstring& name,
                      DWORD value);

// Best effort, raising nothing: a missing key, or one with sub keys, stays as it is.
void DeleteRegKey(HKEY root, const std::wstring& subKey) noexcept;
void DeleteRegValue(HKEY root, const std::wstring& subKey, const std::wstring& name) noexcept;

// The value of root\subKey as text; empty when the key or the value is missing.
std::wstring ReadRegString(HKEY root, const std::wstring& subKey, const std::wstring& name);
// Any value type read as UTF-16 text, cut before its first zero character; empty when the
// value is missing or shorter than one character.
std::wstring ReadRegKeyString(HKEY key, const std::wstring& name);

} // namespace kv
