#include "shell/ShellStream.h"

#include "shell/Exceptions.h"
#include "shell/ShellApi.h"
#include "shell/StreamCopy.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace kv {
namespace {

constexpr ULONG MaxPiece = 0x7FFFFFFF;

// Pieces below 2^31 bytes; stops at the first piece that is not whole.
template <typename Byte, typename Transfer>
HRESULT TransferInPieces(Byte* buffer, ULONG count, ULONG& done, Transfer transfer)
{
    done = 0;
    while (count > MaxPiece) {
        ULONG piece = 0;
        const HRESULT r = transfer(buffer, MaxPiece, piece);
        if (piece > MaxPiece)
            return E_FAIL;
        done += piece;
        if (r != S_OK || piece < MaxPiece)
            return r;
        buffer += MaxPiece;
        count -= MaxPiece;
    }
    ULONG piece = 0;
    const HRESULT r = transfer(buffer, count, piece);
    if (piece > count)
        return E_FAIL;
    done += piece;
    return r;
}

} // namespace

const TorvInterfaceTable& TorvShellStream::ClassInterfaces() noexcept
{
    using T = TorvShellStream;
    // IStream comes first: it is the object's IUnknown, whatever SupportsAsync says.
    static constexpr TorvInterfaceEntry entries[] = {
        InterfaceEntry<T, IStream, IStreamAsync>(IID_IStream),
        InterfaceEntry<T, ISequentialStream, IStreamAsync>(IID_ISequentialStream),
        {&IID_IStreamAsync, [](TorvInterfacedObject* self) noexcept -> IUnknown* {
             auto* stream = static_cast<T*>(self);
             return stream->SupportsAsync() ? static_cast<IStreamAsync*>(stream) : nullptr;
         }},
    };
    static constexpr TorvInterfaceTable table = MakeInterfaceTable<TorvShellInterfacedObject>(entries);
    return table;
}

HRESULT TorvShellStream::Read(void* pv, ULONG cb, ULONG* pcbRead)
{
    return ComMethod([&] {
        if (pcbRead != nullptr)
            *pcbRead = 0;
        CheckPointer(pv);
        ULONG read = 0;
        const HRESULT r = DoReadBuffer(pv, cb, read);
        if (pcbRead != nullptr)
            *pcbRead = read;
        return r;
    });
}

HRESULT TorvShellStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten)
{
    return ComMethod([&] {
        if (pcbWritten != nullptr)
            *pcbWritten = 0;
        CheckPointer(pv);
        ULONG written = 0;
        const HRESULT r = DoWriteBuffer(pv, cb, written);
        if (pcbWritten != nullptr)
            *pcbWritten = written;
        return r;
    });
}

HRESULT TorvShellStream::Seek(LARGE_INTEGER offset, DWORD origin, ULARGE_INTEGER* newPosition)
{
    return ComMethod([&] {
        if (origin > STREAM_SEEK_END)
            return STG_E_INVALIDFUNCTION;
        uint64_t position = 0;
        const HRESULT r = DoSeek(offset.QuadPart, origin, position);
        if (SUCCEEDED(r) && newPosition != nullptr)
            newPosition->QuadPart = position;
        return r;
    });
}

HRESULT TorvShellStream::SetSize(ULARGE_INTEGER newSize)
{
    return ComMethod([&] { return DoSetSize(newSize.QuadPart); });
}

HRESULT TorvShellStream::CopyTo(IStream* destination, ULARGE_INTEGER cb, ULARGE_INTEGER* readTotal,
                                ULARGE_INTEGER* writtenTotal)
{
    return ComMethod([&] {
        if (readTotal != nullptr)
            readTotal->QuadPart = 0;
        if (writtenTotal != nullptr)
            writtenTotal->QuadPart = 0;
        CheckPointer(destination);
        uint64_t read = 0;
        uint64_t written = 0;
        const HRESULT r = DoCopyTo(destination, cb.QuadPart, read, written);
        if (readTotal != nullptr)
            readTotal->QuadPart = read;
        if (writtenTotal != nullptr)
            writtenTotal->QuadPart = written;
        return r;
    });
}

HRESULT TorvShellStream::Commit(DWORD flags)
{
    return ComMethod([&] { return DoCommit(flags); });
}

HRESULT TorvShellStream::Revert()
{
    return ComMethod([&] { return DoRevert(); });
}

HRESULT TorvShellStream::LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD lockType)
{
    return ComMethod([&] { return DoLockRegion(offset.QuadPart, cb.QuadPart, lockType); });
}

HRESULT TorvShellStream::UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD lockType)
{
    return ComMethod([&] { return DoUnlockRegion(offset.QuadPart, cb.QuadPart, lockType); });
}

HRESULT TorvShellStream::Stat(STATSTG* stat, DWORD flag)
{
    return ComMethod([&] {
        CheckPointer(stat);
        *stat = STATSTG{};
        if (flag != STATFLAG_DEFAULT && flag != STATFLAG_NONAME)
            return STG_E_INVALIDFLAG;
        const HRESULT r = DoStat(*stat, flag);
        // A failed Stat hands out nothing the caller would have to free.
        if (FAILED(r)) {
            CoTaskMemFree(stat->pwcsName);
            *stat = STATSTG{};
        }
        return r;
    });
}

HRESULT TorvShellStream::Clone(IStream** stream)
{
    return ComMethod([&] {
        CheckPointer(stream);
        *stream = nullptr;
        return DoClone(stream);
    });
}

HRESULT TorvShellStream::ReadAsync(void* pv, DWORD cb, DWORD* pcbRead, OVERLAPPED* overlapped)
{
    return ComMethod([&] {
        if (pcbRead != nullptr)
            *pcbRead = 0;
        CheckPointer(pv);
        CheckPointer(overlapped);
        DWORD read = 0;
        const HRESULT r = DoReadAsync(pv, cb, read, overlapped);
        if (pcbRead != nullptr)
            *pcbRead = read;
        return r;
    });
}

HRESULT TorvShellStream::WriteAsync(const void* pv, DWORD cb, DWORD* pcbWritten, OVERLAPPED* overlapped)
{
    return ComMethod([&] {
        if (pcbWritten != nullptr)
            *pcbWritten = 0;
        CheckPointer(pv);
        CheckPointer(overlapped);
        DWORD written = 0;
        const HRESULT r = DoWriteAsync(pv, cb, written, overlapped);
        if (pcbWritten != nullptr)
            *pcbWritten = written;
        return r;
    });
}

HRESULT TorvShellStream::OverlappedResult(OVERLAPPED* overlapped, DWORD* transferred, BOOL wait)
{
    return ComMethod([&] {
        CheckPointer(overlapped);
        DWORD count = 0;
        const HRESULT r = DoOverlappedResult(overlapped, count, wait);
        if (transferred != nullptr)
            *transferred = count;
        return r;
    });
}

HRESULT TorvShellStream::CancelIo()
{
    return ComMethod([&] { return DoCancelIo(); });
}

HRESULT TorvShellStream::DoRead(void*, ULONG, ULONG& read)
{
    read = 0;
    return E_NOTIMPL;
}

HRESULT TorvShellStream::DoReadBuffer(void* buffer, ULONG count, ULONG& read)
{
    return TransferInPieces(static_cast<uint8_t*>(buffer), count, read,
                            [this](uint8_t* at, ULONG n, ULONG& done) { return DoRead(at, n, done); });
}

HRESULT TorvShellStream::DoWrite(const void*, ULONG, ULONG& written)
{
    written = 0;
    return E_NOTIMPL;
}

HRESULT TorvShellStream::DoWriteBuffer(const void* buffer, ULONG count, ULONG& written)
{
    return TransferInPieces(static_cast<const uint8_t*>(buffer), count, written,
                            [this](const uint8_t* at, ULONG n, ULONG& done) { return DoWrite(at, n, done); });
}

HRESULT TorvShellStream::DoSeek(int64_t, DWORD, uint64_t&)
{
    return E_NOTIMPL;
}

HRESULT TorvShellStream::DoSetSize(uint64_t)
{
    return E_NOTIMPL;
}

HRESULT TorvShellStream::DoCopyTo(IStream* destination, uint64_t count, uint64_t& readTotal,
                                  uint64_t& writtenTotal)
{
    readTotal = 0;
    writtenTotal = 0;
    // S_FALSE from a read is a short piece, not an error: the next read tells whether the end
    // came.
    return CopyInChunks([&](void* buffer, ULONG asked,
                            ULONG& got) { return DoReadBuffer(buffer, asked, got); },
                        *destination, count, readTotal, writtenTotal, true);
}

HRESULT TorvShellStream::DoCommit(DWORD)
{
    return S_OK;
}

HRESULT TorvShellStream::DoRevert()
{
    return STG_E_REVERTED;
}

HRESULT TorvShellStream::DoLockRegion(uint64_t, uint64_t, DWORD)
{
    return E_NOTIMPL;
}

HRESULT TorvShellStream::DoUnlockRegion(uint64_t, uint64_t, DWORD)
{
    return E_NOTIMPL;
}

HRESULT TorvShellStream::DoStat(STATSTG&, DWORD)
{
    return E_NOTIMPL;
}

HRESULT TorvShellStream::DoClone(IStream**)
{
    return E_NOTIMPL;
}

HRESULT TorvShellStream::DoReadAsync(void*, DWORD, DWORD& read, OVERLAPPED*)
{
    read = 0;
    return E_NOTIMPL;
}

HRESULT TorvShellStream::DoWriteAsync(const void*, DWORD, DWORD& written, OVERLAPPED*)
{
    written = 0;
    return E_NOTIMPL;
}

HRESULT TorvShellStream::DoOverlappedResult(OVERLAPPED*, DWORD& transferred, BOOL)
{
    transferred = 0;
    return E_NOTIMPL;
}

HRESULT TorvShellStream::DoCancelIo()
{
    return E_NOTIMPL;
}

// --- TorvStreamAdapter ---

namespace {

bool CanRead(DWORD mode) noexcept
{
    const DWORD access = mode & 0x000F;
    return access == STGM_READ || access == STGM_READWRITE;
}

bool CanWrite(DWORD mode) noexcept
{
    const DWORD access = mode & 0x000F;
    return access == STGM_WRITE || access == STGM_READWRITE;
}

} // namespace

TorvStreamAdapter::TorvStreamAdapter(const std::wstring& fileName, DWORD mode)
    : TorvStreamAdapter(OpenFileStream(fileName, mode), fileName, mode)
{
}

TorvStreamAdapter::TorvStreamAdapter(std::unique_ptr<TorvFileStream> stream, const std::wstring& fileName,
                                     DWORD mode)
    : TorvShellStream(static_cast<uint64_t>(stream->GetSize())), fileStream_(std::move(stream)),
      fileName_(fileName), mode_(mode)
{
}

void TorvStreamAdapter::SetFileTimes(const FILETIME& lastWrite, const FILETIME& creation,
                                     const FILETIME& lastAccess) noexcept
{
    lastWrite_ = lastWrite;
    creation_ = creation;
    lastAccess_ = lastAccess;
}

HRESULT TorvStreamAdapter::DoRead(void* buffer, ULONG count, ULONG& read)
{
    read = 0;
    if (!CanRead(mode_))
        throw EAccessDenied();
    read = fileStream_->Read(buffer, count);
    return read == count ? S_OK : S_FALSE;
}

HRESULT TorvStreamAdapter::DoWrite(const void* buffer, ULONG count, ULONG& written)
{
    written = 0;
    if (!CanWrite(mode_))
        throw EAccessDenied();
    written = fileStream_->Write(buffer, count);
    return written == count ? S_OK : S_FALSE;
}

HRESULT TorvStreamAdapter::DoSeek(int64_t offset, DWORD origin, uint64_t& newPosition)
{
    newPosition = static_cast<uint64_t>(fileStream_->Seek(offset, origin));
    return S_OK;
}

HRESULT TorvStreamAdapter::DoSetSize(uint64_t newSize)
{
    if (!CanWrite(mode_))
        throw EAccessDenied();
    CheckArgument(newSize <= static_cast<uint64_t>(INT64_MAX));
    const int64_t position = fileStream_->Position();
    // The position never stays beyond the end, whether or not the size changed.
    auto putBack = [&] { fileStream_->SetPosition(std::min(position, fileStream_->GetSize())); };
    try {
        fileStream_->SetSize(static_cast<int64_t>(newSize));
    } catch (...) {
        putBack();
        throw;
    }
    putBack();
    return static_cast<uint64_t>(fileStream_->GetSize()) == newSize ? S_OK : E_FAIL;
}

HRESULT TorvStreamAdapter::DoStat(STATSTG& stat, DWORD flag)
{
    stat.type = STGTY_STREAM;
    stat.cbSize.QuadPart = static_cast<uint64_t>(fileStream_->GetSize());
    stat.grfMode = mode_ & 0x000F;
    stat.grfLocksSupported = LOCK_WRITE;
    if (queryFileTimes_) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(fileName_.c_str(), GetFileExInfoStandard, &data)) {
            stat.mtime = data.ftLastWriteTime;
            stat.ctime = data.ftCreationTime;
            stat.atime = data.ftLastAccessTime;
        }
    } else {
        stat.mtime = lastWrite_;
        stat.ctime = creation_;
        stat.atime = lastAccess_;
    }
    if (flag == STATFLAG_DEFAULT) {
        const size_t slash = fileName_.find_last_of(L"\\/");
        const std::wstring name = slash == std::wstring::npos ? fileName_ : fileName_.substr(slash + 1);
        const size_t bytes = (name.size() + 1) * sizeof(wchar_t);
        auto* block = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
        if (block == nullptr)
            throw EOutOfMemory();
        std::memcpy(block, name.c_str(), bytes);
        stat.pwcsName = block;
    }
    return S_OK;
}

// --- TorvFileStreamAdapter ---

const TorvInterfaceTable& TorvFileStreamAdapter::ClassInterfaces() noexcept
{
    using T = TorvFileStreamAdapter;
    static constexpr TorvInterfaceEntry entries[] = {
        InterfaceEntry<T, IFileHandle>(IID_IFileHandle),
    };
    static constexpr TorvInterfaceTable table = MakeInterfaceTable<TorvShellStream>(entries);
    return table;
}

HRESULT TorvFileStreamAdapter::GetFileHandle(HANDLE* handle)
{
    return ComMethod([&] {
        CheckPointer(handle);
        *handle = FileStream().Handle();
        return S_OK;
    });
}

} // namespace kv
