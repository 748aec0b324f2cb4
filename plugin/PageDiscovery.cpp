#include "plugin/PageDiscovery.h"

#include "archive/ItemBatch.h"
#include "plugin/ItemPaths.h"
#include "plugin/SavedDate.h"
#include "plugin/XmlDocument.h"
#include "shell/Exceptions.h"
#include "shell/Strings.h"

#include <algorithm>
#include <array>
#include <optional>

namespace kv {
namespace {

const std::wstring UrlScheme = L"maff://";

// The text after the last "\", "/" or ":", as ItemFileName gives it, without a copy: both scans
// look at every item name of archives of many thousands.
std::wstring_view FileNameOf(std::wstring_view name)
{
    const size_t separator = name.find_last_of(L"\\/:");
    return separator == std::wstring_view::npos ? name : name.substr(separator + 1);
}

// The folder part with its separator, as ItemFilePath gives it but for the separators themselves,
// which a page URL makes "/" alike.
std::wstring_view FolderOf(std::wstring_view name)
{
    const size_t separator = name.find_last_of(L"\\/:");
    return separator == std::wstring_view::npos ? std::wstring_view() : name.substr(0, separator + 1);
}

// Appends an item path to a page URL: "/" between folders, and "%", "#" and "?" percent-encoded.
void AppendItemPath(std::wstring& url, std::wstring_view itemPath)
{
    for (const wchar_t c : itemPath) {
        switch (c) {
        case L'\\': url += L'/'; break;
        // Otherwise the browser would take them for an escape, the fragment or the query, or
        // the platform's URL parser for user information ("1*@0*x" names host "0*x") or a
        // port.
        case L'%': url += L"%25"; break;
        case L'#': url += L"%23"; break;
        case L'?': url += L"%3F"; break;
        case L'@': url += L"%40"; break;
        case L':': url += L"%3A"; break;
        default: url += c; break;
        }
    }
}

bool IsIndexDescription(const TMaffZipFile& archive, int index)
{
    return !archive.IsFolder(index) &&
           SameTextIgnoreCase(FileNameOf(archive.GetName(index)), L"INDEX.RDF");
}

// The "RDF:resource" attributes of several children of a description, each found as
// ReadChildResource finds it, in one walk over the children. The lookup by name (in the
// description's namespace) wins over the first child of the qualified name in any case; when
// the one child of the name is that first child, either way finds it, and its namespace is
// not asked for. Only otherwise does the lookup by name walk the children again.
template <size_t N>
std::array<std::wstring, N> ReadChildResources(const XmlNode& description,
                                               const std::array<std::wstring_view, N>& childNames,
                                               const std::array<std::wstring, N>& defaultTexts)
{
    std::array<std::wstring, N> results = defaultTexts;
    std::array<std::optional<XmlNode>, N> chosen;
    try {
        std::array<std::optional<XmlNode>, N> byNameCase;  // the first by qualified name, any case
        std::array<std::optional<XmlNode>, N> byName;      // the first of the name, any namespace
        std::array<bool, N> moreByName{};
        for (std::optional<XmlNode> node = description.FirstChild(); node;
             node = node->NextSibling()) {
            const std::wstring nodeName = node->NodeName();
            for (size_t i = 0; i < N; ++i) {
                if (!byNameCase[i] && SameTextIgnoreAsciiCase(nodeName, childNames[i]))
                    byNameCase[i] = *node;
                if (!moreByName[i] && node->HasName(nodeName, childNames[i])) {
                    if (byName[i])
                        moreByName[i] = true;
                    else
                        byName[i] = *node;
                }
            }
        }
        for (size_t i = 0; i < N; ++i) {
            const bool same = byName[i] && byNameCase[i] && !moreByName[i] &&
                              byName[i]->Get() == byNameCase[i]->Get();
            if (byName[i] && !same)
                chosen[i] = description.ChildByName(childNames[i]);
            // Descriptions put their properties in a namespace of their own, which the lookup
            // by name does not cross; the qualified name still identifies them.
            if (!chosen[i])
                chosen[i] = std::move(byNameCase[i]);
        }
    } catch (...) {
        // A description that cannot be read this far just keeps the defaults.
        return results;
    }
    for (size_t i = 0; i < N; ++i) {
        const std::optional<XmlNode>& child = chosen[i];
        if (!child)
            continue;
        try {
            if (std::optional<std::wstring> resource = child->Attribute(L"RDF:resource"))
                results[i] = std::move(*resource);
        } catch (...) {
        }
    }
    return results;
}

// The properties a description gives its page by, in the order ReadChildResources takes them.
constexpr std::array<std::wstring_view, 5> PageProperties = {
    L"MAF:indexfilename", L"MAF:originalurl", L"MAF:title", L"MAF:archivetime", L"MAF:charset"};

// "title - address", either alone, or the start file's path when the description gives
// neither; an address that is the title is not repeated.
std::wstring PageLabel(const PageInfo& page)
{
    if (page.title.empty())
        return page.originalUrl.empty() ? page.startItem : page.originalUrl;
    if (page.originalUrl.empty() || page.originalUrl == page.title)
        return page.title;
    return page.title + L" - " + page.originalUrl;
}

// Reads descriptions one after the other with one XML document: making a parser costs several
// times what parsing a description does.
class DescriptionReader {
public:
    // The page the description gives, if any. Raises when it cannot be read.
    std::optional<PageInfo> Read(const std::wstring& archiveId, const std::wstring& itemName,
                                 MemoryStream& bytes)
    {
        if (!document_)
            document_.emplace();
        XmlDocument& document = *document_;
        document.Load(bytes, itemName);

        // The document node has no namespace and one element child, so the lookup by name
        // among its children comes down to the root element's name.
        std::optional<XmlNode> root = document.DocumentElement();
        if (!root || !root->HasName(root->NodeName(), L"RDF:RDF"))
            return std::nullopt;
        const std::optional<XmlNode> description = root->ChildByName(L"RDF:Description");
        if (!description)
            return std::nullopt;
        std::array<std::wstring, 5> values =
            ReadChildResources<5>(*description, PageProperties, {});
        const std::wstring& indexFileName = values[0];
        if (indexFileName.empty())
            return std::nullopt;

        PageInfo page;
        const std::wstring_view folder = FolderOf(itemName);
        page.url.reserve(UrlScheme.size() + archiveId.size() + folder.size() + indexFileName.size());
        page.url.append(UrlScheme).append(archiveId);
        AppendItemPath(page.url, folder);
        AppendItemPath(page.url, indexFileName);
        page.startItem = BackslashToSlash(std::wstring(folder) + indexFileName);
        page.originalUrl = std::move(values[1]);
        page.title = std::move(values[2]);
        page.archiveTime = ParseSavedDate(values[3]);
        page.charset = Trim(values[4]);
        page.label = PageLabel(page);
        return page;
    }

private:
    std::optional<XmlDocument> document_;  // made for the first description
};

// Appends the page of the description at index, whose bytes are given (null when it could not
// be extracted), if it gives one.
void AddDescribedPage(DescriptionReader& reader, const std::wstring& archiveId,
                      const TMaffZipFile& archive, int index, MemoryStream* bytes, PageList& pages,
                      LabelList& labels)
{
    if (bytes == nullptr)
        return;
    std::optional<PageInfo> page;
    try {
        page = reader.Read(archiveId, archive.GetName(index), *bytes);
    } catch (const EOutOfMemory&) {
        throw;  // the process's trouble, not the description's
    } catch (const Exception&) {
        // One damaged or hostile description costs its own page only; the fallback scan may
        // still list the folder's start file.
        return;
    }
    if (!page)
        return;
    std::wstring label = page->label;
    pages.Add(std::move(*page));
    labels.Add(std::move(label));
}

// Unpacks the descriptions at indices a batch at a time and appends their pages in order.
void AddDescribedPages(const std::wstring& archiveId, TMaffZipFile& archive,
                       const std::vector<int>& indices, PageList& pages, LabelList& labels)
{
    DescriptionReader reader;
    ExtractSmallItems(archive, indices, MaxDescriptionSize,
                      [&](int index, Microsoft::WRL::ComPtr<MemoryStream> bytes) {
                          AddDescribedPage(reader, archiveId, archive, index, bytes.Get(), pages,
                                           labels);
                      });
}

// Start files named INDEX or INDEX.* at the top level or directly inside a top-level folder;
// never a description.
bool IsFallbackStartFile(const TMaffZipFile& archive, int index)
{
    if (archive.IsFolder(index))
        return false;
    const std::wstring_view name = archive.GetName(index);
    const std::wstring_view fileName = FileNameOf(name);
    const size_t dot = fileName.rfind(L'.');
    if (dot != std::wstring_view::npos && SameTextIgnoreCase(fileName.substr(dot), L".RDF"))
        return false;
    // "/" and "\" both separate folders.
    const size_t lastSeparator = name.find_last_of(L"\\/");
    if (lastSeparator != std::wstring_view::npos && name.find_first_of(L"\\/") != lastSeparator)
        return false;  // two folders deep or more
    return SameTextIgnoreCase(fileName.substr(0, dot), L"INDEX");
}

} // namespace

// Hashes every code unit as the ordinal comparison without case sees it, upper-cased by the
// system's table (SameTextIgnoreCase compares that way). Without the table, a unit beyond ASCII
// may equal an ASCII letter ("\u0131" and "i"), so letters and such units all hash alike.
size_t PageList::IgnoreCaseHash::operator()(const std::wstring& url) const noexcept
{
    using Upcase = WCHAR(NTAPI*)(WCHAR);
    static const Upcase upcase = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll == nullptr ? nullptr
                                : reinterpret_cast<Upcase>(reinterpret_cast<void*>(
                                      GetProcAddress(ntdll, "RtlUpcaseUnicodeChar")));
    }();
    constexpr bool wide = sizeof(size_t) == 8;
    size_t hash = wide ? static_cast<size_t>(14695981039346656037ull) : 2166136261u;
    const size_t prime = wide ? static_cast<size_t>(1099511628211ull) : 16777619u;
    for (const wchar_t c : url) {
        const bool asciiLetter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
        wchar_t unit = c;
        if (upcase == nullptr)
            unit = c < 0x80 && !asciiLetter ? c : 0;
        else if (c >= 0x80)
            unit = upcase(c);
        else if (asciiLetter)
            unit = static_cast<wchar_t>(c & ~0x20);
        hash = (hash ^ static_cast<size_t>(unit)) * prime;
    }
    return hash;
}

bool PageList::IgnoreCaseEqual::operator()(const std::wstring& a, const std::wstring& b) const noexcept
{
    return SameTextIgnoreCase(a, b);
}

void PageList::Clear() noexcept
{
    firstIndex_.clear();
    pages_.clear();
}

void PageList::Add(std::wstring url)
{
    PageInfo page;
    page.url = std::move(url);
    Add(std::move(page));
}

void PageList::Add(PageInfo page)
{
    // An earlier equal URL keeps its place.
    const auto [place, added] = firstIndex_.emplace(page.url, Count());
    try {
        pages_.push_back(std::move(page));
    } catch (...) {
        if (added)
            firstIndex_.erase(place);
        throw;
    }
}

int PageList::IndexOf(const std::wstring& url) const noexcept
{
    const auto found = firstIndex_.find(url);
    return found == firstIndex_.end() ? -1 : found->second;
}

std::wstring ReadChildResource(const XmlNode& description, const std::wstring& childName,
                               const std::wstring& defaultText)
{
    return ReadChildResources<1>(description, {childName}, {defaultText})[0];
}

TPageCharsets StartFileCharsets(const PageList& pages)
{
    TPageCharsets charsets;
    for (int i = 0; i < pages.Count(); ++i) {
        const PageInfo& page = pages.Info(i);
        if (!page.charset.empty() && IsSafeCharset(page.charset))
            charsets.emplace(SlashToBackslash(page.startItem), page.charset);
    }
    return charsets;
}

std::wstring PageUrl(const std::wstring& archiveId, const std::wstring& itemPath)
{
    std::wstring url = UrlScheme + archiveId;
    url.reserve(url.size() + itemPath.size());
    AppendItemPath(url, itemPath);
    return url;
}

void AddIndexPage(const std::wstring& archiveId, TMaffZipFile& archive, int index,
                  PageList& pages, LabelList& labels)
{
    AddDescribedPages(archiveId, archive, {index}, pages, labels);
}

void AddFallbackPage(const std::wstring& archiveId, TMaffZipFile& archive, int index,
                     PageList& pages, LabelList& labels)
{
    const std::wstring& itemName = archive.GetName(index);
    std::wstring url = PageUrl(archiveId, itemName);
    if (pages.Contains(url))
        return;
    // With its folder: the start files of several folders are all "index.html".
    PageInfo page;
    page.url = std::move(url);
    page.startItem = BackslashToSlash(itemName);
    page.label = page.startItem;
    std::wstring label = page.label;
    pages.Add(std::move(page));
    labels.Add(std::move(label));
}

void RunIndexScan(const std::wstring& archiveId, TMaffZipFile& archive, PageList& pages,
                  LabelList& labels)
{
    std::vector<int> descriptions;
    for (int i = 0; i < archive.NameCount(); ++i)
        if (IsIndexDescription(archive, i))
            descriptions.push_back(i);
    AddDescribedPages(archiveId, archive, descriptions, pages, labels);
}

void RunFallbackScan(const std::wstring& archiveId, TMaffZipFile& archive, PageList& pages,
                     LabelList& labels)
{
    for (int i = 0; i < archive.NameCount(); ++i)
        if (IsFallbackStartFile(archive, i))
            AddFallbackPage(archiveId, archive, i, pages, labels);
}

} // namespace kv
