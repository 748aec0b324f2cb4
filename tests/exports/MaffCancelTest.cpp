// A client that gives up on requests while a large item is being unpacked, as a user who moves
// to the next file does: the plug-in loaded by path, the archive opened through ListLoadW, and
// URL monikers binding maff: URLs in this process's URL session.
#include "tests/common/PluginLoader.h"
#include "tests/common/TestEnv.h"
#include "tests/exports/HostWindow.h"
#include "tools/urlfetch/UrlFetch.h"

#include <gtest/gtest.h>
#include <urlmon.h>
#include <wininet.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace kvtest;
using kvfetch::FetchResult;
using kvfetch::FetchUrl;
using kvfetch::PendingFetch;

namespace {

const std::wstring Base = L"maff://0*";
constexpr size_t HugeSize = size_t{160} << 20;

double Milliseconds(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now{}, frequency{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now()
{
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now;
}

void PumpFor(DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (GetTickCount64() < end) {
        PumpMessages();
        Sleep(1);
    }
}

class MaffCancel : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::wstring path = FixturePath(L"large\\protocol-large.maff");
        viewer_ = plugin_.ListLoadW(host_.Handle(), path.data(), 0);
        ASSERT_NE(viewer_, nullptr);
    }
    void TearDown() override
    {
        if (viewer_ != nullptr)
            plugin_.ListCloseWindow(viewer_);
    }

    HostWindow host_;
    Plugin plugin_;
    HWND viewer_ = nullptr;
};

} // namespace

TEST_F(MaffCancel, GivingUpOnRequestsForALargeItemNeverHoldsUpTheClient)
{
    LARGE_INTEGER start = Now();
    const FetchResult whole = FetchUrl(Base + L"page/huge.bin");
    const double wholeMs = Milliseconds(start);
    ASSERT_EQ(whole.status, 200u);
    ASSERT_EQ(whole.body.size(), HugeSize);

    // Six binds of the item, given up on 50 ms after they started (the bind is aborted and
    // released, as a browser does when it leaves the page).
    std::vector<std::unique_ptr<PendingFetch>> pending;
    for (int i = 0; i < 6; ++i)
        pending.push_back(std::make_unique<PendingFetch>(Base + L"page/huge.bin"));
    PumpFor(50);
    start = Now();
    pending.clear();
    const double giveUpMs = Milliseconds(start);

    // The readers the abandoned extractions held come back without those extractions ending:
    // the small item next to them is served long before six extractions could have finished.
    start = Now();
    const FetchResult small = FetchUrl(Base + L"page/small.txt");
    const double smallMs = Milliseconds(start);
    EXPECT_EQ(small.body, "a small item beside a large one");
    std::printf("whole item %.1f ms; giving up on 6 binds %.1f ms; small item after it %.1f ms\n",
                wholeMs, giveUpMs, smallMs);
    // Bounds far above what the client's thread needs and far below what waiting for the
    // extractions took (seconds).
    EXPECT_LT(giveUpMs, 1000.0);
    EXPECT_LT(smallMs, 2 * wholeMs + 1000.0);
}

TEST_F(MaffCancel, AWorkerCopiesItsItemIntoTheUrlCacheAndTheClientsThreadDoesNoFileWork)
{
    // The medium item is above what is served on the client's thread: a worker makes it, and
    // copies it into the URL cache for a bind that asks for a file.
    const FetchResult medium = FetchUrl(Base + L"page/medium.bin", BINDF_NEEDFILE);
    ASSERT_EQ(medium.status, 200u);
    ASSERT_EQ(medium.body.size(), 256u * 4096u);
    ASSERT_FALSE(medium.cacheFile.empty());
    EXPECT_EQ(ReadFileBytes(medium.cacheFile), medium.body);

    // A small item of the open archive is served on the client's thread, from memory: no file
    // work there, and no cache file.
    const FetchResult small = FetchUrl(Base + L"page/small.txt", BINDF_NEEDFILE);
    EXPECT_EQ(small.body, "a small item beside a large one");
    EXPECT_TRUE(small.cacheFile.empty()) << std::string(small.cacheFile.begin(), small.cacheFile.end());
}
