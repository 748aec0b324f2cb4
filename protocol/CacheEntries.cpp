#include "protocol/CacheEntries.h"

#include "shell/Handles.h"
#include "shell/ShellThread.h"
#include "shell/Strings.h"

#include <wininet.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <set>
#include <vector>

namespace kv {

namespace {

struct IgnoreCaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const noexcept
    {
        return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                    static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
    }
};

struct Recorded {
    SrwLock lock;
    std::set<std::wstring, IgnoreCaseLess> urls;
};

Recorded& Entries()
{
    // Outlives static destruction: a cleaner may still run while the process ends.
    static Recorded* recorded = new Recorded();
    return *recorded;
}

bool StartsWithIgnoreCase(const std::wstring& text, const std::wstring& prefix)
{
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

// Every URL in the cache that starts with prefix.
std::vector<std::wstring> CachedUrls(const std::wstring& prefix)
{
    std::vector<std::wstring> urls;
    std::vector<uint8_t> buffer(4096);
    DWORD size = static_cast<DWORD>(buffer.size());
    auto* info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
    HANDLE find = FindFirstUrlCacheEntryW(nullptr, info, &size);
    if (find == nullptr && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(size);
        info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
        find = FindFirstUrlCacheEntryW(nullptr, info, &size);
    }
    if (find == nullptr)
        return urls;
    for (;;) {
        if (info->lpszSourceUrlName != nullptr && StartsWithIgnoreCase(info->lpszSourceUrlName, prefix))
            urls.emplace_back(info->lpszSourceUrlName);
        size = static_cast<DWORD>(buffer.size());
        if (FindNextUrlCacheEntryW(find, info, &size))
            continue;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        // A larger entry: the same one again, in a buffer that holds it.
        buffer.resize(size);
        info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
        if (!FindNextUrlCacheEntryW(find, info, &size))
            break;
    }
    FindCloseUrlCache(find);
    return urls;
}

// Deletes cache entries on a thread of its own, then ends.
class TCacheCleaner : public TorvShellThread {
public:
    enum class Kind { Recorded, Leftover };
    TCacheCleaner(Kind kind, std::wstring prefix)
        : TorvShellThread(CTF_PROCESS_REF, false), kind_(kind), prefix_(std::move(prefix))
    {
    }

protected:
    void Execute() override
    {
        Recorded& recorded = Entries();
        std::vector<std::wstring> urls;
        if (kind_ == Kind::Recorded) {
            std::lock_guard guard(recorded.lock);
            for (auto it = recorded.urls.begin(); it != recorded.urls.end();) {
                if (StartsWithIgnoreCase(*it, prefix_)) {
                    urls.push_back(*it);
                    it = recorded.urls.erase(it);
                } else {
                    ++it;
                }
            }
        } else {
            for (std::wstring& url : CachedUrls(prefix_)) {
                std::lock_guard guard(recorded.lock);
                if (recorded.urls.count(url) == 0)  // this process's own stay until their time
                    urls.push_back(std::move(url));
            }
        }
        for (const std::wstring& url : urls)
            DeleteUrlCacheEntryW(url.c_str());
    }

private:
    Kind kind_;
    std::wstring prefix_;
};

void StartCleaner(TCacheCleaner::Kind kind, const std::wstring& prefix) noexcept
{
    try {
        TorvShellThread::StartDetached<TCacheCleaner>(kind, prefix);
    } catch (...) {
        // Without a thread the entries stay until the next start deletes them.
    }
}

} // namespace

void RecordCacheEntry(const std::wstring& url)
{
    Recorded& recorded = Entries();
    std::lock_guard guard(recorded.lock);
    recorded.urls.insert(url);
}

void DeleteCacheEntries(const std::wstring& urlPrefix) noexcept
{
    StartCleaner(TCacheCleaner::Kind::Recorded, urlPrefix);
}

void DeleteLeftoverCacheEntries(const std::wstring& scheme) noexcept
{
    StartCleaner(TCacheCleaner::Kind::Leftover, scheme);
}

std::wstring InertCacheExtension(const std::wstring& url)
{
    static constexpr std::array<const wchar_t*, 22> inert = {
        L"htm",  L"html", L"xhtml", L"css", L"png",  L"gif", L"jpg", L"jpeg",
        L"bmp",  L"ico",  L"webp",  L"svg", L"avif", L"woff", L"woff2", L"ttf",
        L"otf",  L"eot",  L"txt",   L"xml", L"json", L"csv"};
    const std::wstring path = url.substr(0, url.find_first_of(L"?#"));
    const size_t separator = path.find_last_of(L"/\\");
    const size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || (separator != std::wstring::npos && dot < separator))
        return {};
    std::wstring extension = path.substr(dot + 1);
    CharLowerBuffW(extension.data(), static_cast<DWORD>(extension.size()));
    for (const wchar_t* candidate : inert)
        if (extension == candidate)
            return extension;
    return {};
}

} // namespace kv
