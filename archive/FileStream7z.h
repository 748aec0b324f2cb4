// The file stream the archive library reads an archive through. One object answers the OLE
// stream interfaces and the library's stream interfaces with one reference count.
#pragma once

#include "shell/InterfacedObject.h"
#include "archive/orv7z.h"
#include "shell/Handles.h"

#include <objidl.h>

#include <cstdint>
#include <string>

namespace kv {

// {58DD9629-3F77-4690-8980-1DB5B7102626}
inline constexpr GUID IID_Iorv7zFileStream = {
    0x58DD9629, 0x3F77, 0x4690, {0x89, 0x80, 0x1D, 0xB5, 0xB7, 0x10, 0x26, 0x26}};

struct Iorv7zFileStream : public IUnknown {
    // The file name the stream was opened with, unchanged; the caller frees it.
    virtual HRESULT STDMETHODCALLTYPE GetFileName(BSTR* name) = 0;
    // Copies the whole file, from its start, to destination through the given buffer; copied
    // (optional) receives the byte count. S_FALSE when destination accepts nothing.
    virtual HRESULT STDMETHODCALLTYPE CopyToStream(ISequentialOutStream* destination, void* buffer,
                                                   UINT32 bufferSize, UINT64* copied) = 0;
    // The same with a buffer of its own (the file size, at most 64 KiB).
    virtual HRESULT STDMETHODCALLTYPE CopyToStream(ISequentialOutStream* destination,
                                                   UINT64* copied) = 0;
};

// Writes all size bytes, repeating short writes. S_FALSE when destination accepts 0 bytes,
// E_FAIL when it claims more than it was given, its own result on failure. written (optional)
// receives the bytes written so far.
HRESULT WriteFully(ISequentialOutStream* destination, const void* data, UINT32 size,
                   UINT32* written) noexcept;

// The library's stream interfaces use the same method names as IStream with other signatures;
// these parts give each of them overriders of its own that forward to the owner's
// implementation, so every vtable is right whatever the integer types are.
template <class Owner>
class TorvInStreamPart : public IInStream {
public:
    HRESULT STDMETHODCALLTYPE Read(void* data, UINT32 size, UINT32* processed) final
    {
        return static_cast<Owner*>(this)->ReadData(data, size, processed);
    }
    HRESULT STDMETHODCALLTYPE Seek(INT64 offset, UINT32 origin, UINT64* position) final
    {
        return static_cast<Owner*>(this)->SeekData(offset, origin, position);
    }
};

template <class Owner>
class TorvOutStreamPart : public IOutStream {
public:
    HRESULT STDMETHODCALLTYPE Write(const void* data, UINT32 size, UINT32* processed) final
    {
        return static_cast<Owner*>(this)->WriteData(data, size, processed);
    }
    HRESULT STDMETHODCALLTYPE Seek(INT64 offset, UINT32 origin, UINT64* position) final
    {
        return static_cast<Owner*>(this)->SeekData(offset, origin, position);
    }
    HRESULT STDMETHODCALLTYPE SetSize(UINT64) final { return E_NOTIMPL; }
};

class Torv7zFileStream;
using Torv7zFileStreamBase =
    TorvImplements<Torv7zFileStream, TorvInterfacedObject, IStream, Iorv7zFileStream,
                   TorvOutStreamPart<Torv7zFileStream>, IStreamGetSize,
                   TorvInStreamPart<Torv7zFileStream>>;

class Torv7zFileStream final : public Torv7zFileStreamBase {
public:
    // Mode is a structured-storage mode word: access STGM_READ, STGM_WRITE or STGM_READWRITE;
    // share none (others may read and write), STGM_SHARE_EXCLUSIVE, _DENY_WRITE, _DENY_READ or
    // _DENY_NONE; create none (open an existing file) or STGM_CREATE. Any other value in one of
    // those fields raises EOleSysError(E_INVALIDARG) before the file is touched; a file that
    // cannot be opened raises the OS error. Create it with MakeInterfaced.
    Torv7zFileStream(std::wstring fileName, DWORD mode);

    static const TorvInterfaceTable& ClassInterfaces() noexcept;

    const std::wstring& FileName() const noexcept { return fileName_; }

    // The implementations behind both families of interfaces. They never raise; failures are
    // HRESULT_FROM_WIN32 of the OS error. Sizes of 0 return S_OK without a file call.
    HRESULT ReadData(void* data, UINT32 size, UINT32* processed) noexcept;
    HRESULT WriteData(const void* data, UINT32 size, UINT32* processed) noexcept;
    HRESULT SeekData(INT64 offset, UINT32 origin, UINT64* position) noexcept;

    // ISequentialStream / IStream
    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* newPosition) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER newSize) override;
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* destination, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                                     ULARGE_INTEGER* written) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb,
                                         DWORD type) override;
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb,
                                           DWORD type) override;
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream** stream) override;

    // Iorv7zFileStream
    HRESULT STDMETHODCALLTYPE GetFileName(BSTR* name) override;
    HRESULT STDMETHODCALLTYPE CopyToStream(ISequentialOutStream* destination, void* buffer,
                                           UINT32 bufferSize, UINT64* copied) override;
    HRESULT STDMETHODCALLTYPE CopyToStream(ISequentialOutStream* destination,
                                           UINT64* copied) override;

    // IStreamGetSize: the file size; the position stays where it was.
    HRESULT STDMETHODCALLTYPE GetSize(UINT64* size) override;

private:
    ~Torv7zFileStream() override = default;
    uint64_t CopyAll(ISequentialOutStream* destination, void* buffer, UINT32 bufferSize);

    std::wstring fileName_;
    UniqueHandle file_;
};

} // namespace kv
