// The chunked copy behind the plug-in's IStream::CopyTo implementations.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kv {

// The largest piece copied at once.
inline constexpr uint64_t MaxCopyChunk = 1024 * 1024;

// Copies up to count bytes: read(buffer, asked, got) supplies them, the destination takes
// them. Both totals grow with each piece. A read that answers more than it was asked for, a
// destination that takes fewer bytes than it was given or answers S_FALSE ends the copy with
// E_FAIL; a read that gives nothing ends it with S_OK. A read's S_FALSE ends the copy with
// S_FALSE unless shortReadsContinue, when it only means a short piece.
template <typename Read>
HRESULT CopyInChunks(Read read, ISequentialStream& destination, uint64_t count,
                     uint64_t& readTotal, uint64_t& writtenTotal, bool shortReadsContinue)
{
    if (count == 0)
        return S_OK;
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min(count, MaxCopyChunk)));
    while (count > 0) {
        const auto asked = static_cast<ULONG>(std::min<uint64_t>(buffer.size(), count));
        ULONG got = 0;
        HRESULT result = read(buffer.data(), asked, got);
        if (FAILED(result) || (result != S_OK && !shortReadsContinue))
            return result;
        if (got == 0)
            return S_OK;
        if (got > asked)
            return E_FAIL;
        readTotal += got;
        count -= got;
        ULONG put = 0;
        result = destination.Write(buffer.data(), got, &put);
        if (result == S_FALSE)
            return E_FAIL;
        if (FAILED(result))
            return result;
        writtenTotal += std::min(put, got);
        if (put != got)
            return E_FAIL;
    }
    return S_OK;
}

} // namespace kv
