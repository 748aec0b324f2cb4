#include "archive/ArchiveCallbacks.h"

#include "shell/Exceptions.h"

namespace kv {

const TorvInterfaceTable& TOpenCallback::ClassInterfaces() noexcept
{
    static constexpr TorvInterfaceEntry entries[] = {
        InterfaceEntry<TOpenCallback, IArchiveOpenCallback>(IID_IArchiveOpenCallback),
    };
    static constexpr TorvInterfaceTable table = MakeInterfaceTable<TorvInterfacedObject>(entries);
    return table;
}

HRESULT TOpenCallback::SetTotal(const UINT64* files, const UINT64*)
{
    if (files != nullptr && *files > maxItems_) {
        refusedItemCount_ = *files;
        return E_ABORT;
    }
    return S_OK;
}

HRESULT TOpenCallback::SetCompleted(const UINT64*, const UINT64*)
{
    return S_OK;
}

TExtractCallback::TExtractCallback(Microsoft::WRL::ComPtr<MemoryStream> stream, uint64_t maxSize,
                                   const TCancellation* cancellation)
    : stream_(std::move(stream)), maxSize_(maxSize), cancellation_(cancellation)
{
}

const TorvInterfaceTable& TExtractCallback::ClassInterfaces() noexcept
{
    using T = TExtractCallback;
    static constexpr TorvInterfaceEntry entries[] = {
        InterfaceEntry<T, ISequentialOutStream>(IID_ISequentialOutStream),
        InterfaceEntry<T, IArchiveExtractCallback>(IID_IArchiveExtractCallback),
    };
    static constexpr TorvInterfaceTable table = MakeInterfaceTable<TorvInterfacedObject>(entries);
    return table;
}

HRESULT TExtractCallback::Write(const void* data, UINT32 size, UINT32* processed)
{
    try {
        if (size == 0) {
            if (processed != nullptr)
                *processed = 0;
            return S_OK;
        }
        if (data == nullptr)
            return E_INVALIDARG;
        if (IsCancelled(cancellation_)) {
            cancelled_ = true;
            return E_ABORT;
        }
        // Checked before anything is stored: a damaged or hostile archive may declare any size
        // and still deliver far more.
        if (stream_->Size() > maxSize_ || size > maxSize_ - stream_->Size()) {
            sizeLimitExceeded_ = true;
            return E_ABORT;
        }
        stream_->Append(data, size);
        if (processed != nullptr)
            *processed = size;
        return S_OK;
    } catch (const EOutOfMemory&) {
        outOfMemory_ = true;
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT TExtractCallback::SetTotal(UINT64)
{
    return S_OK;
}

HRESULT TExtractCallback::SetCompleted(const UINT64*)
{
    // Also asked between the reads of stored data, where no write may come for a while.
    if (IsCancelled(cancellation_)) {
        cancelled_ = true;
        return E_ABORT;
    }
    return S_OK;
}

HRESULT TExtractCallback::GetStream(UINT32, ISequentialOutStream** outStream, INT32)
{
    if (outStream == nullptr)
        return E_POINTER;
    ISequentialOutStream* self = this;
    self->AddRef();
    *outStream = self;
    return S_OK;
}

HRESULT TExtractCallback::PrepareOperation(INT32)
{
    return S_OK;
}

HRESULT TExtractCallback::SetOperationResult(INT32 result)
{
    operationResult_ = result;
    return S_OK;
}

} // namespace kv
