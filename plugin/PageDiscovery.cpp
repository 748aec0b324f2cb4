#include "plugin/PageDiscovery.h"

#include "plugin/ItemPaths.h"
#include "plugin/XmlDocument.h"
#include "shell/Exceptions.h"
#include "shell/Strings.h"

#include <algorithm>
#include <optional>

namespace kv {
namespace {

const std::wstring UrlScheme = L"maff://";
const std::wstring NoUrlText = L"No URL";

bool IsIndexDescription(const TMaffZipFile& archive, int index)
{
    return !archive.IsFolder(index) &&
           SameTextIgnoreCase(ItemFileName(archive.GetName(index)), L"INDEX.RDF");
}

struct IndexPage {
    std::wstring url;
    std::wstring label;
};

// Lowers the archive's extraction limit for as long as it lives.
class ItemSizeLimit {
public:
    ItemSizeLimit(TMaffZipFile& archive, uint64_t limit)
        : archive_(archive), previous_(archive.MaxItemSize())
    {
        archive_.SetMaxItemSize(std::min(limit, previous_));
    }
    ~ItemSizeLimit() { archive_.SetMaxItemSize(previous_); }
    ItemSizeLimit(const ItemSizeLimit&) = delete;
    ItemSizeLimit& operator=(const ItemSizeLimit&) = delete;

private:
    TMaffZipFile& archive_;
    uint64_t previous_;
};

// The page the description at item index gives, if any. Raises when the description cannot be
// extracted or read.
std::optional<IndexPage> ReadIndexPage(const std::wstring& archiveId, TMaffZipFile& archive,
                                       int index)
{
    const std::wstring& itemName = archive.GetName(index);
    // Refused before anything is unpacked when the archive admits the size.
    if (const std::optional<uint64_t> size = archive.DeclaredSize(index);
        size && *size > MaxDescriptionSize)
        throw EXmlDocumentError(L"Cannot read \"" + itemName + L"\": too large");
    Microsoft::WRL::ComPtr<MemoryStream> stream;
    {
        const ItemSizeLimit limit(archive, MaxDescriptionSize);
        stream = archive.ExtractItem(index);
    }
    XmlDocument document;
    document.Load(stream.Get(), itemName);

    const std::optional<XmlNode> root = document.DocumentNode().ChildByName(L"RDF:RDF");
    if (!root)
        return std::nullopt;
    const std::optional<XmlNode> description = root->ChildByName(L"RDF:Description");
    if (!description)
        return std::nullopt;
    const std::wstring indexFileName = ReadChildResource(*description, L"MAF:indexfilename", {});
    if (indexFileName.empty())
        return std::nullopt;

    IndexPage page;
    page.url = PageUrl(archiveId, ItemFilePath(itemName) + indexFileName);
    const std::wstring sourceUrl = ReadChildResource(*description, L"MAF:originalurl", NoUrlText);
    const std::wstring title = ReadChildResource(*description, L"MAF:title", NoUrlText);
    page.label = title == sourceUrl ? title : title + L" - " + sourceUrl;
    return page;
}

// Start files named INDEX or INDEX.* at the top level or directly inside a top-level folder;
// never a description.
bool IsFallbackStartFile(const TMaffZipFile& archive, int index)
{
    if (archive.IsFolder(index))
        return false;
    const std::wstring name = SlashToBackslash(archive.GetName(index));
    if (SameTextIgnoreCase(ExtractFileExt(name), L".RDF"))
        return false;
    const size_t lastSeparator = name.rfind(L'\\');
    if (lastSeparator != std::wstring::npos && name.find(L'\\') != lastSeparator)
        return false;  // two folders deep or more
    const std::wstring fileName = ItemFileName(name);
    const std::wstring stem = fileName.substr(0, fileName.rfind(L'.'));
    return SameTextIgnoreCase(stem, L"INDEX");
}

} // namespace

// The order of the case-insensitive comparison, so that equal in the index means equal to
// SameTextIgnoreCase.
bool PageList::IgnoreCaseLess::operator()(const std::wstring& a, const std::wstring& b) const noexcept
{
    return CompareTextIgnoreCase(a, b) < 0;
}

void PageList::Clear() noexcept
{
    firstIndex_.clear();
    urls_.clear();
}

void PageList::Add(const std::wstring& url)
{
    urls_.push_back(url);
    try {
        firstIndex_.emplace(url, Count() - 1);  // an earlier equal URL keeps its place
    } catch (...) {
        urls_.pop_back();
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
    std::wstring result = defaultText;
    try {
        std::optional<XmlNode> child = description.ChildByName(childName);
        // Descriptions put their properties in a namespace of their own, which the lookup by
        // name does not cross; the qualified name still identifies them.
        if (!child) {
            for (std::optional<XmlNode> node = description.FirstChild(); node;
                 node = node->NextSibling()) {
                if (SameTextIgnoreAsciiCase(node->NodeName(), childName)) {
                    child = std::move(node);
                    break;
                }
            }
        }
        if (child) {
            if (std::optional<std::wstring> resource = child->Attribute(L"RDF:resource"))
                result = std::move(*resource);
        }
    } catch (...) {
        // A description that cannot be read this far just keeps the default.
    }
    return result;
}

std::wstring PageUrl(const std::wstring& archiveId, const std::wstring& itemPath)
{
    std::wstring url = UrlScheme + archiveId;
    url.reserve(url.size() + itemPath.size());
    for (const wchar_t c : itemPath) {
        switch (c) {
        case L'\\': url += L'/'; break;
        // Otherwise the browser would take them for an escape, the fragment or the query.
        case L'%': url += L"%25"; break;
        case L'#': url += L"%23"; break;
        case L'?': url += L"%3F"; break;
        default: url += c; break;
        }
    }
    return url;
}

void AddIndexPage(const std::wstring& archiveId, TMaffZipFile& archive, int index,
                  PageList& pages, LabelList& labels)
{
    std::optional<IndexPage> page;
    try {
        page = ReadIndexPage(archiveId, archive, index);
    } catch (const EOutOfMemory&) {
        throw;  // the process's trouble, not the description's
    } catch (const Exception&) {
        // One damaged or hostile description costs its own page only; the fallback scan may
        // still list the folder's start file.
        return;
    }
    if (!page)
        return;
    pages.Add(page->url);
    labels.Add(page->label);
}

void AddFallbackPage(const std::wstring& archiveId, TMaffZipFile& archive, int index,
                     PageList& pages, LabelList& labels)
{
    const std::wstring& itemName = archive.GetName(index);
    const std::wstring url = PageUrl(archiveId, itemName);
    if (pages.Contains(url))
        return;
    pages.Add(url);
    labels.Add(ItemFileName(itemName));
}

void RunIndexScan(const std::wstring& archiveId, TMaffZipFile& archive, PageList& pages,
                  LabelList& labels)
{
    for (int i = 0; i < archive.NameCount(); ++i)
        if (IsIndexDescription(archive, i))
            AddIndexPage(archiveId, archive, i, pages, labels);
}

void RunFallbackScan(const std::wstring& archiveId, TMaffZipFile& archive, PageList& pages,
                     LabelList& labels)
{
    for (int i = 0; i < archive.NameCount(); ++i)
        if (IsFallbackStartFile(archive, i))
            AddFallbackPage(archiveId, archive, i, pages, labels);
}

} // namespace kv
