#include "archive/FileStream7z.h"

#include "shell/StreamCopy.h"

#include "archive/ArchiveResult.h"
#include "shell/Exceptions.h"
#include "shell/FileStream.h"

#include <oleauto.h>

#include <algorithm>
#include <vector>

namespace kv {
namespace {

// Any value outside the known ones is refused before the file is touched.
FileOpenParameters DecodeMode(DWORD mode)
{
    FileOpenParameters p;
    if (DecodeFileMode(mode, p) != FileModeField::None)
        throw EOleSysError(E_INVALIDARG);
    return p;
}

// The failure of the file call just made; never a success code, even if the platform forgot
// to set an error.
HRESULT LastErrorResult() noexcept
{
    const DWORD code = GetLastError();
    return code == 0 ? E_FAIL : HResultFromOSError(code);
}

constexpr uint64_t MaxCopyToStreamBuffer = 65536;

} // namespace

HRESULT WriteFully(ISequentialOutStream* destination, const void* data, UINT32 size,
                   UINT32* written) noexcept
{
    if (written != nullptr)
        *written = 0;
    if (destination == nullptr)
        return E_INVALIDARG;
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        UINT32 processed = 0;
        const HRESULT r = destination->Write(bytes, size, &processed);
        if (r != S_OK)
            return r;
        if (processed == 0)
            return S_FALSE;
        if (processed > size)
            return E_FAIL;
        bytes += processed;
        size -= processed;
        if (written != nullptr)
            *written += processed;
    }
    return S_OK;
}

const TorvInterfaceTable& Torv7zFileStream::ClassInterfaces() noexcept
{
    using T = Torv7zFileStream;
    static constexpr TorvInterfaceEntry entries[] = {
        InterfaceEntry<T, IStream>(IID_IStream),
        InterfaceEntry<T, ISequentialStream, IStream>(IID_ISequentialStream),
        InterfaceEntry<T, Iorv7zFileStream>(IID_Iorv7zFileStream),
        InterfaceEntry<T, IOutStream>(IID_IOutStream),
        InterfaceEntry<T, ISequentialOutStream, IOutStream>(IID_ISequentialOutStream),
        InterfaceEntry<T, IStreamGetSize>(IID_IStreamGetSize),
        InterfaceEntry<T, IInStream>(IID_IInStream),
        InterfaceEntry<T, ISequentialInStream, IInStream>(IID_ISequentialInStream),
    };
    static constexpr TorvInterfaceTable table = MakeInterfaceTable<TorvInterfacedObject>(entries);
    return table;
}

Torv7zFileStream::Torv7zFileStream(std::wstring fileName, DWORD mode)
    : fileName_(std::move(fileName))
{
    FileOpenParameters p = DecodeMode(mode);
    // Denying nothing includes renaming and deleting: an archive being read must not keep the
    // user from moving or removing it.
    if ((mode & 0xF0) == STGM_SHARE_DENY_NONE)
        p.Share |= FILE_SHARE_DELETE;
    file_.reset(CreateFileW(fileName_.c_str(), p.Access, p.Share, nullptr, p.Creation,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file_.get() == INVALID_HANDLE_VALUE)
        RaiseLastOSError();
}

namespace {

// Reads and writes share their rules: the count starts at 0, an empty transfer touches no file.
template <typename Buffer, typename Transfer>
HRESULT TransferData(Buffer data, UINT32 size, UINT32* processed, Transfer transfer) noexcept
{
    if (processed != nullptr)
        *processed = 0;
    if (size == 0)
        return S_OK;
    if (data == nullptr)
        return E_POINTER;
    DWORD done = 0;
    if (!transfer(data, size, &done))
        return LastErrorResult();
    if (processed != nullptr)
        *processed = done;
    return S_OK;
}

} // namespace

HRESULT Torv7zFileStream::ReadData(void* data, UINT32 size, UINT32* processed) noexcept
{
    return TransferData(data, size, processed, [this](void* buffer, DWORD count, DWORD* done) {
        return ReadFile(file_.get(), buffer, count, done, nullptr);
    });
}

HRESULT Torv7zFileStream::WriteData(const void* data, UINT32 size, UINT32* processed) noexcept
{
    return TransferData(data, size, processed, [this](const void* buffer, DWORD count, DWORD* done) {
        return WriteFile(file_.get(), buffer, count, done, nullptr);
    });
}

HRESULT Torv7zFileStream::SeekData(INT64 offset, UINT32 origin, UINT64* position) noexcept
{
    if (origin > FILE_END)
        return HResultFromOSError(ERROR_INVALID_PARAMETER);
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER moved{};
    if (!SetFilePointerEx(file_.get(), distance, &moved, origin))
        return LastErrorResult();
    if (position != nullptr)
        *position = static_cast<UINT64>(moved.QuadPart);
    return S_OK;
}

HRESULT Torv7zFileStream::GetSize(UINT64* size)
{
    if (size == nullptr)
        return E_POINTER;
    UINT64 current = 0;
    HRESULT r = SeekData(0, FILE_CURRENT, &current);
    if (FAILED(r))
        return r;
    r = SeekData(0, FILE_END, size);
    SeekData(static_cast<INT64>(current), FILE_BEGIN, nullptr);
    return r;
}

HRESULT Torv7zFileStream::Read(void* pv, ULONG cb, ULONG* pcbRead)
{
    UINT32 done = 0;
    const HRESULT r = ReadData(pv, cb, &done);
    if (pcbRead != nullptr)
        *pcbRead = done;
    return r;
}

HRESULT Torv7zFileStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten)
{
    UINT32 done = 0;
    const HRESULT r = WriteData(pv, cb, &done);
    if (pcbWritten != nullptr)
        *pcbWritten = done;
    return r;
}

HRESULT Torv7zFileStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition)
{
    UINT64 position = 0;
    const HRESULT r = SeekData(move.QuadPart, origin, &position);
    if (SUCCEEDED(r) && newPosition != nullptr)
        newPosition->QuadPart = position;
    return r;
}

HRESULT Torv7zFileStream::SetSize(ULARGE_INTEGER)
{
    return E_NOTIMPL;
}

HRESULT Torv7zFileStream::CopyTo(IStream* destination, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                                 ULARGE_INTEGER* written)
{
    try {
        if (read != nullptr)
            read->QuadPart = 0;
        if (written != nullptr)
            written->QuadPart = 0;
        if (destination == nullptr)
            return E_INVALIDARG;
        uint64_t readTotal = 0;
        uint64_t writtenTotal = 0;
        const HRESULT result = CopyInChunks(
            [&](void* buffer, ULONG asked, ULONG& got) { return Read(buffer, asked, &got); },
            *destination, cb.QuadPart, readTotal, writtenTotal, false);
        if (read != nullptr)
            read->QuadPart = readTotal;
        if (written != nullptr)
            written->QuadPart = writtenTotal;
        return result;
    } catch (...) {
        return ExceptionToComResult();
    }
}

HRESULT Torv7zFileStream::Commit(DWORD)
{
    return S_OK;
}

HRESULT Torv7zFileStream::Revert()
{
    return STG_E_REVERTED;
}

HRESULT Torv7zFileStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
    return E_NOTIMPL;
}

HRESULT Torv7zFileStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
    return E_NOTIMPL;
}

HRESULT Torv7zFileStream::Stat(STATSTG*, DWORD)
{
    return E_NOTIMPL;
}

HRESULT Torv7zFileStream::Clone(IStream** stream)
{
    if (stream != nullptr)
        *stream = nullptr;
    return E_NOTIMPL;
}

HRESULT Torv7zFileStream::GetFileName(BSTR* name)
{
    if (name == nullptr)
        return E_POINTER;
    *name = SysAllocStringLen(fileName_.data(), static_cast<UINT>(fileName_.size()));
    return *name != nullptr ? S_OK : E_OUTOFMEMORY;
}

uint64_t Torv7zFileStream::CopyAll(ISequentialOutStream* destination, void* buffer,
                                   UINT32 bufferSize)
{
    if (destination == nullptr)
        throw EOleSysError(E_INVALIDARG);
    CheckArchiveResult(SeekData(0, FILE_BEGIN, nullptr));
    uint64_t total = 0;
    for (;;) {
        UINT32 count = 0;
        CheckArchiveResult(ReadData(buffer, bufferSize, &count));
        if (count == 0)
            break;
        CheckArchiveResult(WriteFully(destination, buffer, count, nullptr));
        total += count;
    }
    return total;
}

HRESULT Torv7zFileStream::CopyToStream(ISequentialOutStream* destination, void* buffer,
                                       UINT32 bufferSize, UINT64* copied)
{
    try {
        if (copied != nullptr)
            *copied = 0;
        const uint64_t total = CopyAll(destination, buffer, bufferSize);
        if (copied != nullptr)
            *copied = total;
        return S_OK;
    } catch (...) {
        return ExceptionToComResult();
    }
}

HRESULT Torv7zFileStream::CopyToStream(ISequentialOutStream* destination, UINT64* copied)
{
    try {
        if (copied != nullptr)
            *copied = 0;
        UINT64 size = 0;
        CheckArchiveResult(GetSize(&size));
        std::vector<uint8_t> buffer(static_cast<size_t>(std::min(size, MaxCopyToStreamBuffer)));
        const uint64_t total =
            CopyAll(destination, buffer.data(), static_cast<UINT32>(buffer.size()));
        if (copied != nullptr)
            *copied = total;
        return S_OK;
    } catch (...) {
        return ExceptionToComResult();
    }
}

} // namespace kv
