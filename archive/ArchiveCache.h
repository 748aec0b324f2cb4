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

#include "archive/Cancellation.h"
#include "archive/MaffZipFile.h"
#include "shell/Handles.h"

#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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
    // Whether the index that FindItem, DeclaredSize and IsFolder use has been made: until then
    // the first of them reads every item's properties.
    bool Indexed() const noexcept { return indexReady_.load(std::memory_order_acquire); }

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
    // Waits while every reader is lent and no further one may be opened, and opens a further
    // reader when none is free. A set cancellation ends the wait with an E_ABORT error.
    Lease Borrow(const TCancellation* cancellation = nullptr);
    // A reader that is free now, or none: never waits and never opens one.
    std::optional<Lease> TryBorrow();
    // Extracts item index through a borrowed reader.
    Microsoft::WRL::ComPtr<MemoryStream> ExtractItem(int index,
                                                     const TCancellation* cancellation = nullptr);

    // When the file's identity was last found unchanged on disk.
    std::chrono::steady_clock::time_point VerifiedAt() const noexcept;
    void MarkVerified() noexcept;

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
    // Keys are views of the names, which never change: the names are not copied.
    mutable std::unordered_map<std::wstring_view, int> index_;
    mutable std::vector<uint64_t> sizes_;
    mutable std::vector<bool> folders_;
    mutable std::atomic<bool> indexReady_{false};
    std::atomic<std::chrono::steady_clock::rep> verifiedAt_;

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
// The shared archive of the file at path when one is open and its identity was found unchanged
// on disk within maxAge; else none. Looks at memory only (no file access, so no network round
// trip for an archive on a share), never opens anything and never raises.
std::shared_ptr<TSharedArchive> FindSharedArchive(const std::wstring& path,
                                                  std::chrono::milliseconds maxAge) noexcept;
// How long a request served on the client's thread may rely on the last identity check of an
// open archive: a page's resources come in a burst, and a request after this time goes to a
// worker, which checks the file again. A file changed on disk is seen this much later at most.
inline constexpr std::chrono::milliseconds ArchiveRecheckTime{250};

// How long an archive may stay unused before it is closed.
inline constexpr std::chrono::milliseconds ArchiveIdleTime{3000};
// Closes the archives that nobody uses and that have been idle for at least idleTime.
void CloseIdleArchives(std::chrono::milliseconds idleTime = ArchiveIdleTime) noexcept;
// Closes every cached archive (at unload); archives in use close when their users are done.
void CloseAllArchives() noexcept;
// How many archives the cache holds.
size_t CachedArchiveCount() noexcept;

} // namespace kv
