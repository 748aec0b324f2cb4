// What a quick view leaves behind and what a page can reach: the plug-in loaded by path,
// archives shown through the exports, and maff: URLs bound through URL monikers as a browser
// binds them. Each test is a process of its own, so start-up runs in each.
#include "tests/common/PluginLoader.h"
#include "tests/common/TestEnv.h"
#include "tests/exports/HostWindow.h"
#include "tools/urlfetch/UrlFetch.h"

#include <gtest/gtest.h>
#include <urlmon.h>
#include <wininet.h>

#include <string>

using namespace kvtest;
using kvfetch::FetchResult;
using kvfetch::FetchUrl;

namespace {

bool HasCacheEntry(const std::wstring& url)
{
    DWORD size = 0;
    GetUrlCacheEntryInfoW(url.c_str(), nullptr, &size);
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

// Cache entries are deleted on a thread of the plug-in's: waits up to ten seconds.
bool CacheEntryGoes(const std::wstring& url)
{
    const ULONGLONG end = GetTickCount64() + 10000;
    while (HasCacheEntry(url)) {
        if (GetTickCount64() > end)
            return false;
        PumpMessages();
        Sleep(10);
    }
    return true;
}

bool IsErrorPage(const FetchResult& page, const std::string& message)
{
    return page.status == 502 && page.body.find("<h1>ERROR</h1>") != std::string::npos &&
           page.body.find(message) != std::string::npos;
}

class MaffPrivacy : public ::testing::Test {
protected:
    HWND Load(const wchar_t* fixture)
    {
        std::wstring path = FixturePath(fixture);
        return plugin_.ListLoadW(host_.Handle(), path.data(), 0);
    }

    HostWindow host_;
    Plugin plugin_;
};

} // namespace

TEST_F(MaffPrivacy, AnArchiveIsReachableOnlyWhileAViewerShowsIt)
{
    const HWND victim = Load(L"protocol-items.maff");
    ASSERT_NE(victim, nullptr);
    const HWND other = Load(L"large\\protocol-large.maff");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(FetchUrl(L"maff://0*page/data.bin").status, 200u);
    EXPECT_EQ(FetchUrl(L"maff://1*page/small.txt").status, 200u);

    // Once the victim's viewer is closed, no later page can embed or probe its items.
    plugin_.ListCloseWindow(victim);
    EXPECT_TRUE(IsErrorPage(FetchUrl(L"maff://0*page/data.bin"), "List index out of bounds (0)"));
    EXPECT_EQ(FetchUrl(L"maff://1*page/small.txt").status, 200u);

    // A viewer that loads another file lets the first one go too; shown again, an archive is
    // served under its old id.
    std::wstring victimPath = FixturePath(L"protocol-items.maff");
    ASSERT_EQ(plugin_.ListLoadNextW(host_.Handle(), other, victimPath.data(), 0), 0);
    EXPECT_TRUE(IsErrorPage(FetchUrl(L"maff://1*page/small.txt"), "List index out of bounds (1)"));
    EXPECT_EQ(FetchUrl(L"maff://0*page/data.bin").status, 200u);
    plugin_.ListCloseWindow(other);
}

TEST_F(MaffPrivacy, CacheCopiesGoWithTheirViewerAndNeverGetARunnableExtension)
{
    const HWND viewer = Load(L"large\\protocol-large.maff");
    ASSERT_NE(viewer, nullptr);
    // The medium item is made by a worker, which copies it into the URL cache for a bind that
    // asks for a file. A query that looks like an extension does not choose the file's.
    const std::wstring url = L"maff://0*page/medium.bin?.exe";
    const FetchResult got = FetchUrl(url, BINDF_NEEDFILE);
    ASSERT_EQ(got.status, 200u);
    ASSERT_FALSE(got.cacheFile.empty());
    const std::wstring name = got.cacheFile.substr(got.cacheFile.find_last_of(L'\\') + 1);
    EXPECT_EQ(name.find(L'.'), std::wstring::npos) << std::string(name.begin(), name.end());
    EXPECT_TRUE(HasCacheEntry(url));

    plugin_.ListCloseWindow(viewer);
    EXPECT_TRUE(CacheEntryGoes(url)) << "the entry outlived its viewer";
    EXPECT_EQ(GetFileAttributesW(got.cacheFile.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(MaffLeftovers, EntriesAnEarlierProcessLeftAreDeletedAtTheNextStart)
{
    // What a process that crashed with a viewer open leaves in the cache.
    const std::wstring url = L"maff://7*left/over.css";
    wchar_t file[MAX_PATH + 1] = {};
    ASSERT_TRUE(CreateUrlCacheEntryW(url.c_str(), 0, L"css", file, 0));
    const HANDLE handle = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    const FILETIME none{};
    ASSERT_TRUE(CommitUrlCacheEntryW(url.c_str(), file, none, none, NORMAL_CACHE_ENTRY, nullptr, 0,
                                     L"css", nullptr));
    ASSERT_TRUE(HasCacheEntry(url));

    HostWindow host;
    Plugin plugin;
    std::wstring path = FixturePath(L"protocol-items.maff");
    const HWND viewer = plugin.ListLoadW(host.Handle(), path.data(), 0);
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(CacheEntryGoes(url));
    plugin.ListCloseWindow(viewer);
}
