#include "protocol/ProtocolThread.h"

#include "protocol/CacheFileStream.h"
#include "protocol/ErrorPage.h"
#include "protocol/MimeTypes.h"
#include "protocol/ProtocolExtension.h"
#include "shell/Exceptions.h"
#include "shell/OleStream.h"

#include <mutex>
#include <vector>

namespace kv {

namespace {

// Worker threads keep the process and this library loaded while they run.
constexpr DWORD WorkerCreateFlags = CTF_PROCESS_REF | CTF_FREELIBANDEXIT;
// The chunk in which a body is copied into a cache file.
constexpr uint32_t CacheCopyChunk = 65520;

// OLE for the worker's whole life, undone only when this call set it up.
class OleInitialization {
public:
    OleInitialization() noexcept : initialized_(OleInitialize(nullptr) == S_OK) {}
    ~OleInitialization()
    {
        if (initialized_)
            OleUninitialize();
    }
    OleInitialization(const OleInitialization&) = delete;
    OleInitialization& operator=(const OleInitialization&) = delete;

private:
    bool initialized_;
};

} // namespace

TorvShellThread::Ptr<TorvShellProtocolThread> TorvShellProtocolThread::Create(
    TorvShellProtocolExtension& protocol, const std::wstring& url, const std::wstring& verb,
    std::unique_ptr<TorvStream> requestStream)
{
    return Start<TorvShellProtocolThread>(protocol, url, verb, std::move(requestStream));
}

TorvShellProtocolThread::TorvShellProtocolThread(TorvShellProtocolExtension& protocol,
                                                 std::wstring url, std::wstring verb,
                                                 std::unique_ptr<TorvStream> requestStream)
    : TorvShellThread(WorkerCreateFlags, false), protocol_(protocol), url_(std::move(url)),
      verb_(std::move(verb)), requestStream_(std::move(requestStream))
{
}

TorvShellProtocolThread::~TorvShellProtocolThread() = default;

TorvShellResponse& TorvShellProtocolThread::Response()
{
    std::lock_guard guard(lock_);
    if (auto* cache = dynamic_cast<TorvShellCacheFileStream*>(dataStream_.get()))
        return cache->Response();
    return response_;
}

bool TorvShellProtocolThread::HasDataStream()
{
    std::lock_guard guard(lock_);
    return dataStream_ != nullptr;
}

void TorvShellProtocolThread::SetDataStream(std::unique_ptr<TorvStream> stream)
{
    std::unique_ptr<TorvStream> old;
    {
        std::lock_guard guard(lock_);
        old = std::exchange(dataStream_, std::move(stream));
    }
}

HRESULT TorvShellProtocolThread::ReadData(void* buffer, ULONG count, ULONG& read)
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

bool TorvShellProtocolThread::SeekData(int64_t move, DWORD origin, int64_t& position)
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

void TorvShellProtocolThread::Produce(IInternetBindInfo* bindInfo, std::unique_ptr<TorvStream>& data,
                                      std::wstring& fileName)
{
    if (!data)
        data = protocol_.GetContent(url_, verb_, *requestStream_, response_, fileName);
    if (!data)
        throw Exception(L"Stream is nil");
    auto* cache = dynamic_cast<TorvShellCacheFileStream*>(data.get());
    if (cache != nullptr)
        fileName = cache->FileName();
    try {
        data->SetPosition(0);
    } catch (...) {
        // A stream that cannot seek is served from where it stands.
    }
    TorvShellResponse& response = cache != nullptr ? cache->Response() : response_;
    if (response.GetContentType().empty()) {
        std::wstring sniffed;
        if (SniffMimeType(url_, *data, sniffed) && !sniffed.empty())
            response.SetContentType(sniffed);
    }
    if (response.GetContentType().empty())
        response.SetContentType(L"application/octet-stream");

    if (!fileName.empty() || (protocol_.CacheMode != 1 && protocol_.CacheMode != 2))
        return;
    BINDINFO info{};
    info.cbSize = sizeof(info);
    DWORD flags = 0;
    if (bindInfo == nullptr || FAILED(bindInfo->GetBindInfo(&flags, &info)))
        return;
    ReleaseBindInfo(&info);
    if ((flags & BINDF_NEEDFILE) == 0)
        return;
    auto file = TorvShellCacheFileStream::CreateEntry(url_, &response);
    std::vector<uint8_t> buffer(CacheCopyChunk);
    for (;;) {
        const uint32_t count = data->Read(buffer.data(), CacheCopyChunk);
        if (count == 0)
            break;
        if (file->Write(buffer.data(), count) != count)
            throw EOSError(ERROR_WRITE_FAULT);
    }
    const bool committed = file->Commit();
    fileName = file->FileName();
    data = std::move(file);
    if (committed)
        protocol_.CacheFileWritten(url_, fileName);
}

void TorvShellProtocolThread::Report(IInternetProtocolSink& sink, const std::wstring& fileName)
{
    dataComplete_ = true;
    sink.ReportProgress(BINDSTATUS_FINDINGRESOURCE, url_.c_str());
    sink.ReportProgress(BINDSTATUS_CONNECTING, url_.c_str());
    sink.ReportProgress(BINDSTATUS_SENDINGREQUEST, url_.c_str());
    TorvShellResponse& response = Response();
    const std::wstring contentType = response.GetContentType();
    if (!contentType.empty())
        sink.ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, contentType.c_str());
    if (!fileName.empty())
        sink.ReportProgress(BINDSTATUS_CACHEFILENAMEAVAILABLE, fileName.c_str());
    ULONG size = 0;
    {
        std::lock_guard guard(lock_);
        size = static_cast<ULONG>(dataStream_->GetSize());
    }
    sink.ReportData(BSCF_FIRSTDATANOTIFICATION, 0, size);
    sink.ReportData(BSCF_LASTDATANOTIFICATION | BSCF_DATAFULLYAVAILABLE, size, size);
    sink.ReportResult(S_OK, static_cast<DWORD>(response.GetStatus()), nullptr);
}

void TorvShellProtocolThread::Execute()
{
    OleInitialization ole;
    // A sink may end the request (Terminate) from inside a report, which releases the
    // protocol's references: the worker keeps its own for the whole run.
    const Microsoft::WRL::ComPtr<IInternetProtocolSink> sink = protocol_.Sink;
    const Microsoft::WRL::ComPtr<IInternetBindInfo> bindInfo = protocol_.BindInfo;
    if (!sink)
        return;
    try {
        std::unique_ptr<TorvStream> data;
        {
            // A stream handed over at construction (a cache entry) is settled here first.
            std::lock_guard guard(lock_);
            data = std::move(dataStream_);
        }
        std::wstring fileName;
        std::exception_ptr failure;
        try {
            Produce(bindInfo.Get(), data, fileName);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure) {
            SetDataStream(std::move(data));
            Report(*sink.Get(), fileName);
            return;
        }
        data.reset();
        response_.Clear();
        auto page = BuildErrorPage(failure, &response_);
        SetDataStream(WrapMemoryStream(page.Get()));
        Report(*sink.Get(), std::wstring());
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        const std::wstring message = ExceptionMessage(error);
        sink->ReportResult(AsFailure(ExceptionToHResult(error)), 502, message.c_str());
    }
}

// ---- TorvShellCacheProtocolThread ----

TorvShellThread::Ptr<TorvShellProtocolThread> TorvShellCacheProtocolThread::Create(
    TorvShellProtocolExtension& protocol, const std::wstring& url, const std::wstring& verb,
    std::unique_ptr<TorvStream> requestStream, std::unique_ptr<TorvShellCacheFileStream> cache)
{
    return Start<TorvShellCacheProtocolThread>(protocol, url, verb, std::move(requestStream),
                                               std::move(cache));
}

TorvShellCacheProtocolThread::TorvShellCacheProtocolThread(
    TorvShellProtocolExtension& protocol, std::wstring url, std::wstring verb,
    std::unique_ptr<TorvStream> requestStream, std::unique_ptr<TorvShellCacheFileStream> cache)
    : TorvShellProtocolThread(protocol, std::move(url), std::move(verb), std::move(requestStream))
{
    SetDataStream(std::move(cache));
}

} // namespace kv
