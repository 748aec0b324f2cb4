// The plug-in's stream over a file opened by name, read and written through its OS handle.
#pragma once

#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/Stream.h"

#include <memory>
#include <string>

namespace kv {

// A mode word with a field outside the known values: "<file>: Invalid access mode" (or share,
// or create mode).
class EFileStreamError : public Exception {
public:
    using Exception::Exception;
};

// The platform's open parameters for a structured-storage mode word: access (mask 0x000F: read,
// write, read-write), share (mask 0x00F0: none given, exclusive, deny write, deny read, deny
// none) and create (mask 0xF000: open existing, create or replace). Other bits are ignored.
struct FileOpenParameters {
    DWORD Access = 0;
    DWORD Share = 0;
    DWORD Creation = 0;
};
enum class FileModeField { None, Access, Share, Create };
// Decodes field by field, access first; answers the first field that holds an unknown value.
FileModeField DecodeFileMode(DWORD mode, FileOpenParameters& parameters) noexcept;

class TorvFileStream : public TorvStream {
public:
    // Opens the file; raises EFileStreamError for a bad mode word, EOSError when the platform
    // refuses the file.
    TorvFileStream(std::wstring fileName, DWORD mode);

    uint32_t Read(void* buffer, uint32_t count) override;
    uint32_t Write(const void* buffer, uint32_t count) override;
    int64_t Seek(int64_t offset, DWORD origin) override;
    int64_t GetSize() override;
    // Cuts or extends the file; the position stays where it was.
    void SetSize(int64_t size) override;

    HANDLE Handle() const noexcept { return handle_.get(); }
    const std::wstring& FileName() const noexcept { return fileName_; }

protected:
    // For subclasses that choose their file first: nothing is open until Open.
    TorvFileStream() = default;
    void Open(std::wstring fileName, DWORD mode);
    // Closes the file early (a subclass that deletes it afterwards).
    void Close() noexcept { handle_.reset(INVALID_HANDLE_VALUE); }

private:
    UniqueHandle handle_{INVALID_HANDLE_VALUE};
    std::wstring fileName_;
};

std::unique_ptr<TorvFileStream> OpenFileStream(const std::wstring& fileName, DWORD mode);

} // namespace kv
