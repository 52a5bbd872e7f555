#include "sdk/support/CXMLParserOrvane.h"

#include <string.h>

#include <new>

#include "sdk/support/XmlText.h"

namespace {

const char kDefaultDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>";
const char kByteOrderMark[] = "\xEF\xBB\xBF";
const char kDefaultRootName[] = "root";

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

template <size_t N>
bool StartsWith(const char* p, const char* end, const char (&prefix)[N]) {
    return static_cast<size_t>(end - p) >= N - 1 && memcmp(p, prefix, N - 1) == 0;
}

const char* FindByte(const char* p, const char* end, char c) {
    if (p >= end)
        return nullptr;
    return static_cast<const char*>(memchr(p, c, static_cast<size_t>(end - p)));
}

template <size_t N>
const char* FindText(const char* p, const char* end, const char (&needle)[N]) {
    const size_t n = N - 1;
    while (p < end && static_cast<size_t>(end - p) >= n) {
        p = static_cast<const char*>(memchr(p, needle[0], static_cast<size_t>(end - p) - n + 1));
        if (!p)
            return nullptr;
        if (memcmp(p, needle, n) == 0)
            return p;
        ++p;
    }
    return nullptr;
}

// The first '>' at or after `p` that is not inside double quotes.
const char* FindTagClose(const char* p, const char* end) {
    bool quoted = false;
    for (; p < end; ++p) {
        if (*p == '"')
            quoted = !quoted;
        else if (*p == '>' && !quoted)
            return p;
    }
    return nullptr;
}

enum TagKind {
    kTagStart,
    kTagEmpty,
    kTagClosing,
    kTagComment,
    kTagInstruction,
    kTagCdata,
    kTagOther
};

struct Tag {
    TagKind kind;
    const char* begin;      // the '<'
    const char* last;       // the final '>'
    const char* textBegin;  // content of comments, instructions and CDATA
    const char* textEnd;
};

// Reads the markup that starts at `p` (a '<'); false when it does not end
// before `end`.
bool ReadTag(const char* p, const char* end, Tag& tag) {
    tag.begin = p;
    const char* close;
    if (StartsWith(p, end, "<![CDATA[")) {
        tag.kind = kTagCdata;
        tag.textBegin = p + 9;
        close = FindText(tag.textBegin, end, "]]>");
        tag.last = close ? close + 2 : nullptr;
    } else if (StartsWith(p, end, "<!--")) {
        tag.kind = kTagComment;
        tag.textBegin = p + 4;
        close = FindText(tag.textBegin, end, "-->");
        tag.last = close ? close + 2 : nullptr;
    } else if (StartsWith(p, end, "<?")) {
        tag.kind = kTagInstruction;
        tag.textBegin = p + 2;
        close = FindText(tag.textBegin, end, "?>");
        tag.last = close ? close + 1 : nullptr;
    } else {
        close = FindTagClose(p + 1, end);
        tag.last = close;
        tag.textBegin = close;
        if (StartsWith(p, end, "<!"))
            tag.kind = kTagOther;
        else if (StartsWith(p, end, "</"))
            tag.kind = kTagClosing;
        else if (close && close[-1] == '/')
            tag.kind = kTagEmpty;
        else
            tag.kind = kTagStart;
    }
    tag.textEnd = close;
    return close != nullptr;
}

// Finds the closing tag that balances the start tag `start`: start tags
// count up, closing tags down; other markup does not count.
bool FindElementEnd(const Tag& start, const char* end, Tag& closing) {
    uint32_t depth = 1;
    const char* p = start.last + 1;
    for (;;) {
        const char* lt = FindByte(p, end, '<');
        if (!lt || !ReadTag(lt, end, closing))
            return false;
        if (closing.kind == kTagStart) {
            ++depth;
        } else if (closing.kind == kTagClosing) {
            if (--depth == 0)
                return true;
        }
        p = closing.last + 1;
    }
}

class XmlReader {
  public:
    explicit XmlReader(XmlDocument& document) : m_document(document) {}

    // Reads the content in [p, end) into `parent` (null at the top level,
    // where the first element becomes the root). `depth` is the parent's.
    void ReadContent(const char* p, const char* end, XmlElement* parent, uint32_t depth);

  private:
    bool AddNode(XmlOwnedArray<XmlTextNode>& array, XmlElement* owner, const char* begin,
                 const char* end);
    XmlElement* CreateElement(const Tag& tag, XmlElement* parent);
    bool ReadAttributes(const char* p, const char* stop, XmlElement* element);
    bool Adopt(XmlElement* element, XmlElement* parent);

    bool Fail(int32_t status) {
        m_document.SetStatus(status);
        if (status == kXmlStatusOutOfMemory)
            m_outOfMemory = true;
        return false;
    }

    XmlDocument& m_document;
    bool m_outOfMemory = false;
};

bool XmlReader::AddNode(XmlOwnedArray<XmlTextNode>& array, XmlElement* owner, const char* begin,
                        const char* end) {
    XmlTextNode* node = new (std::nothrow) XmlTextNode;
    if (!node)
        return Fail(kXmlStatusOutOfMemory);
    node->owner = owner;
    node->position = owner ? owner->children.Count() : 0;
    uint32_t length = static_cast<uint32_t>(end - begin);
    if (length && !node->text.Assign(begin, length)) {
        delete node;
        return Fail(kXmlStatusOutOfMemory);
    }
    return array.Add(node) || Fail(kXmlStatusOutOfMemory);
}

bool XmlReader::ReadAttributes(const char* p, const char* stop, XmlElement* element) {
    for (;;) {
        while (p < stop && IsSpace(*p))
            ++p;
        if (p >= stop || *p == '/' || *p == '>')
            return true;
        const char* equals = FindByte(p, stop, '=');
        if (!equals)
            return true;
        const char* nameEnd = equals;
        while (nameEnd > p && IsSpace(nameEnd[-1]))
            --nameEnd;
        const char* value = equals + 1;
        while (value < stop && IsSpace(*value))
            ++value;
        if (value < stop && *value == '"')
            ++value;
        const char* valueEnd = FindByte(value, stop, '"');
        if (!valueEnd)
            return true;
        XmlAttribute* attribute = new (std::nothrow) XmlAttribute;
        if (!attribute)
            return Fail(kXmlStatusOutOfMemory);
        attribute->owner = element;
        uint32_t nameLength = static_cast<uint32_t>(nameEnd - p);
        uint32_t valueLength = static_cast<uint32_t>(valueEnd - value);
        if ((nameLength && !attribute->name.Assign(p, nameLength)) ||
            (valueLength && !attribute->value.Assign(value, valueLength))) {
            delete attribute;
            return Fail(kXmlStatusOutOfMemory);
        }
        if (!element->attributes.Add(attribute))
            return Fail(kXmlStatusOutOfMemory);
        p = valueEnd + 1;
    }
}

XmlElement* XmlReader::CreateElement(const Tag& tag, XmlElement* parent) {
    XmlElement* element = new (std::nothrow) XmlElement;
    if (!element) {
        Fail(kXmlStatusOutOfMemory);
        return nullptr;
    }
    element->parent = parent;
    const char* name = tag.begin + 1;
    const char* nameEnd = name;
    while (nameEnd < tag.last && !IsSpace(*nameEnd) && *nameEnd != '/' && *nameEnd != '"')
        ++nameEnd;
    if (!XmlEscape(name, static_cast<uint32_t>(nameEnd - name), element->name) ||
        !ReadAttributes(nameEnd, tag.last, element)) {
        delete element;
        Fail(kXmlStatusOutOfMemory);
        return nullptr;
    }
    return element;
}

// Hands `element` to its parent, or makes it the root when there is none
// yet; false (and `element` deleted) when it cannot be kept.
bool XmlReader::Adopt(XmlElement* element, XmlElement* parent) {
    if (parent)
        return parent->children.Add(element) || Fail(kXmlStatusOutOfMemory);
    if (m_document.root) {
        delete element;
        return false;
    }
    m_document.root = element;
    return true;
}

void XmlReader::ReadContent(const char* p, const char* end, XmlElement* parent, uint32_t depth) {
    while (p < end && !m_outOfMemory) {
        const char* lt = FindByte(p, end, '<');
        const char* textEnd = lt ? lt : end;
        while (p < textEnd && IsSpace(*p))
            ++p;
        const char* trimmed = textEnd;
        while (trimmed > p && IsSpace(trimmed[-1]))
            --trimmed;
        if (parent && trimmed > p && !AddNode(parent->texts, parent, p, trimmed))
            return;
        Tag tag;
        if (!lt || !ReadTag(lt, end, tag))
            return;
        p = tag.last + 1;
        switch (tag.kind) {
            case kTagComment:
            case kTagInstruction:
                if (!AddNode(parent ? parent->comments : m_document.declaration.nodes, parent,
                             tag.textBegin, tag.textEnd))
                    return;
                break;
            case kTagCdata:
                // Outside every element a CDATA section has no owner.
                if (parent && !AddNode(parent->cdata, parent, tag.textBegin, tag.textEnd))
                    return;
                break;
            case kTagClosing:
            case kTagOther:
                break;
            case kTagEmpty:
            case kTagStart: {
                Tag closing;
                if (tag.kind == kTagStart && !FindElementEnd(tag, end, closing)) {
                    Fail(kXmlStatusUnclosedElement);
                    return;
                }
                if (tag.kind == kTagStart)
                    p = closing.last + 1;
                if (!parent && m_document.root)
                    break;  // only the first top-level element is kept
                if (depth >= kXmlMaxDepth) {
                    Fail(kXmlStatusTooDeep);
                    return;
                }
                XmlElement* element = CreateElement(tag, parent);
                if (!element || !Adopt(element, parent))
                    return;
                if (tag.kind == kTagStart)
                    ReadContent(tag.last + 1, closing.begin, element, depth + 1);
                break;
            }
        }
    }
}

}  // namespace

CXMLParserOrvane::~CXMLParserOrvane() {
    delete m_document;
}

const XmlDocument* CXMLParserOrvane::Parse(const char* text) {
    uint32_t length = 0;
    while (text && length <= kXmlMaxDocument && text[length])
        ++length;
    return Parse(text, length);
}

const XmlDocument* CXMLParserOrvane::Parse(const char* data, uint32_t size) {
    delete m_document;
    m_document = new (std::nothrow) XmlDocument;
    if (!m_document)
        return nullptr;
    XmlDocument& document = *m_document;
    const char* zero = data ? static_cast<const char*>(memchr(data, 0, size)) : nullptr;
    uint32_t length = data ? (zero ? static_cast<uint32_t>(zero - data) : size) : 0;

    XmlReader reader(document);
    if (length > kXmlMaxDocument) {
        document.SetStatus(kXmlStatusTooLarge);
        document.declaration.text.Assign(kDefaultDeclaration);
        return m_document;
    }
    const char* end = data + length;
    const char* p = data;
    if (length > 0) {
        const char* start = StartsWith(p, end, kByteOrderMark) ? p + 3 : p;
        while (start < end && IsSpace(*start))
            ++start;
        const char* close = nullptr;
        if (StartsWith(start, end, "<?xml") && end - start > 5 &&
            (IsSpace(start[5]) || start[5] == '?'))
            close = FindText(start, end, "?>");
        if (close) {
            if (!document.declaration.text.Assign(p, static_cast<uint32_t>(close + 2 - p)))
                document.SetStatus(kXmlStatusOutOfMemory);
            p = close + 2;
        } else {
            document.SetStatus(kXmlStatusNoDeclarationOrElement);
        }
        reader.ReadContent(p, end, nullptr, 0);
    }
    if (document.declaration.text.IsEmpty()) {
        ovCString declaration(document.status == kXmlStatusOk ? "" : kByteOrderMark);
        if (!declaration.Append(kDefaultDeclaration) ||
            !document.declaration.text.Assign(declaration))
            document.SetStatus(kXmlStatusOutOfMemory);
    }
    if (!document.root && document.status <= kXmlStatusNoDeclarationOrElement) {
        if (length > 0)
            document.SetStatus(kXmlStatusNoDeclarationOrElement);
        XmlElement* root = new (std::nothrow) XmlElement;
        if (!root || !root->name.Assign(kDefaultRootName)) {
            delete root;
            document.SetStatus(kXmlStatusOutOfMemory);
        } else {
            document.root = root;
        }
    }
    return m_document;
}

const XmlElement* CXMLParserOrvane::Root() const {
    return m_document ? m_document->root : nullptr;
}

const XmlElement* CXMLParserOrvane::FindChild(const XmlElement* element, const char* name) {
    if (!element || !name)
        return nullptr;
    ovCString wanted;
    if (!wanted.Assign(name) && *name)
        return nullptr;
    wanted.ToLower();
    ovCString decoded;
    for (uint32_t i = 0; i < element->children.Count(); ++i) {
        const XmlElement* child = element->children.At(i);
        if (!XmlDecode(child->name, decoded))
            continue;
        decoded.ToLower();
        if (decoded.Length() == wanted.Length() && decoded.Equals(wanted))
            return child;
    }
    return nullptr;
}

bool CXMLParserOrvane::GetAttribute(const XmlElement* element, const char* name, ovCString& out) {
    out.Clear();
    if (!element || !name)
        return false;
    size_t length = strlen(name);
    ovCString decoded;
    for (uint32_t i = 0; i < element->attributes.Count(); ++i) {
        const XmlAttribute* attribute = element->attributes.At(i);
        if (!XmlDecode(attribute->name, decoded) || decoded.Length() != length ||
            memcmp(decoded.CStr(), name, length) != 0)
            continue;
        return XmlDecode(attribute->value, out);
    }
    return false;
}

uint32_t CXMLParserOrvane::GetAttribute(const XmlElement* element, const char* name, char* out) {
    if (!out)
        return 0;
    out[0] = '\0';
    ovCString value;
    if (!GetAttribute(element, name, value))
        return 0;
    uint32_t length = value.Length() < kXmlValueBuffer - 1 ? value.Length() : kXmlValueBuffer - 1;
    memcpy(out, value.CStr(), length);
    out[length] = '\0';
    return length;
}

uint32_t CXMLParserOrvane::ChildCount(const XmlElement* element) {
    return element ? element->children.Count() : 0;
}
