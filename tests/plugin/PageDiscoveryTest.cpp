// Page discovery over real archives read by the archive library, with descriptions parsed by
// the platform's XML parser.
#include "plugin/ItemPaths.h"
#include "tests/common/ErrorMessage.h"
#include "shell/Strings.h"
#include "plugin/PageDiscovery.h"
#include "shell/Exceptions.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

#include <optional>

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

// A lookup finds a listed URL exactly when the comparison without case calls the two equal,
// for letters of every script, letters whose upper case is ASCII, and signs without case.
TEST(PageList, LookupsAgreeWithTheComparisonWithoutCase)
{
    const std::vector<std::wstring> units = {
        L"a", L"A", L"z", L"\u00E9", L"\u00C9", L"\u00DF", L"\u0131", L"i", L"I", L"\u0130",
        L"\u017F", L"s", L"S", L"\u212A", L"k", L"K", L"\u03C3", L"\u03C2", L"\u03A3",
        L"\u0434", L"\u0414", L"\u01C5", L"\u01C4", L"\u01C6", L"1", L"%", L"\u20AC", L"\uFF41",
        L"\uFF21"};
    for (const std::wstring& listed : units) {
        PageList pages;
        pages.Add(L"maff://0*" + listed + L"/index.html");
        for (const std::wstring& asked : units) {
            const std::wstring url = L"maff://0*" + asked + L"/INDEX.html";
            EXPECT_EQ(pages.Contains(url), SameTextIgnoreCase(url, pages[0]))
                << WideToUtf8(listed) << " " << WideToUtf8(asked);
        }
    }
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
        // Without title and address, the start file's path; either alone is the label.
        {L"maff://3*none/index.html", L"none/index.html"},
        {L"maff://3*titleonly/index.html", L"Only a title"},
        // A title element without its attribute and an empty address give nothing either.
        {L"maff://3*noattr/start.html", L"noattr/start.html"},
        // Properties in other letter case are found by the scan of qualified names.
        {L"maff://3*case/main.htm", L"Cased - http://c/"},
        // The description with a small-letter root and the one without a start file give
        // nothing; their folders' start files come from the fallback scan, named with their
        // folders.
        {L"maff://3*lower/index.html", L"lower/index.html"},
        {L"maff://3*noindex/Index.xhtml", L"noindex/Index.xhtml"},
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
        {L"maff://3*C/index.htm", L"C/index.htm"},
        {L"maff://3*B/index.htm", L"B/index.htm"},
        {L"maff://3*G/INDEX", L"G/INDEX"},
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
        {L"maff://3*Y/index.html", L"Y/index.html"},
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
        {L"maff://3*B/index.htm", L"B/index.htm"},
    };
    EXPECT_EQ(Discover(L"pages-backslash.maff"), expected);
}

// A description that cannot be extracted or read costs its own page only, and quickly: the
// folder's start file is still listed.
TEST(PageDiscovery, UnreadableDescriptionsAreSkipped)
{
    const Pages malformed = {
        {L"maff://3*good/index.html", L"Good - http://g/"},
        {L"maff://3*bad/index.html", L"bad/index.html"},
    };
    EXPECT_EQ(Discover(L"pages-malformed.maff"), malformed);
    EXPECT_EQ(Discover(L"pages-doctype.maff"),
              (Pages{{L"maff://3*good/index.html", L"Good - http://g/"},
                     {L"maff://3*lol/index.html", L"lol/index.html"}}));

    // A DTD, not well-formed, a damaged item, declared too large, unpacking to more than
    // declared, too many elements, too many attributes on one element, nested too deep.
    Pages hostile = {{L"maff://3*good/index.html", L"Good - http://g/"}};
    for (const wchar_t* folder : {L"dtd", L"broken", L"crc", L"big", L"liar", L"many", L"attrs", L"deep"})
        hostile.emplace_back(L"maff://3*" + std::wstring(folder) + L"/index.html",
                             std::wstring(folder) + L"/index.html");
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Discover(L"hostile-descriptions.maff"), hostile);
    EXPECT_LT(GetTickCount64() - start, 3000u);

    // Nothing readable and no start file: no page, and no failure of discovery itself.
    EXPECT_TRUE(Discover(L"hostile-nopage.maff").empty());
}

TEST(PageDiscovery, FolderEntriesAreNeitherPagesNorDescriptions)
{
    TMaffZipFile archive(FixturePath(L"hostile-folders.maff"));
    ASSERT_EQ(archive.NameCount(), 7);
    EXPECT_EQ(archive.GetName(3), L"x\\index.rdf");
    EXPECT_TRUE(archive.IsFolder(0));
    EXPECT_TRUE(archive.IsFolder(3));
    EXPECT_FALSE(archive.IsFolder(4));
    EXPECT_EQ(archive.DeclaredSize(5), std::optional<uint64_t>(archive.ExtractItem(5)->Size()));
    EXPECT_ANY_THROW(archive.IsFolder(7));
    // Neither the folders "index" and "f/index" nor the folder "x/index.rdf".
    const Pages expected = {{L"maff://3*real/index.html", L"Real - http://r/"}};
    EXPECT_EQ(Discover(L"hostile-folders.maff"), expected);
}

TEST(PageDiscovery, PercentHashAndQuestionMarkAreEncodedInUrls)
{
    const Pages expected = {
        {L"maff://3*100%25/a%23b%3Fc%2541.html", L"Odd - http://o/"},
        {L"maff://3*q%3F%23%25/index.html", L"q?#%/index.html"},
    };
    EXPECT_EQ(Discover(L"hostile-names.maff"), expected);
    EXPECT_EQ(PageUrl(L"0*", L"a\\b/c d.html"), L"maff://0*a/b/c d.html");
    EXPECT_EQ(PageUrl(L"1*", L"@0*secret\\index.html"), L"maff://1*%400*secret/index.html");
    EXPECT_EQ(PageUrl(L"1*", L"a:b\\index.html"), L"maff://1*a%3Ab/index.html");
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
    EXPECT_EQ(labels.labels, (std::vector<std::wstring>{L"earlier", L"X/Index.HTML"}));
}
