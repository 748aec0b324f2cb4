#include "protocol/ProtocolRequest.h"

#include "protocol/CacheFileStream.h"
#include "shell/Exceptions.h"

#include <mutex>
#include <utility>

namespace kv {

TorvProtocolRequest::TorvProtocolRequest(std::wstring url, std::wstring verb,
                                         std::unique_ptr<TorvStream> requestStream,
                                         Microsoft::WRL::ComPtr<IInternetProtocolSink> sink,
                                         DWORD bindFlags)
    : url_(std::move(url)), verb_(std::move(verb)), requestStream_(std::move(requestStream)),
      bindFlags_(bindFlags), sink_(std::move(sink))
{
}

TorvProtocolRequest::~TorvProtocolRequest() = default;

TorvShellResponse& TorvProtocolRequest::Response()
{
    std::lock_guard guard(lock_);
    if (auto* cache = dynamic_cast<TorvShellCacheFileStream*>(dataStream_.get()))
        return cache->Response();
    return response_;
}

Microsoft::WRL::ComPtr<IInternetProtocolSink> TorvProtocolRequest::Reporter::Sink() const
{
    // Called with the gate held (it is re-entrant); a copy, because a sink that ends the
    // request from inside a report releases the request's own reference.
    return request_.resultReported_ ? nullptr : request_.sink_;
}

void TorvProtocolRequest::Reporter::Progress(ULONG code, const std::wstring& text)
{
    if (const auto sink = Sink())
        sink->ReportProgress(code, text.c_str());
}

void TorvProtocolRequest::Reporter::Data(DWORD flags, ULONG progress, ULONG max)
{
    if (const auto sink = Sink())
        sink->ReportData(flags, progress, max);
}

void TorvProtocolRequest::Reporter::Result(HRESULT result, DWORD error, const wchar_t* text)
{
    if (const auto sink = Sink()) {
        request_.resultReported_ = true;
        sink->ReportResult(result, error, text);
    }
}

bool TorvProtocolRequest::Report(const std::function<void(Reporter&)>& burst)
{
    std::lock_guard guard(gate_);
    if (!sink_ || resultReported_)
        return false;
    Reporter reporter(*this);
    burst(reporter);
    return true;
}

bool TorvProtocolRequest::Abort(HRESULT reason)
{
    cancellation_.Cancel();
    return Report([reason](Reporter& sink) { sink.Result(reason, 0, nullptr); });
}

void TorvProtocolRequest::End() noexcept
{
    if (!dataComplete_.load())
        cancellation_.Cancel();
    Microsoft::WRL::ComPtr<IInternetProtocolSink> sink;
    {
        std::lock_guard guard(gate_);
        sink.Swap(sink_);  // (this library's ComPtr move assignment copies)
    }
    // Released outside the gate: the sink's end may call back into the request.
}

void TorvProtocolRequest::SetDataStream(std::unique_ptr<TorvStream> stream)
{
    std::unique_ptr<TorvStream> old;
    std::lock_guard guard(lock_);
    old = std::exchange(dataStream_, std::move(stream));
}

bool TorvProtocolRequest::HasDataStream()
{
    std::lock_guard guard(lock_);
    return dataStream_ != nullptr;
}

uint64_t TorvProtocolRequest::DataSize()
{
    std::lock_guard guard(lock_);
    return dataStream_ ? static_cast<uint64_t>(dataStream_->GetSize()) : 0;
}

HRESULT TorvProtocolRequest::ReadData(void* buffer, ULONG count, ULONG& read)
{
    std::lock_guard guard(lock_);
    read = 0;
    if (!dataStream_)
        throw EUninitializedObject(L"Stream is nil");
    TorvStream& stream = *dataStream_;
    const int64_t position = stream.Position();
    try {
        stream.SetPosition(readPosition_);
        read = stream.Read(buffer, count);
        readPosition_ += read;
    } catch (...) {
        stream.SetPosition(position);
        throw;
    }
    stream.SetPosition(position);
    if (read > 0)
        return S_OK;
    return dataComplete_.load() ? S_FALSE : E_PENDING;
}

bool TorvProtocolRequest::SeekData(int64_t move, DWORD origin, int64_t& position)
{
    std::lock_guard guard(lock_);
    if (!dataStream_)
        throw EUninitializedObject(L"Stream is nil");
    try {
        position = dataStream_->Seek(move, origin);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace kv
