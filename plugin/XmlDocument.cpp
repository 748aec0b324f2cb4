#include "plugin/XmlDocument.h"

#include "plugin/XmlProlog.h"
#include "shell/BStr.h"
#include "shell/OleCheck.h"
#include "shell/Strings.h"

#include <oleauto.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>

using Microsoft::WRL::ComPtr;

namespace kv {
namespace {

// The toolchain's headers carry no class ids for the versioned parsers and no import library.
constexpr CLSID ClsidDomDocument60 = {
    0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
constexpr CLSID ClsidDomDocument30 = {
    0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};
constexpr IID IidXmlDomDocument2 = {
    0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// Unsupported properties (older parser versions, other implementations) are simply skipped.
void TrySetProperty(IXMLDOMDocument2* document, const wchar_t* name, const VARIANT& value)
{
    try {
        document->setProperty(BStr(name).Get(), value);
    } catch (...) {
    }
}

void TrySetProperty(IXMLDOMDocument2* document, const wchar_t* name, bool value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    TrySetProperty(document, name, v);
}

void TrySetProperty(IXMLDOMDocument2* document, const wchar_t* name, long value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    TrySetProperty(document, name, v);
}

// The stream from its start, but never more than limit + 1 bytes: one byte more tells a
// document that is too large.
std::vector<uint8_t> ReadAtMost(IStream* stream, uint64_t limit)
{
    LARGE_INTEGER zero{};
    OleCheck(stream->Seek(zero, STREAM_SEEK_SET, nullptr));
    std::vector<uint8_t> bytes;
    // Read through a buffer of our own into a vector of the size the stream states: documents
    // are small, and zeroing a chunk-sized vector for each costs a good part of its parse.
    STATSTG stat{};
    if (SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME)))
        bytes.reserve(static_cast<size_t>(std::min<uint64_t>(stat.cbSize.QuadPart, limit + 1)));
    uint8_t buffer[16 * 1024];
    while (bytes.size() <= limit) {
        const ULONG wanted = static_cast<ULONG>(
            std::min<uint64_t>(sizeof(buffer), limit + 1 - static_cast<uint64_t>(bytes.size())));
        ULONG read = 0;
        const HRESULT hr = stream->Read(buffer, wanted, &read);
        OleCheck(hr);
        bytes.insert(bytes.end(), buffer, buffer + std::min(read, wanted));
        if (hr == S_FALSE || read == 0)
            break;
    }
    return bytes;
}

std::optional<XmlNode> Linked(HRESULT hr, ComPtr<IXMLDOMNode>& node)
{
    OleCheck(hr);
    if (!node)
        return std::nullopt;
    return XmlNode(std::move(node));
}

[[noreturn]] void Refuse(const std::wstring& sourceName, const std::wstring& reason)
{
    throw EXmlDocumentError(L"Cannot read \"" + sourceName + L"\": " + reason);
}

const wchar_t* const NotWellFormedText = L"not a well-formed XML document";
const wchar_t* const DocumentTypeText = L"DTDs are not allowed in this document";

// The parser here expands internal entities whatever it is told, so a DTD must never reach it;
// and what would keep it busy for long never reaches it either.
void CheckBytes(const uint8_t* data, size_t size, const std::wstring& sourceName)
{
    if (size > MaxXmlDocumentSize)
        Refuse(sourceName, L"larger than " + std::to_wstring(MaxXmlDocumentSize) + L" bytes");
    const XmlPrologCheck check = CheckXmlProlog(data, size);
    switch (check.verdict) {
    case XmlPrologVerdict::Acceptable:
        break;
    case XmlPrologVerdict::DocumentType:
        Refuse(sourceName, DocumentTypeText);
    case XmlPrologVerdict::NotWellFormed:
        Refuse(sourceName, NotWellFormedText);
    case XmlPrologVerdict::UnsupportedEncoding:
        Refuse(sourceName, check.encoding.empty()
                               ? std::wstring(L"its character encoding is not supported")
                               : L"the character encoding \"" + check.encoding +
                                     L"\" is not supported");
    }
    switch (CheckXmlShape(data, size, {MaxXmlElements, MaxXmlAttributesPerElement, MaxXmlDepth})) {
    case XmlShapeVerdict::Acceptable:
        break;
    case XmlShapeVerdict::TooManyElements:
        Refuse(sourceName, L"more than " + std::to_wstring(MaxXmlElements) + L" elements");
    case XmlShapeVerdict::TooManyAttributes:
        Refuse(sourceName, L"more than " + std::to_wstring(MaxXmlAttributesPerElement) +
                               L" attributes on one element");
    case XmlShapeVerdict::TooDeep:
        Refuse(sourceName, L"elements nested more than " + std::to_wstring(MaxXmlDepth) + L" deep");
    }
}

} // namespace

ComInitialization::ComInitialization()
{
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    if (hr == RPC_E_CHANGED_MODE)
        return;  // the thread lives in the multi-threaded apartment: COM is there already
    OleCheck(hr);
    uninitialize_ = true;  // S_OK and S_FALSE both count
}

ComInitialization::~ComInitialization()
{
    if (uninitialize_)
        CoUninitialize();
}

std::wstring XmlNode::NodeName() const
{
    BStr name;
    OleCheck(node_->get_nodeName(name.Receive()));
    return std::wstring(name.View());
}

std::wstring XmlNode::BaseName() const
{
    BStr name;
    OleCheck(node_->get_baseName(name.Receive()));
    return std::wstring(name.View());
}

std::wstring XmlNode::NamespaceUri() const
{
    BStr uri;
    OleCheck(node_->get_namespaceURI(uri.Receive()));
    return std::wstring(uri.View());
}

bool XmlNode::IsElement() const
{
    DOMNodeType type = NODE_INVALID;
    OleCheck(node_->get_nodeType(&type));
    return type == NODE_ELEMENT;
}

std::optional<XmlNode> XmlNode::FirstChild() const
{
    ComPtr<IXMLDOMNode> child;
    return Linked(node_->get_firstChild(&child), child);
}

std::optional<XmlNode> XmlNode::NextSibling() const
{
    ComPtr<IXMLDOMNode> sibling;
    return Linked(node_->get_nextSibling(&sibling), sibling);
}

std::vector<XmlNode> XmlNode::ChildNodes() const
{
    std::vector<XmlNode> result;
    for (std::optional<XmlNode> child = FirstChild(); child; child = child->NextSibling())
        result.push_back(*child);
    return result;
}

bool XmlNode::HasName(const std::wstring& nodeName, std::wstring_view name) const
{
    if (nodeName == name)
        return true;
    // The local name is the qualified name's tail, so only a tail can equal it: the parser is
    // asked no more often than that.
    return nodeName.size() > name.size() &&
           std::wstring_view(nodeName).substr(nodeName.size() - name.size()) == name &&
           BaseName() == name;
}

std::optional<XmlNode> XmlNode::ChildByName(std::wstring_view name) const
{
    std::optional<std::wstring> ownNamespace;  // asked for once a child's name matches
    for (std::optional<XmlNode> next = FirstChild(); next; next = next->NextSibling()) {
        XmlNode& child = *next;
        if (!child.HasName(child.NodeName(), name))
            continue;
        if (!ownNamespace)
            ownNamespace = NamespaceUri();
        // Of the children only elements have a namespace: a child in ours is one.
        if (ownNamespace->empty() ? !child.IsElement() : child.NamespaceUri() != *ownNamespace)
            continue;
        return std::move(child);
    }
    return std::nullopt;
}

std::optional<std::wstring> XmlNode::Attribute(std::wstring_view name) const
{
    ComPtr<IXMLDOMNamedNodeMap> attributes;
    OleCheck(node_->get_attributes(&attributes));
    if (!attributes)
        return std::nullopt;  // not an element
    ComPtr<IXMLDOMNode> attribute;
    OleCheck(attributes->getNamedItem(BStr(name).Get(), &attribute));
    if (!attribute)
        return std::nullopt;
    // The value exactly as written (after the parser's own normalisation), blanks included.
    VARIANT value;
    VariantInit(&value);
    OleCheck(attribute->get_nodeValue(&value));
    if (value.vt != VT_BSTR) {
        const HRESULT hr = VariantChangeType(&value, &value, 0, VT_BSTR);
        if (FAILED(hr)) {
            VariantClear(&value);
            throw EOleSysError(hr);
        }
    }
    std::wstring text = value.bstrVal != nullptr
                            ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal))
                            : std::wstring();
    VariantClear(&value);
    return text;
}

XmlDocument::XmlDocument()
{
    ComPtr<IXMLDOMDocument2> document;
    HRESULT hr = CoCreateInstance(ClsidDomDocument60, nullptr, CLSCTX_INPROC_SERVER,
                                  IidXmlDomDocument2,
                                  reinterpret_cast<void**>(document.ReleaseAndGetAddressOf()));
    if (FAILED(hr))
        hr = CoCreateInstance(ClsidDomDocument30, nullptr, CLSCTX_INPROC_SERVER, IidXmlDomDocument2,
                              reinterpret_cast<void**>(document.ReleaseAndGetAddressOf()));
    OleCheck(hr);
    OleCheck(document->put_async(VARIANT_FALSE));
    OleCheck(document->put_validateOnParse(VARIANT_FALSE));
    OleCheck(document->put_resolveExternals(VARIANT_FALSE));
    TrySetProperty(document.Get(), L"ProhibitDTD", true);
    TrySetProperty(document.Get(), L"AllowXsltScript", false);
    TrySetProperty(document.Get(), L"AllowDocumentFunction", false);
    TrySetProperty(document.Get(), L"NewParser", true);
    // Second lines of defence behind the exact checks in Load, with a margin: parser versions
    // count levels and sizes (in kilobytes, of bytes or of characters) differently, and no
    // document those checks accept may be refused here.
    TrySetProperty(document.Get(), L"MaxElementDepth", static_cast<long>(2 * MaxXmlDepth));
    TrySetProperty(document.Get(), L"MaxXMLSize",
                   static_cast<long>(2 * ((MaxXmlDocumentSize + 1023) / 1024)));
    document_ = std::move(document);
}

XmlDocument::~XmlDocument() = default;

void XmlDocument::Load(IStream* stream, const std::wstring& sourceName)
{
    loaded_ = false;
    if (stream == nullptr)
        throw EUninitializedObject(L"Stream is nil");
    {
        const std::vector<uint8_t> bytes = ReadAtMost(stream, MaxXmlDocumentSize);
        CheckBytes(bytes.data(), bytes.size(), sourceName);
    }
    Parse(stream, sourceName);
}

void XmlDocument::Load(MemoryStream& stream, const std::wstring& sourceName)
{
    loaded_ = false;
    CheckBytes(stream.Data().data(), stream.Data().size(), sourceName);
    Parse(&stream, sourceName);
}

void XmlDocument::Parse(IStream* stream, const std::wstring& sourceName)
{
    LARGE_INTEGER zero{};
    OleCheck(stream->Seek(zero, STREAM_SEEK_SET, nullptr));
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = stream;  // borrowed for the call; load takes its own reference if needed
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const HRESULT hr = document_->load(source, &loaded);
    if (FAILED(hr) || loaded != VARIANT_TRUE)
        Refuse(sourceName, NotWellFormedText);

    // Belt and braces: whatever got past the byte check, a document with a type declaration
    // is not used.
    ComPtr<IXMLDOMDocumentType> doctype;
    if (SUCCEEDED(document_->get_doctype(&doctype)) && doctype)
        Refuse(sourceName, DocumentTypeText);
    loaded_ = true;
}

XmlNode XmlDocument::DocumentNode() const
{
    return XmlNode(document_);
}

std::optional<XmlNode> XmlDocument::DocumentElement() const
{
    if (!loaded_)
        return std::nullopt;
    ComPtr<IXMLDOMElement> element;
    OleCheck(document_->get_documentElement(&element));
    if (!element)
        return std::nullopt;
    return XmlNode(ComPtr<IXMLDOMNode>(element.Get()));  // an element is a node
}

} // namespace kv
