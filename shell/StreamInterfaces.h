// Stream interfaces that the cross-compiler's headers lack: the overlapped extension of IStream
// and the file-handle query answered by file-backed streams.
#pragma once

#include <windows.h>
#include <objidl.h>

namespace kv {

inline constexpr IID IID_IStreamAsync = {
    0xFE0B6665, 0xE0CA, 0x49B9, {0xA1, 0x78, 0x2B, 0x5C, 0xB4, 0x8D, 0x92, 0xA5}};
inline constexpr IID IID_IFileHandle = {
    0x35B895AC, 0x9239, 0x415F, {0x90, 0xF6, 0x8A, 0xB3, 0xF4, 0x8D, 0x04, 0x2A}};

struct IStreamAsync : public IStream {
    virtual HRESULT STDMETHODCALLTYPE ReadAsync(void* pv, DWORD cb, DWORD* pcbRead,
                                                OVERLAPPED* overlapped) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteAsync(const void* pv, DWORD cb, DWORD* pcbWritten,
                                                 OVERLAPPED* overlapped) = 0;
    virtual HRESULT STDMETHODCALLTYPE OverlappedResult(OVERLAPPED* overlapped,
                                                       DWORD* transferred, BOOL wait) = 0;
    virtual HRESULT STDMETHODCALLTYPE CancelIo() = 0;
};

// The OS handle behind a stream; the stream keeps owning it.
struct IFileHandle : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetFileHandle(HANDLE* handle) = 0;
};

} // namespace kv

__CRT_UUID_DECL(kv::IStreamAsync, 0xFE0B6665, 0xE0CA, 0x49B9, 0xA1, 0x78, 0x2B, 0x5C, 0xB4, 0x8D,
                0x92, 0xA5)
__CRT_UUID_DECL(kv::IFileHandle, 0x35B895AC, 0x9239, 0x415F, 0x90, 0xF6, 0x8A, 0xB3, 0xF4, 0x8D,
                0x04, 0x2A)
