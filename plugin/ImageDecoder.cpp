#include "plugin/ImageDecoder.h"

#include "shell/Exceptions.h"
#include "shell/OleCheck.h"
#include "shell/Strings.h"

#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <array>

namespace kv {

using Microsoft::WRL::ComPtr;

namespace {

uint32_t BigEndian16(const std::vector<uint8_t>& b, size_t at)
{
    return (uint32_t{b[at]} << 8) | b[at + 1];
}

uint32_t BigEndian32(const std::vector<uint8_t>& b, size_t at)
{
    return (BigEndian16(b, at) << 16) | BigEndian16(b, at + 2);
}

uint32_t LittleEndian16(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | (uint32_t{b[at + 1]} << 8);
}

uint32_t LittleEndian32(const std::vector<uint8_t>& b, size_t at)
{
    return LittleEndian16(b, at) | (LittleEndian16(b, at + 2) << 16);
}

bool StartsWith(const std::vector<uint8_t>& bytes, std::string_view prefix)
{
    return bytes.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), bytes.begin(),
                      [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

// The frame size of the first start-of-frame segment; the segments before it are skipped by
// their lengths, and the scan ends at the image data.
std::optional<TImageSize> JpegFrameSize(const std::vector<uint8_t>& b)
{
    size_t at = 2;
    while (at + 4 <= b.size()) {
        if (b[at] != 0xFF)
            return std::nullopt;
        const uint8_t marker = b[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA)  // end of image, start of scan
            return std::nullopt;
        const size_t length = BigEndian16(b, at + 2);
        const bool startOfFrame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (startOfFrame) {
            if (at + 9 > b.size())
                return std::nullopt;
            return TImageSize{BigEndian16(b, at + 7), BigEndian16(b, at + 5)};
        }
        at += 2 + length;
    }
    return std::nullopt;
}

// The size of the colour table a GIF flags byte announces.
size_t GifColourTableBytes(uint8_t flags)
{
    return (flags & 0x80) != 0 ? size_t{3} << ((flags & 7) + 1) : 0;
}

// The logical screen, grown to hold every frame. Some decoders (Wine's) unpack every frame
// when they are made, so frames of more than MaxDecodedPixels together make the image
// unreadable (0 x 0), whatever the screen says.
std::optional<TImageSize> GifSize(const std::vector<uint8_t>& b)
{
    if (b.size() < 13)
        return std::nullopt;
    TImageSize size{LittleEndian16(b, 6), LittleEndian16(b, 8)};
    uint64_t framePixels = 0;
    size_t at = 13 + GifColourTableBytes(b[10]);
    while (at < b.size() && b[at] != 0x3B) {
        if (b[at] == 0x21) {  // an extension: its label, then data blocks
            at += 2;
        } else if (b[at] == 0x2C) {  // a frame: its descriptor, colours, code size, data
            if (at + 10 > b.size())
                break;
            const uint32_t width = LittleEndian16(b, at + 5);
            const uint32_t height = LittleEndian16(b, at + 7);
            size.Width = std::max(size.Width, LittleEndian16(b, at + 1) + width);
            size.Height = std::max(size.Height, LittleEndian16(b, at + 3) + height);
            framePixels += uint64_t{width} * height;
            if (framePixels > MaxDecodedPixels)
                return TImageSize{};
            at += 10 + GifColourTableBytes(b[at + 9]) + 1;
        } else {
            break;  // not a block: what follows is no frame a decoder reads either
        }
        while (at < b.size() && b[at] != 0)
            at += size_t{1} + b[at];
        ++at;
    }
    return size;
}

std::optional<TImageSize> BmpSize(const std::vector<uint8_t>& b)
{
    if (b.size() < 26)
        return std::nullopt;
    if (LittleEndian32(b, 14) == 12)  // the old core header: 16-bit sizes
        return TImageSize{LittleEndian16(b, 18), LittleEndian16(b, 20)};
    const auto height = static_cast<int32_t>(LittleEndian32(b, 22));  // negative: top-down
    const uint32_t magnitude = height < 0 ? 0u - static_cast<uint32_t>(height)
                                          : static_cast<uint32_t>(height);
    return TImageSize{LittleEndian32(b, 18), magnitude};
}

// The image types every imaging component since Windows 7 (and Wine's) reads.
constexpr std::array<std::wstring_view, 8> BuiltInExtensions = {
    L".png", L".jpg", L".jpeg", L".gif", L".bmp", L".ico", L".tif", L".tiff"};

class WicImageDecoder final : public ImageDecoder {
public:
    WicImageDecoder()
    {
        OleCheck(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_PPV_ARGS(&factory_)));
        // WebP arrived later, through an optional codec: only where one is installed.
        ComPtr<IWICBitmapDecoder> webp;
        readsWebp_ = SUCCEEDED(factory_->CreateDecoder(GUID_ContainerFormatWebp, nullptr, &webp));
    }

    bool ReadsName(std::wstring_view name) const override
    {
        const std::wstring extension = ExtractFileExt(name);
        if (readsWebp_ && SameTextIgnoreAsciiCase(extension, L".webp"))
            return true;
        return std::any_of(BuiltInExtensions.begin(), BuiltInExtensions.end(),
                           [&](std::wstring_view known) {
                               return SameTextIgnoreAsciiCase(extension, known);
                           });
    }

    std::optional<TImageSize> ReadSize(MemoryStream& bytes) override
    {
        // Some imaging components (Wine's) decode the whole image when the decoder is made:
        // the types whose headers are simple are measured without one.
        if (std::optional<TImageSize> declared = DeclaredImageSize(bytes.Data()))
            return declared->Pixels() == 0 ? std::nullopt : declared;
        try {
            TImageSize size;
            OleCheck(FirstFrame(bytes)->GetSize(&size.Width, &size.Height));
            if (size.Pixels() == 0)
                return std::nullopt;
            return size;
        } catch (const EOleSysError&) {
            return std::nullopt;
        }
    }

    TBgrPicture Decode(MemoryStream& bytes, uint32_t maxWidth, uint32_t maxHeight) override
    {
        // Refused before a decoder sees it, for the decoders that decode as they are made.
        if (const std::optional<TImageSize> declared = DeclaredImageSize(bytes.Data()))
            CheckPixels(*declared);
        const ComPtr<IWICBitmapFrameDecode> frame = FirstFrame(bytes);
        TImageSize size;
        OleCheck(frame->GetSize(&size.Width, &size.Height));
        CheckPixels(size);

        // Premultiplied before scaling, so that transparent pixels lend no colour to their
        // neighbours; composited over white after.
        ComPtr<IWICBitmapSource> converted;
        OleCheck(WICConvertBitmapSource(GUID_WICPixelFormat32bppPBGRA, frame.Get(), &converted));
        TBgrPicture picture;
        picture.Size = FitInside(size, maxWidth, maxHeight);
        ComPtr<IWICBitmapSource> source = converted;
        if (picture.Size != size) {
            ComPtr<IWICBitmapScaler> scaler;
            OleCheck(factory_->CreateBitmapScaler(&scaler));
            OleCheck(scaler->Initialize(converted.Get(), picture.Size.Width, picture.Size.Height,
                                        WICBitmapInterpolationModeFant));
            source.Reset();
            OleCheck(scaler.As(&source));
        }
        picture.Pixels.resize(static_cast<size_t>(picture.Size.Pixels()));
        const UINT stride = picture.Size.Width * 4;
        OleCheck(source->CopyPixels(nullptr, stride, stride * picture.Size.Height,
                                    reinterpret_cast<BYTE*>(picture.Pixels.data())));
        for (uint32_t& pixel : picture.Pixels) {
            const uint32_t clear = 255 - (pixel >> 24);
            uint32_t opaque = 0;
            for (int shift = 0; shift < 24; shift += 8)
                opaque |= std::min<uint32_t>(((pixel >> shift) & 0xFF) + clear, 255) << shift;
            pixel = opaque;
        }
        return picture;
    }

private:
    static void CheckPixels(TImageSize size)
    {
        if (size.Pixels() == 0 || size.Pixels() > MaxDecodedPixels)
            throw EOleSysError(FormatString(L"An image of %u x %u pixels is not decoded",
                                            size.Width, size.Height),
                               WINCODEC_ERR_IMAGESIZEOUTOFRANGE);
    }

    ComPtr<IWICBitmapFrameDecode> FirstFrame(MemoryStream& bytes)
    {
        bytes.SetPosition(0);
        ComPtr<IWICBitmapDecoder> decoder;
        OleCheck(factory_->CreateDecoderFromStream(&bytes, nullptr, WICDecodeMetadataCacheOnDemand,
                                                   &decoder));
        ComPtr<IWICBitmapFrameDecode> frame;
        OleCheck(decoder->GetFrame(0, &frame));
        return frame;
    }

    ComPtr<IWICImagingFactory> factory_;
    bool readsWebp_ = false;
};

} // namespace

TImageSize FitInside(TImageSize image, uint32_t maxWidth, uint32_t maxHeight) noexcept
{
    if (image.Width <= maxWidth && image.Height <= maxHeight)
        return image;
    maxWidth = std::max<uint32_t>(maxWidth, 1);
    maxHeight = std::max<uint32_t>(maxHeight, 1);
    // The side that fills its bound decides; the other follows, rounded.
    const uint64_t heightAtFullWidth =
        (uint64_t{maxWidth} * image.Height + image.Width / 2) / image.Width;
    if (heightAtFullWidth <= maxHeight)
        return {maxWidth, static_cast<uint32_t>(std::max<uint64_t>(heightAtFullWidth, 1))};
    const uint64_t widthAtFullHeight =
        (uint64_t{maxHeight} * image.Width + image.Height / 2) / image.Height;
    return {static_cast<uint32_t>(std::clamp<uint64_t>(widthAtFullHeight, 1, maxWidth)), maxHeight};
}

std::optional<TImageSize> DeclaredImageSize(const std::vector<uint8_t>& b) noexcept
{
    // A type recognised by its signature whose header cannot be read measures 0 x 0.
    if (StartsWith(b, "\x89PNG\r\n\x1a\n")) {
        const bool header = b.size() >= 24 && b[12] == 'I' && b[13] == 'H' && b[14] == 'D' && b[15] == 'R';
        return header ? TImageSize{BigEndian32(b, 16), BigEndian32(b, 20)} : TImageSize{};
    }
    if (StartsWith(b, "GIF87a") || StartsWith(b, "GIF89a"))
        return GifSize(b).value_or(TImageSize{});
    if (StartsWith(b, "BM"))
        return BmpSize(b).value_or(TImageSize{});
    if (StartsWith(b, "\xFF\xD8"))
        return JpegFrameSize(b).value_or(TImageSize{});
    return std::nullopt;
}

std::unique_ptr<ImageDecoder> CreateWicImageDecoder()
{
    return std::make_unique<WicImageDecoder>();
}

} // namespace kv
