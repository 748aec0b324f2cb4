#include "shell/OleStream.h"

#include "shell/OleCheck.h"

#include <algorithm>
#include <vector>

namespace kv {
namespace {

HRESULT SeekTo(IStream* stream, int64_t offset, DWORD origin, uint64_t* position = nullptr)
{
    LARGE_INTEGER move;
    move.QuadPart = offset;
    ULARGE_INTEGER moved{};
    const HRESULT r = stream->Seek(move, origin, &moved);
    if (position != nullptr)
        *position = moved.QuadPart;
    return r;
}

} // namespace

TorvOleStream::TorvOleStream(IStream* source, int64_t knownSize, bool buffer)
    : source_(source), knownSize_(knownSize)
{
    if (!source_)
        throw EInvalidPointer(L"Invalid pointer operation");
    SeekTo(source, 0, STREAM_SEEK_SET);
    if (!buffer)
        return;
    // Neither 0 nor all ones: some streams answer those for "unknown".
    uint64_t end = 0;
    const bool sized = SeekTo(source, 0, STREAM_SEEK_END, &end) == S_OK && end != 0 && end != ~0ull;
    SeekTo(source, 0, STREAM_SEEK_SET);
    if (!sized)
        CopyToBuffer();
}

void TorvOleStream::CopyToBuffer()
{
    auto copy = MemoryStream::Create();
    try {
        std::vector<uint8_t> block(BufferBlockSize);
        uint64_t wanted = knownSize_ > 0 ? static_cast<uint64_t>(knownSize_) : ~0ull;
        // A source may hand out less than asked before its end: read on until it gives nothing.
        while (wanted > 0) {
            const auto asked = static_cast<ULONG>(std::min<uint64_t>(block.size(), wanted));
            ULONG got = 0;
            OleCheck(source_->Read(block.data(), asked, &got));
            if (got == 0)
                break;
            if (got > asked)
                throw EOleSysError(E_FAIL);
            copy->Append(block.data(), got);
            wanted -= got;
        }
    } catch (...) {
        // The copy is dropped and the source read directly; what the copy consumed is only
        // recovered if the source can go back to its start.
        if (FAILED(SeekTo(source_.Get(), 0, STREAM_SEEK_SET)) && copy->Size() > 0) {
            const HRESULT code = ExceptionToHResult(std::current_exception());
            broken_ = FAILED(code) ? code : E_FAIL;
        }
        return;
    }
    copy->SetPosition(0);
    buffer_ = std::move(copy);
}

IStream* TorvOleStream::Target() const noexcept
{
    return buffer_ ? static_cast<IStream*>(buffer_.Get()) : source_.Get();
}

uint32_t TorvOleStream::Read(void* buffer, uint32_t count)
{
    OleCheck(broken_);
    ULONG done = 0;
    OleCheck(Target()->Read(buffer, count, &done));
    return done;
}

uint32_t TorvOleStream::Write(const void* buffer, uint32_t count)
{
    OleCheck(broken_);
    ULONG done = 0;
    OleCheck(Target()->Write(buffer, count, &done));
    return done;
}

int64_t TorvOleStream::Seek(int64_t offset, DWORD origin)
{
    OleCheck(broken_);
    uint64_t position = 0;
    OleCheck(SeekTo(Target(), offset, origin, &position));
    return static_cast<int64_t>(position);
}

int64_t TorvOleStream::GetSize()
{
    if (buffer_)
        return static_cast<int64_t>(buffer_->Size());
    if (knownSize_ >= 0)
        return knownSize_;
    return TorvStream::GetSize();
}

std::unique_ptr<TorvStream> WrapOleStream(IStream* stream)
{
    return std::make_unique<TorvOleStream>(stream, -1, true);
}

std::unique_ptr<TorvStream> WrapMemoryStream(IStream* memory)
{
    return std::make_unique<TorvOleStream>(memory, -1, false);
}

} // namespace kv
