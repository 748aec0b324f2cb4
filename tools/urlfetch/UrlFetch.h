// Fetches a URL through URL monikers the way a browser does: an asynchronous BindToStorage with
// its own bind-status callback, pulling the data as it is announced, pumping messages until
// the bind stops. Used by the lister host, the tests and the benchmarks.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <memory>
#include <string>
#include <vector>

namespace kvfetch {

struct FetchResult {
    HRESULT result = E_FAIL;    // OnStopBinding's result (or the failure to start)
    DWORD status = 0;           // the response's status code, 0 when none was given
    std::wstring mimeType;      // from BINDSTATUS_MIMETYPEAVAILABLE
    std::wstring cacheFile;     // from BINDSTATUS_CACHEFILENAMEAVAILABLE
    std::string contentTypeHeader;  // the Content-Type header, read as a browser engine reads it
    std::string renderingModeHeader;  // X-UA-Compatible, asked for by name as the engine asks
    std::string rawHeaders;           // the whole header block, lines ended by CR LF
    std::string body;
    std::vector<ULONG> progress;  // the status codes reported, in order
};

// A header of a response read as a browser engine reads it (HttpQueryInfoA's rules): a size
// probe without a buffer, then the ANSI text; empty when the handler has no such header. name:
// the header's name for HTTP_QUERY_CUSTOM.
std::string QueryHeaderText(IWinInetHttpInfo& info, DWORD option, const char* name = nullptr);

// Needs a thread initialised for OLE (single-threaded apartment). bindFlags are added to
// BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA. Gives up after timeoutMs.
FetchResult FetchUrl(const std::wstring& url, DWORD bindFlags = 0, DWORD timeoutMs = 30000);

// Fetches every URL with up to `parallel` binds in flight at once, as a browser loads a page's
// resources; the results come in the order of the URLs.
std::vector<FetchResult> FetchUrls(const std::vector<std::wstring>& urls, size_t parallel,
                                   DWORD bindFlags = 0, DWORD timeoutMs = 60000);

// A bind started now and left to run while the caller pumps messages; given up, if still
// running, when the object goes.
class PendingFetch {
public:
    explicit PendingFetch(const std::wstring& url, DWORD bindFlags = 0);
    ~PendingFetch();
    PendingFetch(const PendingFetch&) = delete;
    PendingFetch& operator=(const PendingFetch&) = delete;
    bool Done() const;
    FetchResult Result() const;

    class Bind;

private:
    Bind* bind_;
};

} // namespace kvfetch
