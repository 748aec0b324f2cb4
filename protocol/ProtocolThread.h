// The worker of one protocol request: it asks the handler for the body and the response,
// settles the media type, writes a URL-cache file when the client wants a file, and reports
// everything to the protocol sink in one burst. Any failure while producing becomes the error
// page with status 502, so the client always gets a page; a cancelled request gets nothing.
// The client then pulls the bytes from the request (TorvProtocolRequest::ReadData).
//
// The work holds a reference on its protocol object (the handler it asks for content) and on the
// request, so neither the protocol object nor its client ever waits for it.
#pragma once

#include "protocol/ProtocolRequest.h"
#include "shell/ShellThread.h"
#include "shell/Stream.h"

#include <memory>
#include <string>

namespace kv {

class TorvShellProtocolExtension;
class TorvShellCacheFileStream;

// The most worker threads that serve requests at once; further requests wait in a queue. Each
// thread takes queued requests until none is left, then ends.
inline constexpr size_t MaxProtocolWorkers = 8;

// The work of one request, done on a worker thread or on the calling thread.
class TorvShellProtocolWork {
public:
    // cacheFile: whether a URL-cache file may be written when the client asks for one.
    // data: a body handed over at the start (a cache entry), served without the handler.
    TorvShellProtocolWork(TorvShellProtocolExtension& protocol,
                          std::shared_ptr<TorvProtocolRequest> request, bool cacheFile,
                          std::unique_ptr<TorvStream> data = nullptr);
    ~TorvShellProtocolWork();
    TorvShellProtocolWork(const TorvShellProtocolWork&) = delete;
    TorvShellProtocolWork& operator=(const TorvShellProtocolWork&) = delete;

    void Run() noexcept;

private:
    void Produce(std::unique_ptr<TorvStream>& data, std::wstring& fileName);
    // The body copied into a committed URL-cache file, or none when the cache refuses: the copy
    // is a convenience, and the body is then served from memory.
    std::unique_ptr<TorvShellCacheFileStream> CopyToCacheFile(TorvStream& data,
                                                              TorvShellResponse& response);
    void Report(const std::wstring& fileName);

    TorvShellProtocolExtension& protocol_;  // referenced until this work is gone
    const std::shared_ptr<TorvProtocolRequest> request_;
    const bool cacheFile_;
    std::unique_ptr<TorvStream> data_;
};

// A worker thread of the request queue.
class TorvShellProtocolThread : public TorvShellThread {
public:
    // Queues the request for a worker thread (starting one when fewer than MaxProtocolWorkers
    // run). Raises the OS error when no worker runs and none can be made.
    static void Start(TorvShellProtocolExtension& protocol,
                      std::shared_ptr<TorvProtocolRequest> request);
    // Does the work on the calling thread and returns when the reports are made.
    static void RunHere(TorvShellProtocolExtension& protocol,
                        std::shared_ptr<TorvProtocolRequest> request, bool cacheFile);
    // Worker threads running now.
    static size_t Running() noexcept;

    TorvShellProtocolThread();

protected:
    void Execute() override;
    static void Queue(std::unique_ptr<TorvShellProtocolWork> work);
};

// Serves a fresh copy from the URL cache, without asking the handler.
class TorvShellCacheProtocolThread : public TorvShellProtocolThread {
public:
    static void Start(TorvShellProtocolExtension& protocol,
                      std::shared_ptr<TorvProtocolRequest> request,
                      std::unique_ptr<TorvShellCacheFileStream> cache);
};

} // namespace kv
