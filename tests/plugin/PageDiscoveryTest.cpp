// Page discovery over real archives read by the archive library, with descriptions parsed by
// the platform's XML parser.
#include "plugin/ItemPaths.h"
#include "tests/common/ErrorMessage.h"
#include "shell/Strings.h"
#include "plugin/PageDiscovery.h"
#include "shell/Exceptions.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace kv;
using kvtest::FixturePath;

namespace {

using Pages = std::vector<std::pair<std::wstring, std::wstring>>;  // URL, label

// Both scans in the viewer's order, over one archive, with an id other than the first.
Pages Discover(const wchar_t* fixture, bool indexScan = true)
{
    TMaffZipFile archive(FixturePath(fixture));
    PageList pages;
    VectorLabelList labels;
    if (indexScan)
        RunIndexScan(L"3*", archive, pages, labels);
    RunFallbackScan(L"3*", archive, pages, labels);
    EXPECT_EQ(static_cast<size_t>(pages.Count()), labels.labels.size());
    Pages result;
    for (int i = 0; i < pages.Count() && static_cast<size_t>(i) < labels.labels.size(); ++i)
        result.emplace_back(pages[i], labels.labels[static_cast<size_t>(i)]);
    return result;
}

std::wstring DiscoveryError(const wchar_t* fixture)
{
    return kvtest::ErrorMessageOf([&] { Discover(fixture); });
}

} // namespace

TEST(ItemPaths, SplitAndConvertNames)
{
    EXPECT_EQ(SlashToBackslash(L"a/b\\c/"), L"a\\b\\c\\");
    EXPECT_EQ(BackslashToSlash(L"a\\b/c\\"), L"a/b/c/");
    EXPECT_EQ(ItemFileName(L"folder\\sub/index.html"), L"index.html");
    EXPECT_EQ(ItemFileName(L"index.rdf"), L"index.rdf");
    EXPECT_EQ(ItemFileName(L"c:name"), L"name");
    EXPECT_EQ(ItemFileName(L"folder/"), L"");
    EXPECT_EQ(ItemFilePath(L"folder/sub\\index.rdf"), L"folder\\sub\\");
    EXPECT_EQ(ItemFilePath(L"index.rdf"), L"");
    EXPECT_TRUE(SameTextIgnoreAsciiCase(L"maf:TITLE", L"MAF:title"));
    EXPECT_FALSE(SameTextIgnoreAsciiCase(L"MAF:titl\u00C9", L"MAF:titl\u00E9"));
    EXPECT_FALSE(SameTextIgnoreAsciiCase(L"MAF:title", L"MAF:titles"));
}

TEST(PageList, IndexOfIgnoresCase)
{
    PageList pages;
    pages.Add(L"maff://0*A/index.html");
    pages.Add(L"maff://0*B/index.html");
    EXPECT_EQ(pages.IndexOf(L"MAFF://0*b/INDEX.HTML"), 1);
    EXPECT_EQ(pages.IndexOf(L"maff://0*C/index.html"), -1);
    EXPECT_TRUE(pages.Contains(L"maff://0*a/index.html"));
}

TEST(PageList, LookupsKeepTheFirstEntryAndFoldEveryLetter)
{
    PageList pages;
    pages.Add(L"maff://0*\u00C9t\u00E9/index.html");
    pages.Add(L"maff://0*X/index.html");
    pages.Add(L"maff://0*x/INDEX.html");  // index pages are never deduplicated
    EXPECT_EQ(pages.Count(), 3);
    EXPECT_EQ(pages.IndexOf(L"MAFF://0*\u00E9T\u00C9/INDEX.HTML"), 0);
    EXPECT_EQ(pages.IndexOf(L"maff://0*X/INDEX.HTML"), 1);
    EXPECT_EQ(pages.IndexOf(L"maff://0*X/index.htm"), -1);
    EXPECT_EQ(pages.IndexOf(L"maff://0*X/index.html "), -1);
    EXPECT_EQ(pages[2], L"maff://0*x/INDEX.html");
    pages.Clear();
    EXPECT_TRUE(pages.Empty());
    EXPECT_FALSE(pages.Contains(L"maff://0*X/index.html"));
    pages.Add(L"maff://0*Y/index.html");
    EXPECT_EQ(pages.IndexOf(L"maff://0*y/index.html"), 0);
}

// Every top-level folder of a large archive is a page of its own: discovery stays linear.
TEST(PageDiscovery, ThousandsOfStartFiles)
{
    TMaffZipFile archive(FixturePath(L"pages-many.maff"));
    PageList pages;
    VectorLabelList labels;
    RunFallbackScan(L"3*", archive, pages, labels);
    ASSERT_EQ(pages.Count(), archive.NameCount() - 1);  // P00007/INDEX.HTML is listed already
    EXPECT_EQ(pages[0], L"maff://3*p00000/index.html");
    EXPECT_EQ(pages[pages.Count() - 1], L"maff://3*p" + std::to_wstring(pages.Count() - 1) +
                                             L"/index.html");
}

TEST(PageDiscovery, LabelsFollowTheDescriptions)
{
    const Pages expected = {
        {L"maff://3*full/index.html", L"T - U"},
        {L"maff://3*same/index.html", L"http://example.com/"},
        {L"maff://3*none/index.html", L"No URL"},
        {L"maff://3*titleonly/index.html", L"Only a title - No URL"},
        // A title element without its attribute keeps the default; an empty one is a value.
        {L"maff://3*noattr/start.html", L"No URL - "},
        // Properties in other letter case are found by the scan of qualified names.
        {L"maff://3*case/main.htm", L"Cased - http://c/"},
        // The description with a small-letter root and the one without a start file give
        // nothing; their folders' start files come from the fallback scan.
        {L"maff://3*lower/index.html", L"index.html"},
        {L"maff://3*noindex/Index.xhtml", L"Index.xhtml"},
    };
    EXPECT_EQ(Discover(L"pages-labels.maff"), expected);
}

TEST(PageDiscovery, BrowserWrittenDescriptionAtTheTopLevel)
{
    const Pages expected = {{L"maff://3*index.html", L"Example - http://example.com/"}};
    EXPECT_EQ(Discover(L"pages-toplevel.maff"), expected);
}

TEST(PageDiscovery, StartFilesWithoutDescriptionInArchiveOrder)
{
    const Pages expected = {
        {L"maff://3*C/index.htm", L"index.htm"},
        {L"maff://3*B/index.htm", L"index.htm"},
        {L"maff://3*G/INDEX", L"INDEX"},
        {L"maff://3*Index.Html", L"Index.Html"},
    };
    // Not B/sub/index.html (two folders deep), never E/index.rdf, not F's other files.
    EXPECT_EQ(Discover(L"pages-fallback.maff"), expected);
    // The fallback scan alone passes over the description too.
    EXPECT_EQ(Discover(L"pages-fallback.maff", false), expected);
}

TEST(PageDiscovery, DescriptionsAreNotDeduplicatedButStartFilesAre)
{
    const Pages expected = {
        {L"maff://3*X/index.html", L"First - http://1/"},
        {L"maff://3*X/index.html", L"Second - http://2/"},
        {L"maff://3*Y/index.html", L"index.html"},
    };
    EXPECT_EQ(Discover(L"pages-duplicates.maff"), expected);
}

TEST(PageDiscovery, EncodingsComeFromTheDescriptions)
{
    const Pages expected = {
        {L"maff://3*utf16/index.html",
         L"Gr\u00fc\u00dfe \u2013 \u65e5\u672c\u8a9e \U0001F600 - http://u16/"},
        {L"maff://3*latin1/index.html", L"Caf\u00e9 \u00d1and\u00fa \u00bf? - http://l1/\u00e9"},
        {L"maff://3*utf8/index.html", L"\u041f\u0440\u0438\u0432\u0435\u0442 - http://u8/"},
    };
    EXPECT_EQ(Discover(L"pages-encodings.maff"), expected);
}

TEST(PageDiscovery, NamesWithBackslashesInTheArchive)
{
    TMaffZipFile archive(FixturePath(L"pages-backslash.maff"));
    ASSERT_EQ(archive.NameCount(), 4);
    EXPECT_EQ(archive.GetName(0), L"A\\index.rdf");
    const Pages expected = {
        {L"maff://3*A/pages/start.html", L"Back - http://b/"},
        {L"maff://3*B/index.htm", L"index.htm"},
    };
    EXPECT_EQ(Discover(L"pages-backslash.maff"), expected);
}

TEST(PageDiscovery, BrokenDescriptionFailsTheWholeArchive)
{
    EXPECT_EQ(DiscoveryError(L"pages-malformed.maff"),
              L"Cannot read \"bad\\index.rdf\": not a well-formed XML document");
    // Entity expansion never starts: the document type declaration is refused unparsed.
    EXPECT_EQ(DiscoveryError(L"pages-doctype.maff"),
              L"Cannot read \"lol\\index.rdf\": DTDs are not allowed in this document");
}

TEST(PageDiscovery, ScansAppendToWhatIsListed)
{
    TMaffZipFile archive(FixturePath(L"pages-duplicates.maff"));
    PageList pages;
    VectorLabelList labels;
    pages.Add(L"maff://3*y/INDEX.html");
    labels.Add(L"earlier");
    RunFallbackScan(L"3*", archive, pages, labels);
    // X/Index.HTML is new to this list; Y's start file is listed already in other case.
    ASSERT_EQ(pages.Count(), 2);
    EXPECT_EQ(pages[1], L"maff://3*X/Index.HTML");
    EXPECT_EQ(labels.labels, (std::vector<std::wstring>{L"earlier", L"Index.HTML"}));
}
