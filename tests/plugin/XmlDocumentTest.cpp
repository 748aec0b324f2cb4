// The XML document wrapper against the platform's real parser, and the byte check that keeps
// document type declarations away from it.
#include "plugin/PageDiscovery.h"
#include "plugin/XmlDocument.h"
#include "plugin/XmlProlog.h"
#include "shell/Strings.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <string>
#include <thread>

using namespace kv;
using Microsoft::WRL::ComPtr;

namespace {

const char* const RealDescription =
    "<?xml version=\"1.0\"?>\n"
    "<RDF:RDF xmlns:MAF=\"http://maf.mozdev.org/metadata/rdf#\" "
    "xmlns:NC=\"http://home.netscape.com/NC-rdf#\" "
    "xmlns:RDF=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
    "  <RDF:Description RDF:about=\"urn:root\">\n"
    "    <MAF:originalurl RDF:resource=\"http://example.com/\"/>\n"
    "    <MAF:title RDF:resource=\"Example\"/>\n"
    "    <MAF:archivetime RDF:resource=\"Mon, 01 Jan 2024 00:00:00 +0000\"/>\n"
    "    <MAF:indexfilename RDF:resource=\"index.html\"/>\n"
    "    <MAF:charset RDF:resource=\"UTF-8\"/>\n"
    "    <MAF:empty RDF:resource=\"\"/>\n"
    "  </RDF:Description>\n"
    "</RDF:RDF>\n";

ComPtr<IStream> StreamOf(const std::string& bytes)
{
    ComPtr<IStream> stream;
    stream.Attach(SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()),
                                    static_cast<UINT>(bytes.size())));
    return stream;
}

std::string Utf16(const std::wstring& text, bool bigEndian, bool bom)
{
    std::string bytes;
    const auto put = [&](wchar_t c) {
        const char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
        bytes += bigEndian ? hi : lo;
        bytes += bigEndian ? lo : hi;
    };
    if (bom)
        put(0xFEFF);
    for (const wchar_t c : text)
        put(c);
    return bytes;
}

std::string Utf32Le(const std::string& ascii)
{
    std::string bytes;
    for (const char c : ascii)
        bytes += std::string(1, c) + std::string(3, '\0');
    return bytes;
}

XmlPrologVerdict Verdict(const std::string& bytes)
{
    return CheckXmlProlog(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()).verdict;
}

std::wstring LoadError(const std::string& bytes)
{
    try {
        XmlDocument document;
        document.Load(StreamOf(bytes).Get(), L"dir\\index.rdf");
    } catch (const EXmlDocumentError& e) {
        return e.Message();
    }
    return L"(loaded)";
}

const std::wstring NotWellFormed = L"Cannot read \"dir\\index.rdf\": not a well-formed XML document";
const std::wstring DtdRefused = L"Cannot read \"dir\\index.rdf\": DTDs are not allowed in this document";

} // namespace

TEST(XmlProlog, AcceptsPlainPrologsInEveryWidth)
{
    using V = XmlPrologVerdict;
    EXPECT_EQ(Verdict("<a/>"), V::Acceptable);
    EXPECT_EQ(Verdict("\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8'?>\r\n<a/>"), V::Acceptable);
    EXPECT_EQ(Verdict("<?xml version=\"1.0\"?><!-- <!DOCTYPE in a comment --><?pi x?>\n <r:a/>"),
              V::Acceptable);
    EXPECT_EQ(Verdict("<?xml version=\"1.0\" encoding=\"windows-1252\"?><\xE9/>"), V::Acceptable);
    EXPECT_EQ(Verdict("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><a/>"), V::Acceptable);
    EXPECT_EQ(Verdict("<?xml version=\"1.0\" encoding=\"ISO-8859-15\"?><a/>"), V::Acceptable);
    EXPECT_EQ(Verdict(Utf16(L"<?xml version=\"1.0\"?><a/>", false, true)), V::Acceptable);
    EXPECT_EQ(Verdict(Utf16(L"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a/>", true, false)),
              V::Acceptable);
    EXPECT_EQ(Verdict(Utf32Le("<a/>")), V::Acceptable);
    // Whatever follows the root element is the parser's business.
    EXPECT_EQ(Verdict("<a/><!DOCTYPE a>"), V::Acceptable);
}

TEST(XmlProlog, FindsDocumentTypeAnywhereBeforeTheRoot)
{
    using V = XmlPrologVerdict;
    EXPECT_EQ(Verdict("<!DOCTYPE a><a/>"), V::DocumentType);
    EXPECT_EQ(Verdict("<?xml version=\"1.0\"?>\n<!-- c -->\n<?pi ?>\n<!DOCTYPE a [ ]><a/>"),
              V::DocumentType);
    EXPECT_EQ(Verdict("\xEF\xBB\xBF<!doctype a><a/>"), V::DocumentType);
    EXPECT_EQ(Verdict(Utf16(L"<?xml version=\"1.0\"?>\n<!DOCTYPE a><a/>", false, false)),
              V::DocumentType);
    EXPECT_EQ(Verdict(Utf16(L"<!-- x --><!DOCTYPE a><a/>", true, true)), V::DocumentType);
    EXPECT_EQ(Verdict(Utf16(L"<!DOCTYPE a><a/>", false, true)), V::DocumentType);
    EXPECT_EQ(Verdict(Utf32Le("<!DOCTYPE a><a/>")), V::DocumentType);
}

TEST(XmlProlog, RefusesWhatNoParserShouldReadDifferently)
{
    using V = XmlPrologVerdict;
    EXPECT_EQ(Verdict(""), V::NotWellFormed);
    EXPECT_EQ(Verdict("  \r\n"), V::NotWellFormed);
    EXPECT_EQ(Verdict("text<a/>"), V::NotWellFormed);
    EXPECT_EQ(Verdict("<!ENTITY x \"y\"><a/>"), V::NotWellFormed);
    EXPECT_EQ(Verdict("<!-- unterminated <!DOCTYPE a><a/>"), V::NotWellFormed);
    EXPECT_EQ(Verdict("<?xml version=\"1.0\""), V::NotWellFormed);
    EXPECT_EQ(Verdict("<?xml version=1.0?><a/>"), V::NotWellFormed);
    // Shift sequences and escapes right after "<" could hide "!DOCTYPE" from a byte scan.
    EXPECT_EQ(Verdict("<\x1B(B!DOCTYPE a><a/>"), V::NotWellFormed);
    EXPECT_EQ(Verdict("<~\n!DOCTYPE a><a/>"), V::NotWellFormed);

    // Encodings whose markup is not plain ASCII bytes are not parsed at all.
    const std::string utf7Text =
        "<?xml version=\"1.0\" encoding=\"UTF-7\"?>+ADw-!DOCTYPE a+AD4-<a/>";
    const XmlPrologCheck utf7 =
        CheckXmlProlog(reinterpret_cast<const uint8_t*>(utf7Text.data()), utf7Text.size());
    EXPECT_EQ(utf7.verdict, V::UnsupportedEncoding);
    EXPECT_EQ(utf7.encoding, L"UTF-7");
    EXPECT_EQ(Verdict("<?xml version=\"1.0\" encoding=\"ISO-2022-JP\"?><a/>"), V::UnsupportedEncoding);
    EXPECT_EQ(Verdict("<?xml version=\"1.0\" encoding='HZ-GB-2312'?><a/>"), V::UnsupportedEncoding);
    EXPECT_EQ(Verdict("<?xml version=\"1.0\" encoding=\"IBM037\"?><a/>"), V::UnsupportedEncoding);
    EXPECT_EQ(Verdict("\x4C\x6F\xA7\x94\x93\x40"), V::UnsupportedEncoding);
    EXPECT_EQ(Verdict(Utf16(L"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>", false, true)),
              V::UnsupportedEncoding);
}

TEST(XmlDocument, RealDescriptionFollowsTheNamespaceRule)
{
    XmlDocument document;
    document.Load(StreamOf(RealDescription).Get(), L"index.rdf");

    const XmlNode top = document.DocumentNode();
    EXPECT_EQ(top.NamespaceUri(), L"");
    const std::optional<XmlNode> root = top.ChildByName(L"RDF:RDF");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->BaseName(), L"RDF");
    EXPECT_EQ(root->NamespaceUri(), L"http://www.w3.org/1999/02/22-rdf-syntax-ns#");
    const std::optional<XmlNode> description = root->ChildByName(L"RDF:Description");
    ASSERT_TRUE(description);
    EXPECT_EQ(description->Attribute(L"RDF:about"), std::optional<std::wstring>(L"urn:root"));

    // The properties live in another namespace than the description: the lookup by name does
    // not find them, by qualified name or by local name...
    EXPECT_FALSE(description->ChildByName(L"MAF:title"));
    EXPECT_FALSE(description->ChildByName(L"title"));
    // ...but the child list has them under their qualified names, with their attributes.
    std::vector<std::wstring> elementNames;
    for (const XmlNode& child : description->ChildNodes())
        if (child.IsElement())
            elementNames.push_back(child.NodeName());
    EXPECT_EQ(elementNames, (std::vector<std::wstring>{L"MAF:originalurl", L"MAF:title",
                                                      L"MAF:archivetime", L"MAF:indexfilename",
                                                      L"MAF:charset", L"MAF:empty"}));

    EXPECT_EQ(ReadChildResource(*description, L"MAF:title", L"No URL"), L"Example");
    EXPECT_EQ(ReadChildResource(*description, L"maf:ORIGINALURL", L"No URL"), L"http://example.com/");
    EXPECT_EQ(ReadChildResource(*description, L"MAF:indexfilename", L""), L"index.html");
    EXPECT_EQ(ReadChildResource(*description, L"MAF:empty", L"default"), L"");
    EXPECT_EQ(ReadChildResource(*description, L"MAF:missing", L"default"), L"default");
    // Only the qualified name counts in the scan, not the local name.
    EXPECT_EQ(ReadChildResource(*description, L"title", L"default"), L"default");
}

// A child of the name in the description's own namespace wins wherever it stands; without
// one, the first child of the qualified name in any letter case does.
TEST(XmlDocument, ChildResourcesInTheDescriptionsNamespaceComeFirst)
{
    XmlDocument document;
    document.Load(
        StreamOf("<RDF:RDF xmlns:RDF='urn:rdf' xmlns:MAF='urn:maf' xmlns:maf='urn:maf'>"
                 "<RDF:Description>"
                 "<maf:TITLE RDF:resource='any case'/><MAF:title RDF:resource='other namespace'/>"
                 "<MAF:title xmlns:MAF='urn:rdf' RDF:resource='own namespace'/>"
                 "<MAF:ORIGINALURL RDF:resource='first'/><MAF:originalurl RDF:resource='exact'/>"
                 "<MAF:indexfilename xmlns:MAF='urn:rdf' RDF:resource='only'/>"
                 "</RDF:Description></RDF:RDF>")
            .Get(),
        L"index.rdf");
    const std::optional<XmlNode> description =
        document.DocumentElement()->ChildByName(L"RDF:Description");
    ASSERT_TRUE(description);
    EXPECT_EQ(ReadChildResource(*description, L"MAF:title", L"-"), L"own namespace");
    EXPECT_EQ(ReadChildResource(*description, L"MAF:originalurl", L"-"), L"first");
    EXPECT_EQ(ReadChildResource(*description, L"MAF:indexfilename", L"-"), L"only");
    EXPECT_EQ(ReadChildResource(*description, L"maf:INDEXFILENAME", L"-"), L"only");
    EXPECT_EQ(ReadChildResource(*description, L"MAF:charset", L"-"), L"-");
}

TEST(XmlDocument, ChildLookupAndAttributes)
{
    XmlDocument document;
    document.Load(StreamOf("<r xmlns:p='urn:p' xmlns:q='urn:q'><!-- c -->text"
                           "<q:item a='other namespace'/><item a=''/><p:item a='  p &amp; q '/></r>")
                      .Get(),
                  L"x.xml");
    const std::optional<XmlNode> r = document.DocumentNode().ChildByName(L"r");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->NamespaceUri(), L"");
    // Without a namespace on the parent, the first element whose local name matches wins.
    const std::optional<XmlNode> item = r->ChildByName(L"item");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->NodeName(), L"q:item");
    EXPECT_EQ(r->ChildByName(L"p:item")->Attribute(L"a"), std::optional<std::wstring>(L"  p & q "));
    EXPECT_FALSE(r->ChildByName(L"ITEM"));
    EXPECT_FALSE(r->ChildByName(L"#comment"));
    // Present but empty differs from absent.
    const std::optional<XmlNode> plain = r->ChildNodes()[3];
    EXPECT_EQ(plain->NodeName(), L"item");
    EXPECT_EQ(plain->Attribute(L"a"), std::optional<std::wstring>(L""));
    EXPECT_EQ(plain->Attribute(L"b"), std::nullopt);
    EXPECT_EQ(r->ChildNodes()[0].Attribute(L"a"), std::nullopt);  // a comment has none
}

TEST(XmlDocument, EncodingComesFromTheDocument)
{
    const std::wstring title = L"Gr\u00fc\u00dfe \u65e5\u672c";
    {
        XmlDocument document;
        document.Load(StreamOf(Utf16(L"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a t=\"" + title +
                                         L"\"/>",
                                     true, true))
                          .Get(),
                      L"x");
        EXPECT_EQ(document.DocumentNode().ChildByName(L"a")->Attribute(L"t"),
                  std::optional<std::wstring>(title));
    }
    {
        XmlDocument document;
        document.Load(StreamOf("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a t=\"\xE9\xFF\"/>").Get(),
                      L"x");
        EXPECT_EQ(document.DocumentNode().ChildByName(L"a")->Attribute(L"t"),
                  std::optional<std::wstring>(L"\u00e9\u00ff"));
    }
}

TEST(XmlDocument, RefusedDocumentsNameTheItem)
{
    EXPECT_EQ(LoadError("<a><b></a>"), NotWellFormed);
    EXPECT_EQ(LoadError(""), NotWellFormed);
    EXPECT_EQ(LoadError("<a/><!DOCTYPE a>"), NotWellFormed);
    EXPECT_EQ(LoadError("<a>&undefined;</a>"), NotWellFormed);
    EXPECT_EQ(LoadError("<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY e \"x\">]>\n<a>&e;</a>"),
              DtdRefused);
    EXPECT_EQ(LoadError(Utf16(L"<!DOCTYPE a SYSTEM \"file:///C:/windows/win.ini\"><a/>", false, false)),
              DtdRefused);
    EXPECT_EQ(LoadError("<?xml version=\"1.0\" encoding=\"UTF-7\"?><a/>"),
              L"Cannot read \"dir\\index.rdf\": the character encoding \"UTF-7\" is not supported");
    EXPECT_EQ(LoadError("<a>fine</a>"), L"(loaded)");
}

// Whatever would keep the parser busy is refused unparsed, and every document, accepted or
// refused, is done with in well under a second; the limits themselves are still accepted.
TEST(XmlDocument, LimitsBoundTheTimeOfEveryDocument)
{
    const auto repeat = [](const std::string& text, size_t count) {
        std::string result;
        result.reserve(text.size() * count);
        for (size_t i = 0; i < count; ++i)
            result += text;
        return result;
    };
    const auto namespaces = [](size_t count) {
        std::string result;
        for (size_t i = 0; i < count; ++i)
            result += " xmlns:n" + std::to_string(i) + "=\"urn:" + std::to_string(i) + "\"";
        return result;
    };
    const auto refused = [](const char* reason) {
        return std::wstring(L"Cannot read \"dir\\index.rdf\": ") + Utf8ToWide(reason);
    };
    const size_t elementsInside = MaxXmlElements - 1;  // the root is one
    struct Case {
        std::string document;
        std::wstring expected;
    } cases[] = {
        {"<r>" + repeat("<e a='x'/>", elementsInside) + "</r>", L"(loaded)"},
        {"<r>" + repeat("<e/>", elementsInside + 1) + "</r>", refused("more than 10000 elements")},
        {"<r" + namespaces(MaxXmlAttributesPerElement) + "/>", L"(loaded)"},
        {"<r" + namespaces(MaxXmlAttributesPerElement + 1) + "/>",
         refused("more than 256 attributes on one element")},
        {"<r>" + repeat("<r" + namespaces(MaxXmlAttributesPerElement) + ">", MaxXmlDepth - 1) +
             repeat("</r>", MaxXmlDepth), L"(loaded)"},
        {repeat("<a>", MaxXmlDepth + 1) + repeat("</a>", MaxXmlDepth + 1),
         refused("elements nested more than 64 deep")},
        {"<r a='" + std::string(MaxXmlDocumentSize - 9, 'x') + "'/>", L"(loaded)"},
        {"<r a='" + std::string(MaxXmlDocumentSize - 8, 'x') + "'/>",
         refused("larger than 1048576 bytes")},
        // Markup inside comments, CDATA and quoted values is not counted.
        {"<r t='a>b=c/'><!--" + repeat("<e>", 20000) + "--><![CDATA[" + repeat("<e>", 20000) +
             "]]></r>", L"(loaded)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document.substr(0, 60));
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(LoadError(c.document), c.expected);
        // A guard against the parser's runaway cases (seconds to minutes), not a speed target:
        // a loaded machine takes well over a second for the largest documents here.
        EXPECT_LT(GetTickCount64() - start, 10000u);
    }
}

TEST(XmlDocument, LoadsFromTheStartOfAStreamThatWasRead)
{
    const ComPtr<IStream> stream = StreamOf(RealDescription);
    LARGE_INTEGER end{};
    end.QuadPart = 20;
    ASSERT_EQ(stream->Seek(end, STREAM_SEEK_SET, nullptr), S_OK);
    XmlDocument document;
    document.Load(stream.Get(), L"index.rdf");
    EXPECT_TRUE(document.DocumentNode().ChildByName(L"RDF:RDF"));
}

// One parser reads many documents in turn; a refused one leaves nothing of the one before.
TEST(XmlDocument, OneDocumentLoadsManyInTurn)
{
    XmlDocument document;
    const auto rootName = [&] {
        const std::optional<XmlNode> root = document.DocumentElement();
        return root ? root->NodeName() : std::wstring(L"(none)");
    };
    EXPECT_EQ(rootName(), L"(none)");
    document.Load(StreamOf(RealDescription).Get(), L"index.rdf");
    EXPECT_EQ(rootName(), L"RDF:RDF");
    EXPECT_THROW(document.Load(StreamOf("<!DOCTYPE a><a/>").Get(), L"x"), EXmlDocumentError);
    EXPECT_EQ(rootName(), L"(none)");
    document.Load(StreamOf("<?xml version=\"1.0\"?><!-- c --><b t='1'/>").Get(), L"x");
    EXPECT_EQ(rootName(), L"b");
    EXPECT_EQ(document.DocumentElement()->Attribute(L"t"), std::optional<std::wstring>(L"1"));
    EXPECT_THROW(document.Load(StreamOf("<c><d></c>").Get(), L"x"), EXmlDocumentError);
    EXPECT_EQ(rootName(), L"(none)");
    document.Load(StreamOf("<c/>").Get(), L"x");
    EXPECT_EQ(rootName(), L"c");
    EXPECT_TRUE(document.DocumentNode().ChildByName(L"c"));
}

TEST(XmlDocument, WorksOnThreadsWithAndWithoutComAndLeavesThemAsTheyWere)
{
    const auto parse = [] {
        XmlDocument document;
        document.Load(StreamOf("<a/>").Get(), L"x");
        return document.DocumentNode().ChildByName(L"a").has_value();
    };
    std::thread([&] {
        EXPECT_TRUE(parse());
        // Balanced: the thread is back to having no COM, so this is a first initialisation.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    }).join();
    std::thread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_TRUE(parse());
        // Still in the multi-threaded apartment, with one initialisation to undo.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
    }).join();
    std::thread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_TRUE(parse());
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
    }).join();
}
