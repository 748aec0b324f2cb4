// A small XML document over the platform's DOM parser: parse from a byte stream (the encoding
// comes from the document), look children up by name, read attributes as text.
// Documents come from archives and are not trusted: a DOCTYPE is refused before the parser
// sees the bytes, and the parser never resolves anything outside the document.
#pragma once

#include "shell/Exceptions.h"
#include "shell/MemoryStream.h"

#include <windows.h>
#include <objidl.h>
#include <msxml2.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// What a document may hold; anything beyond is refused before the parser sees it. The
// parser's time grows faster than the text with the number of elements, with the attributes
// of one element (namespace declarations above all) and with depth, and documents are read on
// the host's interface thread. Generous for the documents read here, descriptions of about 1 KB.
inline constexpr uint64_t MaxXmlDocumentSize = 1024 * 1024;
inline constexpr size_t MaxXmlElements = 10000;
inline constexpr size_t MaxXmlAttributesPerElement = 256;
inline constexpr size_t MaxXmlDepth = 64;

// A document that cannot be used: not well-formed, with a DTD, in an encoding that cannot be
// checked, or beyond the limits above. The message names the document.
class EXmlDocumentError : public Exception {
public:
    using Exception::Exception;
};

// Initialises COM on the calling thread for as long as it lives, when the thread has not done
// so already, and balances what it did.
class ComInitialization {
public:
    ComInitialization();
    ~ComInitialization();
    ComInitialization(const ComInitialization&) = delete;
    ComInitialization& operator=(const ComInitialization&) = delete;

private:
    bool uninitialize_ = false;
};

// One node of a loaded document. Nodes must not outlive the XmlDocument they came from.
class XmlNode {
public:
    explicit XmlNode(Microsoft::WRL::ComPtr<IXMLDOMNode> node) : node_(std::move(node)) {}

    std::wstring NodeName() const;      // the qualified name ("RDF:Description", "#text")
    std::wstring BaseName() const;      // the local name ("Description")
    std::wstring NamespaceUri() const;  // "" when the node has no namespace
    bool IsElement() const;

    // The first child element whose qualified or local name is name (case included) and,
    // when this node has a namespace, whose namespace is this node's.
    std::optional<XmlNode> ChildByName(std::wstring_view name) const;
    // Every child node in document order (elements, text, comments...).
    std::vector<XmlNode> ChildNodes() const;
    // Sibling links: the parser's indexed child lists take time in proportion to the index.
    std::optional<XmlNode> FirstChild() const;
    std::optional<XmlNode> NextSibling() const;
    // The value of the attribute whose qualified name is name; nullopt when it is absent,
    // "" when it is present but empty.
    std::optional<std::wstring> Attribute(std::wstring_view name) const;
    // Whether the node, whose NodeName() is nodeName, has name as its qualified or local name.
    bool HasName(const std::wstring& nodeName, std::wstring_view name) const;

    IXMLDOMNode* Get() const noexcept { return node_.Get(); }

private:
    Microsoft::WRL::ComPtr<IXMLDOMNode> node_;
};

class XmlDocument {
public:
    // Creates the parser (6.0, else 3.0); raises when neither is available.
    XmlDocument();
    ~XmlDocument();
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    // Parses the whole stream from its start, in place of any document loaded before.
    // sourceName names the document in messages. Raises EXmlDocumentError for a document that
    // is refused or does not parse; no more than MaxXmlDocumentSize + 1 bytes are read of a
    // document that is too large. One document loads many in turn for a fraction of the cost
    // of a parser for each.
    void Load(IStream* stream, const std::wstring& sourceName);
    // The same for a document in memory, checked where it lies rather than read out first.
    void Load(MemoryStream& stream, const std::wstring& sourceName);

    // The document node, whose children are the top-level nodes (the root element among them).
    XmlNode DocumentNode() const;
    // The root element: the one element among the document node's children; nullopt when
    // the last Load raised.
    std::optional<XmlNode> DocumentElement() const;

private:
    // Parses the stream, whose bytes passed the checks, from its start.
    void Parse(IStream* stream, const std::wstring& sourceName);

    ComInitialization com_;  // first in, last out: the parser is released before COM ends
    Microsoft::WRL::ComPtr<IXMLDOMDocument2> document_;
    bool loaded_ = false;  // by the last Load; a refused document leaves the one before
};

} // namespace kv
