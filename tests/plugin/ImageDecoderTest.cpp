// The image sizes read from headers without a decoder, which decide what a decoder may see, and
// the box a thumbnail is scaled into.
#include "plugin/ImageDecoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using namespace kv;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> bytes;
    for (const int value : values)
        bytes.push_back(static_cast<uint8_t>(value));
    return bytes;
}

void Append(std::vector<uint8_t>& bytes, const std::vector<uint8_t>& more)
{
    bytes.insert(bytes.end(), more.begin(), more.end());
}

std::vector<uint8_t> PngHeader(uint32_t width, uint32_t height)
{
    std::vector<uint8_t> bytes = Bytes({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13,
                                        'I', 'H', 'D', 'R'});
    for (const uint32_t value : {width, height})
        Append(bytes, Bytes({int(value >> 24), int(value >> 16 & 0xFF), int(value >> 8 & 0xFF),
                             int(value & 0xFF)}));
    Append(bytes, Bytes({8, 2, 0, 0, 0}));
    return bytes;
}

// A GIF of a 16 x 16 screen and frames of the given sizes, each with a few bytes of data.
std::vector<uint8_t> Gif(std::initializer_list<std::pair<int, int>> frames)
{
    std::vector<uint8_t> bytes = Bytes({'G', 'I', 'F', '8', '9', 'a', 16, 0, 16, 0, 0x80, 0, 0,
                                        0, 0, 0, 255, 255, 255});
    // A comment extension between the frames is skipped by its data blocks.
    Append(bytes, Bytes({0x21, 0xFE, 3, 'a', 'b', 'c', 0}));
    for (const auto& [width, height] : frames) {
        Append(bytes, Bytes({0x2C, 0, 0, 0, 0, width & 0xFF, width >> 8, height & 0xFF,
                             height >> 8, 0, 2, 2, 0x44, 0x01, 0}));
    }
    bytes.push_back(0x3B);
    return bytes;
}

} // namespace

TEST(DeclaredImageSize, ReadsTheHeadersOfTheSimpleTypes)
{
    EXPECT_EQ(DeclaredImageSize(PngHeader(400, 200)), (TImageSize{400, 200}));
    EXPECT_EQ(DeclaredImageSize(PngHeader(60000, 60000)), (TImageSize{60000, 60000}));

    // A bottom-up and a top-down BMP (negative height), and one with the old core header.
    std::vector<uint8_t> bmp = Bytes({'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0,
                                      64, 0, 0, 0, 48, 0, 0, 0});
    EXPECT_EQ(DeclaredImageSize(bmp), (TImageSize{64, 48}));
    bmp[22] = 0xD0;  // -48
    bmp[23] = bmp[24] = bmp[25] = 0xFF;
    EXPECT_EQ(DeclaredImageSize(bmp), (TImageSize{64, 48}));
    const std::vector<uint8_t> core = Bytes({'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 26, 0, 0, 0, 12, 0,
                                             0, 0, 7, 0, 5, 0, 1, 0, 24, 0});
    EXPECT_EQ(DeclaredImageSize(core), (TImageSize{7, 5}));

    // A JPEG with a padded marker and an application segment before its frame header.
    std::vector<uint8_t> jpeg = Bytes({0xFF, 0xD8, 0xFF, 0xE0, 0, 6, 'J', 'F', 'I', 'F', 0xFF,
                                       0xFF, 0xC2, 0, 11, 8, 0x01, 0x2C, 0x02, 0x58, 3});
    EXPECT_EQ(DeclaredImageSize(jpeg), (TImageSize{600, 300}));

    EXPECT_EQ(DeclaredImageSize(Gif({{10, 12}})), (TImageSize{16, 16}));
    EXPECT_EQ(DeclaredImageSize(Gif({{10, 12}, {300, 20}})), (TImageSize{300, 20}));
}

TEST(DeclaredImageSize, RefusesHeadersCutShortAndGifFramesTooLargeTogether)
{
    std::vector<uint8_t> png = PngHeader(400, 200);
    png.resize(20);
    EXPECT_EQ(DeclaredImageSize(png), TImageSize{});
    // Image data before any frame header.
    EXPECT_EQ(DeclaredImageSize(Bytes({0xFF, 0xD8, 0xFF, 0xDA, 0, 2})), TImageSize{});
    EXPECT_EQ(DeclaredImageSize(Bytes({0xFF, 0xD8, 0xFF, 0xE0, 0x40, 0})), TImageSize{});
    EXPECT_EQ(DeclaredImageSize(Bytes({'B', 'M', 0, 0})), TImageSize{});
    EXPECT_EQ(DeclaredImageSize(Bytes({'G', 'I', 'F', '8', '9', 'a', 1})), TImageSize{});

    // Each frame passes alone; together they are more than any decoder is given.
    EXPECT_EQ(DeclaredImageSize(Gif({{6000, 6000}})), (TImageSize{6000, 6000}));
    EXPECT_EQ(DeclaredImageSize(Gif({{6000, 6000}, {6000, 6000}})), TImageSize{});

    // Other types are for the imaging component to measure.
    EXPECT_FALSE(DeclaredImageSize(Bytes({0, 0, 1, 0, 1, 0})));
    EXPECT_FALSE(DeclaredImageSize(Bytes({'I', 'I', 42, 0})));
    EXPECT_FALSE(DeclaredImageSize({}));
}

TEST(FitInside, KeepsTheAspectRatioAndNeverEnlarges)
{
    EXPECT_EQ(FitInside({400, 200}, 200, 200), (TImageSize{200, 100}));
    EXPECT_EQ(FitInside({400, 200}, 50, 200), (TImageSize{50, 25}));
    EXPECT_EQ(FitInside({400, 200}, 300, 30), (TImageSize{60, 30}));
    EXPECT_EQ(FitInside({50, 30}, 200, 200), (TImageSize{50, 30}));
    EXPECT_EQ(FitInside({50, 30}, 50, 30), (TImageSize{50, 30}));
    // Extreme shapes keep a pixel on the short side.
    EXPECT_EQ(FitInside({10000, 1}, 200, 200), (TImageSize{200, 1}));
    EXPECT_EQ(FitInside({1, 10000}, 200, 200), (TImageSize{1, 200}));
    EXPECT_EQ(FitInside({65535, 65535}, 1, 1), (TImageSize{1, 1}));
}
