#include "protocol/ItemExtractions.h"

#include "shell/Exceptions.h"
#include "shell/Strings.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace kv {

namespace {

using namespace std::chrono_literals;

// The bytes counted against the limit.
struct HeldBytes {
    std::mutex lock;
    std::condition_variable released;
    uint64_t held = 0;
};

HeldBytes& Held()
{
    static HeldBytes* held = new HeldBytes();  // outlives static destruction
    return *held;
}

// Room for size bytes, waited for while other items fill the limit (one item alone always
// fits). mayWait false: taken at once, beyond the limit if need be (small items only).
uint64_t Reserve(uint64_t size, const TCancellation* cancellation, bool mayWait)
{
    HeldBytes& held = Held();
    std::unique_lock guard(held.lock);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(HeldItemBytesWaitMs);
    while (mayWait && held.held > 0 && held.held + size > MaxHeldItemBytes) {
        if (IsCancelled(cancellation))
            RaiseCancelled();
        if (std::chrono::steady_clock::now() >= deadline) {
            constexpr uint64_t MiB = 1024 * 1024;
            throw EOleSysError(FormatString(L"The items being shown take more than %llu MiB of "
                                            L"memory; try again when other pages have loaded",
                                            MaxHeldItemBytes / MiB),
                               E_OUTOFMEMORY);
        }
        held.released.wait_for(guard, 10ms);
    }
    held.held += size;
    return size;
}

void Release(uint64_t size) noexcept
{
    HeldBytes& held = Held();
    {
        std::lock_guard guard(held.lock);
        held.held -= std::min(size, held.held);
    }
    held.released.notify_all();
}

// Counted bytes not yet handed to a TItemBytes.
class Reservation {
public:
    explicit Reservation(uint64_t size) noexcept : size_(size) {}
    ~Reservation() { Release(size_); }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    uint64_t Take() noexcept { return std::exchange(size_, 0); }

private:
    uint64_t size_;
};

struct Pending {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    std::shared_ptr<const TItemBytes> bytes;
    std::exception_ptr error;
};

struct Extractions {
    std::mutex lock;
    std::map<std::pair<const void*, int>, std::shared_ptr<Pending>> pending;
};

Extractions& Under()
{
    static Extractions* extractions = new Extractions();  // outlives static destruction
    return *extractions;
}

std::shared_ptr<const TItemBytes> ExtractAlone(uint64_t reserve, const TCancellation* cancellation,
                                               bool mayWait,
                                               const std::function<Microsoft::WRL::ComPtr<MemoryStream>()>& extract)
{
    Reservation reservation(Reserve(reserve, cancellation, mayWait));
    Microsoft::WRL::ComPtr<MemoryStream> data = extract();
    return std::make_shared<const TItemBytes>(std::move(data), reservation.Take());
}

class TItemBytesStream final : public TorvStream {
public:
    explicit TItemBytesStream(std::shared_ptr<const TItemBytes> bytes) : bytes_(std::move(bytes)) {}

    uint32_t Read(void* buffer, uint32_t count) override
    {
        const std::vector<uint8_t>& data = bytes_->Data().Data();
        if (position_ >= static_cast<int64_t>(data.size()))
            return 0;
        const auto available = static_cast<uint64_t>(data.size() - static_cast<size_t>(position_));
        const auto read = static_cast<uint32_t>(std::min<uint64_t>(count, available));
        std::memcpy(buffer, data.data() + position_, read);
        position_ += read;
        return read;
    }
    uint32_t Write(const void*, uint32_t) override { throw EOleSysError(STG_E_ACCESSDENIED); }
    int64_t Seek(int64_t offset, DWORD origin) override
    {
        const auto size = static_cast<int64_t>(bytes_->Data().Data().size());
        const int64_t base = origin == STREAM_SEEK_SET ? 0 : origin == STREAM_SEEK_CUR ? position_ : size;
        if (origin > STREAM_SEEK_END || base + offset < 0)
            throw EOleSysError(STG_E_INVALIDFUNCTION);
        position_ = base + offset;
        return position_;
    }
    int64_t GetSize() override { return static_cast<int64_t>(bytes_->Data().Data().size()); }

private:
    std::shared_ptr<const TItemBytes> bytes_;
    int64_t position_ = 0;
};

} // namespace

TItemBytes::~TItemBytes()
{
    Release(counted_);
}

std::unique_ptr<TorvStream> OpenItemBytes(std::shared_ptr<const TItemBytes> bytes)
{
    return std::make_unique<TItemBytesStream>(std::move(bytes));
}

std::shared_ptr<const TItemBytes> ShareItemExtraction(
    const void* key, int index, uint64_t reserve, const TCancellation* cancellation, bool mayWait,
    const std::function<Microsoft::WRL::ComPtr<MemoryStream>()>& extract)
{
    Extractions& extractions = Under();
    for (;;) {
        std::shared_ptr<Pending> pending;
        bool owner = false;
        {
            std::lock_guard guard(extractions.lock);
            std::shared_ptr<Pending>& slot = extractions.pending[{key, index}];
            if (!slot) {
                slot = std::make_shared<Pending>();
                owner = true;
            }
            pending = slot;
        }
        if (!owner && !mayWait)
            return ExtractAlone(reserve, cancellation, mayWait, extract);
        if (owner) {
            std::shared_ptr<const TItemBytes> bytes;
            std::exception_ptr error;
            try {
                bytes = ExtractAlone(reserve, cancellation, mayWait, extract);
            } catch (...) {
                error = std::current_exception();
            }
            {
                std::lock_guard guard(extractions.lock);
                extractions.pending.erase({key, index});
            }
            {
                std::lock_guard guard(pending->lock);
                pending->finished = true;
                pending->bytes = bytes;
                pending->error = error;
            }
            pending->done.notify_all();
            if (error)
                std::rethrow_exception(error);
            return bytes;
        }
        {
            std::unique_lock guard(pending->lock);
            while (!pending->finished) {
                if (IsCancelled(cancellation))
                    RaiseCancelled();
                pending->done.wait_for(guard, 10ms);
            }
        }
        if (pending->bytes)
            return pending->bytes;
        // The request that extracted was cancelled: this one, still wanted, tries itself.
        if (ExceptionToHResult(pending->error) == E_ABORT && !IsCancelled(cancellation))
            continue;
        std::rethrow_exception(pending->error);
    }
}

bool IsItemBeingExtracted(const void* key, int index)
{
    Extractions& extractions = Under();
    std::lock_guard guard(extractions.lock);
    return extractions.pending.count({key, index}) != 0;
}

uint64_t HeldItemBytes() noexcept
{
    HeldBytes& held = Held();
    std::lock_guard guard(held.lock);
    return held.held;
}

} // namespace kv
