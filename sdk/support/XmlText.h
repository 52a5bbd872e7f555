// Escaping and decoding of the XML reader's names and values.
//
// The reader keeps bytes as they are (narrow text, no transcoding). Decoding
// turns the five named references (&amp; &lt; &gt; &quot; &apos;) into their
// characters and a numeric reference (&#65; or &#x41;) into its character in
// UTF-8, the manifest's encoding. Anything else is copied as it is, including
// an '&' that starts no reference, a numeric reference without digits or
// without its ';', and one naming no Unicode character (0, a surrogate, or
// above U+10FFFF). Every byte is looked at once, so decoding always ends.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"

// '&' not followed by '#' becomes "&amp;"; '<', '>', '"' and '\'' become
// "&lt;", "&gt;", "&quot;" and "&apos;". Replaces `out`; false when memory
// runs out (`out` is then incomplete).
bool XmlEscape(const char* text, uint32_t length, ovCString& out);

// Decodes `length` bytes of `text` into `out` (replacing it); false when
// memory runs out (`out` is then incomplete).
bool XmlDecode(const char* text, uint32_t length, ovCString& out);
inline bool XmlDecode(const ovCString& text, ovCString& out) {
    return XmlDecode(text.CStr(), text.Length(), out);
}
