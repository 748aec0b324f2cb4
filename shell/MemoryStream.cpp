#include "shell/MemoryStream.h"

#include "shell/Exceptions.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

namespace kv {

Microsoft::WRL::ComPtr<MemoryStream> MemoryStream::Create()
{
    // Assignment from a raw pointer takes the first reference.
    Microsoft::WRL::ComPtr<MemoryStream> stream;
    stream = new MemoryStream();
    return stream;
}

void MemoryStream::Append(const void* data, size_t size)
{
    if (size == 0)
        return;
    const auto* bytes = static_cast<const uint8_t*>(data);
    try {
        data_.insert(data_.end(), bytes, bytes + size);
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory();
    } catch (const std::length_error&) {
        throw EOutOfMemory();
    }
}

HRESULT MemoryStream::QueryInterface(REFIID riid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream) ||
        IsEqualIID(riid, IID_IStream)) {
        *object = static_cast<IStream*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG MemoryStream::AddRef()
{
    return ++refCount_;
}

ULONG MemoryStream::Release()
{
    const ULONG count = --refCount_;
    if (count == 0)
        delete this;
    return count;
}

HRESULT MemoryStream::Read(void* pv, ULONG cb, ULONG* pcbRead)
{
    if (pcbRead != nullptr)
        *pcbRead = 0;
    if (cb == 0)
        return S_OK;
    if (pv == nullptr)
        return STG_E_INVALIDPOINTER;
    const uint64_t available = position_ < data_.size() ? data_.size() - position_ : 0;
    const auto count = static_cast<ULONG>(std::min<uint64_t>(cb, available));
    if (count > 0)
        std::memcpy(pv, data_.data() + position_, count);
    position_ += count;
    if (pcbRead != nullptr)
        *pcbRead = count;
    return S_OK;
}

HRESULT MemoryStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten)
{
    try {
        if (pcbWritten != nullptr)
            *pcbWritten = 0;
        if (cb == 0)
            return S_OK;
        if (pv == nullptr)
            return STG_E_INVALIDPOINTER;
        // The position may be anywhere (SetPosition takes any value): test the room left
        // before adding, so the end cannot wrap round to a spot inside the data.
        if (position_ > data_.max_size() || cb > data_.max_size() - position_)
            return STG_E_MEDIUMFULL;
        const uint64_t end = position_ + cb;
        if (end > data_.size())
            data_.resize(static_cast<size_t>(end));
        std::memcpy(data_.data() + position_, pv, cb);
        position_ = end;
        if (pcbWritten != nullptr)
            *pcbWritten = cb;
        return S_OK;
    } catch (...) {
        return STG_E_MEDIUMFULL;
    }
}

HRESULT MemoryStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition)
{
    uint64_t base = 0;
    switch (origin) {
    case STREAM_SEEK_SET: base = 0; break;
    case STREAM_SEEK_CUR: base = position_; break;
    case STREAM_SEEK_END: base = data_.size(); break;
    default: return STG_E_INVALIDFUNCTION;
    }
    // A seek lands within 0 .. 2^63 - 1 or fails and keeps the position; the sum is formed
    // without signed overflow, whatever position SetPosition left.
    const bool backwards = move.QuadPart < 0;
    const uint64_t distance = backwards ? uint64_t{0} - static_cast<uint64_t>(move.QuadPart)
                                        : static_cast<uint64_t>(move.QuadPart);
    if (backwards ? distance > base : distance > UINT64_MAX - base)
        return STG_E_INVALIDFUNCTION;
    const uint64_t target = backwards ? base - distance : base + distance;
    if (target > static_cast<uint64_t>(INT64_MAX))
        return STG_E_INVALIDFUNCTION;
    position_ = target;
    if (newPosition != nullptr)
        newPosition->QuadPart = position_;
    return S_OK;
}

HRESULT MemoryStream::SetSize(ULARGE_INTEGER newSize)
{
    try {
        if (newSize.QuadPart > data_.max_size())
            return STG_E_MEDIUMFULL;
        data_.resize(static_cast<size_t>(newSize.QuadPart));
        return S_OK;
    } catch (...) {
        return STG_E_MEDIUMFULL;
    }
}

HRESULT MemoryStream::CopyTo(IStream* target, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                             ULARGE_INTEGER* written)
{
    if (read != nullptr)
        read->QuadPart = 0;
    if (written != nullptr)
        written->QuadPart = 0;
    if (target == nullptr)
        return STG_E_INVALIDPOINTER;
    const uint64_t available = position_ < data_.size() ? data_.size() - position_ : 0;
    uint64_t remaining = std::min(cb.QuadPart, available);
    // Straight from the vector, in pieces a ULONG can count. The position moves by what the
    // target took, so a failed or short write leaves the rest to be copied again.
    while (remaining > 0) {
        const auto piece = static_cast<ULONG>(std::min<uint64_t>(remaining, 0x40000000));
        ULONG put = 0;
        const HRESULT r = target->Write(data_.data() + position_, piece, &put);
        if (put > piece)
            put = piece;
        position_ += put;
        remaining -= put;
        if (read != nullptr)
            read->QuadPart += put;
        if (written != nullptr)
            written->QuadPart += put;
        if (FAILED(r))
            return r;
        if (put < piece)
            return E_FAIL;
    }
    return S_OK;
}

HRESULT MemoryStream::Commit(DWORD)
{
    return S_OK;
}

HRESULT MemoryStream::Revert()
{
    return S_OK;
}

HRESULT MemoryStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
    return STG_E_INVALIDFUNCTION;
}

HRESULT MemoryStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
    return STG_E_INVALIDFUNCTION;
}

HRESULT MemoryStream::Stat(STATSTG* stat, DWORD)
{
    if (stat == nullptr)
        return STG_E_INVALIDPOINTER;
    *stat = STATSTG{};
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = data_.size();
    stat->grfMode = STGM_READWRITE;
    return S_OK;
}

HRESULT MemoryStream::Clone(IStream** stream)
{
    if (stream == nullptr)
        return STG_E_INVALIDPOINTER;
    *stream = nullptr;
    return E_NOTIMPL;
}

} // namespace kv
