// The URL-cache entries this process writes for its own schemes, so that they go again: a quick
// view leaves no copies of what it showed. Entries of an archive are deleted once no viewer
// shows it; entries an earlier process left behind (it crashed, or ended before its viewers
// closed) are deleted at the next start. Deleting runs on a thread of its own: the cache's
// files are disk work, which never runs on the file manager's thread.
#pragma once

#include <string>

namespace kv {

// Records a committed entry's URL.
void RecordCacheEntry(const std::wstring& url);
// Deletes the recorded entries whose URL starts with urlPrefix (letter case ignored).
void DeleteCacheEntries(const std::wstring& urlPrefix) noexcept;
// Deletes the entries of a scheme ("maff:") that this process did not write.
void DeleteLeftoverCacheEntries(const std::wstring& scheme) noexcept;

// The extension a cache file of url gets: that of the URL's last path segment (its query and
// fragment never choose it), lower-cased, when it is an inert web type (pages, style sheets,
// images, fonts, text, data); otherwise none, so that no cache file can be run by a double
// click or an association.
std::wstring InertCacheExtension(const std::wstring& url);

} // namespace kv
