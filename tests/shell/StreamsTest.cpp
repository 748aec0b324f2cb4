// File, OLE and shell streams: mode words, buffering of unsized sources, the argument checks
// of the IStream skeleton and the file adapters.
#include "shell/FileStream.h"
#include "shell/MemoryStream.h"
#include "shell/OleStream.h"
#include "shell/ShellStream.h"
#include "tests/common/ErrorMessage.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

using namespace kv;
using Microsoft::WRL::ComPtr;

namespace {

// An OLE stream over a string that records what it was asked and fails on request.
class TDataStream : public TorvShellStream {
public:
    std::string data;
    uint64_t position = 0;
    bool endSeekFails = false;
    bool seeksFail = false;
    int readsBeforeFailure = INT_MAX;
    ULONG writeLimit = ULONG_MAX;
    HRESULT writeResult = S_OK;
    std::vector<ULONG> reads;

protected:
    HRESULT DoRead(void* buffer, ULONG count, ULONG& read) override
    {
        reads.push_back(count);
        read = 0;
        if (readsBeforeFailure-- <= 0)
            return E_FAIL;
        const uint64_t available = position < data.size() ? data.size() - position : 0;
        read = static_cast<ULONG>(std::min<uint64_t>(count, available));
        std::memcpy(buffer, data.data() + position, read);
        position += read;
        return S_OK;
    }
    HRESULT DoWrite(const void* buffer, ULONG count, ULONG& written) override
    {
        written = std::min(count, writeLimit);
        data.append(static_cast<const char*>(buffer), written);
        return writeResult;
    }
    HRESULT DoSeek(int64_t offset, DWORD origin, uint64_t& newPosition) override
    {
        if (seeksFail || (origin == STREAM_SEEK_END && endSeekFails))
            return E_NOTIMPL;
        const uint64_t base = origin == STREAM_SEEK_SET ? 0 : origin == STREAM_SEEK_CUR ? position : data.size();
        newPosition = position = base + static_cast<uint64_t>(offset);
        return S_OK;
    }
};

// Overrides nothing but SiteChanged, which it counts (and fails on request).
class TPlainStream : public TorvShellStream {
public:
    int siteChanges = 0;
    bool siteChangeFails = false;

protected:
    void SiteChanged(IUnknown*) override
    {
        ++siteChanges;
        if (siteChangeFails)
            throw Exception(L"refused");
    }
};

class TAsyncStream : public TorvShellStream {
protected:
    bool SupportsAsync() const noexcept override { return true; }
};

// Every piece asked for is "read" in full without touching memory: large counts stay cheap.
class TCountingStream : public TorvShellStream {
public:
    std::vector<ULONG> reads;

protected:
    HRESULT DoRead(void*, ULONG count, ULONG& read) override
    {
        reads.push_back(count);
        read = count;
        return S_OK;
    }
};

// Opens its file only after its own set-up, as the URL-cache stream does.
class TLateFileStream : public TorvFileStream {
public:
    explicit TLateFileStream(const std::wstring& name) { Open(name, STGM_CREATE | STGM_READWRITE); }
};

template <class I, class T>
HRESULT Query(T* object, REFIID id, ComPtr<I>& out)
{
    return object->QueryInterface(id, reinterpret_cast<void**>(out.ReleaseAndGetAddressOf()));
}

LARGE_INTEGER Offset(LONGLONG value)
{
    LARGE_INTEGER offset;
    offset.QuadPart = value;
    return offset;
}

ULARGE_INTEGER Count(ULONGLONG value)
{
    ULARGE_INTEGER count;
    count.QuadPart = value;
    return count;
}

std::string Pattern(size_t size)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 26);
    return text;
}

bool AllZero(const STATSTG& stat)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&stat);
    return std::all_of(bytes, bytes + sizeof stat, [](unsigned char b) { return b == 0; });
}

} // namespace

TEST(FileStream, ModeWordCreatesOpensAndRefuses)
{
    kvtest::TempFolder folder;
    const std::wstring name = folder.File(L"data.bin");
    {
        // 0x1002: create, read and write.
        auto stream = OpenFileStream(name, STGM_CREATE | STGM_READWRITE);
        EXPECT_EQ(stream->FileName(), name);
        EXPECT_EQ(stream->Write("abcdef", 6), 6u);
        stream->SetPosition(2);
        stream->SetSize(4);
        EXPECT_EQ(stream->Position(), 2);
        EXPECT_EQ(stream->GetSize(), 4);
        char buffer[8];
        EXPECT_EQ(stream->Read(buffer, 8), 2u);
        EXPECT_EQ(std::string(buffer, 2), "cd");
        // Positions are 64-bit.
        EXPECT_EQ(stream->Seek(5000000000ll, STREAM_SEEK_SET), 5000000000ll);
    }
    EXPECT_EQ(kvtest::ReadFileBytes(name), "abcd");
    {
        // Mode 0 reads, and leaves the file open for others to read and write.
        auto reader = OpenFileStream(name, STGM_READ);
        auto writer = OpenFileStream(name, STGM_WRITE);
        EXPECT_EQ(reader->GetSize(), 4);
        EXPECT_THROW(reader->Write("x", 1), EOSError);
    }
    // Creating again replaces the content.
    EXPECT_EQ(OpenFileStream(name, 0x1002)->GetSize(), 0);
    EXPECT_EQ(kvtest::ReadFileBytes(name), "");

    const struct {
        DWORD mode;
        const wchar_t* message;
    } refused[] = {
        {3, L": Invalid access mode"},
        {0x50, L": Invalid share mode"},
        {0x2000, L": Invalid create mode"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.mode);
        EXPECT_THROW(OpenFileStream(name, r.mode), EFileStreamError);
        EXPECT_EQ(kvtest::ErrorMessageOf([&] { OpenFileStream(name, r.mode); }), name + r.message);
    }
    try {
        OpenFileStream(folder.File(L"missing.bin"), STGM_READ);
        ADD_FAILURE() << "a missing file opened";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }

    // A subclass opens after its own set-up and reaches handle and name.
    TLateFileStream late(folder.File(L"late.bin"));
    EXPECT_NE(late.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(late.FileName(), folder.File(L"late.bin"));
}

TEST(OleStream, UnsizedSourcesAreReadIntoMemory)
{
    // The end seek fails: the content is copied in 61,440-byte blocks, then served from memory.
    auto source = MakeInterfaced<TDataStream>();
    source->data = Pattern(150000);
    source->endSeekFails = true;
    auto stream = WrapOleStream(source.Get());
    const auto& ole = dynamic_cast<const TorvOleStream&>(*stream);
    EXPECT_TRUE(ole.IsBuffered());
    EXPECT_EQ(ole.KnownSize(), -1);
    EXPECT_EQ(source->reads, (std::vector<ULONG>{61440, 61440, 61440, 61440}));
    source->reads.clear();
    EXPECT_EQ(stream->GetSize(), 150000);
    stream->SetPosition(149990);
    char tail[32];
    EXPECT_EQ(stream->Read(tail, 32), 10u);
    EXPECT_EQ(std::string(tail, 10), source->data.substr(149990));
    EXPECT_TRUE(source->reads.empty());

    // A known size limits the copy.
    source->position = 0;
    TorvOleStream sized(source.Get(), 100, true);
    EXPECT_TRUE(sized.IsBuffered());
    EXPECT_EQ(sized.GetSize(), 100);

    // A seekable source of size 0 is buffered too: an empty copy.
    auto empty = MakeInterfaced<TDataStream>();
    auto emptyStream = WrapOleStream(empty.Get());
    EXPECT_TRUE(dynamic_cast<const TorvOleStream&>(*emptyStream).IsBuffered());
    EXPECT_EQ(emptyStream->GetSize(), 0);
    EXPECT_EQ(emptyStream->Read(tail, 32), 0u);
}

TEST(OleStream, SizedSourcesAreReadDirectlyAndFailuresRaise)
{
    auto source = MakeInterfaced<TDataStream>();
    source->data = "hello world";
    auto stream = WrapOleStream(source.Get());
    EXPECT_FALSE(dynamic_cast<const TorvOleStream&>(*stream).IsBuffered());
    EXPECT_TRUE(source->reads.empty());
    char buffer[8];
    EXPECT_EQ(stream->Read(buffer, 5), 5u);
    EXPECT_EQ(source->reads.size(), 1u);
    EXPECT_EQ(stream->GetSize(), 11);
    EXPECT_EQ(stream->Position(), 5);
    // No 32-bit limit on seeks.
    EXPECT_EQ(stream->Seek(5000000000ll, STREAM_SEEK_SET), 5000000000ll);
    source->seeksFail = true;
    EXPECT_THROW(stream->Seek(0, STREAM_SEEK_SET), EOleSysError);

    // A copy that fails half-way from a source that cannot go back to its start: the rest
    // alone would be wrong data, so the stream refuses to read.
    auto broken = MakeInterfaced<TDataStream>();
    broken->data = Pattern(100000);
    broken->seeksFail = true;
    broken->readsBeforeFailure = 1;
    auto brokenStream = WrapOleStream(broken.Get());
    EXPECT_FALSE(dynamic_cast<const TorvOleStream&>(*brokenStream).IsBuffered());
    EXPECT_THROW(brokenStream->Read(buffer, 8), EOleSysError);

    EXPECT_THROW(WrapOleStream(nullptr), EInvalidPointer);
}

TEST(ShellStream, ArgumentChecksInterfacesAndDefaults)
{
    auto stream = MakeInterfaced<TPlainStream>();
    ComPtr<IStream> ole;
    ComPtr<ISequentialStream> sequential;
    ComPtr<IUnknown> unknown;
    ComPtr<IObjectWithSite> withSite;
    ComPtr<IStreamAsync> async;
    ASSERT_EQ(Query(stream.Get(), IID_IStream, ole), S_OK);
    EXPECT_EQ(Query(stream.Get(), IID_ISequentialStream, sequential), S_OK);
    EXPECT_EQ(Query(stream.Get(), IID_IUnknown, unknown), S_OK);
    EXPECT_EQ(unknown.Get(), static_cast<IUnknown*>(ole.Get()));
    EXPECT_EQ(Query(stream.Get(), IID_IObjectWithSite, withSite), S_OK);
    // No asynchronous operation is overridden: IStreamAsync is not offered.
    EXPECT_EQ(Query(stream.Get(), IID_IStreamAsync, async), E_NOINTERFACE);
    EXPECT_EQ(async.Get(), nullptr);

    STATSTG stat;
    std::memset(&stat, 0xCC, sizeof stat);
    EXPECT_EQ(ole->Stat(&stat, 2), STG_E_INVALIDFLAG);
    EXPECT_TRUE(AllZero(stat));
    EXPECT_EQ(ole->Stat(nullptr, STATFLAG_DEFAULT), E_POINTER);
    EXPECT_EQ(ole->Stat(&stat, STATFLAG_NONAME), E_NOTIMPL);
    ULARGE_INTEGER position{};
    EXPECT_EQ(ole->Seek(Offset(0), 3, &position), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(ole->Seek(Offset(0), STREAM_SEEK_SET, &position), E_NOTIMPL);
    ULONG done = 77;
    EXPECT_EQ(ole->Read(nullptr, 1, &done), E_POINTER);
    EXPECT_EQ(done, 0u);
    char byte = 0;
    EXPECT_EQ(ole->Read(&byte, 1, &done), E_NOTIMPL);
    EXPECT_EQ(ole->Write(nullptr, 1, &done), E_POINTER);
    EXPECT_EQ(ole->Write(&byte, 1, nullptr), E_NOTIMPL);
    EXPECT_EQ(ole->SetSize(Count(1)), E_NOTIMPL);
    EXPECT_EQ(ole->CopyTo(nullptr, Count(1), nullptr, nullptr), E_POINTER);
    EXPECT_EQ(ole->Commit(0), S_OK);
    EXPECT_EQ(ole->Revert(), STG_E_REVERTED);
    EXPECT_EQ(ole->LockRegion(Count(0), Count(1), LOCK_WRITE), E_NOTIMPL);
    IStream* clone = ole.Get();
    EXPECT_EQ(ole->Clone(&clone), E_NOTIMPL);
    EXPECT_EQ(clone, nullptr);

    // A class that says it supports overlapped operations answers IStreamAsync, with checks.
    auto asyncStream = MakeInterfaced<TAsyncStream>();
    ASSERT_EQ(Query(asyncStream.Get(), IID_IStreamAsync, async), S_OK);
    OVERLAPPED overlapped{};
    DWORD count = 5;
    EXPECT_EQ(async->ReadAsync(&byte, 1, &count, nullptr), E_POINTER);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(async->ReadAsync(&byte, 1, &count, &overlapped), E_NOTIMPL);
    EXPECT_EQ(async->OverlappedResult(nullptr, &count, FALSE), E_POINTER);
    EXPECT_EQ(async->CancelIo(), E_NOTIMPL);

    // The site: SiteChanged once per real change; its failures do not refuse the site.
    auto site = MemoryStream::Create();
    clone = ole.Get();
    EXPECT_EQ(withSite->GetSite(IID_IStream, reinterpret_cast<void**>(&clone)), E_FAIL);
    EXPECT_EQ(clone, nullptr);
    stream->siteChangeFails = true;
    EXPECT_EQ(withSite->SetSite(site.Get()), S_OK);
    EXPECT_EQ(withSite->SetSite(site.Get()), S_OK);
    EXPECT_EQ(stream->siteChanges, 1);
    EXPECT_EQ(withSite->GetSite(IID_IStream, reinterpret_cast<void**>(&clone)), S_OK);
    EXPECT_EQ(clone, static_cast<IStream*>(site.Get()));
    clone->Release();
    EXPECT_EQ(withSite->GetSite(IID_IStream, nullptr), E_POINTER);
    EXPECT_EQ(withSite->SetSite(nullptr), S_OK);
    EXPECT_EQ(stream->siteChanges, 2);
    EXPECT_EQ(stream->Site(), nullptr);
}

TEST(ShellStream, LargeCountsAndChunkedCopy)
{
    // Counts of 2^31 bytes or more reach DoRead in pieces below 2^31.
    auto counting = MakeInterfaced<TCountingStream>();
    char byte = 0;
    ULONG done = 0;
    EXPECT_EQ(counting->Read(&byte, 0x80000010u, &done), S_OK);
    EXPECT_EQ(counting->reads, (std::vector<ULONG>{0x7FFFFFFF, 0x11}));
    EXPECT_EQ(done, 0x80000010u);

    auto source = MakeInterfaced<TDataStream>();
    source->data = Pattern(2500000);
    auto target = MemoryStream::Create();
    ULARGE_INTEGER read{}, written{};
    EXPECT_EQ(source->CopyTo(target.Get(), Count(~0ull), &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, 2500000u);
    EXPECT_EQ(written.QuadPart, 2500000u);
    EXPECT_EQ(std::string(target->Data().begin(), target->Data().end()), source->data);
    EXPECT_TRUE(std::all_of(source->reads.begin(), source->reads.end(), [](ULONG n) { return n <= 0x100000; }));

    // A target that takes less than it was given, or answers S_FALSE, ends the copy as a failure.
    auto partial = MakeInterfaced<TDataStream>();
    partial->writeLimit = 3;
    source->position = 0;
    EXPECT_EQ(source->CopyTo(partial.Get(), Count(10), &read, &written), E_FAIL);
    EXPECT_EQ(read.QuadPart, 10u);
    EXPECT_EQ(written.QuadPart, 3u);
    auto refusing = MakeInterfaced<TDataStream>();
    refusing->writeResult = S_FALSE;
    EXPECT_EQ(source->CopyTo(refusing.Get(), Count(10), &read, &written), E_FAIL);
}

TEST(StreamAdapter, ReadOnlyFileAdapterRefusesWritesAndReportsTheFile)
{
    kvtest::TempFolder folder;
    const std::wstring path = folder.Write(L"page.txt", "hello world");
    auto adapter = MakeInterfaced<TorvFileStreamAdapter>(path, STGM_READ);
    EXPECT_TRUE(adapter->HasKnownSize());
    EXPECT_EQ(adapter->KnownSize(), 11u);

    char buffer[32];
    ULONG done = 0;
    EXPECT_EQ(adapter->Read(buffer, 5, &done), S_OK);
    EXPECT_EQ(std::string(buffer, done), "hello");
    EXPECT_EQ(adapter->Read(buffer, 32, &done), S_FALSE);
    EXPECT_EQ(std::string(buffer, done), " world");
    EXPECT_EQ(adapter->Write("x", 1, &done), E_ACCESSDENIED);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(adapter->SetSize(Count(1)), E_ACCESSDENIED);
    EXPECT_TRUE(FAILED(adapter->Seek(Offset(-1), STREAM_SEEK_SET, nullptr)));

    STATSTG stat{};
    ASSERT_EQ(adapter->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    ASSERT_NE(stat.pwcsName, nullptr);
    EXPECT_STREQ(stat.pwcsName, L"page.txt");
    CoTaskMemFree(stat.pwcsName);
    EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STREAM));
    EXPECT_EQ(stat.cbSize.QuadPart, 11u);
    EXPECT_EQ(stat.grfMode, static_cast<DWORD>(STGM_READ));
    EXPECT_EQ(stat.grfLocksSupported, static_cast<DWORD>(LOCK_WRITE));
    EXPECT_NE(stat.mtime.dwHighDateTime, 0u);

    ComPtr<IFileHandle> fileHandle;
    ASSERT_EQ(Query(adapter.Get(), IID_IFileHandle, fileHandle), S_OK);
    HANDLE handle = nullptr;
    EXPECT_EQ(fileHandle->GetFileHandle(&handle), S_OK);
    EXPECT_EQ(handle, adapter->FileStream().Handle());
    EXPECT_EQ(fileHandle->GetFileHandle(nullptr), E_POINTER);
    ComPtr<IStreamAsync> async;
    EXPECT_EQ(Query(adapter.Get(), IID_IStreamAsync, async), E_NOINTERFACE);

    EXPECT_THROW(MakeInterfaced<TorvStreamAdapter>(path, 0x2000), EFileStreamError);
}

TEST(StreamAdapter, ReadWriteAdapterSizesAndStoredTimes)
{
    kvtest::TempFolder folder;
    auto adapter = MakeInterfaced<TorvStreamAdapter>(folder.File(L"new.bin"), STGM_CREATE | STGM_READWRITE);
    EXPECT_EQ(adapter->KnownSize(), 0u);
    ULONG done = 0;
    EXPECT_EQ(adapter->Write("0123456789", 10, &done), S_OK);
    EXPECT_EQ(done, 10u);
    // Shrinking below the position puts the position at the new end.
    EXPECT_EQ(adapter->SetSize(Count(4)), S_OK);
    ULARGE_INTEGER position{};
    EXPECT_EQ(adapter->Seek(Offset(0), STREAM_SEEK_CUR, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 4u);
    EXPECT_EQ(adapter->SetSize(Count(~0ull)), E_INVALIDARG);
    ComPtr<IFileHandle> fileHandle;
    EXPECT_EQ(Query(adapter.Get(), IID_IFileHandle, fileHandle), E_NOINTERFACE);

    FILETIME written{1, 2}, created{3, 4}, accessed{5, 6};
    adapter->SetQueryFileTimes(false);
    adapter->SetFileTimes(written, created, accessed);
    STATSTG stat{};
    ASSERT_EQ(adapter->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.pwcsName, nullptr);
    EXPECT_EQ(stat.cbSize.QuadPart, 4u);
    EXPECT_EQ(stat.grfMode, static_cast<DWORD>(STGM_READWRITE));
    EXPECT_EQ(stat.mtime.dwLowDateTime, 1u);
    EXPECT_EQ(stat.ctime.dwLowDateTime, 3u);
    EXPECT_EQ(stat.atime.dwLowDateTime, 5u);
}
