// The character sets of an archive's start files, as the pages' descriptions name them, and
// what the response of a start file makes of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kv {

// Character set by item path, "\" between folders, as the archive names its items.
using TPageCharsets = std::unordered_map<std::wstring, std::wstring>;

// Whether a character set may go into a header as it is: 1 to 40 letters, digits, "-", "_",
// "." or ":". Anything else could end the header's value or add to it.
bool IsSafeCharset(std::wstring_view charset) noexcept;

// Whether the bytes start with a UTF-8 or UTF-16 byte-order mark, which a browser trusts
// over any charset parameter.
bool StartsWithByteOrderMark(const uint8_t* data, size_t size) noexcept;

// Whether a media type is text that a charset parameter applies to.
bool TakesCharset(std::wstring_view mimeType) noexcept;

} // namespace kv
