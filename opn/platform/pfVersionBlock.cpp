#include "opn/platform/pfVersionBlock.h"

#include <stdio.h>
#include <string.h>

#include "opn/core/ovCString.h"
#include "opn/core/ovUtf16.h"
#include "opn/platform/pfCodePage.h"

namespace {

const size_t kHeaderSize = 6;
const uint16_t kTypeText = 1;
// Longest FileVersion text kept, in UTF-16 units.
const size_t kMaxTextUnits = 256;

uint16_t Le16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

uint32_t Le32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

size_t Align4(size_t offset) {
    return (offset + 3) & ~(size_t)3;
}

// One node; offsets are from the start of the block.
struct Node {
    size_t key;  // first unit of the key
    size_t keyUnits;
    size_t value;  // first byte of the value
    size_t valueBytes;
    uint16_t valueLength;  // as written: units for text, bytes for binary
    size_t children;
    size_t end;
};

// Reads the node at `at`, which must end at or before `limit`.
bool ReadNode(const uint8_t* block, size_t at, size_t limit, Node* node) {
    if (at > limit || limit - at < kHeaderSize)
        return false;
    const size_t length = Le16(block + at);
    if (length < kHeaderSize || length > limit - at)
        return false;
    node->end = at + length;
    node->valueLength = Le16(block + at + 2);
    const bool text = Le16(block + at + 4) == kTypeText;
    node->key = at + kHeaderSize;
    size_t p = node->key;
    while (p + 2 <= node->end && Le16(block + p) != 0)
        p += 2;
    if (p + 2 > node->end)
        return false;  // the key has no terminator inside the node
    node->keyUnits = (p - node->key) / 2;
    node->value = Align4(p + 2);
    if (node->value > node->end)
        node->value = node->end;
    node->valueBytes = text ? (size_t)node->valueLength * 2 : node->valueLength;
    if (node->valueBytes > node->end - node->value)
        node->valueBytes = node->end - node->value;
    node->children = Align4(node->value + node->valueBytes);
    if (node->children > node->end)
        node->children = node->end;
    return true;
}

bool KeyIs(const uint8_t* block, const Node& node, const char* name) {
    const size_t n = strlen(name);
    if (node.keyUnits != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        uint16_t unit = Le16(block + node.key + 2 * i);
        if (unit >= 'a' && unit <= 'z')
            unit = (uint16_t)(unit - 'a' + 'A');
        char c = name[i];
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
        if (unit != (uint16_t)(unsigned char)c)
            return false;
    }
    return true;
}

// The first child of `parent` named `name`. Children follow each other on
// 32-bit boundaries; each is at least a header long, so the walk ends.
bool FindChild(const uint8_t* block, const Node& parent, const char* name, Node* out) {
    size_t at = parent.children;
    while (at < parent.end) {
        Node child;
        if (!ReadNode(block, at, parent.end, &child))
            return false;
        if (KeyIs(block, child, name)) {
            *out = child;
            return true;
        }
        at = Align4(child.end);
    }
    return false;
}

// The text value of `node`, up to its terminator, in the system code page.
bool TextValue(const uint8_t* block, const Node& node, ovCString& out) {
    char16_t units[kMaxTextUnits + 1];
    size_t n = 0;
    while (n < kMaxTextUnits && 2 * n + 2 <= node.valueBytes) {
        const uint16_t unit = Le16(block + node.value + 2 * n);
        if (unit == 0)
            break;
        units[n++] = (char16_t)unit;
    }
    units[n] = 0;
    if (!Utf16ToUtf8(units, out))
        return false;
    Utf8ToAnsi(out, out);
    return true;
}

}  // namespace

bool VersionBlockFileVersion(const uint8_t* data, size_t size, uint16_t defaultLang,
                             ovCString& out) {
    out.Clear();
    Node root;
    if (!data || !ReadNode(data, 0, size, &root) || !KeyIs(data, root, "VS_VERSION_INFO") ||
        root.valueBytes < 4 || Le32(data + root.value) != kVersionSignature)
        return false;

    char table[9];
    Node vars;
    Node translation;
    if (FindChild(data, root, "VarFileInfo", &vars) &&
        FindChild(data, vars, "Translation", &translation) && translation.valueBytes == 4) {
        snprintf(table, sizeof table, "%04X%04X", Le16(data + translation.value),
                 Le16(data + translation.value + 2));
    } else {
        snprintf(table, sizeof table, "%04X04B0", defaultLang);
    }

    Node strings;
    Node language;
    Node value;
    if (!FindChild(data, root, "StringFileInfo", &strings) ||
        !FindChild(data, strings, table, &language) ||
        !FindChild(data, language, "FileVersion", &value))
        return false;
    if (!TextValue(data, value, out)) {
        out.Clear();
        return false;
    }
    return true;
}

bool FindVersionBlockFileVersion(const uint8_t* data, size_t size, uint16_t defaultLang,
                                 ovCString& out) {
    out.Clear();
    static const char kKey[] = "VS_VERSION_INFO";
    uint8_t pattern[2 * sizeof kKey];
    for (size_t i = 0; i < sizeof kKey; ++i) {
        pattern[2 * i] = (uint8_t)kKey[i];
        pattern[2 * i + 1] = 0;
    }
    if (!data || size < kHeaderSize + sizeof pattern)
        return false;
    int candidates = 0;
    const size_t last = size - sizeof pattern;
    for (size_t at = kHeaderSize; at <= last && candidates < kVersionBlockMaxCandidates; ++at) {
        const void* hit = memchr(data + at, pattern[0], last - at + 1);
        if (!hit)
            break;
        at = (size_t)(static_cast<const uint8_t*>(hit) - data);
        if (memcmp(data + at, pattern, sizeof pattern) != 0)
            continue;
        ++candidates;
        const size_t start = at - kHeaderSize;
        if (VersionBlockFileVersion(data + start, size - start, defaultLang, out))
            return true;
    }
    return false;
}
