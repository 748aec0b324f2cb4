// The headers a browser engine reads for a saved page's files, fetched through URL monikers
// from the plug-in loaded by path: the start file's character set from its description, and
// the rendering mode of every HTML response.
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

#include <memory>
#include <string>

using namespace kvtest;
using kvfetch::FetchResult;
using kvfetch::FetchUrl;

namespace {

// The only archive these tests open, so the first of the process.
const std::wstring Base = L"maff://0*";

class MaffPageHeaders : public ::testing::Test {
protected:
    void SetUp() override
    {
        plugin_ = std::make_unique<Plugin>();
        std::wstring path = FixturePath(L"pageinfo.maff");
        viewer_ = plugin_->ListLoadW(host_.Handle(), path.data(), 0);
        ASSERT_NE(viewer_, nullptr);
    }
    void TearDown() override
    {
        if (viewer_ != nullptr)
            plugin_->ListCloseWindow(viewer_);
        plugin_.reset();
    }

    static std::string Item(const std::wstring& name)
    {
        kv::TMaffZipFile archive(FixturePath(L"pageinfo.maff"));
        for (int i = 0; i < archive.NameCount(); ++i) {
            if (archive.GetName(i) == name) {
                const auto data = archive.ExtractItem(i)->Data();
                return std::string(data.begin(), data.end());
            }
        }
        return {};
    }

    // Each request twice: once on a worker (the archive not looked at for a while), once
    // most likely at once on this thread (it just was); both must answer alike.
    template <typename Check>
    static void FetchBothWays(const std::wstring& path, Check check)
    {
        for (const bool pause : {true, false}) {
            SCOPED_TRACE(kv::WideToUtf8(path) + (pause ? ", after a pause" : ", at once"));
            if (pause)
                Sleep(static_cast<DWORD>(kv::ArchiveRecheckTime.count()) + 50);
            check(FetchUrl(Base + path));
        }
    }

    HostWindow host_;
    std::unique_ptr<Plugin> plugin_;
    HWND viewer_ = nullptr;
};

bool HasLine(const std::string& headers, const std::string& line)
{
    return ("\r\n" + headers).find("\r\n" + line + "\r\n") != std::string::npos;
}

} // namespace

TEST_F(MaffPageHeaders, AStartFileIsServedInItsDescriptionsCharacterSet)
{
    const std::string latin = Item(L"latin\\index.html");
    ASSERT_FALSE(latin.empty());
    FetchBothWays(L"latin/index.html", [&](const FetchResult& got) {
        EXPECT_EQ(got.result, S_OK);
        EXPECT_EQ(got.status, 200u);
        EXPECT_EQ(got.body, latin);  // the bytes as saved, never converted
        EXPECT_EQ(got.mimeType, L"text/html");
        EXPECT_EQ(got.contentTypeHeader, "text/html; charset=windows-1252");
        EXPECT_TRUE(HasLine(got.rawHeaders, "Content-Type: text/html; charset=windows-1252"))
            << got.rawHeaders;
    });
    FetchBothWays(L"neither/start.htm", [&](const FetchResult& got) {
        EXPECT_EQ(got.contentTypeHeader, "text/html; charset=UTF-8");
    });
    // Other files of the page, and start files without a description, carry no charset.
    FetchBothWays(L"latin/style.css", [&](const FetchResult& got) {
        EXPECT_EQ(got.contentTypeHeader, "text/css");
    });
    FetchBothWays(L"plain/index.html", [&](const FetchResult& got) {
        EXPECT_EQ(got.contentTypeHeader, "text/html");
    });
}

TEST_F(MaffPageHeaders, AByteOrderMarkOrAnUnsafeCharsetAddsNoCharset)
{
    FetchBothWays(L"bom8/index.html", [&](const FetchResult& got) {
        EXPECT_EQ(got.status, 200u);
        EXPECT_EQ(got.body, Item(L"bom8\\index.html"));
        EXPECT_EQ(got.contentTypeHeader, "text/html");
    });
    FetchBothWays(L"bom16/index.html", [&](const FetchResult& got) {
        EXPECT_EQ(got.status, 200u);
        EXPECT_EQ(got.body, Item(L"bom16\\index.html"));
        EXPECT_FALSE(got.contentTypeHeader.empty());
        EXPECT_EQ(got.contentTypeHeader.find(';'), std::string::npos) << got.contentTypeHeader;
    });
    for (const wchar_t* page : {L"unsafe/index.html", L"quoted/index.html", L"long/index.html"}) {
        FetchBothWays(page, [&](const FetchResult& got) {
            EXPECT_EQ(got.status, 200u);
            EXPECT_EQ(got.contentTypeHeader, "text/html");
            EXPECT_EQ(got.rawHeaders.find("X-Injected"), std::string::npos) << got.rawHeaders;
            EXPECT_EQ(got.rawHeaders.find("x=\"1"), std::string::npos) << got.rawHeaders;
        });
    }
}

TEST_F(MaffPageHeaders, EveryHtmlResponseAsksForTheNewestRenderingMode)
{
    for (const wchar_t* page : {L"latin/index.html", L"bom8/index.html", L"plain/index.html",
                                L"index.htm"}) {
        FetchBothWays(page, [&](const FetchResult& got) {
            EXPECT_EQ(got.status, 200u);
            EXPECT_EQ(got.renderingModeHeader, "IE=edge");
            EXPECT_TRUE(HasLine(got.rawHeaders, "X-UA-Compatible: IE=edge")) << got.rawHeaders;
        });
    }
    // The error page too; style sheets and other files not.
    FetchBothWays(L"latin/missing.png", [&](const FetchResult& got) {
        EXPECT_EQ(got.status, 502u);
        EXPECT_EQ(got.contentTypeHeader, "text/html");
        EXPECT_EQ(got.renderingModeHeader, "IE=edge");
    });
    FetchBothWays(L"latin/style.css", [&](const FetchResult& got) {
        EXPECT_EQ(got.status, 200u);
        EXPECT_EQ(got.renderingModeHeader, "");
        EXPECT_EQ(got.rawHeaders.find("X-UA-Compatible"), std::string::npos) << got.rawHeaders;
    });
}

// The viewer's list names each page by what its description gives, or by its start file's
// path; never by a placeholder.
TEST_F(MaffPageHeaders, TheViewerListsEveryPageByWhatIsKnownOfIt)
{
    const std::vector<std::wstring> expected = {
        L"Caf\u00e9 - https://example.com/latin/",
        L"UTF-8 with a mark - https://example.com/bom8/",
        L"UTF-16 - https://example.com/bom16/",
        L"Unsafe - https://example.com/unsafe/",
        L"Quoted - https://example.com/quoted/",
        L"Long - https://example.com/long/",
        L"https://example.com/a/",
        L"Only a title",
        L"neither/start.htm",
        L"plain/index.html",
        L"other/index.html",
        L"index.htm",
    };
    EXPECT_EQ(ViewerLabels(viewer_), expected);
}
