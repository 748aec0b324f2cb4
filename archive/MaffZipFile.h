// The archive reader: opens a ".maff" file through the archive library's ZIP handler, lists
// its item paths in archive order and extracts single items into memory.
// A reader is used by one thread and never shared; every user opens its own.
#pragma once

#include "archive/Cancellation.h"
#include "archive/orv7z.h"
#include "shell/MemoryStream.h"

#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kv {

// The largest item the reader holds in memory (inside the host's process).
inline constexpr uint64_t MaxExtractedItemSize = 256ull * 1024 * 1024;
// The most items an archive may hold: far above any saved site, far below what would hold
// the host's thread for seconds while every name is read.
inline constexpr uint64_t MaxArchiveItems = 200000;
// How far into a file the archive may start (after a self-extractor or other prefix); a file
// without an archive is not scanned to its end.
inline constexpr uint64_t MaxArchiveStartOffset = 4ull * 1024 * 1024;
// The most memory an item's decoder may need. Saved pages are stored or deflated; methods
// whose decoders allocate what the item's header asks for (LZMA, PPMd, XZ, ...) are refused.
inline constexpr uint64_t MaxDecoderMemory = 64ull * 1024 * 1024;

// The most memory an archive's item names may take (their characters and the strings that hold
// them): a hostile directory of long names would otherwise take hundreds of MiB of the host's
// memory before a page is shown.
inline constexpr uint64_t MaxItemNameBytes = 64ull * 1024 * 1024;

// An archive's item paths and which of them are folders, read once and shared by every reader
// of the same archive.
struct TItemNames {
    std::vector<std::wstring> Names;
    std::vector<bool> Folders;
};

// Whether the decoders a method text names ("Deflate", "AES-256 Deflate", "LZMA:eos") need
// no more than MaxDecoderMemory.
bool DecoderMemoryIsBounded(const std::wstring& method);

class TMaffZipFile {
public:
    // Opens the archive and reads every item's path; raises on any failure, for an archive of
    // more than maxItems items and for one whose names take more than MaxItemNameBytes. A
    // further reader of an archive takes the names the first one read (names), when the
    // archive holds as many items.
    explicit TMaffZipFile(const std::wstring& archiveFileName, uint64_t maxItems = MaxArchiveItems,
                          std::shared_ptr<const TItemNames> names = nullptr);
    ~TMaffZipFile();
    TMaffZipFile(const TMaffZipFile&) = delete;
    TMaffZipFile& operator=(const TMaffZipFile&) = delete;

    // Item paths exactly as the library reports them, normally with "\" between folders.
    const std::wstring& GetName(int AIndex) const;
    const std::vector<std::wstring>& Names() const noexcept { return list_->Names; }
    int NameCount() const noexcept { return static_cast<int>(list_->Names.size()); }
    const std::shared_ptr<const TItemNames>& SharedNames() const noexcept { return list_; }
    // Whether item index is a folder entry rather than a file.
    bool IsFolder(int index) const;
    // The unpacked size the archive declares for item index; nullopt when it declares none.
    // Nothing is unpacked.
    std::optional<uint64_t> DeclaredSize(int index) const;
    // The bytes item index takes in the archive; nullopt when the archive does not say.
    std::optional<uint64_t> PackedSize(int index) const;

    // The compression method the archive names for item index ("Store", "Deflate", ...).
    std::wstring ItemMethod(int index) const;

    // A new stream at position 0 holding item index's bytes; raises on failure, including a
    // damaged item and an item larger than MaxExtractedItemSize. Once cancellation (when given)
    // is set, the extraction stops within one write and raises an E_ABORT error.
    Microsoft::WRL::ComPtr<MemoryStream> ExtractItem(int index,
                                                     const TCancellation* cancellation = nullptr);

    // One extraction of the items at indices (ascending, each in range) into callback, which
    // receives every item's bytes and the library's verdict; answers the library's result.
    // Applies none of ExtractItem's checks: ExtractSmallItems (ItemBatch.h) does.
    HRESULT ExtractInto(const std::vector<UINT32>& indices, IArchiveExtractCallback* callback);

    // The size limit ExtractItem enforces; MaxExtractedItemSize unless changed.
    uint64_t MaxItemSize() const noexcept { return maxItemSize_; }
    void SetMaxItemSize(uint64_t size) noexcept { maxItemSize_ = size; }

private:
    Microsoft::WRL::ComPtr<IInArchive> archive_;
    std::shared_ptr<const TItemNames> list_;
    uint64_t maxItemSize_ = MaxExtractedItemSize;
};

} // namespace kv
