// The process-wide list of archive paths that maff: URLs name by index ("0*", "1*", ...).
#pragma once

#include <string>

namespace kv {

// Enters the path (compared without regard to case) and returns its archive id: the decimal
// index followed by "*".
std::wstring RegisterArchive(const std::wstring& path);

// The path registered at index; raises "List index out of bounds (%d)" for any other index.
std::wstring GetArchivePath(int index);

// Created at start-up, freed at unload.
void CreateArchiveRegistry();
void FreeArchiveRegistry() noexcept;

} // namespace kv
