// The line that tells when and where from a page was saved, for the viewer to show.
#pragma once

#include "plugin/PageDiscovery.h"

#include <string>

namespace kv {

// "Saved 12 March 2024, 14:05 from https://...", the date and time in the user's format and
// time zone; "Saved from ..." without a time, "Saved 12 March 2024, 14:05" without an address,
// the start file's path ("a/index.html") with neither. Raises only when out of memory.
std::wstring FormatSavedLine(const PageInfo& page);

// The UTC time as the user's long date and short time of day in the local time zone ("12 March
// 2024, 14:05"); empty when the system cannot convert or format it.
std::wstring FormatLocalDateTime(const SYSTEMTIME& utc);

} // namespace kv
