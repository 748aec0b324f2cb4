// The protocol object driven directly, as the URL-moniker layer drives it, with a sink that
// records every report; and the maff: handler's URL rules.
#include "archive/Cancellation.h"
#include "protocol/CacheEntries.h"
#include "protocol/MaffProtocol.h"
#include "protocol/ShellResponse.h"
#include "shell/ComFactory.h"
#include "shell/Exceptions.h"
#include "shell/MemoryStream.h"
#include "shell/OleStream.h"
#include "tests/protocol/NewProtocol.h"
#include "tools/urlfetch/RecordingSink.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;
using namespace kv;
using kvfetch::RecordingSink;
using kvfetch::Report;

namespace {

// A handler that serves fixed bodies, to watch the framework alone.
class TFixedProtocol : public TorvShellProtocolExtension {
public:
    static constexpr const wchar_t* ClassName = L"TFixedProtocol";
    static CLSID GetClassID() { return {0x1b2c3d4e, 0x5f60, 0x4172, {1, 2, 3, 4, 5, 6, 7, 8}}; }

    void GetProtocols(TorvNameList& names) override { names.push_back(L"fixed"); }
    std::unique_ptr<TorvStream> GetContent(const std::wstring& url, const std::wstring&,
                                           TorvStream&, TorvShellResponse& response,
                                           std::wstring&) override
    {
        if (url.find(L"missing") != std::wstring::npos)
            return nullptr;
        if (url.find(L"raise") != std::wstring::npos)
            throw Exception(L"first line\r\nsecond <line>");
        auto body = MemoryStream::Create();
        if (url.find(L"png") != std::wstring::npos) {
            static const unsigned char png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n',
                                                0,    0,   0,   13,  'I',  'H', 'D',  'R'};
            body->Append(png, sizeof png);
        } else if (url.find(L"empty") == std::wstring::npos) {
            response.SetStatus(200);
            response.SetStatusText(L"OK");
            response.SetContentType(L"text/plain");
            response.SetValue(L"X-Count", L"5000000000");
            body->Append("0123456789", 10);
        }
        return WrapMemoryStream(body.Get());
    }
};

class TCombiningProtocol : public TFixedProtocol {
public:
    static constexpr const wchar_t* ClassName = L"TCombiningProtocol";
    bool DoCombineUrl(const std::wstring&, const std::wstring&, TCombineOptions,
                      std::wstring& result) override
    {
        result = L"0123456789abcdefghijklmno";  // 25 characters
        return true;
    }
};

// Content of "slow" URLs takes until the request is cancelled or the test lets it go, so
// that what the client does meanwhile can be watched.
struct SlowContent {
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE left = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> sawCancel{false};
    void Reset()
    {
        ResetEvent(entered);
        ResetEvent(release);
        ResetEvent(left);
        sawCancel = false;
    }
};
SlowContent slow;

class TSlowProtocol : public TFixedProtocol {
public:
    static constexpr const wchar_t* ClassName = L"TSlowProtocol";
    std::unique_ptr<TorvStream> GetContent(const std::wstring& url, const std::wstring& verb,
                                           TorvStream& request, TorvShellResponse& response,
                                           std::wstring& fileName) override
    {
        if (url.find(L"slow") == std::wstring::npos)
            return TFixedProtocol::GetContent(url, verb, request, response, fileName);
        struct Leave {
            ~Leave() { SetEvent(slow.left); }
        } leave;
        SetEvent(slow.entered);
        const TCancellation* cancellation = CurrentCancellation();
        while (WaitForSingleObject(slow.release, 2) == WAIT_TIMEOUT) {
            if (IsCancelled(cancellation)) {
                slow.sawCancel = true;
                RaiseCancelled();
            }
        }
        return TFixedProtocol::GetContent(url, verb, request, response, fileName);
    }
};

// Starts a request for slow content and returns once its content is being made.
void StartSlow(IInternetProtocol& protocol, RecordingSink& sink)
{
    slow.Reset();
    ASSERT_EQ(protocol.Start(L"fixed://a/slow.txt", &sink, &sink, 0, 0), S_OK);
    ASSERT_EQ(WaitForSingleObject(slow.entered, 10000), WAIT_OBJECT_0);
}

std::string ReadAll(IInternetProtocol& protocol)
{
    std::string body;
    char buffer[4];
    for (;;) {
        ULONG read = 0;
        const HRESULT r = protocol.Read(buffer, sizeof buffer, &read);
        body.append(buffer, read);
        if (r != S_OK)
            break;
    }
    return body;
}

// A header read as a browser engine reads it: a size probe without a buffer, then the text.
std::string HeaderText(IWinInetHttpInfo& info, DWORD option, const char* name = nullptr)
{
    std::string buffer = name != nullptr ? std::string(name) + '\0' : std::string();
    DWORD size = static_cast<DWORD>(buffer.size());
    if (name == nullptr) {
        if (info.QueryInfo(option, nullptr, &size, nullptr, nullptr) != S_FALSE ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return "<no size>";
    } else {
        std::string probe = buffer;
        if (info.QueryInfo(option, probe.data(), &size, nullptr, nullptr) != S_FALSE)
            return "<no size>";
    }
    buffer.resize(std::max<size_t>(size, buffer.size()));
    const DWORD needed = size;
    if (info.QueryInfo(option, buffer.data(), &size, nullptr, nullptr) != S_OK)
        return "<failed>";
    EXPECT_EQ(size + 1, needed) << "the size written leaves out the terminator";
    return buffer.substr(0, size);
}

std::vector<ULONG> ProgressCodes(const RecordingSink& sink)
{
    std::vector<ULONG> codes;
    for (const Report& r : sink.reports)
        if (r.kind == L"progress")
            codes.push_back(r.code);
    return codes;
}

class ProtocolObject : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    void TearDown() override { OleUninitialize(); }
};

} // namespace

TEST_F(ProtocolObject, SynchronousStartReportsInOrderAndReadsServeTheBody)
{
    auto protocol = NewProtocol<TFixedProtocol>();
    RecordingSink sink(0);  // synchronous: Start returns after the result report
    ULONG read = 0;
    char buffer[16];
    EXPECT_EQ(protocol->Read(buffer, sizeof buffer, &read), OLE_E_BLANK);
    ASSERT_EQ(protocol->Start(L"fixed://a/text", &sink, &sink, 0, 0), S_OK);
    EXPECT_EQ(ProgressCodes(sink),
              (std::vector<ULONG>{BINDSTATUS_FINDINGRESOURCE, BINDSTATUS_CONNECTING,
                                  BINDSTATUS_SENDINGREQUEST, BINDSTATUS_MIMETYPEAVAILABLE}));
    ASSERT_EQ(sink.reports.size(), 7u);
    EXPECT_EQ(sink.reports[3].text, L"text/plain");
    EXPECT_EQ(sink.reports[4].code, static_cast<ULONG>(BSCF_FIRSTDATANOTIFICATION));
    EXPECT_EQ(sink.reports[4].max, 10u);
    EXPECT_EQ(sink.reports[5].code,
              static_cast<ULONG>(BSCF_LASTDATANOTIFICATION | BSCF_DATAFULLYAVAILABLE));
    EXPECT_EQ(sink.reports[6].code, static_cast<ULONG>(S_OK));
    EXPECT_EQ(sink.reports[6].progress, 200u);

    EXPECT_EQ(protocol->Read(buffer, 0, &read), E_INVALIDARG);
    EXPECT_EQ(protocol->Read(buffer, 4, nullptr), E_POINTER);
    EXPECT_EQ(protocol->Read(buffer, 4, &read), S_OK);
    EXPECT_EQ(std::string(buffer, read), "0123");
    // Seeking moves the stream, not the reads' own position.
    LARGE_INTEGER move{};
    ULARGE_INTEGER position{};
    EXPECT_EQ(protocol->Seek(move, STREAM_SEEK_END, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 10u);
    EXPECT_EQ(ReadAll(*protocol.Get()), "456789");
    EXPECT_EQ(protocol->Read(buffer, 4, &read), S_FALSE);
    EXPECT_EQ(protocol->Terminate(0), S_OK);

    // Started again, the object serves the new request.
    RecordingSink second(0);
    ASSERT_EQ(protocol->Start(L"fixed://a/empty", &second, &second, 0, 0), S_OK);
    EXPECT_EQ(protocol->Read(buffer, 4, &read), S_FALSE);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(second.reports[4].max, 0u);
    EXPECT_EQ(protocol->Start(nullptr, &sink, &sink, 0, 0), E_INVALIDARG);
}

TEST_F(ProtocolObject, FailuresBecomeTheErrorPageAndUntypedBodiesAreSniffed)
{
    auto protocol = NewProtocol<TFixedProtocol>();
    RecordingSink missing(0);
    ASSERT_EQ(protocol->Start(L"fixed://a/missing", &missing, &missing, 0, 0), S_OK);
    EXPECT_EQ(missing.reports.back().code, static_cast<ULONG>(S_OK));
    EXPECT_EQ(missing.reports.back().progress, 502u);
    EXPECT_EQ(missing.reports[3].text, L"text/html");
    EXPECT_NE(ReadAll(*protocol.Get()).find("Stream is nil<br />"), std::string::npos);

    RecordingSink raised(0);
    ASSERT_EQ(protocol->Start(L"fixed://a/raise", &raised, &raised, 0, 0), S_OK);
    const std::string page = ReadAll(*protocol.Get());
    EXPECT_NE(page.find("first line<br />\r\nsecond &lt;line&gt;<br />"), std::string::npos) << page;

    ComPtr<IWinInetHttpInfo> info;
    ASSERT_EQ(protocol.As(&info), S_OK);
    DWORD status = 0;
    DWORD size = sizeof status;
    EXPECT_EQ(info->QueryInfo(HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                              nullptr, nullptr), S_OK);
    EXPECT_EQ(status, 502u);
    EXPECT_EQ(HeaderText(*info.Get(), HTTP_QUERY_STATUS_TEXT), "EXCEPTION");

    RecordingSink png(0);
    ASSERT_EQ(protocol->Start(L"fixed://a/png", &png, &png, 0, 0), S_OK);
    EXPECT_TRUE(png.reports[3].text == L"image/x-png" || png.reports[3].text == L"image/png");
    RecordingSink unknown(0);
    ASSERT_EQ(protocol->Start(L"fixed://a/empty", &unknown, &unknown, 0, 0), S_OK);
    EXPECT_EQ(unknown.reports[3].text, L"application/octet-stream");
}

TEST_F(ProtocolObject, AsynchronousStartReportsFromTheWorkerAndAFileBindGetsACacheFile)
{
    auto protocol = NewProtocol<TFixedProtocol>();
    RecordingSink sink(BINDF_ASYNCHRONOUS | BINDF_NEEDFILE);
    ASSERT_EQ(protocol->Start(L"fixed://a/cached.txt", &sink, &sink, 0, 0), S_OK);
    ASSERT_EQ(WaitForSingleObject(sink.done, 10000), WAIT_OBJECT_0);
    std::wstring cacheFile;
    for (const Report& r : sink.reports)
        if (r.kind == L"progress" && r.code == BINDSTATUS_CACHEFILENAMEAVAILABLE)
            cacheFile = r.text;
    ASSERT_FALSE(cacheFile.empty());
    EXPECT_EQ(GetFileAttributesW(cacheFile.c_str()) != INVALID_FILE_ATTRIBUTES, true);
    EXPECT_EQ(ReadAll(*protocol.Get()), "0123456789");
    EXPECT_EQ(protocol->Terminate(0), S_OK);
}

TEST_F(ProtocolObject, TerminateAndReleaseNeverWaitForTheWorkerAndNothingIsReportedAfterwards)
{
    auto protocol = NewProtocol<TSlowProtocol>();
    RecordingSink sink(BINDF_ASYNCHRONOUS | BINDF_NEEDFILE);
    ASSERT_NO_FATAL_FAILURE(StartSlow(*protocol.Get(), sink));

    // Before the data exists Terminate still succeeds, and neither it nor the last release
    // waits: the content is still being made (it waits for `release`, which nobody sets).
    EXPECT_EQ(protocol->Terminate(0), S_OK);
    protocol.Reset();
    EXPECT_EQ(WaitForSingleObject(slow.left, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // The work learns that nobody wants it and stops by itself.
    ASSERT_EQ(WaitForSingleObject(slow.left, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(slow.sawCancel.load());
    Sleep(50);
    EXPECT_TRUE(sink.reports.empty()) << sink.reports.size() << " reports after Terminate";
}

TEST_F(ProtocolObject, AbortReportsItsReasonOnceAndStopsTheWork)
{
    auto protocol = NewProtocol<TSlowProtocol>();
    RecordingSink sink(BINDF_ASYNCHRONOUS);
    ASSERT_NO_FATAL_FAILURE(StartSlow(*protocol.Get(), sink));
    EXPECT_EQ(protocol->Abort(INET_E_DOWNLOAD_FAILURE, 0), S_OK);
    ASSERT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(sink.reports[0].kind, L"result");
    EXPECT_EQ(sink.reports[0].code, static_cast<ULONG>(INET_E_DOWNLOAD_FAILURE));
    EXPECT_EQ(protocol->Abort(E_ABORT, 0), INET_E_RESULT_DISPATCHED);
    ASSERT_EQ(WaitForSingleObject(slow.left, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(slow.sawCancel.load());
    Sleep(50);
    EXPECT_EQ(sink.reports.size(), 1u);
    EXPECT_EQ(protocol->Terminate(0), S_OK);

    // A request whose result is out cannot be aborted any more; its data stays readable.
    RecordingSink done(0);
    ASSERT_EQ(protocol->Start(L"fixed://a/text", &done, &done, 0, 0), S_OK);
    EXPECT_EQ(protocol->Abort(E_ABORT, 0), INET_E_RESULT_DISPATCHED);
    EXPECT_EQ(protocol->Terminate(0), S_OK);
    EXPECT_EQ(ReadAll(*protocol.Get()), "0123456789");
}

TEST_F(ProtocolObject, ASecondStartOrATerminateFromInsideAReportEndsTheReports)
{
    auto protocol = NewProtocol<TSlowProtocol>();
    RecordingSink first(BINDF_ASYNCHRONOUS);
    ASSERT_NO_FATAL_FAILURE(StartSlow(*protocol.Get(), first));
    // Started again at once: the first request is let go without waiting for its work.
    RecordingSink second(0);
    ASSERT_EQ(protocol->Start(L"fixed://a/text", &second, &second, 0, 0), S_OK);
    EXPECT_EQ(second.reports.size(), 7u);
    EXPECT_EQ(ReadAll(*protocol.Get()), "0123456789");
    ASSERT_EQ(WaitForSingleObject(slow.left, 10000), WAIT_OBJECT_0);
    Sleep(50);
    EXPECT_TRUE(first.reports.empty());

    // A client that ends the request while it is told about it hears nothing more.
    RecordingSink ending(0);
    ending.onReport = [&](const Report& report) {
        if (report.kind == L"progress" && report.code == BINDSTATUS_FINDINGRESOURCE)
            EXPECT_EQ(protocol->Terminate(0), S_OK);
    };
    ASSERT_EQ(protocol->Start(L"fixed://a/text", &ending, &ending, 0, 0), S_OK);
    EXPECT_EQ(ending.reports.size(), 1u);
    EXPECT_EQ(protocol->Terminate(0), S_OK);
}

TEST_F(ProtocolObject, HeaderQueriesFollowTheHttpQueryRules)
{
    auto protocol = NewProtocol<TFixedProtocol>();
    ComPtr<IWinInetHttpInfo> info;
    ASSERT_EQ(protocol.As(&info), S_OK);
    DWORD size = 0;
    EXPECT_EQ(info->QueryInfo(HTTP_QUERY_CONTENT_TYPE, nullptr, &size, nullptr, nullptr), S_FALSE)
        << "no response before a request";
    RecordingSink sink(0);
    ASSERT_EQ(protocol->Start(L"fixed://a/text", &sink, &sink, 0, 0), S_OK);

    // ANSI text, sized by a probe; a custom header's name and answer are both ANSI.
    EXPECT_EQ(HeaderText(*info.Get(), HTTP_QUERY_CONTENT_TYPE), "text/plain");
    EXPECT_EQ(HeaderText(*info.Get(), HTTP_QUERY_STATUS_CODE), "200");
    EXPECT_EQ(HeaderText(*info.Get(), HTTP_QUERY_CUSTOM, "X-Count"), "5000000000");
    const std::string raw = HeaderText(*info.Get(), HTTP_QUERY_RAW_HEADERS_CRLF);
    EXPECT_NE(raw.find("Content-Type: text/plain\r\n"), std::string::npos) << raw;

    // A short buffer: the size needed, the insufficient-buffer error, nothing written.
    char small[4] = {'x', 'x', 'x', 'x'};
    size = sizeof small;
    EXPECT_EQ(info->QueryInfo(HTTP_QUERY_CONTENT_TYPE, small, &size, nullptr, nullptr), S_FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(small[0], 'x');

    // Numbers are 32 bits and fail when the value does not fit; 64 bits take it.
    DWORD number = 0;
    size = sizeof number;
    EXPECT_EQ(info->QueryInfo(HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &number, &size,
                              nullptr, nullptr), S_OK);
    EXPECT_EQ(number, 200u);
    EXPECT_EQ(size, 4u);
    char name[16] = "X-Count";
    size = sizeof name;
    EXPECT_EQ(info->QueryInfo(HTTP_QUERY_CUSTOM | HTTP_QUERY_FLAG_NUMBER, name, &size, nullptr,
                              nullptr), S_FALSE);
    char wide[16] = "X-Count";
    size = sizeof wide;
    ASSERT_EQ(info->QueryInfo(HTTP_QUERY_CUSTOM | HTTP_QUERY_FLAG_NUMBER64, wide, &size, nullptr,
                              nullptr), S_OK);
    int64_t big = 0;
    std::memcpy(&big, wide, sizeof big);
    EXPECT_EQ(big, 5000000000);

    // Unknown headers, the request's headers and unknown modifiers fail as the platform's own
    // handlers fail.
    char buffer[64];
    size = sizeof buffer;
    EXPECT_EQ(info->QueryInfo(HTTP_QUERY_EXPIRES, buffer, &size, nullptr, nullptr), S_FALSE);
    size = sizeof buffer;
    EXPECT_EQ(info->QueryInfo(HTTP_QUERY_CONTENT_TYPE | HTTP_QUERY_FLAG_REQUEST_HEADERS, buffer,
                              &size, nullptr, nullptr), S_FALSE);
    size = sizeof buffer;
    EXPECT_EQ(info->QueryInfo(HTTP_QUERY_CONTENT_TYPE | 0x00400000, buffer, &size, nullptr,
                              nullptr), S_FALSE);
    EXPECT_EQ(protocol->Terminate(0), S_OK);
}

TEST_F(ProtocolObject, UrlInformationIsOfferedOnlyByClassesWithHooks)
{
    auto plain = NewProtocol<TFixedProtocol>();
    ComPtr<IInternetProtocolInfo> info;
    EXPECT_EQ(plain.As(&info), E_NOINTERFACE);

    auto combining = NewProtocol<TCombiningProtocol>();
    ASSERT_EQ(combining.As(&info), S_OK);
    wchar_t buffer[26];
    DWORD length = 0;
    EXPECT_EQ(info->CombineUrl(L"a", L"b", 0, buffer, 10, &length, 0), S_FALSE);
    EXPECT_EQ(length, 26u);
    EXPECT_EQ(std::wstring(buffer, 10), L"0123456789");
    EXPECT_EQ(info->CombineUrl(L"a", L"b", 0, buffer, 26, &length, 0), S_OK);
    EXPECT_EQ(std::wstring(buffer), L"0123456789abcdefghijklmno");
    EXPECT_EQ(info->ParseUrl(L"a", PARSE_CANONICALIZE, 0, buffer, 26, &length, 0),
              INET_E_DEFAULT_ACTION);
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(info->QueryInfo(L"a", QUERY_IS_SECURE, 0, buffer, 4, &length, 0),
              INET_E_DEFAULT_ACTION);
    EXPECT_EQ(info->QueryInfo(L"a", static_cast<QUERYOPTION>(99), 0, buffer, 4, &length, 0),
              INET_E_QUERYOPTION_UNKNOWN);

    auto maff = NewProtocol<TProtocolExtension1>();
    ASSERT_EQ(maff.As(&info), S_OK);
    wchar_t combined[128];
    EXPECT_EQ(info->CombineUrl(L"maff://0*p/index.html", L"images/a.png", 0, combined, 128,
                               &length, 0), S_OK);
    EXPECT_EQ(std::wstring(combined), L"maff://0*p/images/a.png");
    EXPECT_EQ(info->CombineUrl(L"maff://0*p/index.html", L"file:///C:/x.html", 0, combined, 128,
                               &length, 0), S_OK);
    EXPECT_EQ(std::wstring(combined), L"file:///C:/x.html");
    for (const wchar_t* relative : {L"/c.png", L"maffle.css", L"", L"#top", L"a"}) {
        EXPECT_EQ(info->CombineUrl(L"maff://0*p/index.html", relative, 0, combined, 128, &length,
                                   0), S_OK);
    }
    EXPECT_EQ(std::wstring(combined), L"maff://0*p/a");
}

TEST(MaffUrl, ItemPathsAreTakenAsWrittenAndNormalizedOnlyOnRequest)
{
    EXPECT_EQ(NormalizeItemPath(L"page\\index_files\\caf%C3%A9%20menu.png"),
              L"page\\index_files\\caf\u00e9 menu.png");
    EXPECT_EQ(NormalizeItemPath(L"page\\.\\images\\..\\a.png?x=1#top"), L"page\\a.png");
    EXPECT_EQ(NormalizeItemPath(L"..\\..\\a.png"), L"a.png");
    EXPECT_EQ(NormalizeItemPath(L"100%25%23.txt"), L"100%#.txt");
    EXPECT_EQ(NormalizeItemPath(L"bad%FF.txt"), L"bad%FF.txt");  // not UTF-8: left alone
    EXPECT_THROW(ParseMaffUrl(L"http://0*a.html"), Exception);
    EXPECT_THROW(ParseMaffUrl(L"maff://0a.html"), Exception);
}

TEST(CacheFiles, OnlyInertWebTypesGiveACacheFileItsExtension)
{
    EXPECT_EQ(InertCacheExtension(L"maff://0*page/style.CSS"), L"css");
    EXPECT_EQ(InertCacheExtension(L"maff://0*page/a.png?x=.exe#.hta"), L"png");
    for (const wchar_t* url : {L"maff://0*page/blob?.exe", L"maff://0*page/blob#.scr",
                               L"maff://0*page/run.js", L"maff://0*page/x.hta",
                               L"maff://0*page/link.lnk", L"maff://0*page.d/file",
                               L"maff://0*page/noextension"})
        EXPECT_EQ(InertCacheExtension(url), L"") << std::wstring(url).size();
}
