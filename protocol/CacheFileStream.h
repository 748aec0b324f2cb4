// A file stream whose file belongs to an entry of the URL cache, with the response record
// stored with that entry as its header text. A new entry is filled, committed and then read
// from; an existing entry is opened (and locked) to serve a fresh cached copy.
#pragma once

#include "protocol/ShellResponse.h"
#include "shell/FileStream.h"

#include <memory>
#include <string>

namespace kv {

class TorvShellCacheFileStream : public TorvFileStream {
public:
    // A new cache file for the URL; the response, when given, is copied. Raises the OS error
    // when the cache or the file refuses.
    static std::unique_ptr<TorvShellCacheFileStream> CreateEntry(const std::wstring& url,
                                                                 TorvShellResponse* source);
    // Opens and locks the URL's existing entry; raises the OS error when there is none.
    explicit TorvShellCacheFileStream(const std::wstring& url);
    ~TorvShellCacheFileStream() override;

    const std::wstring& Url() const noexcept { return url_; }
    const std::wstring& FileExtension() const noexcept { return fileExtension_; }
    bool Retrieved() const noexcept { return retrieved_; }
    bool Committed() const noexcept { return committed_; }
    TorvShellResponse& Response() noexcept { return response_; }

    // Records the file as the URL's cache entry; true when the cache took it. Never raises: a
    // refused commit leaves the file uncommitted, and it is deleted when the stream goes.
    bool Commit() noexcept;

private:
    struct NewEntry {};
    TorvShellCacheFileStream(NewEntry, const std::wstring& url, TorvShellResponse* source);
    void Finish() noexcept;

    std::wstring url_;
    std::wstring fileName_;  // the entry's file, also before it is open
    std::wstring fileExtension_;
    bool retrieved_ = false;
    bool committed_ = false;
    TorvShellResponse response_;
};

} // namespace kv
