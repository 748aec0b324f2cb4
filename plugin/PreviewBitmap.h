// The thumbnail of an archive for the host's thumbnail view: the most telling image of the
// archive's first page (the one of most pixels in the folder of its start file and below),
// scaled down to fit the box the host asks for.
#pragma once

#include "plugin/ImageDecoder.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace kv {

// The most image items looked at for one thumbnail, the largest in the archive first.
inline constexpr size_t MaxPreviewCandidates = 64;
// The most bytes unpacked to measure them, together.
inline constexpr uint64_t MaxPreviewScanBytes = 128ull * 1024 * 1024;
// How many of the largest images are tried in turn when one cannot be decoded.
inline constexpr size_t MaxPreviewDecodeAttempts = 3;

// The first page's chosen image of the archive at fileName, decoded to fit maxWidth x maxHeight;
// none when the archive has no page or the page no image that decodes. Raises when the file
// cannot be opened as an archive.
std::optional<TBgrPicture> FindPreviewPicture(const std::wstring& fileName, ImageDecoder& decoder,
                                              uint32_t maxWidth, uint32_t maxHeight);

// A device-dependent bitmap of the picture, compatible with the screen; raises on failure.
HBITMAP CreateScreenBitmap(const TBgrPicture& picture);

// The thumbnail bitmap of a ".maff" file, which the caller owns; null when there is none.
// Works on any thread: COM is initialised for the call when the thread has none. Raises on
// failure.
HBITMAP CreatePreviewBitmap(const std::wstring& fileName, int width, int height);

} // namespace kv
