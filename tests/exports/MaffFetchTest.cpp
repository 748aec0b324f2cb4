// maff: URLs as a browser fetches them: the plug-in loaded by path, an archive opened through
// ListLoadW, then URL monikers binding maff: URLs in this process's URL session.
#include "tests/common/PluginLoader.h"
#include "tests/common/TestEnv.h"
#include "tests/exports/HostWindow.h"
#include "tools/urlfetch/UrlFetch.h"

#include "archive/ArchiveCache.h"
#include "archive/MaffZipFile.h"
#include "shell/Strings.h"

#include <gtest/gtest.h>
#include <urlmon.h>
#include <wininet.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>
#include <string>

using namespace kvtest;
using kvfetch::FetchResult;
using kvfetch::FetchUrl;

namespace {

// The first archive a viewer registers in a process is "0*". The plug-in stays loaded once
// started, and its archive ids with it, so a test repeated in one process opens the same
// paths in the same order each time.
const std::wstring Base = L"maff://0*";

const TempFolder& Scratch()
{
    static const TempFolder folder;
    return folder;
}

class MaffFetch : public ::testing::Test {
protected:
    void SetUp() override { Load(FixturePath(L"protocol-items.maff")); }
    void Load(std::wstring path)
    {
        plugin_ = std::make_unique<Plugin>();
        viewer_ = plugin_->ListLoadW(host_.Handle(), path.data(), 0);
        ASSERT_NE(viewer_, nullptr);
    }
    void TearDown() override { Unload(); }
    void Unload()
    {
        if (viewer_ != nullptr)
            plugin_->ListCloseWindow(viewer_);
        viewer_ = nullptr;
        plugin_.reset();
    }

    std::string Item(const std::wstring& name)
    {
        kv::TMaffZipFile archive(FixturePath(L"protocol-items.maff"));
        int index = -1;
        for (int i = 0; i < archive.NameCount(); ++i)
            if (archive.GetName(i) == name)
                index = i;
        const auto data = archive.ExtractItem(index)->Data();
        return std::string(data.begin(), data.end());
    }

    static void ExpectErrorPage(const FetchResult& page, const std::wstring& message)
    {
        EXPECT_EQ(page.result, S_OK);
        EXPECT_EQ(page.status, 502u);
        EXPECT_EQ(page.mimeType, L"text/html");
        EXPECT_NE(page.body.find("<h1>ERROR</h1>"), std::string::npos);
        EXPECT_NE(page.body.find(kv::WideToUtf8(message) + "<br />"), std::string::npos)
            << page.body;
    }

    HostWindow host_;
    std::unique_ptr<Plugin> plugin_;
    HWND viewer_ = nullptr;
};

} // namespace

TEST_F(MaffFetch, EveryItemComesBackByteForByteWithItsType)
{
    struct Case {
        const wchar_t* path;
        const wchar_t* item;
    } cases[] = {
        {L"page/index.html", L"page\\index.html"},  {L"page/style.css", L"page\\style.css"},
        {L"page/images/a.png", L"page\\images\\a.png"}, {L"page/picture.svg", L"page\\picture.svg"},
        {L"page/data.bin", L"page\\data.bin"},      {L"page/empty.txt", L"page\\empty.txt"},
        {L"page/dup.txt", L"page\\dup.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(kv::WideToUtf8(c.path));
        const FetchResult got = FetchUrl(Base + c.path);
        EXPECT_EQ(got.result, S_OK);
        EXPECT_EQ(got.status, 200u);
        EXPECT_EQ(got.body, Item(c.item));
        EXPECT_FALSE(got.mimeType.empty());
    }
    EXPECT_EQ(FetchUrl(Base + L"page/dup.txt").body, "the later item");
    EXPECT_EQ(FetchUrl(Base + L"page/picture.svg").mimeType, L"image/svg+xml");
    EXPECT_EQ(FetchUrl(Base + L"page/index.html").mimeType, L"text/html");
    EXPECT_EQ(FetchUrl(Base + L"page/data.bin").mimeType, L"application/octet-stream");
    const std::wstring png = FetchUrl(Base + L"page/images/a.png").mimeType;
    EXPECT_TRUE(png == L"image/png" || png == L"image/x-png") << kv::WideToUtf8(png);

    // The scheme's letter case does not matter; the item's does.
    EXPECT_EQ(FetchUrl(L"MAFF://0*page/index.html").body, Item(L"page\\index.html"));
    ExpectErrorPage(FetchUrl(Base + L"Page/Index.html"), L"Stream is nil");
}

TEST_F(MaffFetch, ConcurrentRequestsEachGetTheirOwnBytes)
{
    const std::vector<std::wstring> items = {L"page\\index.html", L"page\\style.css",
                                             L"page\\images\\a.png", L"page\\data.bin"};
    std::vector<std::string> expected;
    for (const auto& item : items)
        expected.push_back(Item(item));
    std::atomic<int> wrong{0};
    std::vector<std::thread> browsers;
    for (int t = 0; t < 8; ++t) {
        browsers.emplace_back([&, t] {
            OleInitialize(nullptr);
            for (int i = 0; i < 10; ++i) {
                const size_t k = static_cast<size_t>(t + i) % items.size();
                std::wstring path = items[k];
                std::replace(path.begin(), path.end(), L'\\', L'/');
                if (FetchUrl(Base + path).body != expected[k])
                    ++wrong;
            }
            OleUninitialize();
        });
    }
    for (auto& browser : browsers)
        browser.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(MaffFetch, TheFileOnDiskDecidesEveryAnswer)
{
    // A second viewer on a copy the test may change: the second archive of the process.
    const TempFolder& temp = Scratch();
    std::wstring path = temp.Copy(FixturePath(L"protocol-items.maff"), L"saved.maff");
    const HWND second = plugin_->ListLoadW(host_.Handle(), path.data(), 0);
    ASSERT_NE(second, nullptr);
    const std::wstring copy = L"maff://1*";
    EXPECT_EQ(FetchUrl(copy + L"page/data.bin").body, Item(L"page\\data.bin"));

    // Replaced by a newer save: served fresh. Requests served on the client's thread trust the
    // last look at the file for a moment (no disk access there), so each change is followed by
    // a pause of that length.
    const auto changed = [] { Sleep(static_cast<DWORD>(kv::ArchiveRecheckTime.count()) + 50); };
    ASSERT_TRUE(CopyFileW(FixturePath(L"protocol-items-v2.maff").c_str(), path.c_str(), FALSE));
    changed();
    EXPECT_EQ(FetchUrl(copy + L"page/data.bin").body, "the second version");

    // Cut short, renamed, deleted: the error page, and nothing else breaks.
    const std::string whole = ReadFileBytes(FixturePath(L"protocol-items.maff"));
    const std::wstring cut = temp.Write(L"cut.maff", whole.substr(0, whole.size() / 3));
    ASSERT_TRUE(CopyFileW(cut.c_str(), path.c_str(), FALSE));
    changed();
    EXPECT_EQ(FetchUrl(copy + L"page/data.bin").status, 502u);
    ASSERT_TRUE(CopyFileW(FixturePath(L"protocol-items.maff").c_str(), path.c_str(), FALSE));
    changed();
    EXPECT_EQ(FetchUrl(copy + L"page/style.css").status, 200u);
    ASSERT_TRUE(MoveFileW(path.c_str(), temp.File(L"renamed.maff").c_str()));
    changed();
    ExpectErrorPage(FetchUrl(copy + L"page/style.css"), L"System Error.  Code: 2.");
    ASSERT_TRUE(DeleteFileW(temp.File(L"renamed.maff").c_str()));
    changed();
    EXPECT_EQ(FetchUrl(copy + L"page/style.css").status, 502u);
    EXPECT_EQ(FetchUrl(Base + L"page/style.css").status, 200u);
    plugin_->ListCloseWindow(second);
}

TEST_F(MaffFetch, LinksOfSavedPagesFindTheirItems)
{
    const std::string menu = Item(L"page\\index_files\\caf\u00e9 menu.png");
    EXPECT_EQ(FetchUrl(Base + L"page/index_files/caf%C3%A9%20menu.png").body, menu);
    EXPECT_EQ(FetchUrl(Base + L"page/index_files/caf\u00e9 menu.png").body, menu);
    EXPECT_EQ(FetchUrl(Base + L"page/images/a.png?size=2#top").body, Item(L"page\\images\\a.png"));
    // An item named with a literal '%' is found by its own name and by its encoded one.
    EXPECT_EQ(FetchUrl(Base + L"page/50%.txt").body, "a literal percent sign");
    EXPECT_EQ(FetchUrl(Base + L"page/50%25.txt").body, "a literal percent sign");
    // A top-level page's links, combined under the slash the browser adds to its URL.
    EXPECT_EQ(FetchUrl(Base + L"top.html/top_files/t.css").body, Item(L"top_files\\t.css"));
    EXPECT_EQ(FetchUrl(Base + L"page/index.html/style.css").status, 502u);
}

// The viewer's URLs for items named with "%", "#" or "?" (encoded as "%25", "%23", "%3F")
// fetch those items.
TEST_F(MaffFetch, PageUrlsOfOddNamesFindTheirItems)
{
    std::wstring path = FixturePath(L"hostile-names.maff");
    const HWND second = plugin_->ListLoadW(host_.Handle(), path.data(), 0);
    ASSERT_NE(second, nullptr);
    const std::string page = "<html><body>page</body></html>";
    EXPECT_EQ(FetchUrl(L"maff://1*100%25/a%23b%3Fc%2541.html").body, page);
    EXPECT_EQ(FetchUrl(L"maff://1*q%3F%23%25/index.html").body, page);
    plugin_->ListCloseWindow(second);

    // "@" and ":" are encoded too: the platform's URL parser would otherwise read user
    // information and a port, and a page of archive 2 would be parsed as one of archive 0.
    std::wstring authority = FixturePath(L"hostile-authority.maff");
    const HWND third = plugin_->ListLoadW(host_.Handle(), authority.data(), 0);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(FetchUrl(L"maff://2*%400*secret/index.html").body, page);
    EXPECT_EQ(FetchUrl(L"maff://2*port%3A80/index.html").body, page);
    plugin_->ListCloseWindow(third);
}

TEST_F(MaffFetch, FailuresAreErrorPagesWithTheirMessages)
{
    ExpectErrorPage(FetchUrl(L"maff://9*page/index.html"), L"List index out of bounds (9)");
    ExpectErrorPage(FetchUrl(L"maff://0page/index.html"), L"Invalid protocol");
    ExpectErrorPage(FetchUrl(L"maff://x*page/index.html"), L"''x'' is not a valid integer value");
    ExpectErrorPage(FetchUrl(Base + L"page/missing.png"), L"Stream is nil");
}

TEST_F(MaffFetch, ACacheFileReportedToABindIsACommittedEntryOfTheItemsBytes)
{
    // Whether a file is made depends on where the item is served (a worker makes one, the
    // client's thread does no file work); a file reported is always the item's own entry.
    for (int i = 0; i < 3; ++i) {
        const FetchResult got = FetchUrl(Base + L"page/style.css", BINDF_NEEDFILE);
        ASSERT_EQ(got.result, S_OK);
        EXPECT_EQ(got.body, Item(L"page\\style.css"));
        if (got.cacheFile.empty())
            continue;
        EXPECT_EQ(ReadFileBytes(got.cacheFile), Item(L"page\\style.css"));
        DWORD size = 0;
        const std::wstring url = Base + L"page/style.css";
        GetUrlCacheEntryInfoW(url.c_str(), nullptr, &size);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << "no cache entry";
    }
}

TEST_F(MaffFetch, RelativeLinksResolveAsABrowserResolvesThemAndNameWhatTheyMean)
{
    const auto combine = [](const wchar_t* relative,
                            const wchar_t* base = L"maff://0*page/index.html") {
        wchar_t result[256] = {};
        DWORD length = 0;
        const HRESULT r = CoInternetCombineUrl(base, relative, 0, result, 256, &length, 0);
        return r == S_OK ? std::wstring(result) : L"failed " + std::to_wstring(r);
    };
    EXPECT_EQ(combine(L"images/a.png"), L"maff://0*page/images/a.png");
    EXPECT_EQ(combine(L"/c.png"), L"maff://0*page//c.png");
    EXPECT_EQ(combine(L"file:///C:/x.html"), L"file:///C:/x.html");
    EXPECT_EQ(combine(L"MAFF://1*other/a.png"), L"MAFF://1*other/a.png");
    // In-page anchors and queries stay on the page; an empty reference is the page itself.
    EXPECT_EQ(combine(L"#notes"), L"maff://0*page/index.html#notes");
    EXPECT_EQ(combine(L"#top", L"maff://0*page/index.html#notes"), L"maff://0*page/index.html#top");
    EXPECT_EQ(combine(L"?page=2"), L"maff://0*page/index.html?page=2");
    EXPECT_EQ(combine(L""), L"maff://0*page/index.html");
    // Only a scheme makes a reference absolute; a page at the top has the archive as its folder.
    EXPECT_EQ(combine(L"maffin.css"), L"maff://0*page/maffin.css");
    EXPECT_EQ(combine(L"style.css", L"maff://0*index.html"), L"maff://0*style.css");
    EXPECT_EQ(combine(L"t.css", L"maff://0*top.html?x=a/b"), L"maff://0*t.css");
    EXPECT_EQ(combine(L"a.png", L"maff://0*page/index.html?x=a/b#c/d"), L"maff://0*page/a.png");

    // What the results name is served: the page for its anchors and queries, the item for a
    // link, and a climb above the archive's top stays inside it.
    const std::string page = Item(L"page\\index.html");
    EXPECT_EQ(FetchUrl(combine(L"#notes")).body, page);
    EXPECT_EQ(FetchUrl(combine(L"?page=2")).body, page);
    EXPECT_EQ(FetchUrl(combine(L"")).body, page);
    EXPECT_EQ(FetchUrl(combine(L"style.css")).body, Item(L"page\\style.css"));
    EXPECT_EQ(FetchUrl(combine(L"top_files/t.css", L"maff://0*top.html")).body,
              Item(L"top_files\\t.css"));
    EXPECT_EQ(FetchUrl(combine(L"../../top.html", L"maff://0*page/index.html")).body,
              Item(L"top.html"));
}

TEST_F(MaffFetch, EachArchiveIsASiteOfItsOwnInTheInternetZone)
{
    const auto parse = [](const wchar_t* url, PARSEACTION action) {
        wchar_t result[256] = {};
        DWORD length = 0;
        const HRESULT r = CoInternetParseUrl(url, action, 0, result, 256, &length, 0);
        return r == S_OK ? std::wstring(result) : L"failed " + std::to_wstring(r);
    };
    EXPECT_EQ(parse(L"maff://0*page/index.html", PARSE_SECURITY_URL), L"maff://0*page/index.html");
    EXPECT_EQ(parse(L"maff://0*page/index.html", PARSE_SECURITY_DOMAIN), L"maff://0*");
    EXPECT_EQ(parse(L"maff://12*x/y.html", PARSE_SECURITY_DOMAIN), L"maff://12*");

    Microsoft::WRL::ComPtr<IInternetSecurityManager> security;
    ASSERT_EQ(CoInternetCreateSecurityManager(nullptr, &security, 0), S_OK);
    DWORD zone = 0;
    ASSERT_EQ(security->MapUrlToZone(L"maff://0*page/index.html", &zone, 0), S_OK);
    EXPECT_EQ(zone, static_cast<DWORD>(URLZONE_INTERNET));

    for (QUERYOPTION option : {QUERY_IS_SECURE, QUERY_IS_SAFE}) {
        DWORD answer = 0xFFFFFFFF;
        DWORD written = 0;
        EXPECT_EQ(CoInternetQueryInfo(L"maff://0*page/index.html", option, 0, &answer,
                                      sizeof answer, &written, 0), S_OK);
        EXPECT_EQ(answer, 0u) << option;
    }
}

TEST_F(MaffFetch, ABrowserEngineReadsTheHeadersItAsksFor)
{
    EXPECT_EQ(FetchUrl(Base + L"page/style.css").contentTypeHeader, "text/css");
    EXPECT_EQ(FetchUrl(Base + L"page/picture.svg").contentTypeHeader, "image/svg+xml");
    EXPECT_EQ(FetchUrl(Base + L"page/missing.png").contentTypeHeader, "text/html");
}

TEST_F(MaffFetch, AnItemThatUnpacksPastItsDeclaredSizeFailsAtOnce)
{
    // A few KiB that inflate to 64 MiB: served on the browser's thread by its declared size, so
    // unpacking it all would stall the file manager.
    plugin_->ListCloseWindow(viewer_);
    std::wstring path = FixturePath(L"found-bomb-page.maff");
    viewer_ = plugin_->ListLoadW(host_.Handle(), path.data(), 0);
    ASSERT_NE(viewer_, nullptr);
    const ULONGLONG start = GetTickCount64();
    ExpectErrorPage(FetchUrl(L"maff://1*page/bomb.bin"),
                    L"Cannot extract &quot;page\\bomb.bin&quot;: it unpacks to more than its declared "
                    L"size of 4096 bytes: headers error");
    EXPECT_LT(GetTickCount64() - start, 500u);
    EXPECT_EQ(FetchUrl(L"maff://1*page/after.txt").body, "an undamaged item after it");
}
