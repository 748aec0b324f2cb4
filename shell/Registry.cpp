#include "shell/Registry.h"

#include "shell/Exceptions.h"
#include "shell/Handles.h"

#include <algorithm>

namespace kv {

namespace {

// Read, create sub key and set value: what the writers need to create a key and fill it.
constexpr REGSAM kWriteAccess = KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE;
static_assert(kWriteAccess == 0x2001F);

UniqueRegKey CreateKeyForWriting(HKEY root, const std::wstring& subKey)
{
    HKEY key = nullptr;
    CheckRegResult(RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   kWriteAccess, nullptr, &key, nullptr));
    return UniqueRegKey(key);
}

UniqueRegKey OpenKey(HKEY root, const std::wstring& subKey, REGSAM access) noexcept
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey.c_str(), 0, access, &key) != ERROR_SUCCESS)
        return nullptr;
    return UniqueRegKey(key);
}

} // namespace

void CheckRegResult(LONG code)
{
    if (code == ERROR_SUCCESS)
        return;
    // Set after the message is made, since looking up its text changes the last error (the
    // runtime may still clear it while the exception travels).
    EOSError error(static_cast<DWORD>(code));
    SetLastError(static_cast<DWORD>(code));
    throw error;
}

void WriteRegString(HKEY key, const std::wstring& name, const std::wstring& value)
{
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    CheckRegResult(RegSetValueExW(key, name.c_str(), 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(value.c_str()), bytes));
}

void WriteRegKeyString(HKEY root, const std::wstring& subKey, const std::wstring& name,
                       const std::wstring& value)
{
    const UniqueRegKey key = CreateKeyForWriting(root, subKey);
    WriteRegString(key.get(), name, value);
}

void WriteRegKeyDWord(HKEY root, const std::wstring& subKey, const std::wstring& name,
                      DWORD value)
{
    const UniqueRegKey key = CreateKeyForWriting(root, subKey);
    CheckRegResult(RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&value), sizeof(value)));
}

void DeleteRegKey(HKEY root, const std::wstring& subKey) noexcept
{
    // An empty sub key would name the root key itself, which no caller means to delete.
    if (subKey.empty())
        return;
    RegDeleteKeyW(root, subKey.c_str());
}

void DeleteRegValue(HKEY root, const std::wstring& subKey, const std::wstring& name) noexcept
{
    const UniqueRegKey key = OpenKey(root, subKey, kWriteAccess);
    if (key)
        RegDeleteValueW(key.get(), name.c_str());
}

std::wstring ReadRegString(HKEY root, const std::wstring& subKey, const std::wstring& name)
{
    const UniqueRegKey key = OpenKey(root, subKey, KEY_READ);
    if (!key)
        return {};
    return ReadRegKeyString(key.get(), name);
}

std::wstring ReadRegKeyString(HKEY key, const std::wstring& name)
{
    DWORD size = 0;
    LONG result = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, &size);
    // The value may grow between the two queries: then ask again with its new size.
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (result != ERROR_SUCCESS || size < sizeof(wchar_t))
            return {};
        // Room for every byte (an odd last byte too); the text is cut to what the system
        // says it wrote, so a value without a terminator is never read past its end.
        std::wstring text((size + 1) / sizeof(wchar_t), L'\0');
        DWORD written = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        result = RegQueryValueExW(key, name.c_str(), nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(text.data()), &written);
        if (result == ERROR_MORE_DATA) {
            size = written;
            result = ERROR_SUCCESS;
            continue;
        }
        if (result != ERROR_SUCCESS)
            return {};
        text.resize(std::min<size_t>(text.size(), written / sizeof(wchar_t)));
        const size_t zero = text.find(L'\0');
        if (zero != std::wstring::npos)
            text.resize(zero);
        return text;
    }
    return {};
}

} // namespace kv
