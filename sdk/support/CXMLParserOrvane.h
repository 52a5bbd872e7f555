// A forgiving, single-pass reader for the small XML documents the library
// fetches (the engine-update manifest). It reads narrow text held in memory
// into a tree (XmlTree.h) and answers the questions the manifest reader asks:
// the root element, a child by name, an attribute by name, the child count.
// No validation, no namespaces, no document type, no writer.
//
// How a document is read:
// - The declaration is a leading "<?xml ... ?>" (after an optional UTF-8
//   byte-order mark and white space). Without one the default declaration is
//   assumed, the status is 1 and reading starts at the beginning.
// - The first element is the root; further top-level elements are skipped.
//   Without any element the root is an empty element named "root", status 1.
// - An element ends at the closing tag that balances its start tag, counting
//   start and closing tags (names are not compared); without one the status
//   is 2 and the element and everything after it are left out.
// - Tags end at '>' outside double quotes; comments at "-->", processing
//   instructions at "?>", CDATA sections at "]]>". Other "<!...>" markup
//   (a document type) is skipped. Tag names end at white space, '/', '>' or
//   a double quote; attribute values must be in double quotes.
// - Text between tags, trimmed of white space, becomes a text node of the
//   enclosing element; comments and processing instructions outside the root
//   go to the declaration.
// - Bounds: a text longer than kXmlMaxDocument bytes is not read (status 4,
//   no root); an element nested deeper than kXmlMaxDepth is left out with
//   everything after it at its level (status 3). Every scan is bounded by the
//   text's end, so any input, well formed or not, is read in time linear in
//   its length times the nesting depth.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"
#include "sdk/support/XmlTree.h"

// Longest text the reader accepts, in bytes (the manifest is about 1 KiB).
const uint32_t kXmlMaxDocument = 1024 * 1024;
// Deepest nesting of elements kept, the root being at depth 1.
const uint32_t kXmlMaxDepth = 64;
// Size of the buffer GetAttribute writes: 255 bytes and the terminator.
const uint32_t kXmlValueBuffer = 256;

class CXMLParserOrvane {
  public:
    CXMLParserOrvane() = default;
    virtual ~CXMLParserOrvane();
    CXMLParserOrvane(const CXMLParserOrvane&) = delete;
    CXMLParserOrvane& operator=(const CXMLParserOrvane&) = delete;

    // Discards the current document and reads a new one from the
    // NUL-terminated `text` (null or empty: the default declaration and an
    // empty root named "root", status 0). Null only when not even the
    // document could be allocated.
    const XmlDocument* Parse(const char* text);
    // The same for `size` bytes at `data`; a zero byte ends the text early.
    const XmlDocument* Parse(const char* data, uint32_t size);

    const XmlDocument* Document() const { return m_document; }
    // Null when there is no document or no root.
    const XmlElement* Root() const;

    // The first child of `element` whose decoded name equals `name`, letter
    // case ignored (A-Z only); null when none or either argument is null.
    static const XmlElement* FindChild(const XmlElement* element, const char* name);

    // Finds the first attribute whose decoded name equals `name` exactly and
    // decodes its value into `out` (kXmlValueBuffer bytes), cut to 255 bytes
    // and terminated. Returns the length written; 0 (and "" in `out`) when
    // there is no such attribute.
    static uint32_t GetAttribute(const XmlElement* element, const char* name, char* out);
    // The same without a length limit; false when there is no such attribute.
    static bool GetAttribute(const XmlElement* element, const char* name, ovCString& out);

    // Number of child elements; 0 for null.
    static uint32_t ChildCount(const XmlElement* element);

  private:
    XmlDocument* m_document = nullptr;
};
