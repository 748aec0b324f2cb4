#include "shell/FileStream.h"

#include "shell/Strings.h"

#include <limits>

namespace kv {

FileModeField DecodeFileMode(DWORD mode, FileOpenParameters& p) noexcept
{
    switch (mode & 0x000F) {
    case STGM_READ: p.Access = GENERIC_READ; break;
    case STGM_WRITE: p.Access = GENERIC_WRITE; break;
    case STGM_READWRITE: p.Access = GENERIC_READ | GENERIC_WRITE; break;
    default: return FileModeField::Access;
    }
    switch (mode & 0x00F0) {
    case 0: p.Share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    case STGM_SHARE_EXCLUSIVE: p.Share = 0; break;
    case STGM_SHARE_DENY_WRITE: p.Share = FILE_SHARE_READ; break;
    case STGM_SHARE_DENY_READ: p.Share = FILE_SHARE_WRITE; break;
    case STGM_SHARE_DENY_NONE: p.Share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    default: return FileModeField::Share;
    }
    switch (mode & 0xF000) {
    case 0: p.Creation = OPEN_EXISTING; break;
    case STGM_CREATE: p.Creation = CREATE_ALWAYS; break;
    default: return FileModeField::Create;
    }
    return FileModeField::None;
}

TorvFileStream::TorvFileStream(std::wstring fileName, DWORD mode)
{
    Open(std::move(fileName), mode);
}

void TorvFileStream::Open(std::wstring fileName, DWORD mode)
{
    handle_.reset(INVALID_HANDLE_VALUE);
    fileName_ = std::move(fileName);
    FileOpenParameters p;
    switch (DecodeFileMode(mode, p)) {
    case FileModeField::Access:
        throw EFileStreamError(FormatString(L"%ls: Invalid access mode", fileName_.c_str()));
    case FileModeField::Share:
        throw EFileStreamError(FormatString(L"%ls: Invalid share mode", fileName_.c_str()));
    case FileModeField::Create:
        throw EFileStreamError(FormatString(L"%ls: Invalid create mode", fileName_.c_str()));
    case FileModeField::None:
        break;
    }
    handle_.reset(CreateFileW(fileName_.c_str(), p.Access, p.Share, nullptr, p.Creation,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handle_.get() == INVALID_HANDLE_VALUE)
        RaiseLastOSError();
}

uint32_t TorvFileStream::Read(void* buffer, uint32_t count)
{
    DWORD done = 0;
    if (count > 0 && !ReadFile(handle_.get(), buffer, count, &done, nullptr))
        RaiseLastOSError();
    return done;
}

uint32_t TorvFileStream::Write(const void* buffer, uint32_t count)
{
    DWORD done = 0;
    if (count > 0 && !WriteFile(handle_.get(), buffer, count, &done, nullptr))
        RaiseLastOSError();
    return done;
}

int64_t TorvFileStream::Seek(int64_t offset, DWORD origin)
{
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER moved{};
    if (!SetFilePointerEx(handle_.get(), distance, &moved, origin))
        RaiseLastOSError();
    return moved.QuadPart;
}

int64_t TorvFileStream::GetSize()
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle_.get(), &size))
        RaiseLastOSError();
    return size.QuadPart;
}

void TorvFileStream::SetSize(int64_t size)
{
    if (size < 0)
        RaiseOSError(ERROR_NEGATIVE_SEEK);
    const int64_t position = Seek(0, FILE_CURRENT);
    Seek(size, FILE_BEGIN);
    const BOOL cut = SetEndOfFile(handle_.get());
    const DWORD error = GetLastError();
    Seek(position, FILE_BEGIN);
    if (!cut)
        RaiseOSError(error);
}

std::unique_ptr<TorvFileStream> OpenFileStream(const std::wstring& fileName, DWORD mode)
{
    return std::make_unique<TorvFileStream>(fileName, mode);
}

} // namespace kv
