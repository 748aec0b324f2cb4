// The process-wide list of archive paths that maff: URLs name by index ("0*", "1*", ...).
// An archive is served only while someone holds a registration of it (a viewer showing it):
// a page of one archive must not reach the items of an archive viewed before, so the id of an
// archive nobody shows any more answers as an unknown one. Ids are never reused: a path
// registered again gets its old id back.
#pragma once

#include "protocol/PageCharsets.h"

#include <string>

namespace kv {

// A hold on an archive's id; the archive is served while any hold on it lives.
class TArchiveRegistration {
public:
    TArchiveRegistration() noexcept = default;
    TArchiveRegistration(TArchiveRegistration&& other) noexcept;
    TArchiveRegistration& operator=(TArchiveRegistration&& other) noexcept;
    TArchiveRegistration(const TArchiveRegistration&) = delete;
    TArchiveRegistration& operator=(const TArchiveRegistration&) = delete;
    ~TArchiveRegistration();

    // The archive id: the decimal index followed by "*"; empty for no registration.
    const std::wstring& Id() const noexcept { return id_; }
    int Index() const noexcept { return index_; }

    // Gives the archive the character sets of its pages' start files, replacing what an
    // earlier load of it gave; they are let go with the archive's last hold.
    void SetPageCharsets(TPageCharsets charsets) const;

private:
    friend TArchiveRegistration RegisterArchive(const std::wstring& path);
    TArchiveRegistration(int index, std::wstring id) noexcept : index_(index), id_(std::move(id)) {}
    void Release() noexcept;

    int index_ = -1;
    std::wstring id_;
};

// Enters the path (compared without regard to case) and holds it.
TArchiveRegistration RegisterArchive(const std::wstring& path);

// The path registered at index while it is held; raises "List index out of bounds (%d)" for
// any other index, and for an archive nobody holds any more.
std::wstring GetArchivePath(int index);

// The character set of the start file at itemPath ("\" between folders) of the archive at
// index; empty when no description names one, or nobody holds the archive. Reads memory only.
std::wstring GetPageCharset(int index, const std::wstring& itemPath);

// Called when the last hold of an archive ends, with its URL prefix ("maff://0*").
using TArchiveReleasedHandler = void (*)(const std::wstring& urlPrefix) noexcept;
void SetArchiveReleasedHandler(TArchiveReleasedHandler handler) noexcept;

// Created at start-up, freed at unload.
void CreateArchiveRegistry();
void FreeArchiveRegistry() noexcept;

} // namespace kv
