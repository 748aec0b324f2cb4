// What many requests at once may take of the host's process: the maff: handler driven as the
// URL-moniker layer drives it, on an archive with a large item.
#include "protocol/ArchiveRegistry.h"
#include "protocol/ItemExtractions.h"
#include "protocol/MaffProtocol.h"
#include "protocol/ProtocolThread.h"
#include "shell/ComFactory.h"
#include "tests/common/TestEnv.h"
#include "tests/protocol/NewProtocol.h"
#include "tools/urlfetch/RecordingSink.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;
using namespace kv;
using kvfetch::RecordingSink;

namespace {

struct Request {
    ComPtr<IInternetProtocol> protocol = NewProtocol<TProtocolExtension1>();
    RecordingSink sink{BINDF_ASYNCHRONOUS};
};

uint64_t BodySize(IInternetProtocol& protocol)
{
    std::vector<char> buffer(1 << 20);
    uint64_t size = 0;
    for (;;) {
        ULONG read = 0;
        const HRESULT result = protocol.Read(buffer.data(), static_cast<ULONG>(buffer.size()), &read);
        size += read;
        if (result != S_OK)
            return size;
    }
}

class ProtocolBounds : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
        archive_ = RegisterArchive(kvtest::FixturePath(L"large\\protocol-large.maff"));
    }
    void TearDown() override { OleUninitialize(); }
    std::wstring Url(const std::wstring& item) { return L"maff://" + archive_.Id() + item; }

    TArchiveRegistration archive_;
};

} // namespace

TEST_F(ProtocolBounds, RequestsForOneItemShareOneExtraction)
{
    constexpr uint64_t Huge = uint64_t{160} << 20;
    ASSERT_EQ(HeldItemBytes(), 0u);
    std::vector<std::unique_ptr<Request>> requests;
    for (int i = 0; i < 6; ++i) {
        requests.push_back(std::make_unique<Request>());
        Request& request = *requests.back();
        // Queries and fragments name the same item.
        const std::wstring url = Url(L"page/huge.bin") + (i % 2 ? L"?n=" : L"#") + std::to_wstring(i);
        ASSERT_EQ(request.protocol->Start(url.c_str(), &request.sink, &request.sink, 0, 0), S_OK);
    }
    for (auto& request : requests)
        ASSERT_EQ(WaitForSingleObject(request->sink.done, 60000), WAIT_OBJECT_0);
    // Six requests hold the item's bytes once.
    EXPECT_EQ(HeldItemBytes(), Huge);
    for (auto& request : requests) {
        EXPECT_EQ(request->sink.reports.back().progress, 200u);
        EXPECT_EQ(BodySize(*request->protocol.Get()), Huge);
        EXPECT_EQ(request->protocol->Terminate(0), S_OK);
    }
    requests.clear();
    EXPECT_EQ(HeldItemBytes(), 0u);
}

TEST_F(ProtocolBounds, ManyRequestsAtOnceWaitForABoundedNumberOfWorkers)
{
    std::vector<std::unique_ptr<Request>> requests;
    size_t mostWorkers = 0;
    for (int i = 0; i < 60; ++i) {
        requests.push_back(std::make_unique<Request>());
        Request& request = *requests.back();
        // Each a different item for the queue: the medium item goes to a worker, the small
        // ones too while the archive is not indexed yet.
        const std::wstring url = Url(i % 3 == 0 ? L"page/medium.bin" : L"page/small.txt") + L"?" +
                                 std::to_wstring(i);
        ASSERT_EQ(request.protocol->Start(url.c_str(), &request.sink, &request.sink, 0, 0), S_OK);
        mostWorkers = std::max(mostWorkers, TorvShellProtocolThread::Running());
    }
    for (auto& request : requests) {
        ASSERT_EQ(WaitForSingleObject(request->sink.done, 60000), WAIT_OBJECT_0);
        mostWorkers = std::max(mostWorkers, TorvShellProtocolThread::Running());
        EXPECT_EQ(request->sink.reports.back().progress, 200u);
        EXPECT_EQ(request->protocol->Terminate(0), S_OK);
    }
    EXPECT_LE(mostWorkers, MaxProtocolWorkers);
    EXPECT_GT(mostWorkers, 0u);
}
