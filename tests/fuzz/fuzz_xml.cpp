// Arbitrary bytes as an engine-update manifest: the reader ends on every
// input, never reads past it, keeps its bounds, and the lookups the manifest
// reader makes work on whatever tree comes out.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "sdk/support/CXMLParserOrvane.h"
#include "sdk/support/XmlText.h"

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// Walks the tree: links, bounds, and every lookup on every element.
uint32_t Walk(const XmlElement* element, const XmlElement* parent, uint32_t depth) {
    Check(depth <= kXmlMaxDepth);
    Check(element->parent == parent);
    uint32_t count = 1;
    char out[kXmlValueBuffer];
    for (uint32_t i = 0; i < element->attributes.Count(); ++i) {
        const XmlAttribute* attribute = element->attributes.At(i);
        Check(attribute->owner == element);
        ovCString name;
        Check(XmlDecode(attribute->name, name));
        uint32_t length = CXMLParserOrvane::GetAttribute(element, name.CStr(), out);
        Check(length < kXmlValueBuffer && out[length] == '\0');
        // A value never grows by decoding.
        ovCString value;
        Check(XmlDecode(attribute->value, value));
        Check(value.Length() <= attribute->value.Length());
    }
    for (uint32_t i = 0; i < element->texts.Count(); ++i)
        Check(element->texts.At(i)->position <= element->children.Count());
    for (uint32_t i = 0; i < element->children.Count(); ++i) {
        const XmlElement* child = element->children.At(i);
        ovCString name;
        Check(XmlDecode(child->name, name));
        Check(CXMLParserOrvane::FindChild(element, name.CStr()) != nullptr);
        count += Walk(child, element, depth + 1);
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kXmlMaxDocument + 1)
        return 0;
    CXMLParserOrvane parser;
    // The exact bytes, no terminator: a read past them is caught.
    const XmlDocument* document =
        parser.Parse(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size));
    if (!document)
        return 0;
    Check(document->status >= kXmlStatusOk && document->status <= kXmlStatusTooLarge);
    Check(!document->declaration.text.IsEmpty());
    const XmlElement* root = parser.Root();
    Check(root != nullptr || document->status >= kXmlStatusUnclosedElement);
    if (root)
        Walk(root, nullptr, 1);

    // The manifest reader's questions.
    char out[kXmlValueBuffer];
    const XmlElement* files = CXMLParserOrvane::FindChild(root, "file");
    CXMLParserOrvane::GetAttribute(CXMLParserOrvane::FindChild(files, "ldDownload.exe"), "ver",
                                   out);
    CXMLParserOrvane::ChildCount(files);
    CXMLParserOrvane::GetAttribute(
        CXMLParserOrvane::FindChild(CXMLParserOrvane::FindChild(root, "all"), "all"), "url", out);

    // Decoding and escaping raw bytes, zeros included.
    ovCString decoded;
    Check(XmlDecode(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size), decoded));
    Check(decoded.Length() <= size);
    ovCString escaped;
    Check(XmlEscape(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size), escaped));
    Check(escaped.Length() >= size && escaped.Length() <= size * 6);
    return 0;
}
