// The state of one protocol request, shared by the protocol object and the worker that
// produces it: whichever of them is done last frees it, so the protocol object never waits for
// its worker and the worker never reaches into a protocol object that is gone.
//
// Every report to the client's sink passes through the request's report gate: once the client
// has ended the request (Terminate) or cancelled it (Abort), no further report reaches the sink.
#pragma once

#include "archive/Cancellation.h"
#include "protocol/ShellResponse.h"
#include "shell/Handles.h"
#include "shell/Stream.h"

#include <urlmon.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace kv {

class TorvShellCacheFileStream;

class TorvProtocolRequest {
public:
    TorvProtocolRequest(std::wstring url, std::wstring verb, std::unique_ptr<TorvStream> requestStream,
                        Microsoft::WRL::ComPtr<IInternetProtocolSink> sink, DWORD bindFlags);
    ~TorvProtocolRequest();
    TorvProtocolRequest(const TorvProtocolRequest&) = delete;
    TorvProtocolRequest& operator=(const TorvProtocolRequest&) = delete;

    const std::wstring& Url() const noexcept { return url_; }
    const std::wstring& Verb() const noexcept { return verb_; }
    TorvStream& RequestStream() noexcept { return *requestStream_; }
    // The bind flags the client gave when the request started.
    DWORD BindFlags() const noexcept { return bindFlags_; }
    // The worker's own response record (what the handler fills in).
    TorvShellResponse& OwnResponse() noexcept { return response_; }
    // The effective response: the cache file's when the data comes from a cache file, else the
    // request's own.
    TorvShellResponse& Response();

    // Set when the client no longer wants the data: long work checks it and stops.
    const TCancellation& Cancellation() const noexcept { return cancellation_; }
    bool Cancelled() const noexcept { return cancellation_.Cancelled(); }

    // The sink as a burst of reports sees it: each call reaches the client's sink only while
    // the request has not been ended, also when the client ends it from inside a report.
    class Reporter {
    public:
        void Progress(ULONG code, const std::wstring& text);
        void Data(DWORD flags, ULONG progress, ULONG max);
        // After the result nothing else is reported.
        void Result(HRESULT result, DWORD error, const wchar_t* text);

    private:
        friend class TorvProtocolRequest;
        explicit Reporter(TorvProtocolRequest& request) : request_(request) {}
        Microsoft::WRL::ComPtr<IInternetProtocolSink> Sink() const;
        TorvProtocolRequest& request_;
    };
    // Runs a burst of reports holding the report gate, so that no Abort or Terminate from
    // another thread lands inside it; false, without running it, when the request was ended
    // or its result has been reported.
    bool Report(const std::function<void(Reporter&)>& burst);
    // Abort: cancels the work and reports reason as the result, unless a result was reported
    // already (then false and nothing happens).
    bool Abort(HRESULT reason);
    // Terminate, or the end of the protocol object: releases the sink and no report follows.
    // Work that has not produced its data yet is cancelled; data already there stays readable.
    void End() noexcept;

    // Publishes the body; the client may read it from here on.
    void SetDataStream(std::unique_ptr<TorvStream> stream);
    bool HasDataStream();
    // Marks the data as complete (just before the data reports).
    void SetDataComplete() noexcept { dataComplete_ = true; }
    bool DataComplete() const noexcept { return dataComplete_.load(); }
    uint64_t DataSize();
    // Hands out the next bytes of the body: S_OK with bytes, E_PENDING while the data is still
    // coming, S_FALSE after the last byte. Reads keep their own position.
    HRESULT ReadData(void* buffer, ULONG count, ULONG& read);
    // Moves the data stream's own position; false when the stream refuses.
    bool SeekData(int64_t move, DWORD origin, int64_t& position);

private:
    const std::wstring url_;
    const std::wstring verb_;
    const std::unique_ptr<TorvStream> requestStream_;
    const DWORD bindFlags_;
    TorvShellResponse response_;
    TCancellation cancellation_;

    // Re-entrant: a sink may call Terminate or Abort from inside a report.
    CriticalSection gate_;
    Microsoft::WRL::ComPtr<IInternetProtocolSink> sink_;  // released by End
    bool resultReported_ = false;

    CriticalSection lock_;  // guards dataStream_ and readPosition_
    std::unique_ptr<TorvStream> dataStream_;
    int64_t readPosition_ = 0;
    std::atomic<bool> dataComplete_{false};
};

} // namespace kv
