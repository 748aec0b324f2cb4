// The worker of one protocol request: it asks the handler for the body and the response,
// settles the media type, writes a URL-cache file when the client wants a file, and reports
// everything to the protocol sink from its own thread. Any failure while producing becomes the
// error page with status 502, so the client always gets a page. The client then pulls the
// bytes through ReadData.
#pragma once

#include "protocol/ShellResponse.h"
#include "shell/Handles.h"
#include "shell/ShellThread.h"
#include "shell/Stream.h"

#include <urlmon.h>

#include <atomic>
#include <memory>
#include <string>

namespace kv {

class TorvShellProtocolExtension;
class TorvShellCacheFileStream;

class TorvShellProtocolThread : public TorvShellThread {
public:
    // Creates the worker and starts it at once; it keeps the process and this library loaded
    // while it runs.
    static Ptr<TorvShellProtocolThread> Create(TorvShellProtocolExtension& protocol,
                                               const std::wstring& url, const std::wstring& verb,
                                               std::unique_ptr<TorvStream> requestStream);
    TorvShellProtocolThread(TorvShellProtocolExtension& protocol, std::wstring url,
                            std::wstring verb, std::unique_ptr<TorvStream> requestStream);
    ~TorvShellProtocolThread() override;

    const std::wstring& Url() const noexcept { return url_; }
    const std::wstring& Verb() const noexcept { return verb_; }
    // The effective response: the cache file's when the data comes from a cache file, else
    // the worker's own.
    TorvShellResponse& Response();
    bool HasDataStream();
    bool DataComplete() const noexcept { return dataComplete_.load(); }

    // Hands out the next bytes of the body: S_OK with bytes, E_PENDING while the data is still
    // coming, S_FALSE after the last byte. Reads keep their own position.
    HRESULT ReadData(void* buffer, ULONG count, ULONG& read);
    // Moves the data stream's own position; false when the stream refuses.
    bool SeekData(int64_t move, DWORD origin, int64_t& position);

protected:
    void Execute() override;
    // Publishes the body; the client may read it from here on.
    void SetDataStream(std::unique_ptr<TorvStream> stream);

private:
    void Produce(IInternetBindInfo* bindInfo, std::unique_ptr<TorvStream>& data,
                 std::wstring& fileName);
    void Report(IInternetProtocolSink& sink, const std::wstring& fileName);

    TorvShellProtocolExtension& protocol_;  // owns this worker and outlives it
    std::wstring url_;
    std::wstring verb_;
    std::unique_ptr<TorvStream> requestStream_;
    TorvShellResponse response_;
    CriticalSection lock_;  // guards dataStream_ and readPosition_
    std::unique_ptr<TorvStream> dataStream_;
    int64_t readPosition_ = 0;
    std::atomic<bool> dataComplete_{false};
};

// The worker that serves a fresh copy from the URL cache, without asking the handler.
class TorvShellCacheProtocolThread : public TorvShellProtocolThread {
public:
    static Ptr<TorvShellProtocolThread> Create(
        TorvShellProtocolExtension& protocol, const std::wstring& url, const std::wstring& verb,
        std::unique_ptr<TorvStream> requestStream, std::unique_ptr<TorvShellCacheFileStream> cache);

    TorvShellCacheProtocolThread(TorvShellProtocolExtension& protocol, std::wstring url,
                                 std::wstring verb, std::unique_ptr<TorvStream> requestStream,
                                 std::unique_ptr<TorvShellCacheFileStream> cache);
};

} // namespace kv
