#include "protocol/ArchiveRegistry.h"

#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/Strings.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace kv {
namespace {

// Paths only ever grow while the library is loaded, so an index handed out in a URL stays
// valid; the lock covers every read and write because requests look paths up on their own
// threads while the viewer registers new ones.
struct ArchiveRegistry {
    CriticalSection lock;
    std::vector<std::wstring> paths;
    std::vector<int> holds;  // per path: the registrations alive
    // Per path: its start files' character sets, while held. Shared so that a replaced or
    // released map is freed outside the lock.
    std::vector<std::shared_ptr<const TPageCharsets>> charsets;
};

std::atomic<TArchiveReleasedHandler> releasedHandler{nullptr};

// Guards creating and freeing the registry itself. An SRW lock needs no constructor, so it
// works even before (or without) the start-up call.
SRWLOCK lifetimeLock = SRWLOCK_INIT;
std::atomic<ArchiveRegistry*> registry{nullptr};

ArchiveRegistry& Registry()
{
    if (ArchiveRegistry* const existing = registry.load(std::memory_order_acquire))
        return *existing;
    AcquireSRWLockExclusive(&lifetimeLock);
    ArchiveRegistry* created = registry.load(std::memory_order_relaxed);
    if (created == nullptr) {
        created = new (std::nothrow) ArchiveRegistry();
        registry.store(created, std::memory_order_release);
    }
    ReleaseSRWLockExclusive(&lifetimeLock);
    if (created == nullptr)
        throw EOutOfMemory();
    return *created;
}

} // namespace

TArchiveRegistration RegisterArchive(const std::wstring& path)
{
    ArchiveRegistry& r = Registry();
    size_t index = 0;
    {
        std::lock_guard guard(r.lock);
        while (index < r.paths.size() && !SameTextIgnoreCase(r.paths[index], path))
            ++index;
        if (index == r.paths.size()) {
            r.paths.push_back(path);
            r.holds.push_back(0);
            r.charsets.emplace_back();
        }
        ++r.holds[index];
    }
    return TArchiveRegistration(static_cast<int>(index), std::to_wstring(index) + L"*");
}

std::wstring GetArchivePath(int index)
{
    ArchiveRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    if (index < 0 || static_cast<size_t>(index) >= r.paths.size() ||
        r.holds[static_cast<size_t>(index)] == 0)
        throw Exception(FormatString(L"List index out of bounds (%d)", index));
    return r.paths[static_cast<size_t>(index)];
}

std::wstring GetPageCharset(int index, const std::wstring& itemPath)
{
    ArchiveRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    if (index < 0 || static_cast<size_t>(index) >= r.charsets.size() ||
        r.holds[static_cast<size_t>(index)] == 0)
        return {};
    const std::shared_ptr<const TPageCharsets>& charsets = r.charsets[static_cast<size_t>(index)];
    if (!charsets)
        return {};
    const auto found = charsets->find(itemPath);
    return found == charsets->end() ? std::wstring() : found->second;
}

void SetArchiveReleasedHandler(TArchiveReleasedHandler handler) noexcept
{
    releasedHandler.store(handler);
}

// ---- TArchiveRegistration ----

TArchiveRegistration::TArchiveRegistration(TArchiveRegistration&& other) noexcept
    : index_(std::exchange(other.index_, -1)), id_(std::move(other.id_))
{
    other.id_.clear();
}

TArchiveRegistration& TArchiveRegistration::operator=(TArchiveRegistration&& other) noexcept
{
    if (this != &other) {
        // The new hold first: registering the same archive again never drops it in between.
        const int oldIndex = std::exchange(index_, std::exchange(other.index_, -1));
        std::wstring oldId = std::exchange(id_, std::move(other.id_));
        other.id_.clear();
        TArchiveRegistration(oldIndex, std::move(oldId)).Release();
    }
    return *this;
}

void TArchiveRegistration::SetPageCharsets(TPageCharsets charsets) const
{
    if (index_ < 0)
        return;
    std::shared_ptr<const TPageCharsets> held =
        std::make_shared<const TPageCharsets>(std::move(charsets));
    ArchiveRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    if (static_cast<size_t>(index_) < r.charsets.size())
        r.charsets[static_cast<size_t>(index_)].swap(held);
}

TArchiveRegistration::~TArchiveRegistration()
{
    Release();
}

void TArchiveRegistration::Release() noexcept
{
    const int index = std::exchange(index_, -1);
    if (index < 0)
        return;
    bool last = false;
    std::shared_ptr<const TPageCharsets> charsets;  // freed outside the lock
    {
        ArchiveRegistry* const r = registry.load(std::memory_order_acquire);
        if (r == nullptr)
            return;
        std::lock_guard guard(r->lock);
        if (static_cast<size_t>(index) < r->holds.size() && r->holds[static_cast<size_t>(index)] > 0)
            last = --r->holds[static_cast<size_t>(index)] == 0;
        if (last)
            charsets.swap(r->charsets[static_cast<size_t>(index)]);
    }
    if (last)
        if (const TArchiveReleasedHandler handler = releasedHandler.load())
            handler(L"maff://" + id_);
}

void CreateArchiveRegistry()
{
    Registry();
}

void FreeArchiveRegistry() noexcept
{
    AcquireSRWLockExclusive(&lifetimeLock);
    ArchiveRegistry* const old = registry.exchange(nullptr, std::memory_order_acq_rel);
    ReleaseSRWLockExclusive(&lifetimeLock);
    delete old;
}

} // namespace kv
