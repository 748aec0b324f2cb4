// Turns an archive's item names into the viewer's pages: maff: URLs, drop-down labels and what
// the descriptions tell of each page.
#pragma once

#include "archive/MaffZipFile.h"
#include "protocol/PageCharsets.h"

#include <windows.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kv {

class XmlNode;

// What is known of one page. A page found without a description has only its URL, label and
// start item; the description's texts are as written, empty when it has none.
struct PageInfo {
    std::wstring url;
    std::wstring label;
    std::wstring title;
    std::wstring originalUrl;
    std::optional<SYSTEMTIME> archiveTime;  // UTC; none when missing or unreadable
    std::wstring charset;
    std::wstring startItem;  // the start file's path in the archive, "/" between folders
};

// Ordered pages; lookups by URL ignore letter case.
class PageList {
public:
    void Clear() noexcept;
    void Add(PageInfo page);
    void Add(std::wstring url);  // a page known by its URL alone
    int IndexOf(const std::wstring& url) const noexcept;  // -1 when absent
    bool Contains(const std::wstring& url) const noexcept { return IndexOf(url) >= 0; }
    int Count() const noexcept { return static_cast<int>(pages_.size()); }
    bool Empty() const noexcept { return pages_.empty(); }
    const std::wstring& operator[](int index) const { return Info(index).url; }
    const PageInfo& Info(int index) const { return pages_.at(static_cast<size_t>(index)); }

private:
    // Equal for URLs that SameTextIgnoreCase finds equal.
    struct IgnoreCaseHash {
        size_t operator()(const std::wstring& url) const noexcept;
    };
    struct IgnoreCaseEqual {
        bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
    };

    std::vector<PageInfo> pages_;
    // Each URL's first position: an archive can hold many thousands of start files, and every
    // one of them is looked up before it is added.
    std::unordered_map<std::wstring, int, IgnoreCaseHash, IgnoreCaseEqual> firstIndex_;
};

// Receives labels in step with the page list (the viewer's drop-down list, or a plain list).
class LabelList {
public:
    virtual ~LabelList() = default;
    virtual void Add(std::wstring label) = 0;
};

class VectorLabelList final : public LabelList {
public:
    void Add(std::wstring label) override { labels.push_back(std::move(label)); }
    std::vector<std::wstring> labels;
};

// The largest description read. Real ones hold about 1 KB; a larger one is skipped without
// being unpacked when the archive declares its size, else as soon as it unpacks to more.
inline constexpr uint64_t MaxDescriptionSize = 1024 * 1024;

// The index scan over every "index.rdf", then the fallback scan over INDEX.* start files.
// A description that cannot be extracted or read is skipped: it adds no page, and the
// fallback scan still lists its folder's start file. Folder entries are never looked at.
void RunIndexScan(const std::wstring& archiveId, TMaffZipFile& archive, PageList& pages,
                  LabelList& labels);
void RunFallbackScan(const std::wstring& archiveId, TMaffZipFile& archive, PageList& pages,
                     LabelList& labels);

// Reads the "index.rdf" at item index and appends the page it describes, if any; adds nothing
// for a description that cannot be extracted or read. Raises only when appending fails. The
// label is "title - address", whichever of the two there is, or the start file's path.
void AddIndexPage(const std::wstring& archiveId, TMaffZipFile& archive, int index,
                  PageList& pages, LabelList& labels);
// Appends the start file at item index unless its URL is listed already (ignoring case),
// labelled with its path ("folder/index.html").
void AddFallbackPage(const std::wstring& archiveId, TMaffZipFile& archive, int index,
                     PageList& pages, LabelList& labels);
// The "RDF:resource" attribute of the description's child childName, found by name or else
// by its qualified name ignoring ASCII case; defaultText when there is none.
std::wstring ReadChildResource(const XmlNode& description, const std::wstring& childName,
                               const std::wstring& defaultText);

// The character sets the descriptions give their start files, by item path ("\" between
// folders), for the archive's registration; the first description of a start file decides,
// and a set that could not be sent safely in a header is left out.
TPageCharsets StartFileCharsets(const PageList& pages);

// "maff://" + archive id + the item path with "/" between folders, and "%", "#" and "?"
// percent-encoded so that the browser passes them on as part of the path.
std::wstring PageUrl(const std::wstring& archiveId, const std::wstring& itemPath);

} // namespace kv
