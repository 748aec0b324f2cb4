// A look at an XML document's bytes before any parser sees them: whether everything up to the
// root element is plain markup in an encoding that can be checked, and whether it carries a
// document type declaration. Documents from archives are untrusted, and a DTD brings entity
// expansion and external references, so documents with one are refused before parsing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv {

enum class XmlPrologVerdict {
    Acceptable,           // the prolog is clean; the root element follows
    DocumentType,         // a document type declaration precedes the root element
    NotWellFormed,        // the text before the root element is not an XML prolog
    UnsupportedEncoding,  // an encoding whose markup cannot be checked byte by byte
};

struct XmlPrologCheck {
    XmlPrologVerdict verdict = XmlPrologVerdict::Acceptable;
    std::wstring encoding;  // the declared encoding name, when the declaration has one
};

// Reads the byte-order mark (or, without one, the width of the first characters: UTF-16 and
// UTF-32 in either byte order, or an encoding that keeps ASCII as single bytes) and then walks
// the XML declaration, processing instructions, comments and white space up to the root
// element. The declared encoding must be one whose markup characters are plain ASCII in every
// state (no shift sequences); others are refused, since the parser would read them differently.
XmlPrologCheck CheckXmlProlog(const uint8_t* data, size_t size);

// How much markup a document may hold before a parser is given it.
struct XmlShapeLimits {
    size_t elements;
    size_t attributesPerElement;
    size_t depth;
};

enum class XmlShapeVerdict { Acceptable, TooManyElements, TooManyAttributes, TooDeep };

// Counts start tags, the attributes of each (namespace declarations included) and the nesting
// depth in one pass over the markup, in the width CheckXmlProlog detects, and stops at the
// first limit exceeded. Comments, CDATA sections, processing instructions and quoted values
// are skipped; markup that is not well-formed is only counted, and left to the parser to refuse.
XmlShapeVerdict CheckXmlShape(const uint8_t* data, size_t size, const XmlShapeLimits& limits);

} // namespace kv
