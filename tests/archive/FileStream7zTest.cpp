// The archive input stream on real files: one object behind every interface, the mode word,
// the deny-write sharing, the file calls and the copy helpers; and the result check.
#include "archive/ArchiveResult.h"
#include "archive/FileStream7z.h"
#include "shell/MemoryStream.h"
#include "shell/Strings.h"
#include "tests/archive/ScriptedSink.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

#include <oleauto.h>

using namespace kv;
using Microsoft::WRL::ComPtr;
using kvtest::ScriptedSink;
using kvtest::TempFolder;

namespace {

constexpr DWORD ReadDenyWrite = STGM_READ | STGM_SHARE_DENY_WRITE;

std::string Digits(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('0' + i % 10);
    return bytes;
}

template <typename I>
ComPtr<I> Query(IUnknown* object, const IID& id)
{
    ComPtr<I> result;
    EXPECT_EQ(object->QueryInterface(id, reinterpret_cast<void**>(result.GetAddressOf())), S_OK);
    return result;
}

HANDLE OpenForWriting(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

TEST(Torv7zFileStream, EveryInterfaceIsOneObjectWithOneCount)
{
    TempFolder temp;
    const std::wstring path = temp.Write(L"data.bin", "0123456789");
    auto stream = MakeInterfaced<Torv7zFileStream>(path, ReadDenyWrite);
    IUnknown* unknown = static_cast<IStream*>(stream.Get());

    auto oleStream = Query<IStream>(unknown, IID_IStream);
    auto sequential = Query<ISequentialStream>(unknown, IID_ISequentialStream);
    auto own = Query<Iorv7zFileStream>(unknown, IID_Iorv7zFileStream);
    auto out = Query<IOutStream>(unknown, IID_IOutStream);
    auto seqOut = Query<ISequentialOutStream>(unknown, IID_ISequentialOutStream);
    auto getSize = Query<IStreamGetSize>(unknown, IID_IStreamGetSize);
    auto in = Query<IInStream>(unknown, IID_IInStream);
    auto seqIn = Query<ISequentialInStream>(unknown, IID_ISequentialInStream);
    EXPECT_EQ(stream->RefCount(), 9);

    // A parent interface is the same pointer as its child; IUnknown is the same from anywhere.
    EXPECT_EQ(static_cast<void*>(sequential.Get()), static_cast<void*>(oleStream.Get()));
    EXPECT_EQ(static_cast<void*>(seqOut.Get()), static_cast<void*>(out.Get()));
    EXPECT_EQ(static_cast<void*>(seqIn.Get()), static_cast<void*>(in.Get()));
    for (IUnknown* from : std::initializer_list<IUnknown*>{own.Get(), out.Get(), getSize.Get(), in.Get()})
        EXPECT_EQ(Query<IUnknown>(from, IID_IUnknown).Get(), static_cast<IUnknown*>(oleStream.Get()));

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(in->QueryInterface(IID_IArchiveExtractCallback, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(in->QueryInterface(IID_IStream, nullptr), E_POINTER);

    // Each vtable reaches the right method: the library's Read and Seek through their own
    // slots, IStream's through its slots, on one shared file position.
    UINT64 position = 0;
    ASSERT_EQ(in->Seek(2, FILE_BEGIN, &position), S_OK);
    char buffer[4] = {};
    UINT32 got = 0;
    ASSERT_EQ(seqIn->Read(buffer, 3, &got), S_OK);
    EXPECT_EQ(std::string(buffer, got), "234");
    ULONG oleGot = 0;
    ASSERT_EQ(oleStream->Read(buffer, 2, &oleGot), S_OK);
    EXPECT_EQ(std::string(buffer, oleGot), "56");
    ASSERT_EQ(out->Seek(-1, FILE_END, &position), S_OK);
    EXPECT_EQ(position, 9u);
    UINT64 size = 0;
    ASSERT_EQ(getSize->GetSize(&size), S_OK);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(out->SetSize(3), E_NOTIMPL);
    BSTR name = nullptr;
    ASSERT_EQ(own->GetFileName(&name), S_OK);
    EXPECT_EQ(std::wstring(name), path);
    SysFreeString(name);

    // The count is shared: releasing through any interface counts down the same object.
    EXPECT_EQ(seqIn->AddRef(), 10u);
    EXPECT_EQ(getSize->Release(), 9u);
}

TEST(Torv7zFileStream, LastReleaseClosesTheFile)
{
    TempFolder temp;
    const std::wstring path = temp.Write(L"data.bin", "abc");
    ComPtr<IInStream> in = Query<IInStream>(
        static_cast<IStream*>(MakeInterfaced<Torv7zFileStream>(path, ReadDenyWrite).Get()),
        IID_IInStream);
    HANDLE writer = OpenForWriting(path);
    const DWORD error = GetLastError();
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    in.Reset();
    writer = OpenForWriting(path);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE);
    CloseHandle(writer);
}

TEST(Torv7zFileStream, DenyWriteLetsReadersShareAndKeepsWritersOut)
{
    TempFolder temp;
    const std::wstring path = temp.Write(L"data.bin", "shared");
    auto first = MakeInterfaced<Torv7zFileStream>(path, ReadDenyWrite);
    auto second = MakeInterfaced<Torv7zFileStream>(path, ReadDenyWrite);
    char buffer[6];
    UINT32 got = 0;
    EXPECT_EQ(second->ReadData(buffer, 6, &got), S_OK);
    EXPECT_EQ(got, 6u);
    const HANDLE blocked = OpenForWriting(path);
    const DWORD error = GetLastError();
    EXPECT_EQ(blocked, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    first.Reset();
    second.Reset();

    // The other way round: a writer elsewhere makes the open fail with the OS error.
    HANDLE writer = OpenForWriting(path);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    try {
        MakeInterfaced<Torv7zFileStream>(path, ReadDenyWrite);
        ADD_FAILURE() << "opened beside a writer";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    CloseHandle(writer);
}

TEST(Torv7zFileStream, ModeWord)
{
    TempFolder temp;
    const std::wstring existing = temp.Write(L"data.bin", "x");
    // Invalid fields are refused before the file is touched: nothing is created, and a missing
    // file is not what gets reported.
    for (const DWORD mode : {0x3u, 0xFu, 0x50u, 0xF0u, 0x2000u, 0xF000u, 0x1003u, 0x1052u}) {
        SCOPED_TRACE(mode);
        const std::wstring missing = temp.File(L"never-created.bin");
        try {
            MakeInterfaced<Torv7zFileStream>(missing, mode);
            ADD_FAILURE() << "accepted";
        } catch (const EOleSysError& e) {
            EXPECT_EQ(e.ErrorCode(), E_INVALIDARG);
        }
        EXPECT_EQ(GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_THROW(MakeInterfaced<Torv7zFileStream>(existing, mode), EOleSysError);
    }

    // Open existing is the default: a missing file is the OS error.
    try {
        MakeInterfaced<Torv7zFileStream>(temp.File(L"absent.bin"), ReadDenyWrite);
        ADD_FAILURE() << "opened a missing file";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }

    // Create, read and write, exclusive: the file is made empty and both directions work;
    // nobody else may open it meanwhile.
    const std::wstring created = temp.File(L"created.bin");
    auto stream = MakeInterfaced<Torv7zFileStream>(
        created, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE);
    UINT32 done = 0;
    EXPECT_EQ(stream->WriteData("hello", 5, &done), S_OK);
    EXPECT_EQ(done, 5u);
    EXPECT_EQ(CreateFileW(created.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    char buffer[8];
    EXPECT_EQ(stream->SeekData(0, FILE_BEGIN, nullptr), S_OK);
    EXPECT_EQ(stream->ReadData(buffer, 8, &done), S_OK);
    EXPECT_EQ(std::string(buffer, done), "hello");
    stream.Reset();
    EXPECT_EQ(kvtest::ReadFileBytes(created), "hello");
}

TEST(Torv7zFileStream, ReadWriteSeekAndGetSize)
{
    TempFolder temp;
    const std::wstring path = temp.Write(L"data.bin", Digits(100));

    // Size 0 makes no file call: a write-only stream reads 0 bytes fine but fails 1 byte, and
    // a read-only stream the same for writes.
    auto writeOnly = MakeInterfaced<Torv7zFileStream>(path, STGM_WRITE);
    char buffer[128];
    UINT32 done = 77;
    EXPECT_EQ(writeOnly->ReadData(buffer, 0, &done), S_OK);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(writeOnly->ReadData(buffer, 1, &done), HResultFromOSError(ERROR_ACCESS_DENIED));
    writeOnly.Reset();
    auto stream = MakeInterfaced<Torv7zFileStream>(path, ReadDenyWrite);
    done = 77;
    EXPECT_EQ(stream->WriteData("x", 0, &done), S_OK);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(stream->WriteData("x", 1, &done), HResultFromOSError(ERROR_ACCESS_DENIED));
    EXPECT_EQ(stream->ReadData(buffer, 0, nullptr), S_OK);

    // GetSize reports the size and leaves the position alone.
    UINT64 position = 0;
    EXPECT_EQ(stream->SeekData(37, FILE_BEGIN, &position), S_OK);
    UINT64 size = 0;
    EXPECT_EQ(stream->GetSize(&size), S_OK);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(stream->SeekData(0, FILE_CURRENT, &position), S_OK);
    EXPECT_EQ(position, 37u);
    EXPECT_EQ(stream->GetSize(nullptr), E_POINTER);

    EXPECT_EQ(stream->SeekData(0, FILE_END, &position), S_OK);
    EXPECT_EQ(position, 100u);
    // At the end: success with nothing read; a short read near the end is a success too.
    done = 77;
    EXPECT_EQ(stream->ReadData(buffer, 10, &done), S_OK);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(stream->SeekData(-4, FILE_CURRENT, nullptr), S_OK);
    EXPECT_EQ(stream->ReadData(buffer, 10, &done), S_OK);
    EXPECT_EQ(std::string(buffer, done), "6789");

    // Seek failures are the OS error as an HRESULT, never an exception.
    EXPECT_EQ(stream->SeekData(-1, FILE_BEGIN, nullptr), HResultFromOSError(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(stream->SeekData(0, 3, nullptr), HResultFromOSError(ERROR_INVALID_PARAMETER));
}

// The IStream methods that have no file operation behind them leave the file, its size and
// the stream's position exactly as they were, and the stream stays usable.
TEST(Torv7zFileStream, OleStreamMethodsWithoutFileBehind)
{
    TempFolder temp;
    const std::wstring path = temp.Write(L"d.bin", "0123456789");
    auto stream = MakeInterfaced<Torv7zFileStream>(path, STGM_READWRITE | STGM_SHARE_DENY_WRITE);
    IStream* ole = stream.Get();
    LARGE_INTEGER move{};
    move.QuadPart = 4;
    ASSERT_EQ(ole->Seek(move, STREAM_SEEK_SET, nullptr), S_OK);

    IStream* clone = reinterpret_cast<IStream*>(1);
    EXPECT_TRUE(FAILED(ole->Clone(&clone)));
    EXPECT_EQ(clone, nullptr);
    ULARGE_INTEGER offset{}, count{};
    count.QuadPart = 10;
    EXPECT_TRUE(FAILED(ole->LockRegion(offset, count, LOCK_EXCLUSIVE)));
    EXPECT_TRUE(FAILED(ole->UnlockRegion(offset, count, LOCK_EXCLUSIVE)));
    STATSTG stat{};
    EXPECT_TRUE(FAILED(ole->Stat(&stat, STATFLAG_NONAME)));
    ULARGE_INTEGER smaller{};
    smaller.QuadPart = 2;
    EXPECT_TRUE(FAILED(ole->SetSize(smaller)));  // never truncates
    EXPECT_EQ(ole->Commit(STGC_DEFAULT), S_OK);
    EXPECT_TRUE(FAILED(ole->Revert()));

    char rest[16];
    ULONG read = 0;
    EXPECT_EQ(ole->Read(rest, sizeof(rest), &read), S_OK);
    EXPECT_EQ(std::string(rest, read), "456789");  // the position was kept
    stream.Reset();
    EXPECT_EQ(kvtest::ReadFileBytes(path), "0123456789");
}

TEST(Torv7zFileStream, OleCopyToCopiesAtMostCountFromThePosition)
{
    TempFolder temp;
    const std::string content = Digits(3 * 1024 * 1024 + 5);  // more than one 1 MiB chunk
    auto stream = MakeInterfaced<Torv7zFileStream>(temp.Write(L"d.bin", content), ReadDenyWrite);
    IStream* ole = stream.Get();
    ULARGE_INTEGER read{}, written{}, cb{};

    auto target = MemoryStream::Create();
    cb.QuadPart = 0;
    EXPECT_EQ(ole->CopyTo(target.Get(), cb, &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, 0u);
    EXPECT_EQ(target->Size(), 0u);

    LARGE_INTEGER start{};
    start.QuadPart = 3;
    ASSERT_EQ(ole->Seek(start, STREAM_SEEK_SET, nullptr), S_OK);
    cb.QuadPart = 5;
    EXPECT_EQ(ole->CopyTo(target.Get(), cb, &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, 5u);
    EXPECT_EQ(written.QuadPart, 5u);
    // A count beyond the end copies the rest and stops when nothing more can be read.
    cb.QuadPart = ~0ull;
    EXPECT_EQ(ole->CopyTo(target.Get(), cb, &read, nullptr), S_OK);
    EXPECT_EQ(read.QuadPart, content.size() - 8);
    EXPECT_EQ(std::string(target->Data().begin(), target->Data().end()), content.substr(3));
}

TEST(Torv7zFileStream, CopyToStreamCopiesTheWholeFileFromItsStart)
{
    TempFolder temp;
    const std::string content = Digits(100 * 1024 + 3);
    auto stream = MakeInterfaced<Torv7zFileStream>(temp.Write(L"d.bin", content), ReadDenyWrite);
    ASSERT_EQ(stream->SeekData(500, FILE_BEGIN, nullptr), S_OK);

    // The library's sinks may take little at a time.
    auto sink = MakeInterfaced<ScriptedSink>(1000);
    UINT64 copied = 0;
    EXPECT_EQ(stream->CopyToStream(sink.Get(), &copied), S_OK);
    EXPECT_EQ(copied, content.size());
    EXPECT_EQ(sink->received, content);

    char small[7];
    auto second = MakeInterfaced<ScriptedSink>(5);
    EXPECT_EQ(stream->CopyToStream(second.Get(), small, sizeof small, &copied), S_OK);
    EXPECT_EQ(second->received, content);

    // A sink that takes nothing stops the copy (EFalseError inside); across the interface that
    // is a failure, never a success code a caller would read as done.
    auto refusing = MakeInterfaced<ScriptedSink>(0);
    const HRESULT refused = stream->CopyToStream(refusing.Get(), &copied);
    EXPECT_EQ(refused, E_FAIL);
    auto failing = MakeInterfaced<ScriptedSink>(10, E_ACCESSDENIED);
    EXPECT_EQ(stream->CopyToStream(failing.Get(), &copied), E_ACCESSDENIED);
    EXPECT_EQ(stream->CopyToStream(nullptr, &copied), E_INVALIDARG);

    auto empty = MakeInterfaced<Torv7zFileStream>(temp.Write(L"empty.bin", ""), ReadDenyWrite);
    auto nothing = MakeInterfaced<ScriptedSink>(1000);
    copied = 99;
    EXPECT_EQ(empty->CopyToStream(nothing.Get(), &copied), S_OK);
    EXPECT_EQ(copied, 0u);
    EXPECT_EQ(nothing->calls, 0);
}

TEST(WriteFully, RepeatsShortWritesAndReportsStalls)
{
    const char data[] = "0123456789";
    UINT32 written = 99;
    auto trickle = MakeInterfaced<ScriptedSink>(3);
    EXPECT_EQ(WriteFully(trickle.Get(), data, 10, &written), S_OK);
    EXPECT_EQ(written, 10u);
    EXPECT_EQ(trickle->received, "0123456789");
    EXPECT_EQ(trickle->calls, 4);

    auto stalled = MakeInterfaced<ScriptedSink>(0);
    EXPECT_EQ(WriteFully(stalled.Get(), data, 10, &written), S_FALSE);
    EXPECT_EQ(written, 0u);
    auto liar = MakeInterfaced<ScriptedSink>(10, S_OK, true);
    EXPECT_EQ(WriteFully(liar.Get(), data, 10, &written), E_FAIL);
    auto failing = MakeInterfaced<ScriptedSink>(4, E_ACCESSDENIED);
    EXPECT_EQ(WriteFully(failing.Get(), data, 10, &written), E_ACCESSDENIED);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(WriteFully(failing.Get(), data, 0, nullptr), S_OK);
}

TEST(CheckArchiveResult, OnlySuccessPasses)
{
    EXPECT_EQ(CheckArchiveResult(S_OK), S_OK);
    try {
        CheckArchiveResult(S_FALSE);
        ADD_FAILURE() << "S_FALSE passed";
    } catch (const EFalseError& e) {
        EXPECT_EQ(e.ErrorCode(), S_FALSE);
        EXPECT_EQ(e.HelpContext(), 0);
        EXPECT_EQ(e.Extra(), nullptr);
        EXPECT_NE(e.Message().find(L"S_FALSE"), std::wstring::npos) << WideToUtf8(e.Message());
        EXPECT_EQ(ExceptionToHResult(std::current_exception()), S_FALSE);
    }
    // Other success codes raise too, as plain OLE errors carrying the code.
    for (const HRESULT code : {HRESULT(2), E_FAIL, E_ABORT, HRESULT(0x80070020)}) {
        try {
            CheckArchiveResult(code);
            ADD_FAILURE() << std::hex << code << " passed";
        } catch (const EFalseError&) {
            ADD_FAILURE() << "S_FALSE exception for " << std::hex << code;
        } catch (const EOleSysError& e) {
            EXPECT_EQ(e.ErrorCode(), code);
            EXPECT_FALSE(e.Message().empty());
        }
    }
}
