// The worker of one protocol request: it asks the handler for the body and the response,
// settles the media type, writes a URL-cache file when the client wants a file, and reports
// everything to the protocol sink in one burst. Any failure while producing becomes the error
// page with status 502, so the client always gets a page; a cancelled request gets nothing.
// The client then pulls the bytes from the request (TorvProtocolRequest::ReadData).
//
// A worker started on a thread of its own frees itself when done. It holds a reference on its
// protocol object (the handler it asks for content) and on the request, so neither the protocol
// object nor its client ever waits for it.
#pragma once

#include "protocol/ProtocolRequest.h"
#include "shell/ShellThread.h"
#include "shell/Stream.h"

#include <memory>
#include <string>

namespace kv {

class TorvShellProtocolExtension;
class TorvShellCacheFileStream;

class TorvShellProtocolThread : public TorvShellThread {
public:
    // Starts the work on a thread of its own. Raises the OS error when no thread can be made.
    static void Start(TorvShellProtocolExtension& protocol,
                      std::shared_ptr<TorvProtocolRequest> request);
    // Does the work on the calling thread and returns when the reports are made.
    // cacheFile: whether a URL-cache file may be written when the client asks for one.
    static void RunHere(TorvShellProtocolExtension& protocol,
                        std::shared_ptr<TorvProtocolRequest> request, bool cacheFile);

    TorvShellProtocolThread(TorvShellProtocolExtension& protocol,
                            std::shared_ptr<TorvProtocolRequest> request, bool cacheFile,
                            std::unique_ptr<TorvStream> data = nullptr);
    ~TorvShellProtocolThread() override;

protected:
    void Execute() override;

private:
    void Produce(std::unique_ptr<TorvStream>& data, std::wstring& fileName);
    // The body copied into a committed URL-cache file, or none when the cache refuses: the copy
    // is a convenience, and the body is then served from memory.
    std::unique_ptr<TorvShellCacheFileStream> CopyToCacheFile(TorvStream& data,
                                                              TorvShellResponse& response);
    void Report(const std::wstring& fileName);

    TorvShellProtocolExtension& protocol_;  // referenced until this worker is gone
    const std::shared_ptr<TorvProtocolRequest> request_;
    const bool cacheFile_;
    std::unique_ptr<TorvStream> data_;  // a body handed over at construction (a cache entry)
};

// The worker that serves a fresh copy from the URL cache, without asking the handler.
class TorvShellCacheProtocolThread : public TorvShellProtocolThread {
public:
    static void Start(TorvShellProtocolExtension& protocol,
                      std::shared_ptr<TorvProtocolRequest> request,
                      std::unique_ptr<TorvShellCacheFileStream> cache);

    TorvShellCacheProtocolThread(TorvShellProtocolExtension& protocol,
                                 std::shared_ptr<TorvProtocolRequest> request,
                                 std::unique_ptr<TorvShellCacheFileStream> cache);
};

} // namespace kv
