#include "plugin/PreviewBitmap.h"

#include "plugin/ItemPaths.h"
#include "shell/GdiHandles.h"

#include "archive/ArchiveCache.h"
#include "plugin/ItemPaths.h"
#include "plugin/PageDiscovery.h"
#include "plugin/XmlDocument.h"
#include "shell/Exceptions.h"
#include "shell/Strings.h"

#include <wrl/client.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace kv {

using Microsoft::WRL::ComPtr;

namespace {

// Pages are listed with URLs of an archive id of their own, never registered: a thumbnail
// serves nothing.
const std::wstring PreviewArchiveId = L"preview*";

// The folder of a page's start file, with "/" between folders and after the last.
std::wstring StartFolder(const PageInfo& page)
{
    const size_t separator = page.startItem.rfind(L'/');
    return separator == std::wstring::npos ? std::wstring() : page.startItem.substr(0, separator + 1);
}

bool InFolder(const std::wstring& itemName, const std::wstring& folder)
{
    if (folder.empty())
        return true;
    if (itemName.size() <= folder.size())
        return false;
    return SameTextIgnoreCase(BackslashToSlash(std::wstring_view(itemName).substr(0, folder.size())),
                              folder);
}

struct Candidate {
    int index = -1;
    uint64_t declared = 0;  // unpacked
    uint64_t packed = 0;
    uint64_t pixels = 0;
};

// Item index unpacked, never to more than the size it declares: a few packed bytes that
// inflate to far more are refused as they arrive.
ComPtr<MemoryStream> ExtractDeclared(TMaffZipFile& reader, const Candidate& candidate)
{
    struct RestoreLimit {
        TMaffZipFile& reader;
        uint64_t limit;
        ~RestoreLimit() { reader.SetMaxItemSize(limit); }
    } restore{reader, reader.MaxItemSize()};
    reader.SetMaxItemSize(candidate.declared);
    return reader.ExtractItem(candidate.index);
}

// The image items of the first page's folder that are small enough to unpack, the largest
// in the archive first, at most MaxPreviewCandidates of them; none when there is no page.
// Everything is read through the lent reader: the shared archive's own index would borrow a
// further one, and wait for good while every reader is lent to a thumbnail like this one.
std::vector<Candidate> ListCandidates(TMaffZipFile& reader, const ImageDecoder& decoder)
{
    PageList pages;
    VectorLabelList labels;
    RunIndexScan(PreviewArchiveId, reader, pages, labels);
    RunFallbackScan(PreviewArchiveId, reader, pages, labels);
    if (pages.Empty())
        return {};
    const std::wstring folder = StartFolder(pages.Info(0));

    std::vector<Candidate> candidates;
    const std::vector<std::wstring>& names = reader.Names();
    for (int i = 0; i < reader.NameCount(); ++i) {
        const std::wstring& name = names[static_cast<size_t>(i)];
        if (!InFolder(name, folder) || !decoder.ReadsName(name) || reader.IsFolder(i))
            continue;
        // An item that declares no size is not unpacked to find out.
        const uint64_t declared = reader.DeclaredSize(i).value_or(UINT64_MAX);
        if (declared == 0 || declared > MaxExtractedItemSize)
            continue;
        candidates.push_back({i, declared, reader.PackedSize(i).value_or(declared), 0});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.packed > b.packed; });
    if (candidates.size() > MaxPreviewCandidates)
        candidates.resize(MaxPreviewCandidates);
    return candidates;
}

// The candidates that are images of at most MaxDecodedPixels pixels, most pixels first (the
// earlier item on a tie). Unpacks no more than MaxPreviewScanBytes together.
std::vector<Candidate> MeasureCandidates(TMaffZipFile& reader, std::vector<Candidate> candidates,
                                         ImageDecoder& decoder)
{
    std::vector<Candidate> measured;
    uint64_t unpacked = 0;
    for (Candidate& candidate : candidates) {
        if (unpacked + candidate.declared > MaxPreviewScanBytes)
            continue;
        unpacked += candidate.declared;
        std::optional<TImageSize> size;
        try {
            size = decoder.ReadSize(*ExtractDeclared(reader, candidate).Get());
        } catch (const EOutOfMemory&) {
            throw;
        } catch (const Exception&) {
            continue;  // a damaged item is no candidate
        }
        if (!size || size->Pixels() > MaxDecodedPixels)
            continue;
        candidate.pixels = size->Pixels();
        measured.push_back(candidate);
    }
    std::stable_sort(measured.begin(), measured.end(), [](const Candidate& a, const Candidate& b) {
        return a.pixels != b.pixels ? a.pixels > b.pixels : a.index < b.index;
    });
    return measured;
}

} // namespace

std::optional<TBgrPicture> FindPreviewPicture(const std::wstring& fileName, ImageDecoder& decoder,
                                              uint32_t maxWidth, uint32_t maxHeight)
{
    const std::shared_ptr<TSharedArchive> archive = OpenSharedArchive(fileName);
    const TSharedArchive::Lease lease = archive->Borrow();
    TMaffZipFile& reader = lease.Reader();
    const std::vector<Candidate> ranked =
        MeasureCandidates(reader, ListCandidates(reader, decoder), decoder);
    const size_t attempts = std::min(ranked.size(), MaxPreviewDecodeAttempts);
    for (size_t i = 0; i < attempts; ++i) {
        try {
            return decoder.Decode(*ExtractDeclared(reader, ranked[i]).Get(), maxWidth, maxHeight);
        } catch (const EOutOfMemory&) {
            throw;
        } catch (const Exception&) {
            // A header that promised an image whose data is damaged: the next one then.
        }
    }
    return std::nullopt;
}

HBITMAP CreateScreenBitmap(const TBgrPicture& picture)
{
    const WindowDc screen(nullptr);
    if (!screen)
        RaiseLastOSError();
    const auto width = static_cast<int>(picture.Size.Width);
    const auto height = static_cast<int>(picture.Size.Height);
    UniqueBitmap bitmap(CreateCompatibleBitmap(screen.Get(), width, height));
    if (!bitmap)
        RaiseLastOSError();
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    if (SetDIBits(screen.Get(), bitmap.get(), 0, static_cast<UINT>(height), picture.Pixels.data(),
                  &info, DIB_RGB_COLORS) != height)
        throw Exception(L"Cannot set the thumbnail's pixels");
    return bitmap.release();
}

HBITMAP CreatePreviewBitmap(const std::wstring& fileName, int width, int height)
{
    if (width <= 0 || height <= 0 || !HasMaffExtension(fileName))
        return nullptr;
    // The host may ask from a thread of its own, which need not have COM: the page list's
    // XML parser and the imaging component both need it.
    const ComInitialization com;
    const std::unique_ptr<ImageDecoder> decoder = CreateWicImageDecoder();
    const std::optional<TBgrPicture> picture = FindPreviewPicture(
        fileName, *decoder, static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    return picture ? CreateScreenBitmap(*picture) : nullptr;
}

} // namespace kv
