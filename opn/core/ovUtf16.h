// UTF-16 text (zero-terminated char16_t units) as UTF-8.
#pragma once

class ovCString;

// Replaces `out` with `in` in UTF-8; a lone surrogate becomes U+FFFD. False
// for a null `in` or when memory ran out.
bool Utf16ToUtf8(const char16_t* in, ovCString& out);
