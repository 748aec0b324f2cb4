// Registry helpers against a key of their own under HKEY_CURRENT_USER, removed afterwards.
#include "shell/Handles.h"
#include "shell/Registry.h"
#include "shell/Exceptions.h"

#include <gtest/gtest.h>

#include <string>

using namespace kv;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = L"Software\\KestrelviewTests\\Registry-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(GetTickCount());
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        key_.reset(key);
    }
    void TearDown() override
    {
        key_.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\KestrelviewTests");
    }

    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        ASSERT_EQ(RegSetValueExW(key_.get(), name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }

    DWORD ValueSize(const std::wstring& subKey, const wchar_t* name, DWORD* type = nullptr)
    {
        DWORD size = 0;
        EXPECT_EQ(RegGetValueW(key_.get(), subKey.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, type,
                               nullptr, &size),
                  ERROR_SUCCESS);
        return size;
    }

    bool KeyExists(const std::wstring& subKey)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(key_.get(), subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    std::wstring path_;
    UniqueRegKey key_;
};

} // namespace

TEST_F(RegistryTest, ReadsAnyValueAsTextUpToItsFirstZeroAndNeverPastItsEnd)
{
    SetRaw(L"terminated", REG_SZ, L"abc", 8);
    SetRaw(L"unterminated", REG_SZ, L"abcdef", 6);
    SetRaw(L"embedded", REG_SZ, L"ab\0cd", 12);
    SetRaw(L"oneByte", REG_SZ, "a", 1);
    SetRaw(L"oddLength", REG_BINARY, "a\0b\0c\0d", 7);
    SetRaw(L"empty", REG_SZ, L"", 2);
    SetRaw(L"", REG_SZ, L"default", 16);

    EXPECT_EQ(ReadRegKeyString(key_.get(), L"terminated"), L"abc");
    EXPECT_EQ(ReadRegKeyString(key_.get(), L"unterminated"), L"abc");
    EXPECT_EQ(ReadRegKeyString(key_.get(), L"embedded"), L"ab");
    EXPECT_EQ(ReadRegKeyString(key_.get(), L"oneByte"), L"");
    EXPECT_EQ(ReadRegKeyString(key_.get(), L"oddLength"), L"abc");
    EXPECT_EQ(ReadRegKeyString(key_.get(), L"empty"), L"");
    EXPECT_EQ(ReadRegKeyString(key_.get(), L"missing"), L"");
    EXPECT_EQ(ReadRegKeyString(key_.get(), L""), L"default");

    EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, path_, L"terminated"), L"abc");
    EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, path_ + L"\\missing", L"terminated"), L"");
}

TEST_F(RegistryTest, WritesStringsWithTheirTerminatorAndDWords)
{
    WriteRegString(key_.get(), L"text", L"hello");
    DWORD type = 0;
    EXPECT_EQ(ValueSize(L"", L"text", &type), 12u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    WriteRegString(key_.get(), L"blank", L"");
    EXPECT_EQ(ValueSize(L"", L"blank"), 2u);

    // Keys on the way are created; the empty name is the default value.
    WriteRegKeyString(key_.get(), L"A\\B", L"", L"default");
    WriteRegKeyString(key_.get(), L"A\\B", L"name", L"value");
    EXPECT_EQ(ReadRegString(key_.get(), L"A\\B", L""), L"default");
    EXPECT_EQ(ReadRegString(key_.get(), L"A\\B", L"name"), L"value");
    WriteRegKeyString(key_.get(), L"A\\B", L"name", L"other");
    EXPECT_EQ(ReadRegString(key_.get(), L"A\\B", L"name"), L"other");

    WriteRegKeyDWord(key_.get(), L"A", L"flag", 0x12345678);
    EXPECT_EQ(ValueSize(L"A", L"flag", &type), 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    DWORD flag = 0;
    DWORD size = sizeof(flag);
    RegGetValueW(key_.get(), L"A", L"flag", RRF_RT_REG_DWORD, nullptr, &flag, &size);
    EXPECT_EQ(flag, 0x12345678u);
}

TEST_F(RegistryTest, DeletesQuietlyWhatIsThereAndNothingElse)
{
    WriteRegKeyString(key_.get(), L"A\\B", L"name", L"value");
    WriteRegKeyString(key_.get(), L"A\\B", L"kept", L"value");

    EXPECT_NO_THROW(DeleteRegValue(key_.get(), L"missing\\key", L"name"));
    EXPECT_NO_THROW(DeleteRegValue(key_.get(), L"A\\B", L"missing"));
    DeleteRegValue(key_.get(), L"A\\B", L"name");
    EXPECT_EQ(ReadRegString(key_.get(), L"A\\B", L"name"), L"");
    EXPECT_EQ(ReadRegString(key_.get(), L"A\\B", L"kept"), L"value");

    // A key with sub keys stays; so does the root, which an empty sub key would name.
    EXPECT_NO_THROW(DeleteRegKey(key_.get(), L"A"));
    EXPECT_TRUE(KeyExists(L"A\\B"));
    EXPECT_NO_THROW(DeleteRegKey(key_.get(), L"missing"));
    DeleteRegKey(key_.get(), L"A\\B");
    EXPECT_FALSE(KeyExists(L"A\\B"));
    EXPECT_TRUE(KeyExists(L"A"));
    DeleteRegKey(key_.get(), L"");
    EXPECT_TRUE(KeyExists(L""));
}

TEST_F(RegistryTest, RefusedWriteRaisesTheOSErrorOfItsCode)
{
    // Wine creates and opens keys whatever the parent handle's rights or the key's security
    // allow; what it refuses is a value written through a handle opened for reading only.
    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_READ, &readOnly),
              ERROR_SUCCESS);
    const UniqueRegKey key(readOnly);
    try {
        WriteRegString(key.get(), L"name", L"value");
        ADD_FAILURE() << "no exception";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(ExceptionToHResult(), static_cast<HRESULT>(0x80070005));
    }
    EXPECT_EQ(ReadRegString(key.get(), L"", L"name"), L"");

    // A key that cannot be created or opened raises its code as well.
    try {
        WriteRegKeyString(nullptr, L"A", L"name", L"value");
        ADD_FAILURE() << "no exception";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    EXPECT_THROW(WriteRegKeyDWord(nullptr, L"A", L"name", 1), EOSError);
    EXPECT_NO_THROW(CheckRegResult(ERROR_SUCCESS));
}
