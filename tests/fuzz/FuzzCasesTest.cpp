// The fuzzer's cases: the same number always gives the same bytes, the archives it writes are
// read by the archive library as written, and its cases reach past the archive's opening into
// page discovery (a fuzzer whose cases all fail at the first check proves nothing).
#include "tools/fuzz/FuzzCases.h"

#include "archive/MaffZipFile.h"
#include "plugin/PageDiscovery.h"
#include "shell/Strings.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

using namespace kvfuzz;

TEST(FuzzCases, ACaseIsFixedByItsSeedAndNumber)
{
    const std::vector<std::string> seeds = {
        kvtest::ReadFileBytes(kvtest::FixturePath(L"protocol-items.maff")),
        kvtest::ReadFileBytes(kvtest::FixturePath(L"pages-labels.maff"))};
    for (uint64_t index = 0; index < 50; ++index) {
        const FuzzCase a = MakeCase(seeds, 3, index);
        const FuzzCase b = MakeCase(seeds, 3, index);
        EXPECT_EQ(a.bytes, b.bytes) << index;
        EXPECT_EQ(a.description, b.description);
        EXPECT_NE(a.bytes, MakeCase(seeds, 4, index).bytes) << index;
    }
}

TEST(FuzzCases, WrittenArchivesReadBackAsWritten)
{
    std::vector<ZipItem> items = {StoredItem("page/index.html", "<html>x</html>"),
                                  StoredItem("page/empty.txt", ""),
                                  StoredItem("page/index.html", "the later one")};
    const std::string bytes = WriteZip(items, "a comment");
    const std::vector<ZipItem> read = ReadZipItems(bytes);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[2].name, "page/index.html");
    EXPECT_EQ(read[2].data, "the later one");
    EXPECT_EQ(read[0].crc, Crc32("<html>x</html>", 14));

    const kvtest::TempFolder folder;
    kv::TMaffZipFile archive(folder.Write(L"written.maff", bytes));
    ASSERT_EQ(archive.NameCount(), 3);
    EXPECT_EQ(archive.GetName(1), L"page\\empty.txt");
    const auto data = archive.ExtractItem(2)->Data();
    EXPECT_EQ(std::string(data.begin(), data.end()), "the later one");
}

TEST(FuzzCases, MostCasesOpenAndManyReachPageDiscovery)
{
    const std::vector<std::string> seeds = {
        kvtest::ReadFileBytes(kvtest::FixturePath(L"protocol-items.maff")),
        kvtest::ReadFileBytes(kvtest::FixturePath(L"viewer-two-pages.maff"))};
    const kvtest::TempFolder folder;
    int opened = 0, withPages = 0;
    constexpr int Cases = 200;
    for (int index = 0; index < Cases; ++index) {
        const std::wstring path =
            folder.Write(kv::FormatString(L"case%d.maff", index), MakeCase(seeds, 11, index, false).bytes);
        try {
            kv::TMaffZipFile archive(path);
            ++opened;
            kv::PageList pages;
            kv::VectorLabelList labels;
            try {
                kv::RunIndexScan(L"0*", archive, pages, labels);
            } catch (...) {
            }
            kv::RunFallbackScan(L"0*", archive, pages, labels);
            if (!pages.Empty())
                ++withPages;
        } catch (...) {
        }
    }
    EXPECT_GT(opened, Cases / 2);
    EXPECT_GT(withPages, Cases / 3);
    EXPECT_LT(withPages, Cases);  // and damage is done too
}
