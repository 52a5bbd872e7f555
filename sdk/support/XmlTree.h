// The tree an XML document is read into: plain records owned from the top
// down (document -> declaration and root -> children, attributes, text,
// comment and CDATA nodes). Names of elements are kept escaped, everything
// else raw, as written; XmlText.h decodes them when they are read.
//
// Memory comes from new (std::nothrow) and realloc; nothing throws.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include "opn/core/ovCString.h"

// A growable array that owns its items: it starts with room for `first` and
// grows by `step`, or by half its size once that is more, so that a document
// of many thousand siblings is not copied over and over while it is read.
// Destruction deletes every item.
template <typename T>
class XmlOwnedArray {
  public:
    XmlOwnedArray(uint32_t first, uint32_t step)
        : m_items(nullptr), m_count(0), m_capacity(0), m_first(first), m_step(step) {}
    ~XmlOwnedArray() {
        for (uint32_t i = 0; i < m_count; ++i)
            delete m_items[i];
        free(m_items);
    }
    XmlOwnedArray(const XmlOwnedArray&) = delete;
    XmlOwnedArray& operator=(const XmlOwnedArray&) = delete;

    uint32_t Count() const { return m_count; }
    // Null past the end.
    T* At(uint32_t index) const { return index < m_count ? m_items[index] : nullptr; }

    // Takes `item` in every case: when there is no room to be had (or `item`
    // is null) it is deleted and the answer is false.
    bool Add(T* item) {
        if (!item)
            return false;
        if (m_count == m_capacity) {
            uint32_t growth = m_capacity / 2 > m_step ? m_capacity / 2 : m_step;
            uint32_t capacity = m_capacity ? m_capacity + growth : m_first;
            T** grown = static_cast<T**>(realloc(m_items, capacity * sizeof(T*)));
            if (!grown) {
                delete item;
                return false;
            }
            m_items = grown;
            m_capacity = capacity;
        }
        m_items[m_count++] = item;
        return true;
    }

    uint32_t Capacity() const { return m_capacity; }

  private:
    T** m_items;
    uint32_t m_count;
    uint32_t m_capacity;
    uint32_t m_first;
    uint32_t m_step;
};

struct XmlElement;

// Text, a comment or processing instruction, or a CDATA section.
struct XmlTextNode {
    XmlElement* owner = nullptr;  // null for nodes outside the root element
    ovCString text;               // raw bytes as written
    // How many child elements the owner had when the node was read, so text
    // can be placed between children.
    uint32_t position = 0;
};

struct XmlAttribute {
    ovCString name;   // raw, as written in the tag
    ovCString value;  // raw, entity references still in place
    XmlElement* owner = nullptr;
};

struct XmlElement {
    ovCString name;  // escaped (XmlEscape); decode before comparing
    XmlElement* parent = nullptr;
    XmlOwnedArray<XmlElement> children{20, 20};
    XmlOwnedArray<XmlAttribute> attributes{20, 20};
    XmlOwnedArray<XmlTextNode> texts{10, 10};
    XmlOwnedArray<XmlTextNode> comments{4, 4};  // comments and processing instructions
    XmlOwnedArray<XmlTextNode> cdata{10, 10};
};

struct XmlDeclaration {
    ovCString text;  // "<?xml ... ?>" as written, or the default one
    // Comments and processing instructions outside the root element.
    XmlOwnedArray<XmlTextNode> nodes{5, 10};
};

// Status of a read. 0 and 1 still carry a complete tree; from 2 on the tree
// holds what was read before the reader stopped.
enum XmlStatus : int32_t {
    kXmlStatusOk = 0,
    kXmlStatusNoDeclarationOrElement = 1,
    kXmlStatusUnclosedElement = 2,
    kXmlStatusTooDeep = 3,      // elements nested deeper than kXmlMaxDepth
    kXmlStatusTooLarge = 4,     // text longer than kXmlMaxDocument; nothing read
    kXmlStatusOutOfMemory = 5,  // a node or string could not be allocated
};

struct XmlDocument {
    int32_t status = kXmlStatusOk;
    XmlDeclaration declaration;
    XmlElement* root = nullptr;  // owned; null when no element could be read

    XmlDocument() = default;
    ~XmlDocument() { delete root; }
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    // A failure (2 and up) replaces 0 or 1; the first failure stays.
    void SetStatus(int32_t value) {
        if (status <= kXmlStatusNoDeclarationOrElement)
            status = value;
    }
};
