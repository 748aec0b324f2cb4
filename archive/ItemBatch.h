// Small items of one reader unpacked with few calls of the archive library. Every call costs far
// more than a small item's bytes (the ZIP handler sets up its decoders anew each time), and a
// page list reads one description per saved page: a thousand of them on the host's thread.
#pragma once

#include "archive/MaffZipFile.h"
#include "shell/MemoryStream.h"

#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace kv {

// Receives an item: its bytes in a stream at position 0, or null when it could not be had.
using ItemBatchSink = std::function<void(int index, Microsoft::WRL::ComPtr<MemoryStream> bytes)>;

// How much a batch holds at once: the items' declared sizes (maxSize for an item that declares
// none), and their number.
inline constexpr uint64_t ItemBatchBytes = 4 * 1024 * 1024;
inline constexpr size_t ItemBatchItems = 256;

// Extracts the items at indices (ascending, each in range) and hands each to sink once, in the
// order of indices. An item is null when ExtractItem would refuse it under a limit of maxSize
// (declared or unpacking larger, a decoder of unbounded memory, damaged data, any failure of
// the library): one item's failure costs that item alone. Raises what sink raises, and
// EOutOfMemory.
void ExtractSmallItems(TMaffZipFile& reader, const std::vector<int>& indices, uint64_t maxSize,
                       const ItemBatchSink& sink);

} // namespace kv
