// Archives opened once and shared by every request and viewer of the process. Opening an
// archive reads its whole central directory, which costs more than extracting an item and
// grows with the archive; a page of 200 resources would otherwise open it 200 times.
//
// Each shared archive keeps its item names with an index built once, and a few readers: the
// archive library's objects must not extract on two threads at once, so a reader is lent to one
// thread at a time, and a second reader is opened when a request would otherwise wait behind
// another one's extraction. A request finds its archive by path; the file's identity (size,
// last write, creation) is checked on every lookup, so a file replaced on disk is read
// afresh. Archives unused for a few seconds are closed, so the user can rename, move or delete
// the file without a handle of ours lingering.
#pragma once

#include "archive/MaffZipFile.h"
#include "shell/Handles.h"

#include <windows.h>
#include <wrl/client.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace kv {

// What tells one file apart from another that took its name, or from itself changed.
struct TArchiveIdentity {
    uint64_t Size = 0;
    uint64_t LastWrite = 0;
    uint64_t Created = 0;
    bool operator==(const TArchiveIdentity&) const = default;
};

// The identity of the file at path; raises the OS error when it cannot be opened.
TArchiveIdentity ReadArchiveIdentity(const std::wstring& path);

class TSharedArchive {
public:
    // Readers per archive: enough that a small item need not wait behind a large one.
    static constexpr size_t MaxReaders = 3;

    // Opens the first reader; raises what the reader raises.
    TSharedArchive(std::wstring path, const TArchiveIdentity& identity);
    ~TSharedArchive();
    TSharedArchive(const TSharedArchive&) = delete;
    TSharedArchive& operator=(const TSharedArchive&) = delete;

    const std::wstring& Path() const noexcept { return path_; }
    const TArchiveIdentity& Identity() const noexcept { return identity_; }
    const std::vector<std::wstring>& Names() const noexcept { return *names_; }
    int NameCount() const noexcept { return static_cast<int>(names_->size()); }
    // The index and the sizes are made on the first lookup: listing pages needs neither.
    // The last item whose name equals name exactly (a later item of a name replaces an
    // earlier one), or -1.
    int FindItem(const std::wstring& name) const;
    // The unpacked size the archive declares for an item; the largest value when it declares
    // none.
    uint64_t DeclaredSize(int index) const;
    // Whether item index is a folder entry.
    bool IsFolder(int index) const;
    // Whether a reader could be lent at once.
    bool HasFreeReader();

    // A reader lent to the holder alone until the lease ends.
    class Lease {
    public:
        Lease(Lease&& other) noexcept : owner_(other.owner_), reader_(other.reader_)
        {
            other.owner_ = nullptr;
            other.reader_ = nullptr;
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Lease& operator=(Lease&&) = delete;
        ~Lease();
        TMaffZipFile& Reader() const noexcept { return *reader_; }

    private:
        friend class TSharedArchive;
        Lease(TSharedArchive& owner, TMaffZipFile& reader) : owner_(&owner), reader_(&reader) {}
        TSharedArchive* owner_;
        TMaffZipFile* reader_;
    };
    // Waits while every reader is lent and no further one may be opened.
    Lease Borrow();
    // Extracts item index through a borrowed reader.
    Microsoft::WRL::ComPtr<MemoryStream> ExtractItem(int index);

    // Whether no reader is lent; with the time of the last lease's end.
    bool Idle(std::chrono::steady_clock::time_point& lastUse);
    // The longest a Borrow has waited for a reader so far.
    std::chrono::microseconds LongestWait();

private:
    void Return(TMaffZipFile& reader) noexcept;

    void BuildIndex() const;

    const std::wstring path_;
    const TArchiveIdentity identity_;
    const std::vector<std::wstring>* names_ = nullptr;  // the first reader's: it lives as long
    mutable std::once_flag indexed_;
    mutable std::unordered_map<std::wstring, int> index_;
    mutable std::vector<uint64_t> sizes_;
    mutable std::vector<bool> folders_;

    SrwLock lock_;
    std::condition_variable_any returned_;
    std::vector<std::unique_ptr<TMaffZipFile>> readers_;
    std::vector<TMaffZipFile*> free_;
    size_t opening_ = 0;  // readers being opened outside the lock
    size_t lent_ = 0;
    std::chrono::steady_clock::time_point lastUse_;
    std::chrono::microseconds longestWait_{0};
};

// The shared archive of the file at path, opened now or earlier; raises when the file cannot
// be found or opened.
std::shared_ptr<TSharedArchive> OpenSharedArchive(const std::wstring& path);
// The shared archive of the file at path when one is open and the file unchanged; else none,
// without opening anything. Never raises.
std::shared_ptr<TSharedArchive> FindSharedArchive(const std::wstring& path) noexcept;

// How long an archive may stay unused before it is closed.
inline constexpr std::chrono::milliseconds ArchiveIdleTime{3000};
// Closes the archives that nobody uses and that have been idle for at least idleTime.
void CloseIdleArchives(std::chrono::milliseconds idleTime = ArchiveIdleTime) noexcept;
// Closes every cached archive (at unload); archives in use close when their users are done.
void CloseAllArchives() noexcept;
// How many archives the cache holds.
size_t CachedArchiveCount() noexcept;

} // namespace kv
