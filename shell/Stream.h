// The plug-in's own byte stream: what content producers hand over and the protocol worker
// serves. OLE streams are wrapped by TorvOleStream, files are read through their handle by
// TorvFileStream. Every operation raises on failure; positions and sizes are 64-bit.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstdint>

namespace kv {

class TorvStream {
public:
    TorvStream() = default;
    TorvStream(const TorvStream&) = delete;
    TorvStream& operator=(const TorvStream&) = delete;
    virtual ~TorvStream() = default;

    // Reads up to count bytes at the position; returns how many were read (0 at the end).
    virtual uint32_t Read(void* buffer, uint32_t count) = 0;
    // Writes count bytes at the position; returns how many were written.
    virtual uint32_t Write(const void* buffer, uint32_t count) = 0;
    // Moves the position from STREAM_SEEK_SET, STREAM_SEEK_CUR or STREAM_SEEK_END and returns
    // the new position; raises when the stream cannot move there.
    virtual int64_t Seek(int64_t offset, DWORD origin) = 0;
    // Default: seeks to the end and back.
    virtual int64_t GetSize();
    // Default: refuses (E_NOTIMPL).
    virtual void SetSize(int64_t size);

    int64_t Position() { return Seek(0, STREAM_SEEK_CUR); }
    void SetPosition(int64_t position) { Seek(position, STREAM_SEEK_SET); }
};

} // namespace kv
