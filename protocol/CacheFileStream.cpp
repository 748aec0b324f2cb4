#include "protocol/CacheFileStream.h"

#include "protocol/CacheEntries.h"
#include "shell/Exceptions.h"

#include <wininet.h>

#include <algorithm>
#include <cwctype>
#include <vector>

namespace kv {

namespace {

constexpr DWORD NewEntryMode = STGM_CREATE | STGM_READWRITE;  // 0x1002
constexpr DWORD ExistingEntryMode = STGM_READ;                 // 0

} // namespace

std::unique_ptr<TorvShellCacheFileStream> TorvShellCacheFileStream::CreateEntry(
    const std::wstring& url, TorvShellResponse* source)
{
    return std::unique_ptr<TorvShellCacheFileStream>(
        new TorvShellCacheFileStream(NewEntry{}, url, source));
}

TorvShellCacheFileStream::TorvShellCacheFileStream(NewEntry, const std::wstring& url,
                                                   TorvShellResponse* source)
    : url_(url)
{
    if (source != nullptr)
        response_.SetText(source->GetText());
    fileExtension_ = InertCacheExtension(url_);
    wchar_t name[MAX_PATH + 1] = {};
    if (!CreateUrlCacheEntryW(url_.c_str(), 0, fileExtension_.c_str(), name, 0))
        RaiseLastOSError();
    fileName_ = name;
    try {
        Open(fileName_, NewEntryMode);
    } catch (...) {
        Finish();
        throw;
    }
}

TorvShellCacheFileStream::TorvShellCacheFileStream(const std::wstring& url) : url_(url)
{
    DWORD size = 0;
    if (RetrieveUrlCacheEntryFileW(url_.c_str(), nullptr, &size, 0) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        RaiseLastOSError();
    std::vector<uint8_t> buffer(std::max<DWORD>(size, sizeof(INTERNET_CACHE_ENTRY_INFOW)));
    auto* info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
    size = static_cast<DWORD>(buffer.size());
    if (!RetrieveUrlCacheEntryFileW(url_.c_str(), info, &size, 0))
        RaiseLastOSError();
    retrieved_ = true;
    try {
        fileName_ = info->lpszLocalFileName != nullptr ? info->lpszLocalFileName : L"";
        if (info->lpHeaderInfo != nullptr && info->dwHeaderInfoSize != 0) {
            // The size counts characters; a header block never reaches past the buffer.
            const auto* begin = reinterpret_cast<const uint8_t*>(info->lpHeaderInfo);
            const size_t available =
                begin >= buffer.data() && begin < buffer.data() + buffer.size()
                    ? (buffer.data() + buffer.size() - begin) / sizeof(wchar_t)
                    : 0;
            std::wstring header(info->lpHeaderInfo,
                                std::min<size_t>(info->dwHeaderInfoSize, available));
            response_.SetText(header);
        }
        Open(fileName_, ExistingEntryMode);
    } catch (...) {
        Finish();
        throw;
    }
}

bool TorvShellCacheFileStream::Commit() noexcept
{
    bool taken = false;
    try {
        const std::wstring header = response_.GetText();
        const FILETIME lastModified = response_.GetValueAsFileTime(L"Last-Modified", true);
        const FILETIME expires = response_.GetValueAsFileTime(L"Expires", true);
        taken = CommitUrlCacheEntryW(url_.c_str(), fileName_.c_str(), expires, lastModified,
                             NORMAL_CACHE_ENTRY,
                             header.empty() ? nullptr : const_cast<wchar_t*>(header.c_str()),
                             header.empty() ? 0 : static_cast<DWORD>(header.size() + 1),
                             fileExtension_.c_str(), url_.c_str()) != FALSE;
    } catch (...) {
        // A malformed date or a refused commit only costs the cache entry.
    }
    // A refused file is no cache entry: it stays uncommitted and is deleted with the stream.
    committed_ = taken;
    return taken;
}

void TorvShellCacheFileStream::Finish() noexcept
{
    if (retrieved_)
        UnlockUrlCacheEntryFileW(url_.c_str(), 0);
    const HANDLE file = Handle();
    if (file != INVALID_HANDLE_VALUE && file != nullptr) {
        try {
            if (!response_.GetValue(L"Last-Modified").empty()) {
                const FILETIME time = response_.GetValueAsFileTime(L"Last-Modified", true);
                SetFileTime(file, nullptr, nullptr, &time);
            }
            if (!response_.GetValue(L"_Create").empty()) {
                const FILETIME time = response_.GetValueAsFileTime(L"_Create", true);
                SetFileTime(file, &time, nullptr, nullptr);
            }
        } catch (...) {
        }
    }
    Close();
    // A new entry that was never committed leaves nothing behind.
    if (!retrieved_ && !committed_ && !fileName_.empty())
        DeleteFileW(fileName_.c_str());
}

TorvShellCacheFileStream::~TorvShellCacheFileStream()
{
    Finish();
}

} // namespace kv
