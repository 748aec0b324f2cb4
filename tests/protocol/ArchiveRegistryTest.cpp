// The archive registry: ids by position, paths compared without regard to case, and lookups
// from several threads while paths are being added.
#include "protocol/ArchiveRegistry.h"
#include "tests/common/ErrorMessage.h"
#include "shell/Exceptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace kv;

namespace {

// Every test starts from a fresh registry, as a freshly loaded library has.
class ArchiveRegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FreeArchiveRegistry();
        CreateArchiveRegistry();
    }
    void TearDown() override { FreeArchiveRegistry(); }
};

std::wstring IndexError(int index)
{
    return kvtest::ErrorMessageOf([&] { GetArchivePath(index); });
}

} // namespace

TEST_F(ArchiveRegistryTest, SamePathInOtherCaseSharesItsId)
{
    const TArchiveRegistration x = RegisterArchive(L"C:\\A\\x.maff");
    const TArchiveRegistration y = RegisterArchive(L"C:\\A\\y.maff");
    EXPECT_EQ(x.Id(), L"0*");
    EXPECT_EQ(RegisterArchive(L"c:\\a\\X.MAFF").Id(), L"0*");
    EXPECT_EQ(y.Id(), L"1*");
    EXPECT_EQ(RegisterArchive(L"C:\\A\\x.maff").Id(), L"0*");
    // The first spelling is the one kept.
    EXPECT_EQ(GetArchivePath(0), L"C:\\A\\x.maff");
    EXPECT_EQ(GetArchivePath(1), L"C:\\A\\y.maff");
    // Any text registers; nothing is checked on disk. Non-ASCII letters fold too.
    EXPECT_EQ(RegisterArchive(L"").Id(), L"2*");
    EXPECT_EQ(RegisterArchive(L"D:\\\u00C9t\u00E9.maff").Id(), L"3*");
    EXPECT_EQ(RegisterArchive(L"d:\\\u00E9T\u00C9.MAFF").Id(), L"3*");
}

TEST_F(ArchiveRegistryTest, UnknownIndexRaisesListIndexError)
{
    const TArchiveRegistration one = RegisterArchive(L"C:\\one.maff");
    EXPECT_EQ(IndexError(7), L"List index out of bounds (7)");
    EXPECT_EQ(IndexError(1), L"List index out of bounds (1)");
    EXPECT_EQ(IndexError(-1), L"List index out of bounds (-1)");
    EXPECT_EQ(IndexError(0), kvtest::NoError);
}

TEST_F(ArchiveRegistryTest, AnArchiveIsServedOnlyWhileSomeoneHoldsIt)
{
    static std::vector<std::wstring> released;
    released.clear();
    SetArchiveReleasedHandler([](const std::wstring& prefix) noexcept { released.push_back(prefix); });
    {
        TArchiveRegistration first = RegisterArchive(L"C:\\victim.maff");
        {
            const TArchiveRegistration second = RegisterArchive(L"c:\\VICTIM.maff");
            EXPECT_EQ(second.Id(), L"0*");
        }
        EXPECT_EQ(IndexError(0), kvtest::NoError) << "still held by the first viewer";
        // Loading the same file again in place holds it throughout.
        first = RegisterArchive(L"C:\\victim.maff");
        EXPECT_EQ(IndexError(0), kvtest::NoError);
        EXPECT_TRUE(released.empty());
        const TArchiveRegistration other = RegisterArchive(L"C:\\other.maff");
        EXPECT_EQ(other.Id(), L"1*");
    }
    // Nobody shows either archive now: their ids answer as unknown ones, once each released.
    EXPECT_EQ(IndexError(0), L"List index out of bounds (0)");
    EXPECT_EQ(IndexError(1), L"List index out of bounds (1)");
    EXPECT_EQ(released, (std::vector<std::wstring>{L"maff://1*", L"maff://0*"}));
    // Shown again later, an archive gets its old id back.
    const TArchiveRegistration again = RegisterArchive(L"C:\\victim.maff");
    EXPECT_EQ(again.Id(), L"0*");
    EXPECT_EQ(GetArchivePath(0), L"C:\\victim.maff");
    SetArchiveReleasedHandler(nullptr);
}

TEST(ArchiveRegistryLifetime, WorksWithoutStartUpAndAfterUnload)
{
    FreeArchiveRegistry();
    // Never created: the first use creates it.
    EXPECT_EQ(IndexError(0), L"List index out of bounds (0)");
    const TArchiveRegistration lazy = RegisterArchive(L"C:\\lazy.maff");
    EXPECT_EQ(lazy.Id(), L"0*");
    // Creating again keeps what is there; freeing forgets it.
    CreateArchiveRegistry();
    EXPECT_EQ(GetArchivePath(0), L"C:\\lazy.maff");
    FreeArchiveRegistry();
    FreeArchiveRegistry();
    EXPECT_EQ(RegisterArchive(L"C:\\other.maff").Id(), L"0*");
    FreeArchiveRegistry();
}

TEST_F(ArchiveRegistryTest, ReadersSeeEveryPathWhileOneThreadRegisters)
{
    constexpr int PathCount = 500;
    const auto pathOf = [](int i) { return L"C:\\archives\\page" + std::to_wstring(i) + L".maff"; };

    std::atomic<int> published{0};
    std::atomic<bool> done{false};
    std::atomic<int> mismatches{0};
    std::atomic<long> reads{0};

    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&, r] {
            unsigned seed = 1234u + r;
            while (!done.load()) {
                const int count = published.load();
                if (count == 0)
                    continue;
                seed = seed * 1103515245u + 12345u;
                const int index = static_cast<int>(seed % static_cast<unsigned>(count));
                if (GetArchivePath(index) != pathOf(index))
                    ++mismatches;
                ++reads;
            }
        });
    }
    // Whether threads race for the lazily created registry is covered here too: the writer
    // registers on a registry the readers may not have touched yet.
    std::vector<TArchiveRegistration> held(PathCount);
    std::thread writer([&] {
        for (int i = 0; i < PathCount; ++i) {
            held[i] = RegisterArchive(pathOf(i));
            if (held[i].Id() != std::to_wstring(i) + L"*")
                ++mismatches;
            // Registering again in other case must not add an entry.
            if (i % 7 == 0 && RegisterArchive(L"c:\\ARCHIVES\\PAGE" + std::to_wstring(i) +
                                              L".MAFF").Id() != std::to_wstring(i) + L"*")
                ++mismatches;
            published.store(i + 1);
        }
    });
    writer.join();
    done.store(true);
    for (std::thread& t : readers)
        t.join();

    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(GetArchivePath(PathCount - 1), pathOf(PathCount - 1));
    EXPECT_EQ(IndexError(PathCount), L"List index out of bounds (500)");
}

TEST(ArchiveRegistryLifetime, ThreadsRacingForTheFirstUseShareOneRegistry)
{
    FreeArchiveRegistry();
    std::vector<std::thread> threads;
    std::vector<std::wstring> ids(8);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] { ids[t] = RegisterArchive(L"C:\\shared.maff").Id(); });
    for (std::thread& t : threads)
        t.join();
    for (const std::wstring& id : ids)
        EXPECT_EQ(id, L"0*");
    EXPECT_EQ(IndexError(1), L"List index out of bounds (1)");
    FreeArchiveRegistry();
}
