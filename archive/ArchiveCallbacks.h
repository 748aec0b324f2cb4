// The callbacks the archive reader hands to the library while it opens an archive and while it
// extracts one item. Neither lets an exception reach the library.
#pragma once

#include "archive/Cancellation.h"
#include "archive/orv7z.h"
#include "shell/InterfacedObject.h"
#include "shell/MemoryStream.h"

#include <wrl/client.h>

#include <cstdint>

namespace kv {

// Accepts the library's progress reports while an archive opens, and stops the open (E_ABORT)
// when the archive declares more items than maxItems: reading every name of millions of items
// costs the host's thread seconds and hundreds of MiB.
class TOpenCallback final : public TorvImplements<TOpenCallback, TorvInterfacedObject,
                                                  IArchiveOpenCallback> {
public:
    explicit TOpenCallback(uint64_t maxItems) : maxItems_(maxItems) {}
    static const TorvInterfaceTable& ClassInterfaces() noexcept;

    // The item count the archive declared when it was refused for it, else 0.
    uint64_t RefusedItemCount() const noexcept { return refusedItemCount_; }

    HRESULT STDMETHODCALLTYPE SetTotal(const UINT64* files, const UINT64* bytes) override;
    HRESULT STDMETHODCALLTYPE SetCompleted(const UINT64* files, const UINT64* bytes) override;

private:
    ~TOpenCallback() override = default;
    uint64_t maxItems_;
    uint64_t refusedItemCount_ = 0;
};

// Receives one item's bytes into a memory stream, and the library's verdict on them. Refuses
// (E_ABORT) a write that would take the stream past maxSize, whatever the item declared, and
// stops the extraction (E_ABORT) once its cancellation, when given, is set.
class TExtractCallback final
    : public TorvImplements<TExtractCallback, TorvInterfacedObject, ISequentialOutStream,
                            IArchiveExtractCallback> {
public:
    TExtractCallback(Microsoft::WRL::ComPtr<MemoryStream> stream, uint64_t maxSize,
                     const TCancellation* cancellation = nullptr);
    static const TorvInterfaceTable& ClassInterfaces() noexcept;

    // Whether the extraction stopped because it was cancelled.
    bool Cancelled() const noexcept { return cancelled_; }
    // The last result passed to SetOperationResult; kExtractOK until then.
    int32_t OperationResult() const noexcept { return operationResult_; }
    // True once a write was refused for exceeding the size limit.
    bool SizeLimitExceeded() const noexcept { return sizeLimitExceeded_; }
    // True once the bytes could not be stored for want of memory.
    bool OutOfMemory() const noexcept { return outOfMemory_; }

    // ISequentialOutStream
    HRESULT STDMETHODCALLTYPE Write(const void* data, UINT32 size, UINT32* processed) override;
    // IProgress
    HRESULT STDMETHODCALLTYPE SetTotal(UINT64 total) override;
    HRESULT STDMETHODCALLTYPE SetCompleted(const UINT64* completed) override;
    // IArchiveExtractCallback
    HRESULT STDMETHODCALLTYPE GetStream(UINT32 index, ISequentialOutStream** outStream,
                                        INT32 askExtractMode) override;
    HRESULT STDMETHODCALLTYPE PrepareOperation(INT32 askExtractMode) override;
    HRESULT STDMETHODCALLTYPE SetOperationResult(INT32 result) override;

private:
    ~TExtractCallback() override = default;

    Microsoft::WRL::ComPtr<MemoryStream> stream_;
    uint64_t maxSize_;
    int32_t operationResult_ = kExtractOK;
    const TCancellation* cancellation_;
    bool sizeLimitExceeded_ = false;
    bool cancelled_ = false;
    bool outOfMemory_ = false;
};

} // namespace kv
