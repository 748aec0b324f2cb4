#include "archive/ItemBatch.h"

#include "shell/Exceptions.h"
#include "shell/InterfacedObject.h"

#include <optional>
#include <utility>

namespace kv {

using Microsoft::WRL::ComPtr;

namespace {

constexpr size_t None = static_cast<size_t>(-1);

struct BatchItem {
    UINT32 index = 0;
    ComPtr<MemoryStream> bytes;
    bool done = false;  // the library's verdict was good and the bytes stayed within the limit
};

// Receives the items of one Extract call, each into a stream of its own. A write past the limit
// ends the call (E_ABORT), as it ends ExtractItem's: an item must not keep the library unpacking
// what would be thrown away; the caller resumes after it.
class TBatchExtractCallback final
    : public TorvImplements<TBatchExtractCallback, TorvInterfacedObject, ISequentialOutStream,
                            IArchiveExtractCallback> {
public:
    TBatchExtractCallback(std::vector<BatchItem>& items, size_t first, uint64_t maxSize)
        : items_(items), next_(first), maxSize_(maxSize)
    {
    }
    static const TorvInterfaceTable& ClassInterfaces() noexcept
    {
        using T = TBatchExtractCallback;
        static constexpr TorvInterfaceEntry entries[] = {
            InterfaceEntry<T, ISequentialOutStream>(IID_ISequentialOutStream),
            InterfaceEntry<T, IArchiveExtractCallback>(IID_IArchiveExtractCallback),
        };
        static constexpr TorvInterfaceTable table = MakeInterfaceTable<TorvInterfacedObject>(entries);
        return table;
    }

    // The position of the last item the library began to extract; None before the first.
    size_t LastStarted() const noexcept { return started_; }

    HRESULT STDMETHODCALLTYPE Write(const void* data, UINT32 size, UINT32* processed) override
    {
        if (processed != nullptr)
            *processed = 0;
        if (size == 0)
            return S_OK;
        if (data == nullptr || current_ == None)
            return E_INVALIDARG;
        MemoryStream& stream = *items_[current_].bytes.Get();
        if (stream.Size() > maxSize_ || size > maxSize_ - stream.Size())
            return E_ABORT;
        try {
            stream.Append(data, size);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        if (processed != nullptr)
            *processed = size;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetTotal(UINT64) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetCompleted(const UINT64*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetStream(UINT32 index, ISequentialOutStream** outStream,
                                        INT32 askExtractMode) override
    {
        if (outStream == nullptr)
            return E_POINTER;
        *outStream = nullptr;
        current_ = None;
        if (askExtractMode != 0)
            return S_OK;  // only extraction is asked for; nothing to keep otherwise
        // Items arrive in the order asked for.
        while (next_ < items_.size() && items_[next_].index != index)
            ++next_;
        if (next_ == items_.size())
            return S_OK;
        try {
            items_[next_].bytes = MemoryStream::Create();
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        current_ = started_ = next_++;
        ISequentialOutStream* self = this;
        self->AddRef();
        *outStream = self;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PrepareOperation(INT32) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetOperationResult(INT32 result) override
    {
        if (current_ != None)
            items_[current_].done = result == kExtractOK;
        current_ = None;
        return S_OK;
    }

private:
    ~TBatchExtractCallback() override = default;

    std::vector<BatchItem>& items_;
    size_t next_;
    size_t current_ = None;
    size_t started_ = None;
    uint64_t maxSize_;
};

// Whether ExtractItem would refuse the item before unpacking it; its size to reckon with.
bool Refused(const TMaffZipFile& reader, int index, uint64_t maxSize, uint64_t& weight)
{
    const std::optional<uint64_t> declared = reader.DeclaredSize(index);
    if (declared && *declared > maxSize)
        return true;
    weight = declared.value_or(maxSize);
    return !DecoderMemoryIsBounded(reader.ItemMethod(index));
}

// Extracts the items, resuming after any item that ends a call early, until every item has
// had its one attempt.
void ExtractBatch(TMaffZipFile& reader, std::vector<BatchItem>& items, uint64_t maxSize)
{
    size_t from = 0;
    while (from < items.size()) {
        std::vector<UINT32> indices;
        indices.reserve(items.size() - from);
        for (size_t i = from; i < items.size(); ++i)
            indices.push_back(items[i].index);
        const auto callback = MakeInterfaced<TBatchExtractCallback>(items, from, maxSize);
        const HRESULT result = reader.ExtractInto(indices, callback.Get());
        const size_t last = callback->LastStarted();
        if (last == None || last < from) {
            // The call failed before the first item: that item alone is given up.
            ++from;
            continue;
        }
        // An item the call ended in the middle of has no verdict, so it is not done.
        if (SUCCEEDED(result) && last + 1 == items.size())
            break;
        from = last + 1;
    }
}

} // namespace

void ExtractSmallItems(TMaffZipFile& reader, const std::vector<int>& indices, uint64_t maxSize,
                       const ItemBatchSink& sink)
{
    size_t next = 0;
    while (next < indices.size()) {
        // The next run of indices, and among them the items to extract.
        std::vector<BatchItem> items;
        std::vector<size_t> itemOf;  // per index of the run: its place in items, or None
        uint64_t bytes = 0;
        size_t end = next;
        for (; end < indices.size(); ++end) {
            uint64_t weight = 0;
            bool refused = true;
            try {
                refused = Refused(reader, indices[end], maxSize, weight);
            } catch (const EOutOfMemory&) {
                throw;
            } catch (const Exception&) {
                // An item whose properties cannot be read is not extracted either.
            }
            if (!refused) {
                if (!items.empty() && (items.size() == ItemBatchItems || bytes >= ItemBatchBytes ||
                                       weight > ItemBatchBytes - bytes))
                    break;
                bytes += weight;
                BatchItem item;
                item.index = static_cast<UINT32>(indices[end]);
                items.push_back(std::move(item));
            }
            itemOf.push_back(refused ? None : items.size() - 1);
        }
        ExtractBatch(reader, items, maxSize);
        for (size_t i = next; i < end; ++i) {
            ComPtr<MemoryStream> stream;
            if (const size_t place = itemOf[i - next]; place != None && items[place].done) {
                stream = std::move(items[place].bytes);
                stream->SetPosition(0);
            }
            sink(indices[i], std::move(stream));
        }
        next = end;
    }
}

} // namespace kv
