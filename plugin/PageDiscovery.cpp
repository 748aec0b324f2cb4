#include "plugin/PageDiscovery.h"

#include "plugin/ItemPaths.h"
#include "plugin/XmlDocument.h"
#include "shell/Strings.h"

namespace kv {
namespace {

const std::wstring UrlScheme = L"maff://";
const std::wstring NoUrlText = L"No URL";

bool IsIndexDescription(const std::wstring& itemName)
{
    return SameTextIgnoreCase(ItemFileName(itemName), L"INDEX.RDF");
}

// Start files named INDEX or INDEX.* at the top level or directly inside a top-level folder;
// never a description.
bool IsFallbackStartFile(const std::wstring& itemName)
{
    const std::wstring name = SlashToBackslash(itemName);
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
            for (XmlNode& node : description.ChildNodes()) {
                if (SameTextIgnoreAsciiCase(node.NodeName(), childName)) {
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

void AddIndexPage(const std::wstring& archiveId, TMaffZipFile& archive, int index,
                  PageList& pages, LabelList& labels)
{
    const std::wstring& itemName = archive.GetName(index);
    const Microsoft::WRL::ComPtr<MemoryStream> stream = archive.ExtractItem(index);
    XmlDocument document;
    document.Load(stream.Get(), itemName);

    const std::optional<XmlNode> root = document.DocumentNode().ChildByName(L"RDF:RDF");
    if (!root)
        return;
    const std::optional<XmlNode> description = root->ChildByName(L"RDF:Description");
    if (!description)
        return;
    const std::wstring indexFileName = ReadChildResource(*description, L"MAF:indexfilename", {});
    if (indexFileName.empty())
        return;

    const std::wstring url =
        UrlScheme + archiveId + BackslashToSlash(ItemFilePath(itemName) + indexFileName);
    const std::wstring sourceUrl = ReadChildResource(*description, L"MAF:originalurl", NoUrlText);
    const std::wstring title = ReadChildResource(*description, L"MAF:title", NoUrlText);

    pages.Add(url);
    labels.Add(title == sourceUrl ? title : title + L" - " + sourceUrl);
}

void AddFallbackPage(const std::wstring& archiveId, TMaffZipFile& archive, int index,
                     PageList& pages, LabelList& labels)
{
    const std::wstring& itemName = archive.GetName(index);
    const std::wstring url = UrlScheme + archiveId + BackslashToSlash(itemName);
    if (pages.Contains(url))
        return;
    pages.Add(url);
    labels.Add(ItemFileName(itemName));
}

void RunIndexScan(const std::wstring& archiveId, TMaffZipFile& archive, PageList& pages,
                  LabelList& labels)
{
    for (int i = 0; i < archive.NameCount(); ++i)
        if (IsIndexDescription(archive.GetName(i)))
            AddIndexPage(archiveId, archive, i, pages, labels);
}

void RunFallbackScan(const std::wstring& archiveId, TMaffZipFile& archive, PageList& pages,
                     LabelList& labels)
{
    for (int i = 0; i < archive.NameCount(); ++i)
        if (IsFallbackStartFile(archive.GetName(i)))
            AddFallbackPage(archiveId, archive, i, pages, labels);
}

} // namespace kv
