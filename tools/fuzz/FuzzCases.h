// Test archives made from seeds by mutation, deterministically from a number: the same seed
// archives and the same case number always give the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvfuzz {

// A small, fast generator whose sequence is fixed by its start value.
class Random {
public:
    explicit Random(uint64_t state) : state_(state) {}
    uint64_t Next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A value in [0, bound); 0 when bound is 0.
    uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }
    bool Chance(unsigned percent) { return Below(100) < percent; }
    // Mostly small values, now and then a large one: sizes and counts of a case.
    uint64_t Scaled(uint64_t small, uint64_t large, unsigned largePercent = 15)
    {
        return Chance(largePercent) ? Below(large) + 1 : Below(small) + 1;
    }

private:
    uint64_t state_;
};

uint32_t Crc32(const void* data, size_t size);

// One item of a ZIP archive as written: its data is the stored (possibly compressed) bytes.
struct ZipItem {
    std::string name;
    std::string data;
    uint16_t method = 0;
    uint16_t flags = 0;
    uint32_t crc = 0;
    uint64_t size = 0;  // unpacked
    std::string extra;
};

// Items of a stored (uncompressed) entry.
ZipItem StoredItem(std::string name, std::string data);

// The central directory entries of a ZIP archive, with their data as stored; empty when the
// bytes hold none that can be read.
std::vector<ZipItem> ReadZipItems(const std::string& archive);

// A ZIP archive of items; comment is the archive comment.
std::string WriteZip(const std::vector<ZipItem>& items, const std::string& comment = {});

struct FuzzCase {
    std::string bytes;
    std::string description;  // what was done, for the saved input
};

// Case number index of the run of the given seed, made from one of the seed archives. Without
// hugeDocuments, descriptions stay below the sizes (elements, attributes, namespace
// declarations, attribute text) that the XML parser takes seconds over.
FuzzCase MakeCase(const std::vector<std::string>& seeds, uint64_t seed, uint64_t index,
                  bool hugeDocuments = true);

} // namespace kvfuzz
