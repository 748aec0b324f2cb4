#include "tools/urlfetch/UrlFetch.h"

#include <urlmon.h>
#include <wininet.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <memory>
#include <utility>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace kvfetch {

std::string QueryHeaderText(IWinInetHttpInfo& info, DWORD option, const char* name)
{
    // As a browser engine reads: the size first, with no buffer, then the text.
    std::vector<char> buffer;
    if (name != nullptr)
        buffer.assign(name, name + std::strlen(name) + 1);
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD flags = 0;
    std::vector<char> probe = buffer;
    const HRESULT sized = info.QueryInfo(option, name != nullptr ? probe.data() : nullptr, &size,
                                         &flags, nullptr);
    if (sized == S_OK)
        return std::string(probe.data(), size);
    if (size == 0)
        return {};
    buffer.resize(std::max<size_t>(size, buffer.size()));
    if (info.QueryInfo(option, buffer.data(), &size, &flags, nullptr) != S_OK)
        return {};
    return std::string(buffer.data(), size);
}

namespace {

class Callback final : public IBindStatusCallback {
public:
    explicit Callback(DWORD bindFlags) : bindFlags_(bindFlags) {}

    // Owned here: a bind given up on may still report after the caller has gone.
    FetchResult result_;

    bool Stopped() const { return stopped_; }
    void Abort()
    {
        if (binding_)
            binding_->Abort();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IBindStatusCallback)) {
            *object = static_cast<IBindStatusCallback*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG count = --refs_;
        if (count == 0)
            delete this;
        return count;
    }

    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding* binding) override
    {
        binding_ = binding;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG code, LPCWSTR text) override
    {
        result_.progress.push_back(code);
        if (code == BINDSTATUS_MIMETYPEAVAILABLE && text != nullptr)
            result_.mimeType = text;
        if (code == BINDSTATUS_CACHEFILENAMEAVAILABLE && text != nullptr)
            result_.cacheFile = text;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT result, LPCWSTR) override
    {
        result_.result = result;
        if (binding_) {
            // The response's status, when the handler answers header queries.
            ComPtr<IWinInetHttpInfo> info;
            if (SUCCEEDED(binding_.As(&info))) {
                DWORD status = 0;
                DWORD size = sizeof(status);
                DWORD flags = 0;
                if (info->QueryInfo(HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                                    &flags, nullptr) == S_OK)
                    result_.status = status;
                result_.contentTypeHeader = QueryHeaderText(*info.Get(), HTTP_QUERY_CONTENT_TYPE);
                result_.renderingModeHeader =
                    QueryHeaderText(*info.Get(), HTTP_QUERY_CUSTOM, "X-UA-Compatible");
                result_.rawHeaders = QueryHeaderText(*info.Get(), HTTP_QUERY_RAW_HEADERS_CRLF);
            }
        }
        // The binding and this callback keep each other alive until one lets go.
        binding_.Reset();
        stream_.Reset();
        stopped_ = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override
    {
        *flags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA | bindFlags_;
        const ULONG size = info->cbSize;
        ZeroMemory(info, size);
        info->cbSize = size;
        info->dwBindVerb = BINDVERB_GET;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* medium) override
    {
        if (medium != nullptr && medium->tymed == TYMED_ISTREAM && medium->pstm != nullptr)
            stream_ = medium->pstm;
        if (!stream_)
            return S_OK;
        char buffer[16384];
        for (;;) {
            ULONG read = 0;
            const HRESULT r = stream_->Read(buffer, sizeof(buffer), &read);
            result_.body.append(buffer, read);
            if (r != S_OK || read == 0)
                break;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

private:
    std::atomic<ULONG> refs_{1};
    DWORD bindFlags_;
    ComPtr<IBinding> binding_;
    ComPtr<IStream> stream_;
    bool stopped_ = false;
};

} // namespace

// One bind in flight: its moniker, context and callback.
class PendingFetch::Bind {
public:
    Bind(const std::wstring& url, DWORD bindFlags)
    {
        callback_.Attach(new Callback(bindFlags));
        FetchResult& result = callback_->result_;
        result.result = CreateURLMonikerEx(nullptr, url.c_str(), &moniker_, URL_MK_UNIFORM);
        if (SUCCEEDED(result.result))
            result.result = CreateBindCtx(0, &context_);
        if (SUCCEEDED(result.result))
            result.result = RegisterBindStatusCallback(context_.Get(), callback_.Get(), nullptr, 0);
        if (FAILED(result.result)) {
            done_ = true;
            return;
        }
        result.result = E_PENDING;
        ComPtr<IStream> stream;
        const HRESULT started = moniker_->BindToStorage(
            context_.Get(), nullptr, IID_IStream, reinterpret_cast<void**>(stream.GetAddressOf()));
        if (FAILED(started) && !callback_->Stopped()) {
            result.result = started;
            done_ = true;
        }
    }
    ~Bind()
    {
        if (context_)
            RevokeBindStatusCallback(context_.Get(), callback_.Get());
    }
    Bind(const Bind&) = delete;
    Bind& operator=(const Bind&) = delete;

    bool Done() const { return done_ || callback_->Stopped(); }
    void Abort(HRESULT why)
    {
        callback_->Abort();
        if (!callback_->Stopped())
            callback_->result_.result = why;
        done_ = true;
    }
    // A copy: a bind given up on may still report into its callback.
    FetchResult Result() const { return callback_->result_; }

private:
    ComPtr<Callback> callback_;
    ComPtr<IMoniker> moniker_;
    ComPtr<IBindCtx> context_;
    bool done_ = false;
};

namespace {

using Bind = PendingFetch::Bind;

void PumpOnce()
{
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

} // namespace

std::vector<FetchResult> FetchUrls(const std::vector<std::wstring>& urls, size_t parallel,
                                   DWORD bindFlags, DWORD timeoutMs)
{
    std::vector<FetchResult> results(urls.size());
    std::vector<std::pair<size_t, std::unique_ptr<Bind>>> active;
    size_t next = 0;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (next < urls.size() || !active.empty()) {
        while (next < urls.size() && active.size() < std::max<size_t>(parallel, 1)) {
            active.emplace_back(next, std::make_unique<Bind>(urls[next], bindFlags));
            ++next;
        }
        bool finished = false;
        for (auto it = active.begin(); it != active.end();) {
            if (it->second->Done()) {
                results[it->first] = it->second->Result();
                it = active.erase(it);
                finished = true;
            } else {
                ++it;
            }
        }
        if (finished)
            continue;
        if (GetTickCount64() > deadline) {
            for (auto& [index, bind] : active) {
                bind->Abort(HRESULT_FROM_WIN32(ERROR_TIMEOUT));
                results[index] = bind->Result();
            }
            break;
        }
        PumpOnce();
    }
    return results;
}

PendingFetch::PendingFetch(const std::wstring& url, DWORD bindFlags)
    : bind_(new Bind(url, bindFlags))
{
}

PendingFetch::~PendingFetch()
{
    if (!bind_->Done())
        bind_->Abort(E_ABORT);
    delete bind_;
}

bool PendingFetch::Done() const
{
    return bind_->Done();
}

FetchResult PendingFetch::Result() const
{
    return bind_->Result();
}

FetchResult FetchUrl(const std::wstring& url, DWORD bindFlags, DWORD timeoutMs)
{
    return FetchUrls({url}, 1, bindFlags, timeoutMs).front();
}

} // namespace kvfetch
