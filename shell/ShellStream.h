// OLE streams of the support library. TorvShellStream checks the arguments of every IStream
// method and forwards to overridable Do* operations, answering exceptions as HRESULTs;
// TorvStreamAdapter and TorvFileStreamAdapter offer a file as an IStream.
#pragma once

#include "shell/FileStream.h"
#include "shell/ShellInterfacedObject.h"
#include "shell/StreamInterfaces.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kv {

class TorvShellStream : public TorvImplements<TorvShellStream, TorvShellInterfacedObject, IStreamAsync> {
public:
    static const TorvInterfaceTable& ClassInterfaces() noexcept;

    bool HasKnownSize() const noexcept { return hasKnownSize_; }
    uint64_t KnownSize() const noexcept { return knownSize_; }

    // ISequentialStream
    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    // IStream
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER offset, DWORD origin, ULARGE_INTEGER* newPosition) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER newSize) override;
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* destination, ULARGE_INTEGER cb, ULARGE_INTEGER* readTotal,
                                     ULARGE_INTEGER* writtenTotal) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD lockType) override;
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD lockType) override;
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flag) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream** stream) override;
    // IStreamAsync: reachable only when SupportsAsync
    HRESULT STDMETHODCALLTYPE ReadAsync(void* pv, DWORD cb, DWORD* pcbRead, OVERLAPPED* overlapped) override;
    HRESULT STDMETHODCALLTYPE WriteAsync(const void* pv, DWORD cb, DWORD* pcbWritten,
                                         OVERLAPPED* overlapped) override;
    HRESULT STDMETHODCALLTYPE OverlappedResult(OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) override;
    HRESULT STDMETHODCALLTYPE CancelIo() override;

protected:
    TorvShellStream() = default;
    explicit TorvShellStream(uint64_t knownSize) : hasKnownSize_(true), knownSize_(knownSize) {}

    // Every operation may raise; the interface method answers the exception as its HRESULT.
    // The counts are set even when the result is a failure.
    virtual HRESULT DoRead(void* buffer, ULONG count, ULONG& read);
    // DoRead in pieces below 2^31 bytes, for implementations that count in signed 32 bits.
    virtual HRESULT DoReadBuffer(void* buffer, ULONG count, ULONG& read);
    virtual HRESULT DoWrite(const void* buffer, ULONG count, ULONG& written);
    virtual HRESULT DoWriteBuffer(const void* buffer, ULONG count, ULONG& written);
    virtual HRESULT DoSeek(int64_t offset, DWORD origin, uint64_t& newPosition);
    virtual HRESULT DoSetSize(uint64_t newSize);
    // Reads with DoReadBuffer and writes to the destination in chunks of at most 1 MiB.
    virtual HRESULT DoCopyTo(IStream* destination, uint64_t count, uint64_t& readTotal,
                             uint64_t& writtenTotal);
    virtual HRESULT DoCommit(DWORD flags);
    virtual HRESULT DoRevert();
    virtual HRESULT DoLockRegion(uint64_t offset, uint64_t count, DWORD lockType);
    virtual HRESULT DoUnlockRegion(uint64_t offset, uint64_t count, DWORD lockType);
    // The structure comes zeroed.
    virtual HRESULT DoStat(STATSTG& stat, DWORD flag);
    virtual HRESULT DoClone(IStream** stream);
    // IStreamAsync is answered only when this says so: a class that implements the Do*Async
    // operations overrides it to answer true, so that callers do not pick an overlapped path
    // that would only say E_NOTIMPL.
    virtual bool SupportsAsync() const noexcept { return false; }
    virtual HRESULT DoReadAsync(void* buffer, DWORD count, DWORD& read, OVERLAPPED* overlapped);
    virtual HRESULT DoWriteAsync(const void* buffer, DWORD count, DWORD& written, OVERLAPPED* overlapped);
    virtual HRESULT DoOverlappedResult(OVERLAPPED* overlapped, DWORD& transferred, BOOL wait);
    virtual HRESULT DoCancelIo();

private:
    bool hasKnownSize_ = false;
    uint64_t knownSize_ = 0;
};

// A file as an IStream, with the mode word of TorvFileStream. Reads and writes are refused
// (E_ACCESSDENIED) unless the mode's access allows them.
class TorvStreamAdapter : public TorvShellStream {
public:
    // Opens the file; raises what TorvFileStream raises.
    TorvStreamAdapter(const std::wstring& fileName, DWORD mode);

    TorvFileStream& FileStream() const noexcept { return *fileStream_; }
    const std::wstring& FileName() const noexcept { return fileName_; }
    DWORD Mode() const noexcept { return mode_; }
    // Stat's times: looked up in the file system (the default), or the stored ones.
    void SetFileTimes(const FILETIME& lastWrite, const FILETIME& creation, const FILETIME& lastAccess) noexcept;
    void SetQueryFileTimes(bool query) noexcept { queryFileTimes_ = query; }

protected:
    HRESULT DoRead(void* buffer, ULONG count, ULONG& read) override;
    HRESULT DoWrite(const void* buffer, ULONG count, ULONG& written) override;
    HRESULT DoSeek(int64_t offset, DWORD origin, uint64_t& newPosition) override;
    HRESULT DoSetSize(uint64_t newSize) override;
    HRESULT DoStat(STATSTG& stat, DWORD flag) override;

private:
    TorvStreamAdapter(std::unique_ptr<TorvFileStream> stream, const std::wstring& fileName, DWORD mode);

    std::unique_ptr<TorvFileStream> fileStream_;
    std::wstring fileName_;
    bool queryFileTimes_ = true;
    DWORD mode_;
    FILETIME lastWrite_{};
    FILETIME creation_{};
    FILETIME lastAccess_{};
};

// The adapter that also hands out the file's OS handle (IFileHandle).
class TorvFileStreamAdapter
    : public TorvImplements<TorvFileStreamAdapter, TorvStreamAdapter, IFileHandle> {
public:
    using TorvImplements::TorvImplements;
    static const TorvInterfaceTable& ClassInterfaces() noexcept;

    // IFileHandle
    HRESULT STDMETHODCALLTYPE GetFileHandle(HANDLE* handle) override;
};

} // namespace kv
