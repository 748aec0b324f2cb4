// Raster images read from memory for thumbnails: their size, cheaply, and their first frame
// scaled down to fit a box, as opaque 32-bit BGR pixels.
#pragma once

#include "shell/MemoryStream.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace kv {

struct TImageSize {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint64_t Pixels() const noexcept { return uint64_t{Width} * Height; }
    bool operator==(const TImageSize&) const = default;
};

// A picture as rows of 32-bit pixels (blue, green, red, unused), top row first, with every
// transparent part composited over white.
struct TBgrPicture {
    TImageSize Size;
    std::vector<uint32_t> Pixels;
};

// The most pixels an image may have to be decoded at all: a hostile header cannot make the
// decoder allocate gigabytes inside the host.
inline constexpr uint64_t MaxDecodedPixels = 40'000'000;

// The size of an image scaled to fit inside maxWidth x maxHeight with its aspect ratio kept,
// never enlarged, and never smaller than 1 x 1.
TImageSize FitInside(TImageSize image, uint32_t maxWidth, uint32_t maxHeight) noexcept;

// The size the header of a PNG, GIF, BMP or JPEG image declares, read without a decoder:
// 0 x 0 when the header of one of these types cannot be read (or a GIF's frames together
// exceed MaxDecodedPixels), none for other bytes.
std::optional<TImageSize> DeclaredImageSize(const std::vector<uint8_t>& bytes) noexcept;

class ImageDecoder {
public:
    virtual ~ImageDecoder() = default;
    // Whether an item of this name ("x/photo.JPG") is an image the decoder reads, by its
    // extension.
    virtual bool ReadsName(std::wstring_view name) const = 0;
    // The size of the image's first frame; none when the bytes are no image the decoder reads.
    virtual std::optional<TImageSize> ReadSize(MemoryStream& bytes) = 0;
    // The first frame scaled as FitInside says. Raises when the bytes cannot be decoded and for
    // an image of more than MaxDecodedPixels pixels.
    virtual TBgrPicture Decode(MemoryStream& bytes, uint32_t maxWidth, uint32_t maxHeight) = 0;
};

// The platform's imaging component. The calling thread must have COM; the decoder is used on
// that thread only. Raises when the component is not there.
std::unique_ptr<ImageDecoder> CreateWicImageDecoder();

} // namespace kv
