// A growable in-memory byte stream that is also an OLE IStream (reference counted, atomic).
#pragma once

#include <windows.h>
#include <objidl.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace kv {

class MemoryStream final : public IStream {
public:
    static Microsoft::WRL::ComPtr<MemoryStream> Create();

    // Appends bytes at the end; raises EOutOfMemory when the stream cannot grow.
    void Append(const void* data, size_t size);
    const std::vector<uint8_t>& Data() const noexcept { return data_; }
    uint64_t Size() const noexcept { return data_.size(); }
    uint64_t Position() const noexcept { return position_; }
    void SetPosition(uint64_t position) noexcept { position_ = position; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // ISequentialStream
    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    // IStream
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER newSize) override;
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                                     ULARGE_INTEGER* written) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) override;
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) override;
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream** stream) override;

private:
    MemoryStream() = default;
    ~MemoryStream() = default;

    std::atomic<ULONG> refCount_{0};  // Create takes the first reference
    std::vector<uint8_t> data_;
    uint64_t position_ = 0;
};

} // namespace kv
