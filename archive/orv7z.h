// The archive library's published COM-style interfaces, as the plug-in uses and implements them.
// On Windows they derive from the platform's IUnknown and every method is __stdcall; the library
// is nothrow, so implementations must never let an exception escape.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <propidl.h>
#include <unknwn.h>

#include <cstdint>

namespace kv {

// {23170F69-40C1-278A-1000-000110010000}: the library's ZIP format handler.
inline constexpr GUID ZipHandlerClassId = {
    0x23170F69, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, 0x01, 0x00, 0x00}};

// The interface ids share the pattern {23170F69-40C1-278A-0000-00yy00xx0000}.
constexpr GUID SevenZipInterfaceId(uint8_t group, uint8_t id)
{
    return {0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, group, 0x00, id, 0x00, 0x00}};
}

// Property ids of an item's path, whether it is a folder, its declared unpacked and packed
// sizes, and its compression method.
inline constexpr PROPID kpidPath = 3;
inline constexpr PROPID kpidIsDir = 6;
inline constexpr PROPID kpidSize = 7;
inline constexpr PROPID kpidPackSize = 8;
inline constexpr PROPID kpidMethod = 22;

// Operation results the library reports through IArchiveExtractCallback::SetOperationResult.
enum ExtractOperationResult : int32_t {
    kExtractOK = 0,
    kExtractUnsupportedMethod = 1,
    kExtractDataError = 2,
    kExtractCRCError = 3,
    kExtractUnavailable = 4,
    kExtractUnexpectedEnd = 5,
    kExtractDataAfterEnd = 6,
    kExtractIsNotArc = 7,
    kExtractHeadersError = 8,
    kExtractWrongPassword = 9,
};

struct IProgress : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetTotal(UINT64 total) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UINT64* completeValue) = 0;
};

struct ISequentialInStream : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Read(void* data, UINT32 size, UINT32* processedSize) = 0;
};

struct ISequentialOutStream : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Write(const void* data, UINT32 size, UINT32* processedSize) = 0;
};

struct IInStream : public ISequentialInStream {
    virtual HRESULT STDMETHODCALLTYPE Seek(INT64 offset, UINT32 seekOrigin, UINT64* newPosition) = 0;
};

struct IOutStream : public ISequentialOutStream {
    virtual HRESULT STDMETHODCALLTYPE Seek(INT64 offset, UINT32 seekOrigin, UINT64* newPosition) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSize(UINT64 newSize) = 0;
};

struct IStreamGetSize : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSize(UINT64* size) = 0;
};

struct IArchiveOpenCallback : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetTotal(const UINT64* files, const UINT64* bytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UINT64* files, const UINT64* bytes) = 0;
};

struct IArchiveExtractCallback : public IProgress {
    virtual HRESULT STDMETHODCALLTYPE GetStream(UINT32 index, ISequentialOutStream** outStream,
                                                INT32 askExtractMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE PrepareOperation(INT32 askExtractMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetOperationResult(INT32 opRes) = 0;
};

struct IInArchive : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Open(IInStream* stream, const UINT64* maxCheckStartPosition,
                                           IArchiveOpenCallback* openCallback) = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNumberOfItems(UINT32* numItems) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProperty(UINT32 index, PROPID propID, PROPVARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Extract(const UINT32* indices, UINT32 numItems, INT32 testMode,
                                              IArchiveExtractCallback* extractCallback) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetArchiveProperty(PROPID propID, PROPVARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNumberOfProperties(UINT32* numProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyInfo(UINT32 index, BSTR* name, PROPID* propID,
                                                      VARTYPE* varType) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNumberOfArchiveProperties(UINT32* numProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetArchivePropertyInfo(UINT32 index, BSTR* name, PROPID* propID,
                                                             VARTYPE* varType) = 0;
};

inline constexpr GUID IID_IProgress7z = SevenZipInterfaceId(0x00, 0x05);
inline constexpr GUID IID_ISequentialInStream = SevenZipInterfaceId(0x03, 0x01);
inline constexpr GUID IID_ISequentialOutStream = SevenZipInterfaceId(0x03, 0x02);
inline constexpr GUID IID_IInStream = SevenZipInterfaceId(0x03, 0x03);
inline constexpr GUID IID_IOutStream = SevenZipInterfaceId(0x03, 0x04);
inline constexpr GUID IID_IStreamGetSize = SevenZipInterfaceId(0x03, 0x06);
inline constexpr GUID IID_IArchiveOpenCallback = SevenZipInterfaceId(0x06, 0x10);
inline constexpr GUID IID_IArchiveExtractCallback = SevenZipInterfaceId(0x06, 0x20);
inline constexpr GUID IID_IInArchive = SevenZipInterfaceId(0x06, 0x60);

// The library's CreateObject entry point.
using CreateObjectFunc = HRESULT(WINAPI*)(const GUID* classId, const GUID* interfaceId, void** object);

} // namespace kv
