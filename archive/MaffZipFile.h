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

class TMaffZipFile {
public:
    // Opens the archive and reads every item's path; raises on any failure.
    explicit TMaffZipFile(const std::wstring& archiveFileName);
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

    // A new stream at position 0 holding item index's bytes; raises on failure, including a
    // damaged item and an item larger than MaxExtractedItemSize.
    Microsoft::WRL::ComPtr<MemoryStream> ExtractItem(int index);

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
