// The archive reader: opens a ".maff" file through the archive library's ZIP handler, lists
// its item paths in archive order and extracts single items into memory.
// A reader is used by one thread and never shared; every user opens its own.
#pragma once

#include "archive/orv7z.h"
#include "shell/MemoryStream.h"

#include <wrl/client.h>

#include <cstdint>
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

// Whether the decoders a method text names ("Deflate", "AES-256 Deflate", "LZMA:eos") need
// no more than MaxDecoderMemory.
bool DecoderMemoryIsBounded(const std::wstring& method);

class TMaffZipFile {
public:
    // Opens the archive and reads every item's path; raises on any failure, and for an archive
    // of more than maxItems items.
    explicit TMaffZipFile(const std::wstring& archiveFileName, uint64_t maxItems = MaxArchiveItems);
    ~TMaffZipFile();
    TMaffZipFile(const TMaffZipFile&) = delete;
    TMaffZipFile& operator=(const TMaffZipFile&) = delete;

    // Item paths exactly as the library reports them, normally with "\" between folders.
    const std::wstring& GetName(int AIndex) const;
    const std::vector<std::wstring>& Names() const noexcept { return names_; }
    int NameCount() const noexcept { return static_cast<int>(names_.size()); }
    // Whether item index is a folder entry rather than a file.
    bool IsFolder(int index) const;
    // The unpacked size the archive declares for item index; nullopt when it declares none.
    // Nothing is unpacked.
    std::optional<uint64_t> DeclaredSize(int index) const;

    // The compression method the archive names for item index ("Store", "Deflate", ...).
    std::wstring ItemMethod(int index) const;

    // A new stream at position 0 holding item index's bytes; raises on failure, including a
    // damaged item and an item larger than MaxExtractedItemSize.
    Microsoft::WRL::ComPtr<MemoryStream> ExtractItem(int index);

    // One extraction of the items at indices (ascending, each in range) into callback, which
    // receives every item's bytes and the library's verdict; answers the library's result.
    // Applies none of ExtractItem's checks: ExtractSmallItems (ItemBatch.h) does.
    HRESULT ExtractInto(const std::vector<UINT32>& indices, IArchiveExtractCallback* callback);

    // The size limit ExtractItem enforces; MaxExtractedItemSize unless changed.
    uint64_t MaxItemSize() const noexcept { return maxItemSize_; }
    void SetMaxItemSize(uint64_t size) noexcept { maxItemSize_ = size; }

private:
    Microsoft::WRL::ComPtr<IInArchive> archive_;
    std::vector<std::wstring> names_;
    std::vector<bool> folders_;
    uint64_t maxItemSize_ = MaxExtractedItemSize;
};

} // namespace kv
