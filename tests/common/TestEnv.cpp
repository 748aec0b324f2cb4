#include "tests/common/TestEnv.h"

#include "TestPaths.h"

#include "shell/Handles.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <atomic>
#include <cwchar>
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

namespace {

void DeleteFolder(const std::wstring& path)
{
    std::wstring from = path;
    from.push_back(L'\0');
    from.push_back(L'\0');
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
}

bool ProcessRuns(DWORD id)
{
    const kv::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// Removes the folders of test processes that have ended. A process cannot delete everything
// of its own: a plug-in copy that was started stays mapped until the process ends.
void RemoveFoldersOfEndedProcesses(const std::wstring& temp)
{
    const std::wstring prefix = L"kvtest-";
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((temp + prefix + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        const DWORD owner = wcstoul(found.cFileName + prefix.size(), nullptr, 10);
        if (owner != 0 && owner != GetCurrentProcessId() && !ProcessRuns(owner))
            DeleteFolder(temp + found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

} // namespace

TempFolder::TempFolder()
{
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    static const bool swept = (RemoveFoldersOfEndedProcesses(temp), true);
    (void)swept;
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
    DeleteFolder(path_.substr(0, path_.size() - 1));
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
