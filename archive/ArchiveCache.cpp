#include "archive/ArchiveCache.h"

#include "shell/Exceptions.h"
#include "shell/ShellThread.h"
#include "shell/Strings.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace kv {

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

TArchiveIdentity ReadArchiveIdentity(const std::wstring& path)
{
    // The file's attributes by name: opening a handle for its file index costs some 75 times
    // more under Wine, on every request. A file replaced by another one shows a different
    // size, write time or creation time.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        RaiseLastOSError();
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        RaiseOSError(ERROR_FILE_NOT_FOUND);
    const auto join = [](DWORD high, DWORD low) { return (uint64_t{high} << 32) | low; };
    TArchiveIdentity identity;
    identity.Size = join(data.nFileSizeHigh, data.nFileSizeLow);
    identity.LastWrite = join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
    identity.Created = join(data.ftCreationTime.dwHighDateTime, data.ftCreationTime.dwLowDateTime);
    return identity;
}

// ---- TSharedArchive ----

TSharedArchive::TSharedArchive(std::wstring path, const TArchiveIdentity& identity)
    : path_(std::move(path)), identity_(identity),
      verifiedAt_(Clock::now().time_since_epoch().count()), lastUse_(Clock::now())
{
    readers_.push_back(std::make_unique<TMaffZipFile>(path_));
    names_ = &readers_.front()->Names();
    free_.push_back(readers_.front().get());
}

void TSharedArchive::BuildIndex() const
{
    std::call_once(indexed_, [this] {
        const std::vector<std::wstring>& names = *names_;
        index_.reserve(names.size());
        sizes_.resize(names.size());
        folders_.resize(names.size());
        // Read through the first reader while nothing extracts with it.
        const auto lease = const_cast<TSharedArchive*>(this)->Borrow();
        for (size_t i = 0; i < names.size(); ++i) {
            index_[names[i]] = static_cast<int>(i);  // the later of two equal names wins
            sizes_[i] = lease.Reader().DeclaredSize(static_cast<int>(i)).value_or(UINT64_MAX);
            folders_[i] = lease.Reader().IsFolder(static_cast<int>(i));
        }
        indexReady_.store(true, std::memory_order_release);
    });
}

TSharedArchive::~TSharedArchive() = default;

int TSharedArchive::FindItem(const std::wstring& name) const
{
    BuildIndex();
    const auto found = index_.find(name);
    return found == index_.end() ? -1 : found->second;
}

uint64_t TSharedArchive::DeclaredSize(int index) const
{
    BuildIndex();
    return index >= 0 && static_cast<size_t>(index) < sizes_.size() ? sizes_[static_cast<size_t>(index)]
                                                                     : UINT64_MAX;
}

bool TSharedArchive::IsFolder(int index) const
{
    BuildIndex();
    return index >= 0 && static_cast<size_t>(index) < folders_.size() &&
           folders_[static_cast<size_t>(index)];
}

Clock::time_point TSharedArchive::VerifiedAt() const noexcept
{
    return Clock::time_point(Clock::duration(verifiedAt_.load(std::memory_order_acquire)));
}

void TSharedArchive::MarkVerified() noexcept
{
    verifiedAt_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
}

std::optional<TSharedArchive::Lease> TSharedArchive::TryBorrow()
{
    std::lock_guard guard(lock_);
    if (free_.empty())
        return std::nullopt;
    TMaffZipFile* reader = free_.back();
    free_.pop_back();
    ++lent_;
    return Lease(*this, *reader);
}

TSharedArchive::Lease TSharedArchive::Borrow(const TCancellation* cancellation)
{
    std::unique_lock guard(lock_);
    const Clock::time_point start = Clock::now();
    for (;;) {
        if (!free_.empty()) {
            TMaffZipFile* reader = free_.back();
            free_.pop_back();
            ++lent_;
            longestWait_ = std::max(longestWait_, std::chrono::duration_cast<std::chrono::microseconds>(
                                                      Clock::now() - start));
            return Lease(*this, *reader);
        }
        if (readers_.size() + opening_ < MaxReaders)
            break;
        if (IsCancelled(cancellation))
            RaiseCancelled();
        // Short waits: a cancelled request must not sit here until another one's extraction
        // of a large item ends.
        returned_.wait_for(guard, std::chrono::milliseconds(10));
    }
    // Opening reads the whole directory: done outside the lock, so returns are not held up.
    ++opening_;
    ++lent_;
    // The names are the first reader's: an archive's names are held once.
    const std::shared_ptr<const TItemNames> names = readers_.front()->SharedNames();
    guard.unlock();
    std::unique_ptr<TMaffZipFile> reader;
    try {
        reader = std::make_unique<TMaffZipFile>(path_, MaxArchiveItems, names);
    } catch (...) {
        guard.lock();
        --opening_;
        --lent_;
        returned_.notify_all();
        throw;
    }
    guard.lock();
    --opening_;
    TMaffZipFile& lent = *reader;
    readers_.push_back(std::move(reader));
    longestWait_ = std::max(longestWait_,
                            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start));
    return Lease(*this, lent);
}

void TSharedArchive::Return(TMaffZipFile& reader) noexcept
{
    {
        std::lock_guard guard(lock_);
        free_.push_back(&reader);
        --lent_;
        lastUse_ = Clock::now();
    }
    returned_.notify_one();
}

TSharedArchive::Lease::~Lease()
{
    if (owner_ != nullptr)
        owner_->Return(*reader_);
}

ComPtr<MemoryStream> TSharedArchive::ExtractItem(int index, const TCancellation* cancellation)
{
    const Lease lease = Borrow(cancellation);
    return lease.Reader().ExtractItem(index, cancellation);
}

bool TSharedArchive::Idle(Clock::time_point& lastUse)
{
    std::lock_guard guard(lock_);
    lastUse = lastUse_;
    return lent_ == 0 && opening_ == 0;
}

std::chrono::microseconds TSharedArchive::LongestWait()
{
    std::lock_guard guard(lock_);
    return longestWait_;
}

// ---- the process-wide cache ----

namespace {

struct CaseInsensitiveHash {
    size_t operator()(const std::wstring& text) const noexcept
    {
        std::wstring folded = text;
        CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
        return std::hash<std::wstring>()(folded);
    }
};
struct CaseInsensitiveEqual {
    bool operator()(const std::wstring& a, const std::wstring& b) const noexcept
    {
        return SameTextIgnoreCase(a, b);
    }
};

struct ArchiveCache {
    SrwLock lock;
    std::unordered_map<std::wstring, std::shared_ptr<TSharedArchive>, CaseInsensitiveHash,
                       CaseInsensitiveEqual>
        archives;
    bool janitorRunning = false;
};

ArchiveCache& Cache()
{
    // Outlives static destruction: a janitor may still look at it while the process ends.
    static ArchiveCache* cache = new ArchiveCache();
    return *cache;
}

// Closes idle archives now and then, and ends when the cache is empty. It keeps the library
// loaded while it runs, so an unload waits until the last archive is closed.
class TArchiveJanitor : public TorvShellThread {
public:
    TArchiveJanitor() : TorvShellThread(CTF_PROCESS_REF, false) {}

protected:
    void Execute() override
    {
        for (;;) {
            Sleep(static_cast<DWORD>(ArchiveIdleTime.count() / 3));
            CloseIdleArchives();
            ArchiveCache& cache = Cache();
            std::lock_guard guard(cache.lock);
            if (cache.archives.empty()) {
                cache.janitorRunning = false;
                return;
            }
        }
    }
};

void StartJanitor(ArchiveCache& cache) noexcept
{
    // Called with the cache locked.
    if (cache.janitorRunning)
        return;
    try {
        TorvShellThread::StartDetached<TArchiveJanitor>();
        cache.janitorRunning = true;
    } catch (...) {
        // Without a janitor archives stay open until the next lookup or unload closes them.
    }
}

} // namespace

std::shared_ptr<TSharedArchive> OpenSharedArchive(const std::wstring& path)
{
    const TArchiveIdentity identity = ReadArchiveIdentity(path);
    ArchiveCache& cache = Cache();
    {
        std::lock_guard guard(cache.lock);
        const auto found = cache.archives.find(path);
        if (found != cache.archives.end()) {
            if (found->second->Identity() == identity) {
                found->second->MarkVerified();
                return found->second;
            }
            // The file changed: its users keep the old one until they are done.
            cache.archives.erase(found);
        }
    }
    // Opened outside the lock: a large archive must not hold up requests for other ones.
    auto archive = std::make_shared<TSharedArchive>(path, identity);
    std::lock_guard guard(cache.lock);
    auto& slot = cache.archives[path];
    if (slot && slot->Identity() == identity)
        return slot;  // another thread opened it meanwhile
    slot = archive;
    StartJanitor(cache);
    return archive;
}

std::shared_ptr<TSharedArchive> FindSharedArchive(const std::wstring& path,
                                                  std::chrono::milliseconds maxAge) noexcept
{
    try {
        ArchiveCache& cache = Cache();
        std::lock_guard guard(cache.lock);
        const auto found = cache.archives.find(path);
        if (found != cache.archives.end() && Clock::now() - found->second->VerifiedAt() <= maxAge)
            return found->second;
    } catch (...) {
    }
    return nullptr;
}

void CloseIdleArchives(std::chrono::milliseconds idleTime) noexcept
{
    ArchiveCache& cache = Cache();
    std::vector<std::shared_ptr<TSharedArchive>> closing;
    {
        std::lock_guard guard(cache.lock);
        const Clock::time_point now = Clock::now();
        for (auto it = cache.archives.begin(); it != cache.archives.end();) {
            Clock::time_point lastUse;
            // Nobody but the cache holds it, and no reader is lent.
            if (it->second.use_count() == 1 && it->second->Idle(lastUse) && now - lastUse >= idleTime) {
                closing.push_back(std::move(it->second));
                it = cache.archives.erase(it);
            } else {
                ++it;
            }
        }
    }
    // The readers (and their files) close here, outside the lock.
}

void CloseAllArchives() noexcept
{
    ArchiveCache& cache = Cache();
    decltype(cache.archives) closing;
    {
        std::lock_guard guard(cache.lock);
        closing.swap(cache.archives);
    }
}

size_t CachedArchiveCount() noexcept
{
    ArchiveCache& cache = Cache();
    std::lock_guard guard(cache.lock);
    return cache.archives.size();
}

} // namespace kv
