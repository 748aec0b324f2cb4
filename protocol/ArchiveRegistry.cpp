#include "protocol/ArchiveRegistry.h"

#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/Strings.h"

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace kv {
namespace {

// Paths only ever grow while the library is loaded, so an index handed out in a URL stays
// valid; the lock covers every read and write because requests look paths up on their own
// threads while the viewer registers new ones.
struct ArchiveRegistry {
    CriticalSection lock;
    std::vector<std::wstring> paths;
};

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

std::wstring RegisterArchive(const std::wstring& path)
{
    ArchiveRegistry& r = Registry();
    size_t index = 0;
    {
        std::lock_guard guard(r.lock);
        while (index < r.paths.size() && !SameTextIgnoreCase(r.paths[index], path))
            ++index;
        if (index == r.paths.size())
            r.paths.push_back(path);
    }
    return std::to_wstring(index) + L"*";
}

std::wstring GetArchivePath(int index)
{
    ArchiveRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    if (index < 0 || static_cast<size_t>(index) >= r.paths.size())
        throw Exception(FormatString(L"List index out of bounds (%d)", index));
    return r.paths[static_cast<size_t>(index)];
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
