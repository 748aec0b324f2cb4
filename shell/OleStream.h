// The plug-in's stream over an OLE IStream. A source that cannot tell its size (an unseekable
// pipe-like stream) is read into memory once, so that Size, Seek and repeated reads work.
#pragma once

#include "shell/MemoryStream.h"
#include "shell/Stream.h"

#include <objidl.h>
#include <wrl/client.h>

#include <memory>

namespace kv {

class TorvOleStream : public TorvStream {
public:
    // Bytes per read while buffering an unsized source.
    static constexpr uint32_t BufferBlockSize = 61440;

    // knownSize: the size the creator vouches for, negative for none. buffer: copy an unsized
    // source into memory. Raises EInvalidPointer for a null source.
    TorvOleStream(IStream* source, int64_t knownSize, bool buffer);

    uint32_t Read(void* buffer, uint32_t count) override;
    uint32_t Write(const void* buffer, uint32_t count) override;
    int64_t Seek(int64_t offset, DWORD origin) override;
    int64_t GetSize() override;

    IStream* Source() const noexcept { return source_.Get(); }
    int64_t KnownSize() const noexcept { return knownSize_; }
    // True when the operations are served from the in-memory copy.
    bool IsBuffered() const noexcept { return buffer_ != nullptr; }

private:
    void CopyToBuffer();
    IStream* Target() const noexcept;

    Microsoft::WRL::ComPtr<IStream> source_;
    int64_t knownSize_;
    Microsoft::WRL::ComPtr<MemoryStream> buffer_;
    // Set when buffering consumed part of a source that cannot be rewound: the rest alone
    // would be silently wrong, so every operation fails with this instead.
    HRESULT broken_ = S_OK;
};

// A buffering TorvOleStream with no known size over the stream; it holds its own reference.
// The plug-in's stream over an in-memory OLE stream (a memory stream is sized: no copy).
std::unique_ptr<TorvStream> WrapMemoryStream(IStream* memory);
std::unique_ptr<TorvStream> WrapOleStream(IStream* stream);

} // namespace kv
