// The time a page was saved, as descriptions write it: an RFC 822 date such as
// "Tue, 12 Mar 2024 14:05:31 +0100".
#pragma once

#include <windows.h>

#include <optional>
#include <string_view>

namespace kv {

// The date as UTC, with its day of the week filled in. Also takes the usual variants: no
// weekday, two- or three-digit years, no seconds, named zones (UT, GMT, Z, EST, EDT, CST, CDT,
// MST, MDT, PST, PDT), full month and day names, any letter case, a trailing comment in
// parentheses. A date that is damaged, out of range or without a zone gives nothing: a wrong
// time is worse than none.
std::optional<SYSTEMTIME> ParseSavedDate(std::wstring_view text) noexcept;

} // namespace kv
