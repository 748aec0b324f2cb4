// Bounds on what requests for archive items hold in the host's process: one extraction of an
// item at a time, shared by every request for it (whatever its query or fragment), and a limit
// on the bytes that the items held by live requests take together.
#pragma once

#include "archive/Cancellation.h"
#include "shell/MemoryStream.h"
#include "shell/Stream.h"

#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace kv {

// The most bytes the items held by live requests take together: generous, and smaller in a
// 32-bit host, whose address space the file manager needs for itself.
inline constexpr uint64_t MaxHeldItemBytes =
    sizeof(void*) == 8 ? uint64_t{1024} * 1024 * 1024 : uint64_t{384} * 1024 * 1024;
// How long a request waits for room under that limit before it fails.
inline constexpr unsigned long HeldItemBytesWaitMs = 30000;

// The bytes of one extracted item, counted against MaxHeldItemBytes while anyone holds them.
class TItemBytes {
public:
    TItemBytes(Microsoft::WRL::ComPtr<MemoryStream> data, uint64_t counted) noexcept
        : data_(std::move(data)), counted_(counted)
    {
    }
    ~TItemBytes();
    TItemBytes(const TItemBytes&) = delete;
    TItemBytes& operator=(const TItemBytes&) = delete;
    const MemoryStream& Data() const noexcept { return *data_.Get(); }

private:
    Microsoft::WRL::ComPtr<MemoryStream> data_;
    uint64_t counted_;
};

// A read-only stream over shared item bytes, with a position of its own.
std::unique_ptr<TorvStream> OpenItemBytes(std::shared_ptr<const TItemBytes> bytes);

// The bytes of the item that (key, index) names. The first request for it extracts it (extract,
// after room for reserve bytes is found under the limit); a request for an item being extracted
// waits for that extraction and shares its bytes, unless mayWait is false (the client's thread),
// when it extracts on its own. A set cancellation ends any wait with an E_ABORT error.
std::shared_ptr<const TItemBytes> ShareItemExtraction(
    const void* key, int index, uint64_t reserve, const TCancellation* cancellation, bool mayWait,
    const std::function<Microsoft::WRL::ComPtr<MemoryStream>()>& extract);

// Whether an extraction of the item is under way.
bool IsItemBeingExtracted(const void* key, int index);
// The bytes counted against MaxHeldItemBytes now.
uint64_t HeldItemBytes() noexcept;

} // namespace kv
