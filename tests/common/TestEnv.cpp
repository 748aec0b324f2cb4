#include "tests/common/TestEnv.h"

#include "TestPaths.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <vector>

namespace kvtest {

std::wstring FixturePath(const std::wstring& name)
{
    return std::wstring(KV_TEST_FIXTURES) + L"\\" + name;
}

std::wstring ArchiveLibraryPath()
{
    return KV_TEST_7ZIP_DLL;
}

std::wstring PluginPath()
{
    return KV_TEST_PLUGIN;
}

std::wstring SupportPath(const std::wstring& name)
{
    return std::wstring(KV_TEST_SUPPORT) + L"\\" + name;
}

std::wstring BinPath(const std::wstring& name)
{
    return std::wstring(KV_TEST_BIN) + L"\\" + name;
}

TempFolder::TempFolder()
{
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    for (;;) {
        path_ = std::wstring(temp) + L"kvtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter++) + L"\\";
        if (CreateDirectoryW(path_.c_str(), nullptr))
            break;
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            ADD_FAILURE() << "cannot create a temporary folder";
            break;
        }
    }
}

TempFolder::~TempFolder()
{
    std::wstring from = path_.substr(0, path_.size() - 1);
    from.push_back(L'\0');
    from.push_back(L'\0');
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
}

std::wstring TempFolder::Write(const std::wstring& name, const std::string& bytes) const
{
    const std::wstring path = File(name);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return path;
}

std::wstring TempFolder::Copy(const std::wstring& source, const std::wstring& name) const
{
    const std::wstring path = File(name);
    EXPECT_TRUE(CopyFileW(source.c_str(), path.c_str(), FALSE)) << "copy failed";
    return path;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace kvtest
