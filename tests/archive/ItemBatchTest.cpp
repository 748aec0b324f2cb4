// Items unpacked a batch at a time against the same items unpacked one by one: the batch gives
// each item exactly what the reader gives it alone, or nothing where the reader refuses it.
#include "archive/ItemBatch.h"
#include "archive/MaffZipFile.h"
#include "shell/Exceptions.h"
#include "shell/Strings.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace kv;
using kvtest::FixturePath;

namespace {

using Outcome = std::optional<std::string>;  // the item's bytes, or nothing when refused

std::string Bytes(const MemoryStream& stream)
{
    return std::string(stream.Data().begin(), stream.Data().end());
}

// What the reader gives each item alone under the limit.
std::vector<Outcome> OneByOne(TMaffZipFile& reader, const std::vector<int>& indices,
                              uint64_t maxSize)
{
    const uint64_t previous = reader.MaxItemSize();
    reader.SetMaxItemSize(maxSize);
    std::vector<Outcome> outcomes;
    for (const int index : indices) {
        try {
            outcomes.emplace_back(Bytes(*reader.ExtractItem(index).Get()));
        } catch (const Exception&) {
            outcomes.emplace_back(std::nullopt);
        }
    }
    reader.SetMaxItemSize(previous);
    return outcomes;
}

// What the batch hands over, checking that every index comes once, in order, at position 0.
std::vector<Outcome> Batched(TMaffZipFile& reader, const std::vector<int>& indices,
                             uint64_t maxSize)
{
    std::vector<int> seen;
    std::vector<Outcome> outcomes;
    ExtractSmallItems(reader, indices, maxSize,
                      [&](int index, Microsoft::WRL::ComPtr<MemoryStream> bytes) {
                          seen.push_back(index);
                          if (!bytes) {
                              outcomes.emplace_back(std::nullopt);
                              return;
                          }
                          EXPECT_EQ(bytes->Position(), 0u);
                          outcomes.emplace_back(Bytes(*bytes.Get()));
                      });
    EXPECT_EQ(seen, indices);
    return outcomes;
}

std::vector<int> AllItems(const TMaffZipFile& reader)
{
    std::vector<int> indices;
    for (int i = 0; i < reader.NameCount(); ++i)
        indices.push_back(i);
    return indices;
}

} // namespace

// Damaged items, items declared or unpacking larger than the limit, methods whose decoders
// the reader refuses, encrypted items and folders, each among items that are fine: after an
// item that ends a call of the library early, the batch goes on with the next.
TEST(ItemBatch, EveryItemAsTheReaderGivesItAlone)
{
    const struct {
        const wchar_t* fixture;
        uint64_t maxSize;
    } cases[] = {
        {L"archive-mixed.maff", MaxExtractedItemSize},
        {L"archive-mixed.maff", 4096},  // the 1 MiB item declares too much
        {L"archive-crc.maff", MaxExtractedItemSize},
        {L"archive-encrypted.maff", MaxExtractedItemSize},
        {L"archive-hugesize.maff", MaxExtractedItemSize},
        {L"archive-bomb.maff", 1024 * 1024},
        {L"archive-liar-among.maff", 8192},  // one item ends its call and the batch goes on
        {L"reader-lzma.maff", MaxExtractedItemSize},
        {L"hostile-descriptions.maff", 1024 * 1024},  // one item lies about its size
        {L"hostile-folders.maff", 1024 * 1024},
        {L"pages-many.maff", 1024 * 1024},  // more items than one batch holds
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.fixture) + " limit " + std::to_string(c.maxSize));
        TMaffZipFile reader(FixturePath(c.fixture));
        const std::vector<int> indices = AllItems(reader);
        const std::vector<Outcome> alone = OneByOne(reader, indices, c.maxSize);
        const std::vector<Outcome> batched = Batched(reader, indices, c.maxSize);
        ASSERT_EQ(batched.size(), alone.size());
        for (size_t i = 0; i < alone.size(); ++i)
            EXPECT_EQ(batched[i], alone[i]) << WideToUtf8(reader.GetName(indices[i]));
    }
}

TEST(ItemBatch, SomeItemsInAscendingOrderAndTheLimitsOfTheReaderLeftAlone)
{
    TMaffZipFile reader(FixturePath(L"hostile-descriptions.maff"));
    const uint64_t limit = reader.MaxItemSize();
    // A page, the one declared too large, the liar and its page, the last item.
    const std::vector<int> indices = {1, 8, 10, 11, 17};
    EXPECT_EQ(Batched(reader, indices, 1024 * 1024), OneByOne(reader, indices, 1024 * 1024));
    EXPECT_EQ(reader.MaxItemSize(), limit);
    EXPECT_TRUE(Batched(reader, {}, 1024).empty());
}

TEST(ItemBatch, IndicesOutsideTheArchiveGiveNothingAndDisorderIsRefused)
{
    TMaffZipFile reader(FixturePath(L"archive-mixed.maff"));
    const std::vector<Outcome> outcomes = Batched(reader, {-1, 1, 8}, MaxExtractedItemSize);
    EXPECT_EQ(outcomes, (std::vector<Outcome>{std::nullopt, "stored bytes\r\n", std::nullopt}));
    EXPECT_THROW(ExtractSmallItems(reader, {1, 0}, MaxExtractedItemSize,
                                   [](int, Microsoft::WRL::ComPtr<MemoryStream>) {}),
                 EOleSysError);
}
