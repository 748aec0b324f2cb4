#include "tools/fuzz/FuzzCases.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kvfuzz {

namespace {

const std::array<uint32_t, 256>& CrcTable()
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

void Put16(std::string& out, uint32_t v)
{
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& out, uint32_t v)
{
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
void Put64(std::string& out, uint64_t v)
{
    Put32(out, static_cast<uint32_t>(v));
    Put32(out, static_cast<uint32_t>(v >> 32));
}
uint32_t Get16(const std::string& s, size_t at)
{
    return at + 2 <= s.size() ? uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 : 0;
}
uint32_t Get32(const std::string& s, size_t at)
{
    return Get16(s, at) | Get16(s, at + 2) << 16;
}
void Set16(std::string& s, size_t at, uint32_t v)
{
    if (at + 2 <= s.size()) {
        s[at] = static_cast<char>(v & 0xFF);
        s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
    }
}
void Set32(std::string& s, size_t at, uint32_t v)
{
    Set16(s, at, v & 0xFFFF);
    Set16(s, at + 2, v >> 16);
}

constexpr uint32_t LocalSignature = 0x04034b50;
constexpr uint32_t CentralSignature = 0x02014b50;
constexpr uint32_t EndSignature = 0x06054b50;

// Where the records of an archive written by WriteZip (or a seed) sit.
struct Layout {
    size_t end = std::string::npos;  // end of central directory record
    std::vector<size_t> central;     // central directory entries
    std::vector<size_t> local;       // local headers, as the entries name them
};

Layout FindLayout(const std::string& s)
{
    Layout layout;
    if (s.size() < 22)
        return layout;
    const size_t lowest = s.size() > 65557 ? s.size() - 65557 : 0;
    for (size_t at = s.size() - 22 + 1; at-- > lowest;) {
        if (Get32(s, at) == EndSignature) {
            layout.end = at;
            break;
        }
    }
    if (layout.end == std::string::npos)
        return layout;
    size_t at = Get32(s, layout.end + 16);
    const uint32_t count = Get16(s, layout.end + 10);
    for (uint32_t i = 0; i < count && at + 46 <= s.size() && Get32(s, at) == CentralSignature; ++i) {
        layout.central.push_back(at);
        layout.local.push_back(Get32(s, at + 42));
        at += 46 + Get16(s, at + 28) + Get16(s, at + 30) + Get16(s, at + 32);
    }
    return layout;
}

uint32_t InterestingValue(Random& r, uint32_t current, bool wide)
{
    static const uint32_t values[] = {0, 1, 2, 0x7F, 0x80, 0xFF, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF,
                                      0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
    uint32_t v;
    switch (r.Below(4)) {
    case 0: v = values[r.Below(std::size(values))]; break;
    case 1: v = current + static_cast<uint32_t>(r.Below(17)) - 8; break;
    case 2: v = static_cast<uint32_t>(r.Next()); break;
    default: v = current ^ (1u << r.Below(wide ? 32 : 16)); break;
    }
    return wide ? v : v & 0xFFFF;
}

std::string RandomBytes(Random& r, size_t size)
{
    std::string s(size, '\0');
    for (char& c : s)
        c = static_cast<char>(r.Next());
    return s;
}

// ---- byte-level mutations -------------------------------------------------------------

void FlipBytes(Random& r, std::string& s, std::string& how)
{
    if (s.empty())
        return;
    const uint64_t flips = r.Scaled(8, 512);
    for (uint64_t i = 0; i < flips; ++i) {
        const size_t at = r.Below(s.size());
        if (r.Chance(50))
            s[at] = static_cast<char>(s[at] ^ (1 << r.Below(8)));
        else
            s[at] = static_cast<char>(r.Next());
    }
    how += "flip " + std::to_string(flips) + " bytes; ";
}

void Truncate(Random& r, std::string& s, std::string& how)
{
    const size_t keep = r.Chance(50) ? r.Below(s.size() + 1) : s.size() - std::min<size_t>(s.size(), r.Below(64));
    s.resize(keep);
    how += "truncate to " + std::to_string(keep) + "; ";
}

void JunkBefore(Random& r, std::string& s, std::string& how)
{
    const size_t size = r.Scaled(64, 300000);
    std::string junk = r.Chance(30) ? std::string(size, '\0') : RandomBytes(r, size);
    if (r.Chance(30) && size >= 4)
        Set32(junk, r.Below(size - 3), r.Chance(50) ? LocalSignature : EndSignature);
    s = junk + s;
    how += "junk of " + std::to_string(size) + " bytes before; ";
}

// ---- structure-level mutations ---------------------------------------------------------

void CorruptFields(Random& r, std::string& s, std::string& how)
{
    const Layout layout = FindLayout(s);
    if (layout.end == std::string::npos) {
        FlipBytes(r, s, how);
        return;
    }
    const uint64_t edits = r.Scaled(3, 12);
    for (uint64_t e = 0; e < edits; ++e) {
        const unsigned where = static_cast<unsigned>(r.Below(layout.central.empty() ? 1 : 3));
        if (where == 0) {
            // end record: disk numbers, counts, directory size and offset, comment length
            static const struct { size_t at; bool wide; } fields[] = {
                {4, false}, {6, false}, {8, false}, {10, false}, {12, true}, {16, true}, {20, false}};
            const auto& f = fields[r.Below(std::size(fields))];
            const size_t at = layout.end + f.at;
            const uint32_t v = InterestingValue(r, f.wide ? Get32(s, at) : Get16(s, at), f.wide);
            f.wide ? Set32(s, at, v) : Set16(s, at, v);
            how += "end record +" + std::to_string(f.at) + "=" + std::to_string(v) + "; ";
        } else if (where == 1) {
            // central entry: flags, method, crc, sizes, name/extra/comment lengths, offset
            static const struct { size_t at; bool wide; } fields[] = {
                {8, false}, {10, false}, {16, true}, {20, true}, {24, true}, {28, false},
                {30, false}, {32, false}, {34, false}, {38, true}, {42, true}};
            const size_t entry = layout.central[r.Below(layout.central.size())];
            const auto& f = fields[r.Below(std::size(fields))];
            const size_t at = entry + f.at;
            const uint32_t v = InterestingValue(r, f.wide ? Get32(s, at) : Get16(s, at), f.wide);
            f.wide ? Set32(s, at, v) : Set16(s, at, v);
            how += "central entry @" + std::to_string(entry) + " +" + std::to_string(f.at) + "=" +
                   std::to_string(v) + "; ";
        } else {
            static const struct { size_t at; bool wide; } fields[] = {
                {0, true}, {6, false}, {8, false}, {14, true}, {18, true}, {22, true}, {26, false}, {28, false}};
            const size_t header = layout.local[r.Below(layout.local.size())];
            if (header + 30 > s.size())
                continue;
            const auto& f = fields[r.Below(std::size(fields))];
            const size_t at = header + f.at;
            const uint32_t v = InterestingValue(r, f.wide ? Get32(s, at) : Get16(s, at), f.wide);
            f.wide ? Set32(s, at, v) : Set16(s, at, v);
            how += "local header @" + std::to_string(header) + " +" + std::to_string(f.at) + "=" +
                   std::to_string(v) + "; ";
        }
    }
}

std::string OddName(Random& r, const std::vector<ZipItem>& items)
{
    const std::string base = items.empty() ? std::string("index.html") : items[r.Below(items.size())].name;
    switch (r.Below(12)) {
    case 0: return base + std::string(1, '\0') + "tail";
    case 1: return "../../" + base;
    case 2: return "/" + base;
    case 3: return "C:\\" + base;
    case 4: return std::string(r.Chance(50) ? 300 : 65535 - r.Below(100), 'a') + "/index.html";
    case 5: return base + "\xC3\x28\xFF\xFE.html";  // invalid UTF-8
    case 6: return "";
    case 7: return base + "/";
    case 8: return "\\\\server\\share\\" + base;
    case 9: return "index.html" + std::string(r.Below(20), ' ') + ".";
    case 10: {
        std::string deep;
        const uint64_t depth = r.Scaled(20, 3000);
        for (uint64_t i = 0; i < depth; ++i)
            deep += "d/";
        return deep + "index.html";
    }
    default: return base;  // a duplicate
    }
}

void OddNames(Random& r, std::vector<ZipItem>& items, std::string& how)
{
    const uint64_t count = r.Scaled(3, 40);
    for (uint64_t i = 0; i < count; ++i) {
        ZipItem item = items.empty() || r.Chance(50) ? StoredItem("", "<html>odd</html>")
                                                     : items[r.Below(items.size())];
        item.name = OddName(r, items);
        if (r.Chance(50))
            item.flags |= 0x800;  // names declared UTF-8
        if (r.Chance(50) && !items.empty())
            items[r.Below(items.size())] = item;
        else
            items.insert(items.begin() + static_cast<ptrdiff_t>(r.Below(items.size() + 1)), item);
    }
    how += "odd names x" + std::to_string(count) + "; ";
}

// Items whose method the reader may not know, or that ask for much memory to decode.
void OtherMethods(Random& r, std::vector<ZipItem>& items, std::string& how)
{
    if (items.empty())
        items.push_back(StoredItem("index.html", "<html></html>"));
    const uint64_t count = r.Scaled(2, static_cast<uint64_t>(items.size()));
    for (uint64_t i = 0; i < count; ++i) {
        ZipItem& item = items[r.Below(items.size())];
        std::string payload = r.Chance(50) ? item.data : RandomBytes(r, r.Scaled(64, 4096));
        switch (r.Below(8)) {
        case 0: {  // LZMA with a huge dictionary
            std::string header;
            Put16(header, 0x1409);
            Put16(header, 5);
            header.push_back(static_cast<char>(r.Chance(80) ? 0x5D : r.Next()));
            Put32(header, r.Chance(70) ? 0xFFFFFFFFu - static_cast<uint32_t>(r.Below(4096))
                                       : static_cast<uint32_t>(r.Next()));
            item.method = 14;
            item.flags |= r.Chance(50) ? 2 : 0;
            item.data = header + payload;
            how += "LZMA huge dictionary; ";
            break;
        }
        case 1: {  // PPMd with much memory and a high order
            std::string header;
            Put16(header, static_cast<uint32_t>((r.Below(16)) | (r.Below(256) << 4) | (r.Below(2) << 12)));
            item.method = 98;
            item.data = header + payload;
            how += "PPMd; ";
            break;
        }
        case 2: item.method = 12; item.data = "BZh9" + payload; how += "BZip2; "; break;
        case 3: item.method = 9; item.data = payload; how += "Deflate64; "; break;
        case 4: item.method = static_cast<uint16_t>(1 + r.Below(6)); item.data = payload; how += "old method; "; break;
        case 5: item.method = static_cast<uint16_t>(r.Next()); item.data = payload; how += "unknown method; "; break;
        case 6: item.flags |= 1; how += "encrypted; "; break;
        default: {
            item.method = 99;
            item.extra = std::string("\x01\x99\x07\x00\x02\x00" "AE\x03\x08\x00", 11);
            how += "AES; ";
            break;
        }
        }
        if (r.Chance(50))
            item.size = r.Chance(50) ? 0xFFFFFFFFull : r.Next() & 0xFFFFFFFF;
    }
}

std::string Zip64Extra(Random& r, uint64_t size, uint64_t packed, uint64_t offset)
{
    std::string body;
    Put64(body, r.Chance(70) ? size : r.Next());
    Put64(body, r.Chance(70) ? packed : r.Next());
    if (r.Chance(60))
        Put64(body, r.Chance(70) ? offset : r.Next());
    std::string extra;
    Put16(extra, 1);
    Put16(extra, static_cast<uint32_t>(r.Chance(85) ? body.size() : r.Below(64)));
    return extra + body;
}

// ZIP64 records: entries whose sizes and offsets live in extra fields, and a ZIP64 end record
// with its locator, every value true or wild.
void Zip64Tricks(Random& r, std::vector<ZipItem>& items, std::string& s, std::string& how)
{
    for (ZipItem& item : items)
        if (r.Chance(50))
            item.extra += Zip64Extra(r, item.size, item.data.size(), 0);
    s = WriteZip(items);
    const Layout layout = FindLayout(s);
    if (layout.end == std::string::npos)
        return;
    for (size_t entry : layout.central) {
        if (!r.Chance(60))
            continue;
        Set32(s, entry + 20, 0xFFFFFFFF);
        Set32(s, entry + 24, 0xFFFFFFFF);
        if (r.Chance(50))
            Set32(s, entry + 42, 0xFFFFFFFF);
    }
    const uint64_t cdOffset = Get32(s, layout.end + 16);
    const uint64_t cdSize = Get32(s, layout.end + 12);
    const uint64_t count = layout.central.size();
    std::string record;
    Put32(record, 0x06064b50);
    Put64(record, 44);
    Put16(record, 45);
    Put16(record, 45);
    Put32(record, 0);
    Put32(record, 0);
    Put64(record, r.Chance(60) ? count : r.Next() >> r.Below(64));
    Put64(record, r.Chance(60) ? count : r.Next() >> r.Below(64));
    Put64(record, r.Chance(60) ? cdSize : r.Next() >> r.Below(64));
    Put64(record, r.Chance(60) ? cdOffset : r.Next() >> r.Below(64));
    std::string locator;
    Put32(locator, 0x07064b50);
    Put32(locator, 0);
    Put64(locator, r.Chance(70) ? layout.end : r.Next() >> r.Below(64));
    Put32(locator, r.Chance(90) ? 1 : static_cast<uint32_t>(r.Next()));
    std::string end = s.substr(layout.end);
    if (r.Chance(70)) {
        Set16(end, 8, 0xFFFF);
        Set16(end, 10, 0xFFFF);
    }
    if (r.Chance(50))
        Set32(end, 12, 0xFFFFFFFF);
    if (r.Chance(50))
        Set32(end, 16, 0xFFFFFFFF);
    s = s.substr(0, layout.end) + record + locator + end;
    how += "ZIP64 records; ";
}

void CommentTricks(Random& r, const std::vector<ZipItem>& items, std::string& s, std::string& how)
{
    std::string comment;
    switch (r.Below(4)) {
    case 0: {  // a second, false end record inside the comment
        std::string fake;
        Put32(fake, EndSignature);
        for (int i = 0; i < 4; ++i)
            Put16(fake, static_cast<uint32_t>(r.Next()));
        Put32(fake, static_cast<uint32_t>(r.Next()));
        Put32(fake, static_cast<uint32_t>(r.Next()));
        Put16(fake, 0);
        comment = RandomBytes(r, r.Below(200)) + fake;
        break;
    }
    case 1: comment = RandomBytes(r, 65535); break;
    case 2: comment = WriteZip(items); break;  // a whole archive in the comment
    default: comment = RandomBytes(r, r.Below(100)); break;
    }
    comment.resize(std::min<size_t>(comment.size(), 65535));
    s = WriteZip(items, comment);
    if (r.Chance(40)) {
        const Layout layout = FindLayout(s);
        if (layout.end != std::string::npos)
            Set16(s, layout.end + 20, InterestingValue(r, Get16(s, layout.end + 20), false));
    }
    if (r.Chance(30))
        s += RandomBytes(r, r.Below(100));  // data after the end record
    how += "comment tricks; ";
}

// Entries that share data: two central entries naming one local header, or items whose
// stored data runs into the next one.
void Overlaps(Random& r, std::string& s, std::string& how)
{
    const Layout layout = FindLayout(s);
    if (layout.central.size() < 2) {
        CorruptFields(r, s, how);
        return;
    }
    const uint64_t edits = r.Scaled(2, 20);
    for (uint64_t e = 0; e < edits; ++e) {
        const size_t a = r.Below(layout.central.size());
        const size_t b = r.Below(layout.central.size());
        if (r.Chance(50)) {
            Set32(s, layout.central[a] + 42, static_cast<uint32_t>(layout.local[b]));
        } else {
            const uint32_t grow = static_cast<uint32_t>(r.Scaled(64, 1 << 20));
            Set32(s, layout.central[a] + 20, Get32(s, layout.central[a] + 20) + grow);
            if (layout.local[a] + 30 <= s.size())
                Set32(s, layout.local[a] + 18, Get32(s, layout.local[a] + 18) + grow);
        }
    }
    how += "overlapping entries; ";
}

// ---- index.rdf documents ---------------------------------------------------------------

std::string Repeat(const std::string& text, uint64_t count)
{
    std::string out;
    out.reserve(text.size() * count);
    for (uint64_t i = 0; i < count; ++i)
        out += text;
    return out;
}

std::string Description(const std::string& title, const std::string& index, const std::string& inner = {})
{
    return "<RDF:Description RDF:about=\"urn:root\">\n"
           "<MAF:originalurl RDF:resource=\"http://example.org/page/\"/>\n"
           "<MAF:title RDF:resource=\"" + title + "\"/>\n"
           "<MAF:archivetime RDF:resource=\"Tue, 02 Jan 2024 03:04:06 GMT\"/>\n"
           "<MAF:indexfilename RDF:resource=\"" + index + "\"/>\n" + inner +
           "</RDF:Description>\n";
}

const char* const RdfOpen =
    "<RDF:RDF xmlns:MAF=\"http://maf.mozdev.org/metadata/rdf#\" "
    "xmlns:NC=\"http://home.netscape.com/NC-rdf#\" "
    "xmlns:RDF=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"";

std::string ToUtf16(const std::string& ascii, bool bigEndian)
{
    std::string out;
    for (char c : ascii) {
        if (bigEndian) {
            out.push_back('\0');
            out.push_back(c);
        } else {
            out.push_back(c);
            out.push_back('\0');
        }
    }
    return out;
}

bool hugeDocuments = true;

// The chance in percent of a description's large variant.
unsigned Huge() { return hugeDocuments ? 2 : 0; }

std::string MutatedRdf(Random& r, std::string& how)
{
    const std::string decl = "<?xml version=\"1.0\"?>\n";
    std::string index = "index.html";
    std::string title = "A page";
    std::string attributes;
    std::string inner;
    std::string prolog;
    std::string outer;
    switch (r.Below(10)) {
    case 0: {
        const uint64_t depth = r.Scaled(300, 200000, Huge());
        inner = Repeat("<x>", depth) + Repeat("</x>", depth);
        how += "rdf nesting " + std::to_string(depth) + "; ";
        break;
    }
    case 1: {
        const uint64_t size = r.Scaled(100000, 32u << 20, Huge());
        title = std::string(size, 'T');
        how += "rdf attribute of " + std::to_string(size) + "; ";
        break;
    }
    case 2: {
        const uint64_t count = r.Scaled(2000, 100000, Huge());
        for (uint64_t i = 0; i < count; ++i)
            attributes += " a" + std::to_string(i) + "=\"v\"";
        how += "rdf attributes " + std::to_string(count) + "; ";
        break;
    }
    case 3: {
        const uint64_t count = r.Scaled(3000, 60000, Huge());
        for (uint64_t i = 0; i < count; ++i)
            attributes += " xmlns:n" + std::to_string(i) + "=\"urn:n" + std::to_string(i) + "\"";
        how += "rdf namespace declarations " + std::to_string(count) + "; ";
        break;
    }
    case 4: {
        const uint64_t count = r.Scaled(5000, 300000, Huge());
        inner = Repeat("<MAF:title RDF:resource=\"t\"/>", count);
        how += "rdf children " + std::to_string(count) + "; ";
        break;
    }
    case 5: {
        prolog = "<!DOCTYPE RDF:RDF [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
                 "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
                 "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\"><!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">"
                 "<!ENTITY x SYSTEM \"file:///C:/windows/win.ini\">]>\n";
        title = r.Chance(50) ? "&f;" : "&x;";
        how += "rdf entities; ";
        break;
    }
    case 6: {
        static const char* const names[] = {"../../../etc/x", "", "/abs.html", "C:\\x.html",
                                            "%2e%2e/x", "maff://0*index.html", "index.html?x#y",
                                            "\xC3\x28.html", "a/b/c/../../index.html"};
        index = names[r.Below(std::size(names))];
        if (r.Chance(20))
            index = std::string(r.Scaled(1000, 1 << 20), 'i');
        how += "rdf index name; ";
        break;
    }
    case 7: {
        static const char* const rootNames[] = {"RDF:RDF", "rdf:rdf", "RDF", "x:RDF"};
        outer = rootNames[r.Below(std::size(rootNames))];
        how += "rdf root " + outer + "; ";
        break;
    }
    default: break;  // encodings and byte damage below
    }
    const std::string root = outer.empty() ? std::string(RdfOpen) : "<" + outer;
    const std::string close = outer.empty() ? "</RDF:RDF>\n" : "</" + outer + ">\n";
    std::string body = prolog + root + attributes + ">\n" + Description(title, index, inner) + close;
    std::string document = decl + body;
    switch (r.Below(8)) {
    case 0:
        document = "\xFF\xFE" + ToUtf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n" + body, false);
        how += "UTF-16LE; ";
        break;
    case 1:
        document = ToUtf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n" + body, true);
        how += "UTF-16BE without mark; ";
        break;
    case 2: {
        static const char* const encodings[] = {"UTF-32", "UTF-7", "x-unknown", "ISO-2022-JP",
                                                "EBCDIC-US", "UTF-16", "", "windows-1252"};
        document = std::string("<?xml version=\"1.0\" encoding=\"") + encodings[r.Below(std::size(encodings))] +
                   "\"?>\n" + body;
        how += "odd encoding; ";
        break;
    }
    case 3: document = "\xEF\xBB\xBF" + document; break;
    case 4: FlipBytes(r, document, how); break;
    case 5: Truncate(r, document, how); break;
    default: break;
    }
    return document;
}

std::string PageHtml(Random& r)
{
    return "<html><head><link rel=stylesheet href=\"style.css\"></head><body>" +
           std::string(r.Below(200), 'p') + "<img src=\"a.png\"></body></html>";
}

// A saved page of a few items, with its description.
std::vector<ZipItem> FreshPage(Random& r, std::string& how)
{
    std::vector<ZipItem> items;
    const std::string folder = r.Chance(80) ? std::to_string(r.Below(100000)) + "_page/" : std::string();
    items.push_back(StoredItem(folder + "index.rdf", MutatedRdf(r, how)));
    items.push_back(StoredItem(folder + "index.html", PageHtml(r)));
    items.push_back(StoredItem(folder + "style.css", "body{color:red}"));
    items.push_back(StoredItem(folder + "a.png", RandomBytes(r, r.Below(300))));
    return items;
}

std::vector<ZipItem> ManyItems(Random& r, std::string& how)
{
    const uint64_t count = r.Scaled(500, 5000);
    std::vector<ZipItem> items;
    items.reserve(count + 1);
    items.push_back(StoredItem("index.html", "<html>many</html>"));
    for (uint64_t i = 0; i < count; ++i)
        items.push_back(StoredItem(std::to_string(i % 7) + "/index." + std::to_string(i), std::to_string(i)));
    how += "many items " + std::to_string(count) + "; ";
    return items;
}

} // namespace

uint32_t Crc32(const void* data, size_t size)
{
    const auto& table = CrcTable();
    uint32_t c = 0xFFFFFFFFu;
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i)
        c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

ZipItem StoredItem(std::string name, std::string data)
{
    ZipItem item;
    item.name = std::move(name);
    item.crc = Crc32(data.data(), data.size());
    item.size = data.size();
    item.data = std::move(data);
    return item;
}

std::vector<ZipItem> ReadZipItems(const std::string& s)
{
    std::vector<ZipItem> items;
    const Layout layout = FindLayout(s);
    for (size_t i = 0; i < layout.central.size(); ++i) {
        const size_t entry = layout.central[i];
        ZipItem item;
        item.flags = static_cast<uint16_t>(Get16(s, entry + 8));
        item.method = static_cast<uint16_t>(Get16(s, entry + 10));
        item.crc = Get32(s, entry + 16);
        const uint32_t packed = Get32(s, entry + 20);
        item.size = Get32(s, entry + 24);
        const size_t nameLength = Get16(s, entry + 28);
        if (entry + 46 + nameLength > s.size())
            break;
        item.name = s.substr(entry + 46, nameLength);
        const size_t local = layout.local[i];
        if (local + 30 > s.size() || Get32(s, local) != LocalSignature)
            continue;
        const size_t data = local + 30 + Get16(s, local + 26) + Get16(s, local + 28);
        if (data > s.size() || packed > s.size() - data)
            continue;
        item.data = s.substr(data, packed);
        items.push_back(std::move(item));
    }
    return items;
}

std::string WriteZip(const std::vector<ZipItem>& items, const std::string& comment)
{
    std::string out;
    std::string central;
    for (const ZipItem& item : items) {
        const auto offset = static_cast<uint32_t>(out.size());
        const auto nameLength = static_cast<uint32_t>(std::min<size_t>(item.name.size(), 0xFFFF));
        const auto extraLength = static_cast<uint32_t>(std::min<size_t>(item.extra.size(), 0xFFFF));
        const auto size = static_cast<uint32_t>(std::min<uint64_t>(item.size, 0xFFFFFFFF));
        Put32(out, LocalSignature);
        Put16(out, 20);
        Put16(out, item.flags);
        Put16(out, item.method);
        Put32(out, 0x58226000);  // a fixed time stamp
        Put32(out, item.crc);
        Put32(out, static_cast<uint32_t>(item.data.size()));
        Put32(out, size);
        Put16(out, nameLength);
        Put16(out, extraLength);
        out.append(item.name, 0, nameLength);
        out.append(item.extra, 0, extraLength);
        out += item.data;

        Put32(central, CentralSignature);
        Put16(central, 20);
        Put16(central, 20);
        Put16(central, item.flags);
        Put16(central, item.method);
        Put32(central, 0x58226000);
        Put32(central, item.crc);
        Put32(central, static_cast<uint32_t>(item.data.size()));
        Put32(central, size);
        Put16(central, nameLength);
        Put16(central, extraLength);
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put32(central, 0);
        Put32(central, offset);
        central.append(item.name, 0, nameLength);
        central.append(item.extra, 0, extraLength);
    }
    const auto cdOffset = static_cast<uint32_t>(out.size());
    out += central;
    Put32(out, EndSignature);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<uint32_t>(std::min<size_t>(items.size(), 0xFFFF)));
    Put16(out, static_cast<uint32_t>(std::min<size_t>(items.size(), 0xFFFF)));
    Put32(out, static_cast<uint32_t>(central.size()));
    Put32(out, cdOffset);
    Put16(out, static_cast<uint32_t>(std::min<size_t>(comment.size(), 0xFFFF)));
    out.append(comment, 0, 0xFFFF);
    return out;
}

FuzzCase MakeCase(const std::vector<std::string>& seeds, uint64_t seed, uint64_t index,
                  bool huge)
{
    hugeDocuments = huge;
    Random r(seed * 0x100000001B3ull ^ (index + 1) * 0xD6E8FEB86659FD93ull);
    FuzzCase result;
    std::string& how = result.description;
    std::vector<ZipItem> items;
    std::string base;
    if (seeds.empty() || r.Chance(35)) {
        items = FreshPage(r, how);
        base = WriteZip(items);
        how += "fresh page; ";
    } else {
        const size_t pick = r.Below(seeds.size());
        base = seeds[pick];
        items = ReadZipItems(base);
        how += "seed " + std::to_string(pick) + "; ";
    }
    std::string& s = result.bytes;
    switch (r.Below(12)) {
    case 0: s = base; FlipBytes(r, s, how); break;
    case 1: s = base; Truncate(r, s, how); break;
    case 2: s = base; JunkBefore(r, s, how); break;
    case 3: s = base; CorruptFields(r, s, how); break;
    case 4: OddNames(r, items, how); s = WriteZip(items); break;
    case 5: OtherMethods(r, items, how); s = WriteZip(items); break;
    case 6: {  // an archive inside the archive, under a page's or description's name
        static const char* const names[] = {"index.html", "index.rdf", "page/index.rdf", "inner.maff", "page/index.html"};
        items.push_back(StoredItem(names[r.Below(std::size(names))], base));
        if (r.Chance(30))
            items.back().flags |= 0x800;
        s = WriteZip(items);
        how += "nested archive; ";
        break;
    }
    case 7: Zip64Tricks(r, items, s, how); break;
    case 8: CommentTricks(r, items, s, how); break;
    case 9: s = WriteZip(items); Overlaps(r, s, how); break;
    case 10: {
        std::vector<ZipItem> page = FreshPage(r, how);
        items.insert(items.end(), page.begin(), page.end());
        s = WriteZip(items);
        break;
    }
    default: items = ManyItems(r, how); s = WriteZip(items); break;
    }
    // Now and then a second, blind mutation on top of the first.
    if (r.Chance(20)) {
        if (r.Chance(70))
            FlipBytes(r, s, how);
        else
            Truncate(r, s, how);
    }
    return result;
}

} // namespace kvfuzz
