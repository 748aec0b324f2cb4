#include "archive/ArchiveCache.h"
#include "shell/Exceptions.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

#include <string>

using namespace kv;
using kvtest::FixturePath;

namespace {
std::string Bytes(const Microsoft::WRL::ComPtr<MemoryStream>& stream)
{
    return std::string(stream->Data().begin(), stream->Data().end());
}
} // namespace

TEST(ArchiveCache, OneArchiveIsSharedUntilTheFileChanges)
{
    kvtest::TempFolder temp;
    const std::wstring path = temp.Copy(FixturePath(L"protocol-items.maff"), L"shared.maff");
    auto first = OpenSharedArchive(path);
    EXPECT_EQ(OpenSharedArchive(path), first);
    ASSERT_GE(first->FindItem(L"page\\data.bin"), 0);
    EXPECT_EQ(first->Names()[static_cast<size_t>(first->FindItem(L"page\\dup.txt"))], L"page\\dup.txt");
    EXPECT_EQ(Bytes(first->ExtractItem(first->FindItem(L"page\\dup.txt"))), "the later item");
    EXPECT_EQ(first->FindItem(L"page\\Data.bin"), -1);

    ASSERT_TRUE(CopyFileW(FixturePath(L"protocol-items-v2.maff").c_str(), path.c_str(), FALSE));
    auto second = OpenSharedArchive(path);
    EXPECT_NE(second, first);
    EXPECT_EQ(Bytes(second->ExtractItem(second->FindItem(L"page\\data.bin"))), "the second version");

    // Deleted by the user: the cache keeps it while it is used, then lets the file go.
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    CloseIdleArchives(std::chrono::milliseconds(0));
    EXPECT_EQ(CachedArchiveCount(), 1u);
    first.reset();
    second.reset();
    CloseIdleArchives(std::chrono::milliseconds(0));
    EXPECT_EQ(CachedArchiveCount(), 0u);
    EXPECT_THROW(OpenSharedArchive(path), EOSError);
}
