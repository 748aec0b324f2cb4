// The in-memory stream as an OLE stream: growth, positions and copying.
#include "shell/MemoryStream.h"
#include "shell/ShellStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using kv::MemoryStream;

namespace {

std::string Contents(MemoryStream& stream)
{
    return std::string(stream.Data().begin(), stream.Data().end());
}

LARGE_INTEGER Offset(LONGLONG value)
{
    LARGE_INTEGER offset;
    offset.QuadPart = value;
    return offset;
}

// A target that takes at most Limit bytes per write and answers Result.
class TNarrowTarget : public kv::TorvShellStream {
public:
    ULONG limit = 0;
    HRESULT result = S_OK;
    std::string data;

protected:
    HRESULT DoWrite(const void* buffer, ULONG count, ULONG& written) override
    {
        written = std::min(count, limit);
        data.append(static_cast<const char*>(buffer), written);
        return result;
    }
};

} // namespace

TEST(MemoryStream, AppendReadWriteAndSeek)
{
    auto stream = MemoryStream::Create();
    stream->Append("hello", 5);
    stream->Append(nullptr, 0);
    EXPECT_EQ(stream->Size(), 5u);
    EXPECT_EQ(stream->Position(), 0u);

    char buffer[16];
    ULONG done = 0;
    EXPECT_EQ(stream->Read(buffer, 3, &done), S_OK);
    EXPECT_EQ(std::string(buffer, done), "hel");
    EXPECT_EQ(stream->Read(buffer, 16, &done), S_OK);
    EXPECT_EQ(std::string(buffer, done), "lo");
    EXPECT_EQ(stream->Read(buffer, 16, &done), S_OK);
    EXPECT_EQ(done, 0u);

    // Writing past the end fills the gap with zeros.
    ULARGE_INTEGER position{};
    EXPECT_EQ(stream->Seek(Offset(2), STREAM_SEEK_END, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 7u);
    EXPECT_EQ(stream->Write("!", 1, &done), S_OK);
    EXPECT_EQ(Contents(*stream.Get()), std::string("hello\0\0!", 8));
    EXPECT_EQ(stream->Seek(Offset(-1), STREAM_SEEK_SET, &position), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->Seek(Offset(1), STREAM_SEEK_SET, nullptr), S_OK);
    EXPECT_EQ(stream->Write("EL", 2, nullptr), S_OK);
    EXPECT_EQ(Contents(*stream.Get()), std::string("hELlo\0\0!", 8));

    STATSTG stat{};
    EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, 8u);
}

TEST(MemoryStream, InterfacesCountAndCopy)
{
    auto stream = MemoryStream::Create();
    // Create hands over the only reference.
    EXPECT_EQ(stream->AddRef(), 2u);
    EXPECT_EQ(stream->Release(), 1u);
    stream->Append("0123456789", 10);
    Microsoft::WRL::ComPtr<ISequentialStream> sequential;
    EXPECT_EQ(stream->QueryInterface(IID_ISequentialStream, reinterpret_cast<void**>(sequential.GetAddressOf())), S_OK);
    EXPECT_EQ(static_cast<void*>(sequential.Get()), static_cast<void*>(static_cast<IStream*>(stream.Get())));
    void* other = nullptr;
    EXPECT_EQ(stream->QueryInterface(IID_IPersistStream, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);

    auto target = MemoryStream::Create();
    ASSERT_EQ(stream->Seek(Offset(4), STREAM_SEEK_SET, nullptr), S_OK);
    ULARGE_INTEGER count{}, read{}, written{};
    count.QuadPart = 3;
    EXPECT_EQ(stream->CopyTo(target.Get(), count, &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, 3u);
    EXPECT_EQ(written.QuadPart, 3u);
    count.QuadPart = 100;
    EXPECT_EQ(stream->CopyTo(target.Get(), count, &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, 3u);
    EXPECT_EQ(Contents(*target.Get()), "456789");
    EXPECT_EQ(stream->Position(), 10u);
}

TEST(MemoryStream, PositionsNearTheTopOfTheRangeNeverWrapAround)
{
    auto stream = MemoryStream::Create();
    stream->Append("0123456789", 10);

    // A write whose end would pass 2^64 is refused, not wrapped onto the bytes before the data.
    stream->SetPosition(~0ull - 1);
    ULONG done = 77;
    EXPECT_EQ(stream->Write("ABCD", 4, &done), STG_E_MEDIUMFULL);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(Contents(*stream.Get()), "0123456789");
    EXPECT_EQ(stream->Position(), ~0ull - 1);

    // Seeks that leave the signed 64-bit range fail and keep the position.
    constexpr LONGLONG Top = 0x7FFFFFFFFFFFFFFFll;
    ULARGE_INTEGER position{};
    ASSERT_EQ(stream->Seek(Offset(Top), STREAM_SEEK_SET, &position), S_OK);
    EXPECT_EQ(position.QuadPart, static_cast<ULONGLONG>(Top));
    EXPECT_EQ(stream->Seek(Offset(Top), STREAM_SEEK_CUR, &position), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->Seek(Offset(Top), STREAM_SEEK_END, &position), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->Position(), static_cast<uint64_t>(Top));
    EXPECT_EQ(stream->Seek(Offset(-Top), STREAM_SEEK_CUR, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 0u);
}

TEST(MemoryStream, CopyToMovesOnlyByWhatTheTargetTook)
{
    auto stream = MemoryStream::Create();
    stream->Append("0123456789", 10);
    auto target = kv::MakeInterfaced<TNarrowTarget>();
    ULARGE_INTEGER count{}, read{}, written{};
    count.QuadPart = 10;

    // A short write is a failure, and the bytes not taken are still to be read.
    target->limit = 4;
    EXPECT_TRUE(FAILED(stream->CopyTo(target.Get(), count, &read, &written)));
    EXPECT_EQ(read.QuadPart, 4u);
    EXPECT_EQ(written.QuadPart, 4u);
    EXPECT_EQ(stream->Position(), 4u);

    // A failing target leaves the position alone.
    target->limit = 0;
    target->result = STG_E_MEDIUMFULL;
    EXPECT_EQ(stream->CopyTo(target.Get(), count, &read, &written), STG_E_MEDIUMFULL);
    EXPECT_EQ(read.QuadPart, 0u);
    EXPECT_EQ(stream->Position(), 4u);

    target->limit = 100;
    target->result = S_OK;
    EXPECT_EQ(stream->CopyTo(target.Get(), count, &read, &written), S_OK);
    EXPECT_EQ(target->data, "0123456789");
    EXPECT_EQ(stream->Position(), 10u);
}
