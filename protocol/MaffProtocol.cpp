#include "protocol/MaffProtocol.h"

#include "archive/ArchiveCache.h"
#include "protocol/ArchiveRegistry.h"
#include "protocol/CacheEntries.h"
#include "protocol/ItemExtractions.h"
#include "protocol/HandlerRegistration.h"
#include "protocol/MimeTypes.h"
#include "protocol/PageCharsets.h"
#include "protocol/ShellResponse.h"
#include "shell/Exceptions.h"
#include "shell/Handles.h"
#include "shell/OleStream.h"
#include "shell/Strings.h"

#include <wininet.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <unordered_map>
#include <vector>

namespace kv {

namespace {

constexpr std::wstring_view Scheme = L"maff://";

bool StartsWithIgnoreAsciiCase(std::wstring_view text, std::wstring_view prefix)
{
    return text.size() >= prefix.size() && SameTextIgnoreAsciiCase(text.substr(0, prefix.size()), prefix);
}

int HexValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// Percent escapes decoded once; the bytes they stand for are read as UTF-8, so an escape that
// is not part of valid UTF-8 text keeps the whole path as it was.
std::wstring PercentDecode(const std::wstring& text)
{
    std::string bytes;
    std::wstring result;
    bool changed = false;
    const auto flush = [&] {
        if (bytes.empty())
            return true;
        const std::wstring decoded = Utf8ToWide(bytes);
        if (WideToUtf8(decoded) != bytes)
            return false;
        result += decoded;
        bytes.clear();
        return true;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            bytes.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
            changed = true;
            continue;
        }
        if (!flush())
            return text;
        result += text[i];
    }
    if (!flush())
        return text;
    return changed ? result : text;
}

// A path's segments ("/" or "\\" between them) with "." and ".." resolved, never above its
// top; trailing: whether the path ends in such a segment, so that it names a folder.
std::vector<std::wstring> ResolvedSegments(const std::wstring& path, bool& trailing)
{
    std::vector<std::wstring> segments;
    trailing = false;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find_first_of(L"/\\", start);
        std::wstring segment = path.substr(start, end == std::wstring::npos ? end : end - start);
        trailing = segment == L"." || segment == L"..";
        if (segment == L"..") {
            if (!segments.empty())
                segments.pop_back();
        } else if (segment != L".") {
            segments.push_back(std::move(segment));
        }
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    return segments;
}

std::wstring JoinSegments(const std::vector<std::wstring>& segments, wchar_t separator)
{
    std::wstring joined;
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i > 0)
            joined += separator;
        joined += segments[i];
    }
    return joined;
}

// A URL path with its dot segments resolved; one that ends in such a segment keeps its slash.
std::wstring RemoveDotSegments(const std::wstring& path)
{
    bool trailing = false;
    std::wstring joined = JoinSegments(ResolvedSegments(path, trailing), L'/');
    if (trailing && !joined.empty())
        joined += L'/';
    return joined;
}

// The item a request names: the exact name first, so every URL that names an item keeps
// naming it; else the name a saved page's link most likely means.
int FindRequestedItem(const TSharedArchive& archive, const std::wstring& itemPath)
{
    int index = archive.FindItem(itemPath);
    if (index >= 0)
        return index;
    const std::wstring normalized = NormalizeItemPath(itemPath);
    if (normalized != itemPath && (index = archive.FindItem(normalized)) >= 0)
        return index;
    // A page at the top of the archive is navigated to as "maff://0*page.html/" (the browser
    // adds the slash after what it takes for a host), so its relative links arrive as
    // "page.html/page_files/a.png": below a file, where no item can be.
    const size_t separator = normalized.find(L'\\');
    if (separator == std::wstring::npos)
        return -1;
    const int top = archive.FindItem(normalized.substr(0, separator));
    if (top < 0 || archive.IsFolder(top))
        return -1;
    return archive.FindItem(normalized.substr(separator + 1));
}

// Extracts item index, never unpacking more than the archive declares for it: an item whose
// data runs on past its declared size is damaged, and a small declared size is what lets a
// request be served on the caller's thread, so a few KiB that inflate to many MiB would stall
// the browser (and the file manager with it).
Microsoft::WRL::ComPtr<MemoryStream> ExtractDeclared(TSharedArchive& archive,
                                                     const TSharedArchive::Lease& lease, int index,
                                                     const TCancellation* cancellation)
{
    const uint64_t declared = archive.DeclaredSize(index);
    TMaffZipFile& reader = lease.Reader();
    const uint64_t limit = reader.MaxItemSize();
    if (declared >= limit)
        return reader.ExtractItem(index, cancellation);
    struct RestoreLimit {
        TMaffZipFile& reader;
        uint64_t limit;
        ~RestoreLimit() { reader.SetMaxItemSize(limit); }
    } restore{reader, limit};
    reader.SetMaxItemSize(declared);
    try {
        return reader.ExtractItem(index, cancellation);
    } catch (const EOleSysError& error) {
        if (error.ErrorCode() != HResultFromOSError(ERROR_FILE_TOO_LARGE))
            throw;
        throw EOleSysError(FormatString(L"Cannot extract \"%ls\": it unpacks to more than its "
                                        L"declared size of %llu bytes: headers error",
                                        archive.Names()[static_cast<size_t>(index)].c_str(), declared),
                           E_FAIL);
    }
}

} // namespace

TMaffUrl ParseMaffUrl(const std::wstring& url)
{
    if (!StartsWithIgnoreAsciiCase(url, Scheme))
        throw Exception(L"Invalid protocol");
    const std::wstring rest = url.substr(Scheme.size());
    const size_t star = rest.find(L'*');
    if (star == std::wstring::npos)
        throw Exception(L"Invalid protocol");
    TMaffUrl result;
    result.ArchiveIndex = ParseInt(rest.substr(0, star));
    result.ArchivePath = GetArchivePath(result.ArchiveIndex);
    result.ItemPath = rest.substr(star + 1);
    std::replace(result.ItemPath.begin(), result.ItemPath.end(), L'/', L'\\');
    if (!result.ItemPath.empty() && result.ItemPath.back() == L'\\')
        result.ItemPath.pop_back();
    return result;
}

std::wstring NormalizeItemPath(const std::wstring& itemPath)
{
    bool trailing = false;
    const std::vector<std::wstring> segments =
        ResolvedSegments(itemPath.substr(0, itemPath.find_first_of(L"?#")), trailing);
    return PercentDecode(JoinSegments(segments, L'\\'));
}

CLSID TProtocolExtension1::GetClassID()
{
    return CLSID_MaffProtocol;
}

void TProtocolExtension1::Initialize()
{
    TorvShellProtocolExtension::Initialize();
    CacheMode = 2;
    TemporaryRegistration = true;
}

void TProtocolExtension1::GetProtocols(TorvNameList& names)
{
    names.push_back(L"maff");
}

namespace {

// Whether a reference starts with a scheme ("letters, digits, +, -, . and then :"), which makes
// it absolute.
bool HasScheme(std::wstring_view reference)
{
    const auto isAlpha = [](wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); };
    if (reference.empty() || !isAlpha(reference[0]))
        return false;
    for (size_t i = 1; i < reference.size(); ++i) {
        const wchar_t c = reference[i];
        if (c == L':')
            return true;
        if (!isAlpha(c) && !(c >= L'0' && c <= L'9') && c != L'+' && c != L'-' && c != L'.')
            return false;
    }
    return false;
}

} // namespace

bool TProtocolExtension1::DoCombineUrl(const std::wstring& baseUrl, const std::wstring& relativeUrl,
                                       TCombineOptions, std::wstring& result)
{
    // Resolved as a browser resolves references (RFC 3986, 5.2), with the archive id as the
    // authority and the item path as the path: "maff://0*" is the root of an archive.
    if (HasScheme(relativeUrl)) {
        result = relativeUrl;
        return true;
    }
    const size_t fragment = baseUrl.find(L'#');
    const std::wstring withoutFragment = baseUrl.substr(0, fragment);
    if (relativeUrl.empty()) {
        result = withoutFragment;
        return true;
    }
    if (relativeUrl[0] == L'#') {
        result = withoutFragment + relativeUrl;
        return true;
    }
    const std::wstring path = withoutFragment.substr(0, withoutFragment.find(L'?'));
    if (relativeUrl[0] == L'?') {
        result = path + relativeUrl;
        return true;
    }
    if (relativeUrl.size() >= 2 && relativeUrl[0] == L'/' && relativeUrl[1] == L'/') {
        result = L"maff:" + relativeUrl;
        return true;
    }
    const size_t star = StartsWithIgnoreAsciiCase(path, Scheme) ? path.find(L'*', Scheme.size())
                                                                : std::wstring::npos;
    if (star == std::wstring::npos) {
        const size_t separator = path.find_last_of(L"/\\");
        result.clear();
        if (separator != std::wstring::npos)
            result = path.substr(0, separator) + L"/" + relativeUrl;
        return true;
    }
    // The reference joins the folder of the base item ("" at the top of the archive); a
    // root-relative "/x" joins it too, as saved pages were always served: the site's root is
    // not in the archive. Dot segments are resolved here, never above the archive's top:
    // the platform would take the first folder for a host name and stop there.
    const std::wstring item = path.substr(star + 1);
    const size_t folderEnd = item.find_last_of(L"/\\");
    const std::wstring folder = folderEnd == std::wstring::npos ? L"" : item.substr(0, folderEnd + 1);
    const size_t tail = relativeUrl.find_first_of(L"?#");
    const std::wstring merged = folder + relativeUrl.substr(0, tail);
    result = path.substr(0, star + 1) + RemoveDotSegments(merged) +
             (tail == std::wstring::npos ? L"" : relativeUrl.substr(tail));
    return true;
}

bool TProtocolExtension1::DoParseUrl(const std::wstring& url, int actionIndex,
                                     std::wstring& result)
{
    if (!StartsWithIgnoreAsciiCase(url, Scheme))
        return false;
    const int action = actionIndex + 1;
    if (action == PARSE_SECURITY_URL) {
        result = url;
        return true;
    }
    if (action == PARSE_SECURITY_DOMAIN) {
        const size_t star = url.find(L'*', Scheme.size());
        if (star == std::wstring::npos)
            return false;
        result = L"maff://" + url.substr(Scheme.size(), star + 1 - Scheme.size());
        return true;
    }
    return false;
}

bool TProtocolExtension1::DoQueryFlagInfo(const std::wstring& url, int optionIndex, bool& result)
{
    const int option = optionIndex + 1;
    if (!StartsWithIgnoreAsciiCase(url, Scheme) || (option != QUERY_IS_SECURE && option != QUERY_IS_SAFE))
        return false;
    result = false;
    return true;
}

bool TProtocolExtension1::CanServeAtOnce(const std::wstring& url)
{
    std::lock_guard guard(foundLock_);
    found_.reset();
    try {
        const TMaffUrl target = ParseMaffUrl(url);
        // Only an archive that is open and was checked on disk a moment ago: the check itself,
        // the opening and the first index are file work, which is for a worker.
        std::shared_ptr<TSharedArchive> archive =
            FindSharedArchive(target.ArchivePath, ArchiveRecheckTime);
        if (!archive || !archive->Indexed())
            return false;
        const int index = FindRequestedItem(*archive, target.ItemPath);
        if (index >= 0 && (archive->DeclaredSize(index) > ServeAtOnceLimit ||
                           IsItemBeingExtracted(archive.get(), index)))
            return false;
        // The reader is taken in the same step: one that another request takes meanwhile
        // would leave this thread waiting for that request's extraction.
        std::optional<TSharedArchive::Lease> lease =
            index >= 0 ? archive->TryBorrow() : std::optional<TSharedArchive::Lease>();
        if (index >= 0 && !lease)
            return false;
        found_.emplace(Found{url, GetCurrentThreadId(), target.ArchiveIndex, std::move(archive),
                             index, std::move(lease)});
        return true;
    } catch (...) {
        return true;  // a URL that names no archive fails at once
    }
}

std::unique_ptr<TorvStream> TProtocolExtension1::GetContent(const std::wstring& url,
                                                            const std::wstring&, TorvStream&,
                                                            TorvShellResponse& response,
                                                            std::wstring&)
{
    std::optional<Found> found;
    {
        // What CanServeAtOnce found serves only the request it was asked about, on its thread.
        std::lock_guard guard(foundLock_);
        if (found_ && found_->url == url && found_->thread == GetCurrentThreadId())
            found.emplace(std::move(*found_));
        found_.reset();
    }
    const TCancellation* cancellation = CurrentCancellation();
    if (!found) {
        const TMaffUrl target = ParseMaffUrl(url);
        found.emplace();
        found->archiveIndex = target.ArchiveIndex;
        found->archive = OpenSharedArchive(target.ArchivePath);
        found->index = FindRequestedItem(*found->archive, target.ItemPath);
    }
    const std::shared_ptr<TSharedArchive>& archive = found->archive;
    const int index = found->index;
    if (index < 0)
        return nullptr;
    // A request on the client's thread (it holds a reader already) never waits for another
    // request's extraction of the same item.
    const bool clientsThread = found->lease.has_value();
    std::shared_ptr<const TItemBytes> bytes = ShareItemExtraction(
        archive.get(), index, std::min(archive->DeclaredSize(index), MaxExtractedItemSize),
        cancellation, !clientsThread, [&] {
            if (!found->lease)
                found->lease.emplace(archive->Borrow(cancellation));
            auto data = ExtractDeclared(*archive, *found->lease, index, cancellation);
            found->lease.reset();
            return data;
        });
    found->lease.reset();
    response.SetStatus(200);
    response.SetStatusText(L"OK");
    const std::wstring& name = archive->Names()[static_cast<size_t>(index)];
    std::wstring extension = ExtractFileExt(name);
    CharUpperBuffW(extension.data(), static_cast<DWORD>(extension.size()));
    if (extension == L".SVG")
        response.SetContentType(L"image/svg+xml");
    const std::vector<uint8_t>& data = bytes->Data().Data();
    const bool marked = StartsWithByteOrderMark(data.data(), data.size());
    std::unique_ptr<TorvStream> stream = OpenItemBytes(std::move(bytes));
    // A page's start file is read in the character set its description names, unless its own
    // byte-order mark says otherwise: a saved page's bytes are in that set whatever its
    // markup claims.
    const std::wstring charset = GetPageCharset(found->archiveIndex, name);
    if (!charset.empty() && !marked && IsSafeCharset(charset)) {
        std::wstring type = response.GetContentType();
        if ((!type.empty() || SniffMimeType(url, *stream, type)) && TakesCharset(type))
            response.SetValue(L"Content-Type", type + L"; charset=" + charset);
    }
    return stream;
}

void RegisterMaffProtocol()
{
    // The cache copies of an archive's items go once no viewer shows it; those an earlier
    // process left behind go now.
    SetArchiveReleasedHandler(&DeleteCacheEntries);
    DeleteLeftoverCacheEntries(L"maff:");
    RegisterSessionHandler(ExtensionClassOf<TProtocolExtension1>());
}


} // namespace kv
