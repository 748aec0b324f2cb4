#include "protocol/ProtocolThread.h"

#include "protocol/CacheEntries.h"
#include "protocol/CacheFileStream.h"
#include "protocol/ErrorPage.h"
#include "protocol/MimeTypes.h"
#include "protocol/ProtocolExtension.h"
#include "shell/Exceptions.h"
#include "shell/OleStream.h"

#include <deque>
#include <mutex>
#include <vector>

namespace kv {

namespace {

// Worker threads keep the process and this library loaded while they run. Nothing on them
// needs an apartment: they call the sink and the handler directly.
constexpr DWORD WorkerCreateFlags = CTF_PROCESS_REF | CTF_FREELIBANDEXIT;
// The chunk in which a body is copied into a cache file.
constexpr uint32_t CacheCopyChunk = 65520;

} // namespace

// ---- the queue ----

namespace {

struct WorkQueue {
    std::mutex lock;
    std::deque<std::unique_ptr<TorvShellProtocolWork>> works;
    size_t threads = 0;
};

WorkQueue& Works()
{
    // Outlives static destruction: workers may still run while the process ends.
    static WorkQueue* queue = new WorkQueue();
    return *queue;
}

} // namespace

TorvShellProtocolThread::TorvShellProtocolThread() : TorvShellThread(WorkerCreateFlags, false) {}

void TorvShellProtocolThread::Queue(std::unique_ptr<TorvShellProtocolWork> work)
{
    WorkQueue& queue = Works();
    std::unique_lock guard(queue.lock);
    queue.works.push_back(std::move(work));
    if (queue.threads >= MaxProtocolWorkers)
        return;
    ++queue.threads;
    try {
        StartDetached<TorvShellProtocolThread>();
    } catch (...) {
        --queue.threads;
        if (queue.threads > 0)
            return;  // a running worker takes it
        // Nobody would ever serve it: the caller ends the request.
        std::unique_ptr<TorvShellProtocolWork> refused = std::move(queue.works.back());
        queue.works.pop_back();
        guard.unlock();
        throw;
    }
}

void TorvShellProtocolThread::Execute()
{
    WorkQueue& queue = Works();
    for (;;) {
        std::unique_ptr<TorvShellProtocolWork> work;
        {
            std::lock_guard guard(queue.lock);
            if (queue.works.empty()) {
                --queue.threads;
                return;
            }
            work = std::move(queue.works.front());
            queue.works.pop_front();
        }
        work->Run();
    }
}

size_t TorvShellProtocolThread::Running() noexcept
{
    WorkQueue& queue = Works();
    std::lock_guard guard(queue.lock);
    return queue.threads;
}

void TorvShellProtocolThread::Start(TorvShellProtocolExtension& protocol,
                                    std::shared_ptr<TorvProtocolRequest> request)
{
    Queue(std::make_unique<TorvShellProtocolWork>(protocol, std::move(request), true));
}

void TorvShellProtocolThread::RunHere(TorvShellProtocolExtension& protocol,
                                      std::shared_ptr<TorvProtocolRequest> request, bool cacheFile)
{
    TorvShellProtocolWork(protocol, std::move(request), cacheFile).Run();
}

void TorvShellCacheProtocolThread::Start(TorvShellProtocolExtension& protocol,
                                         std::shared_ptr<TorvProtocolRequest> request,
                                         std::unique_ptr<TorvShellCacheFileStream> cache)
{
    Queue(std::make_unique<TorvShellProtocolWork>(protocol, std::move(request), false,
                                                  std::move(cache)));
}

// ---- TorvShellProtocolWork ----

TorvShellProtocolWork::TorvShellProtocolWork(TorvShellProtocolExtension& protocol,
                                             std::shared_ptr<TorvProtocolRequest> request,
                                             bool cacheFile, std::unique_ptr<TorvStream> data)
    : protocol_(protocol), request_(std::move(request)), cacheFile_(cacheFile),
      data_(std::move(data))
{
    protocol_.ObjAddRef();
}

TorvShellProtocolWork::~TorvShellProtocolWork()
{
    // May be the last reference: the protocol object then ends here, on this thread.
    protocol_.ObjRelease();
}

std::unique_ptr<TorvShellCacheFileStream> TorvShellProtocolWork::CopyToCacheFile(
    TorvStream& data, TorvShellResponse& response)
{
    std::unique_ptr<TorvShellCacheFileStream> file;
    try {
        file = TorvShellCacheFileStream::CreateEntry(request_->Url(), &response);
        data.SetPosition(0);
        std::vector<uint8_t> buffer(CacheCopyChunk);
        for (;;) {
            if (request_->Cancelled())
                return nullptr;  // the file is deleted with the stream
            const uint32_t count = data.Read(buffer.data(), CacheCopyChunk);
            if (count == 0)
                break;
            if (file->Write(buffer.data(), count) != count)
                return nullptr;
        }
        // A refused commit leaves a file that is no cache entry: it goes with the stream.
        if (!file->Commit())
            return nullptr;
        RecordCacheEntry(request_->Url());
        return file;
    } catch (...) {
        return nullptr;
    }
}

void TorvShellProtocolWork::Produce(std::unique_ptr<TorvStream>& data, std::wstring& fileName)
{
    TorvProtocolRequest& request = *request_;
    if (!data) {
        const TorvShellProtocolExtension::CancellationScope scope(request.Cancellation());
        data = protocol_.GetContent(request.Url(), request.Verb(), request.RequestStream(),
                                    request.OwnResponse(), fileName);
    }
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
    TorvShellResponse& response = cache != nullptr ? cache->Response() : request.OwnResponse();
    if (response.GetContentType().empty()) {
        std::wstring sniffed;
        if (SniffMimeType(request.Url(), *data, sniffed) && !sniffed.empty())
            response.SetContentType(sniffed);
    }
    if (response.GetContentType().empty())
        response.SetContentType(L"application/octet-stream");
    AddRenderingMode(response);

    if (!fileName.empty() || !cacheFile_ || (request.BindFlags() & BINDF_NEEDFILE) == 0 ||
        (protocol_.CacheMode != 1 && protocol_.CacheMode != 2))
        return;
    if (auto file = CopyToCacheFile(*data, response)) {
        fileName = file->FileName();
        data = std::move(file);
    }
}

void TorvShellProtocolWork::Report(const std::wstring& fileName)
{
    TorvProtocolRequest& request = *request_;
    request.SetDataComplete();
    const std::wstring& url = request.Url();
    TorvShellResponse& response = request.Response();
    const std::wstring contentType = response.GetContentType();
    const auto size = static_cast<ULONG>(request.DataSize());
    const auto status = static_cast<DWORD>(response.GetStatus());
    request.Report([&](TorvProtocolRequest::Reporter& sink) {
        sink.Progress(BINDSTATUS_FINDINGRESOURCE, url);
        sink.Progress(BINDSTATUS_CONNECTING, url);
        sink.Progress(BINDSTATUS_SENDINGREQUEST, url);
        if (!contentType.empty())
            sink.Progress(BINDSTATUS_MIMETYPEAVAILABLE, contentType);
        if (!fileName.empty())
            sink.Progress(BINDSTATUS_CACHEFILENAMEAVAILABLE, fileName);
        sink.Data(BSCF_FIRSTDATANOTIFICATION, 0, size);
        sink.Data(BSCF_LASTDATANOTIFICATION | BSCF_DATAFULLYAVAILABLE, size, size);
        sink.Result(S_OK, status, nullptr);
    });
}

void TorvShellProtocolWork::Run() noexcept
{
    TorvProtocolRequest& request = *request_;
    try {
        std::unique_ptr<TorvStream> data = std::move(data_);
        std::wstring fileName;
        std::exception_ptr failure;
        if (!request.Cancelled()) {
            try {
                Produce(data, fileName);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        // Nobody waits for a cancelled request: neither its data nor an error page is made.
        if (request.Cancelled())
            return;
        if (failure) {
            data.reset();
            fileName.clear();
            request.OwnResponse().Clear();
            data = WrapMemoryStream(BuildErrorPage(failure, &request.OwnResponse()).Get());
        }
        request.SetDataStream(std::move(data));
        Report(fileName);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        try {
            const std::wstring message = ExceptionMessage(error);
            const HRESULT result = AsFailure(ExceptionToHResult(error));
            request.Report([&](TorvProtocolRequest::Reporter& sink) {
                sink.Result(result, 502, message.c_str());
            });
        } catch (...) {
            // Out of memory even for the failure report: the client's bind times out.
        }
    }
}

} // namespace kv
