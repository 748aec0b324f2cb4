#include "plugin/XmlProlog.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace kv {
namespace {

enum class Width { Byte, Utf16Le, Utf16Be, Utf32Le, Utf32Be, Unreadable };

constexpr uint32_t NoUnit = 0xFFFFFFFFu;

// The document as a sequence of code units of the width its first bytes show. Only ASCII
// units matter for the prolog; everything else is just "not markup".
class CodeUnits {
public:
    CodeUnits(const uint8_t* data, size_t size) : data_(data), size_(size) { Detect(); }

    Width GetWidth() const noexcept { return width_; }
    bool Wide() const noexcept { return width_ != Width::Byte; }
    // Where the units start, behind a byte-order mark.
    size_t Start() const noexcept { return start_; }

    uint32_t operator[](size_t index) const noexcept
    {
        const size_t unit = UnitSize();
        if (index >= (size_ - start_) / unit)
            return NoUnit;
        const uint8_t* p = data_ + start_ + index * unit;
        switch (width_) {
        case Width::Byte: return p[0];
        case Width::Utf16Le: return p[0] | (p[1] << 8);
        case Width::Utf16Be: return (p[0] << 8) | p[1];
        case Width::Utf32Le: return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
        case Width::Utf32Be: return (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
        default: return NoUnit;
        }
    }

private:
    size_t UnitSize() const noexcept
    {
        switch (width_) {
        case Width::Utf16Le:
        case Width::Utf16Be: return 2;
        case Width::Utf32Le:
        case Width::Utf32Be: return 4;
        default: return 1;
        }
    }

    bool Starts(std::initializer_list<int> bytes) const noexcept
    {
        if (size_ < bytes.size())
            return false;
        size_t i = 0;
        for (const int b : bytes) {
            // -1 stands for "any byte but zero".
            if (b < 0 ? data_[i] == 0 : data_[i] != b)
                return false;
            ++i;
        }
        return true;
    }

    void Detect() noexcept
    {
        const auto use = [this](Width width, size_t start) { width_ = width; start_ = start; };
        if (Starts({0x00, 0x00, 0xFE, 0xFF}))
            use(Width::Utf32Be, 4);
        else if (Starts({0xFF, 0xFE, 0x00, 0x00}))
            use(Width::Utf32Le, 4);
        else if (Starts({0xFE, 0xFF}))
            use(Width::Utf16Be, 2);
        else if (Starts({0xFF, 0xFE}))
            use(Width::Utf16Le, 2);
        else if (Starts({0xEF, 0xBB, 0xBF}))
            use(Width::Byte, 3);
        else if (Starts({0x00, 0x00, 0x00, -1}))
            use(Width::Utf32Be, 0);
        else if (Starts({-1, 0x00, 0x00, 0x00}))
            use(Width::Utf32Le, 0);
        else if (Starts({0x00, 0x00, -1, 0x00}) || Starts({0x00, -1, 0x00, 0x00}))
            use(Width::Unreadable, 0);  // UCS-4 in an unusual byte order
        else if (Starts({0x4C, 0x6F, 0xA7, 0x94}))
            use(Width::Unreadable, 0);  // EBCDIC
        else if (Starts({0x00, -1}))
            use(Width::Utf16Be, 0);
        else if (Starts({-1, 0x00}))
            use(Width::Utf16Le, 0);
        else
            use(Width::Byte, 0);
    }

    const uint8_t* data_;
    size_t size_;
    size_t start_ = 0;
    Width width_ = Width::Byte;
};

// The units of a document in an encoding that keeps ASCII as single bytes: the common case,
// read without the width's conversion at every unit.
class ByteUnits {
public:
    ByteUnits(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Wide() const noexcept { return false; }
    uint32_t operator[](size_t index) const noexcept { return index < size_ ? data_[index] : NoUnit; }

private:
    const uint8_t* data_;
    size_t size_;
};

bool IsSpace(uint32_t c) noexcept
{
    return c == 0x20 || c == 0x09 || c == 0x0D || c == 0x0A;
}

bool IsAsciiLetter(uint32_t c) noexcept
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsNameStart(uint32_t c) noexcept
{
    return c != NoUnit && (IsAsciiLetter(c) || c == '_' || c == ':' || c >= 0x80);
}

uint32_t AsciiUpper(uint32_t c) noexcept
{
    return c >= 'a' && c <= 'z' ? c - 32 : c;
}

template <class Units>
bool At(const Units& u, size_t pos, std::string_view text, bool ignoreCase = false) noexcept
{
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t c = u[pos + i];
        const uint32_t t = static_cast<unsigned char>(text[i]);
        if (ignoreCase ? AsciiUpper(c) != AsciiUpper(t) : c != t)
            return false;
    }
    return true;
}

// Position of text at or after pos, or NoUnit.
template <class Units>
size_t Find(const Units& u, size_t pos, std::string_view text) noexcept
{
    for (; u[pos] != NoUnit; ++pos)
        if (At(u, pos, text))
            return pos;
    return NoUnit;
}

// Upper case with the separators dropped, so that "Shift_JIS", "shift-jis" and "SHIFTJIS" meet.
std::string NormalizeEncoding(std::wstring_view name)
{
    std::string result;
    for (const wchar_t c : name)
        if (c != L'-' && c != L'_' && c != L'.' && c != L' ' && c != L':')
            result += static_cast<char>(AsciiUpper(c));
    return result;
}

bool NumberIn(std::string_view digits, std::initializer_list<int> allowed)
{
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const int n = std::stoi(std::string(digits));
    return std::find(allowed.begin(), allowed.end(), n) != allowed.end();
}

bool HasPrefixNumber(std::string_view name, std::string_view prefix,
                     std::initializer_list<int> allowed)
{
    return name.substr(0, prefix.size()) == prefix && NumberIn(name.substr(prefix.size()), allowed);
}

bool IsWideEncoding(const std::string& n)
{
    static constexpr std::array names{"UTF16",   "UTF16LE", "UTF16BE", "UCS2", "ISO10646UCS2",
                                      "UNICODE", "UTF32",   "UTF32LE", "UTF32BE", "UCS4",
                                      "ISO10646UCS4"};
    return std::find(names.begin(), names.end(), n) != names.end();
}

// Encodings in which every byte below 0x80 is the ASCII character and never part of a
// multi-byte character or a shift sequence: for them the byte scan sees the markup the parser
// sees.
bool IsAsciiTransparentEncoding(const std::string& n)
{
    static constexpr std::array names{
        "UTF8",      "USASCII",   "ASCII",  "ANSIX341968", "ISO646US", "KOI8R",   "KOI8U",
        "SHIFTJIS",  "SJIS",      "XSJIS",  "MSKANJI",     "WINDOWS31J", "EUCJP", "XEUCJP",
        "EUCKR",     "EUCCN",     "GB2312", "GBK",         "GB18030",  "BIG5",    "BIG5HKSCS",
        "KSC5601",   "KSC56011987", "UHC",  "MACINTOSH",   "MACROMAN", "XMACROMAN", "TIS620"};
    if (std::find(names.begin(), names.end(), n) != names.end())
        return true;
    const std::string_view v(n);
    return HasPrefixNumber(v, "ISO8859", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 15, 16}) ||
           HasPrefixNumber(v, "LATIN", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}) ||
           HasPrefixNumber(v, "WINDOWS", {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257,
                                          1258}) ||
           HasPrefixNumber(v, "CP", {437, 737, 775, 850, 852, 855, 857, 858, 860, 861, 862, 863,
                                     864, 865, 866, 869, 874, 932, 936, 949, 950, 1250, 1251,
                                     1252, 1253, 1254, 1255, 1256, 1257, 1258}) ||
           HasPrefixNumber(v, "IBM", {437, 737, 775, 850, 852, 855, 857, 858, 860, 861, 862, 863,
                                      864, 865, 866, 869});
}

template <class Units>
bool EncodingAllowed(const Units& u, const std::wstring& declared)
{
    const std::string n = NormalizeEncoding(declared);
    if (u.Wide())
        return IsWideEncoding(n) || n == "UTF8";
    // A byte document labelled UTF-16 is a known mislabelling that parsers reject outright.
    return IsAsciiTransparentEncoding(n) || n == "UTF16" || n == "UCS2" || n == "UNICODE";
}

// Reads the pseudo-attributes of an "xml" processing instruction between begin and end;
// false when they do not have the form name = "value".
template <class Units>
bool ReadDeclaration(const Units& u, size_t pos, size_t end, XmlPrologCheck& check)
{
    for (;;) {
        while (pos < end && IsSpace(u[pos]))
            ++pos;
        if (pos >= end)
            return true;
        std::wstring name;
        while (pos < end && IsAsciiLetter(u[pos]))
            name += static_cast<wchar_t>(u[pos++]);
        while (pos < end && IsSpace(u[pos]))
            ++pos;
        if (name.empty() || pos >= end || u[pos] != '=')
            return false;
        ++pos;
        while (pos < end && IsSpace(u[pos]))
            ++pos;
        if (pos >= end || (u[pos] != '"' && u[pos] != '\''))
            return false;
        const uint32_t quote = u[pos++];
        std::wstring value;
        while (pos < end && u[pos] != quote) {
            if (u[pos] >= 0x80)
                return false;
            value += static_cast<wchar_t>(u[pos++]);
        }
        if (pos >= end)
            return false;
        ++pos;
        if (name == L"encoding")
            check.encoding = value;
    }
}

template <class Units>
XmlPrologCheck CheckProlog(const Units& u)
{
    XmlPrologCheck check;
    const auto verdict = [&check](XmlPrologVerdict v) {
        check.verdict = v;
        return check;
    };

    size_t pos = 0;
    for (;;) {
        while (IsSpace(u[pos]))
            ++pos;
        if (u[pos] != '<')
            return verdict(XmlPrologVerdict::NotWellFormed);
        if (At(u, pos, "<?")) {
            const size_t end = Find(u, pos + 2, "?>");
            if (end == NoUnit)
                return verdict(XmlPrologVerdict::NotWellFormed);
            // Any "xml" instruction counts, not only one at the very start: a parser that
            // tolerated a late declaration would switch encodings there.
            if (At(u, pos + 2, "xml", true) && (IsSpace(u[pos + 5]) || pos + 5 == end)) {
                check.encoding.clear();
                if (!ReadDeclaration(u, pos + 5, end, check))
                    return verdict(XmlPrologVerdict::NotWellFormed);
                if (!check.encoding.empty() && !EncodingAllowed(u, check.encoding))
                    return verdict(XmlPrologVerdict::UnsupportedEncoding);
            }
            pos = end + 2;
            continue;
        }
        if (At(u, pos, "<!--")) {
            const size_t end = Find(u, pos + 4, "-->");
            if (end == NoUnit)
                return verdict(XmlPrologVerdict::NotWellFormed);
            pos = end + 3;
            continue;
        }
        if (At(u, pos, "<!DOCTYPE", true))
            return verdict(XmlPrologVerdict::DocumentType);
        // Anything else that is not the start of an element name ("<!", a shift sequence, a
        // stray byte) is no prolog a parser would accept either.
        return verdict(IsNameStart(u[pos + 1]) ? XmlPrologVerdict::Acceptable
                                               : XmlPrologVerdict::NotWellFormed);
    }
}

template <class Units>
XmlShapeVerdict CheckShape(const Units& u, const XmlShapeLimits& limits)
{
    size_t elements = 0;
    size_t depth = 0;
    size_t pos = 0;
    // Skips to just behind the closing text; false when the document ends first.
    const auto skipPast = [&](size_t from, std::string_view closing) {
        const size_t end = Find(u, from, closing);
        if (end == NoUnit)
            return false;
        pos = end + closing.size();
        return true;
    };
    for (;;) {
        while (u[pos] != NoUnit && u[pos] != '<')
            ++pos;
        if (u[pos] == NoUnit)
            return XmlShapeVerdict::Acceptable;
        if (At(u, pos, "<!--")) {
            if (!skipPast(pos + 4, "-->"))
                return XmlShapeVerdict::Acceptable;
        } else if (At(u, pos, "<![CDATA[")) {
            if (!skipPast(pos + 9, "]]>"))
                return XmlShapeVerdict::Acceptable;
        } else if (At(u, pos, "<?")) {
            if (!skipPast(pos + 2, "?>"))
                return XmlShapeVerdict::Acceptable;
        } else if (At(u, pos, "<!")) {
            if (!skipPast(pos + 2, ">"))
                return XmlShapeVerdict::Acceptable;
        } else if (At(u, pos, "</")) {
            if (depth > 0)
                --depth;
            if (!skipPast(pos + 2, ">"))
                return XmlShapeVerdict::Acceptable;
        } else {
            if (++elements > limits.elements)
                return XmlShapeVerdict::TooManyElements;
            // Each "=" outside a quoted value belongs to one attribute.
            size_t attributes = 0;
            uint32_t quote = 0;
            uint32_t previous = 0;
            for (++pos;; ++pos) {
                const uint32_t c = u[pos];
                if (c == NoUnit)
                    return XmlShapeVerdict::Acceptable;
                if (quote != 0) {
                    if (c == quote)
                        quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '=') {
                    if (++attributes > limits.attributesPerElement)
                        return XmlShapeVerdict::TooManyAttributes;
                } else if (c == '>') {
                    break;
                }
                if (!IsSpace(c))
                    previous = c;
            }
            ++pos;
            if (previous != '/' && ++depth > limits.depth)
                return XmlShapeVerdict::TooDeep;
        }
    }
}

} // namespace

XmlPrologCheck CheckXmlProlog(const uint8_t* data, size_t size)
{
    const CodeUnits u(data, size);
    if (u.GetWidth() == Width::Unreadable) {
        XmlPrologCheck check;
        check.verdict = XmlPrologVerdict::UnsupportedEncoding;
        return check;
    }
    if (u.GetWidth() == Width::Byte)
        return CheckProlog(ByteUnits(data + u.Start(), size - u.Start()));
    return CheckProlog(u);
}

XmlShapeVerdict CheckXmlShape(const uint8_t* data, size_t size, const XmlShapeLimits& limits)
{
    const CodeUnits u(data, size);
    if (u.GetWidth() == Width::Byte)
        return CheckShape(ByteUnits(data + u.Start(), size - u.Start()), limits);
    return CheckShape(u, limits);
}

} // namespace kv
