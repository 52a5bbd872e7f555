#include "sdk/support/XmlText.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Largest value kept while reading the digits of a numeric reference: any
// longer number names no character either.
const uint32_t kNoCharacter = 0x110000;

struct NamedReference {
    const char* text;  // after the '&', with the ';'
    uint32_t length;
    char character;
};

const NamedReference kNamed[] = {
    {"amp;", 4, '&'}, {"lt;", 3, '<'}, {"gt;", 3, '>'}, {"quot;", 5, '"'}, {"apos;", 5, '\''},
};

int32_t DigitValue(char c, bool hex) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (hex && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Writes `code` as UTF-8 (1 to 4 bytes) to `bytes`; returns the byte count.
uint32_t EncodeUtf8(uint32_t code, char* bytes) {
    if (code < 0x80) {
        bytes[0] = static_cast<char>(code);
        return 1;
    }
    if (code < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (code >> 6));
        bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (code >> 12));
        bytes[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
        return 3;
    }
    bytes[0] = static_cast<char>(0xF0 | (code >> 18));
    bytes[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
    return 4;
}

// Reads a numeric reference at `text` (which starts "&#"); on success sets
// the reference's length and the character's code.
bool ReadNumericReference(const char* text, uint32_t length, uint32_t& used, uint32_t& code) {
    uint32_t i = 2;
    bool hex = i < length && text[i] == 'x';
    if (hex)
        ++i;
    uint32_t first = i;
    uint32_t value = 0;
    int32_t digit;
    while (i < length && (digit = DigitValue(text[i], hex)) >= 0) {
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
        if (value > kNoCharacter)
            value = kNoCharacter;
        ++i;
    }
    if (i == first || i >= length || text[i] != ';')
        return false;
    if (value == 0 || value >= kNoCharacter || (value >= 0xD800 && value <= 0xDFFF))
        return false;
    used = i + 1;
    code = value;
    return true;
}

// The replacement for text[i] when escaping, or null to keep it.
const char* EscapeOf(const char* text, uint32_t length, uint32_t i) {
    switch (text[i]) {
        case '&':
            return i + 1 < length && text[i + 1] == '#' ? nullptr : "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '"':
            return "&quot;";
        case '\'':
            return "&apos;";
        default:
            return nullptr;
    }
}

// Writes the escaped text to `dest` (when not null); returns its length.
uint32_t EscapeInto(const char* text, uint32_t length, char* dest) {
    uint32_t size = 0;
    for (uint32_t i = 0; i < length; ++i) {
        const char* replacement = EscapeOf(text, length, i);
        uint32_t n = replacement ? static_cast<uint32_t>(strlen(replacement)) : 1;
        if (dest)
            memcpy(dest + size, replacement ? replacement : text + i, n);
        size += n;
    }
    return size;
}

// Hands a finished buffer to `out` in one assignment, so long texts are not
// copied once per piece.
bool AssignBuffer(char* buffer, uint32_t size, ovCString& out) {
    bool ok = out.Assign(buffer, size) || size == 0;
    free(buffer);
    return ok;
}

}  // namespace

bool XmlEscape(const char* text, uint32_t length, ovCString& out) {
    out.Clear();
    uint32_t size = EscapeInto(text, length, nullptr);
    char* buffer = static_cast<char*>(malloc(size + 1u));
    if (!buffer)
        return false;
    EscapeInto(text, length, buffer);
    return AssignBuffer(buffer, size, out);
}

bool XmlDecode(const char* text, uint32_t length, ovCString& out) {
    out.Clear();
    // A reference is never shorter than what it decodes to.
    char* buffer = static_cast<char*>(malloc(length + 1u));
    if (!buffer)
        return false;
    uint32_t size = 0;
    uint32_t i = 0;
    while (i < length) {
        if (text[i] != '&') {
            buffer[size++] = text[i++];
            continue;
        }
        const char* rest = text + i + 1;
        uint32_t left = length - i - 1;
        uint32_t used = 0;
        for (const NamedReference& named : kNamed) {
            if (left >= named.length && memcmp(rest, named.text, named.length) == 0) {
                buffer[size++] = named.character;
                used = named.length + 1;
                break;
            }
        }
        uint32_t code = 0;
        if (!used && left > 0 && rest[0] == '#' &&
            ReadNumericReference(text + i, length - i, used, code))
            size += EncodeUtf8(code, buffer + size);
        if (!used) {
            buffer[size++] = text[i++];  // no reference: the '&' stays as it is
            continue;
        }
        i += used;
    }
    return AssignBuffer(buffer, size, out);
}
