// Byte string of the network library.
//
// Texts of 3 bytes or less live in an inline cell; longer ones in a heap
// buffer of exactly length + 1 bytes (no spare capacity). The text is always
// zero-terminated. Narrow text is in the system ANSI code page; UTF-8 only
// appears at the HTTP edges (Utf8ToAnsi / AnsiToUtf8 in opn/platform/pfCodePage.h).
//
// Counted operations (Assign(text, n), Append(text, n), the copy constructor,
// Substring) copy every byte, zeros included, and Length() counts them. Every
// operation that takes a C string or searches (Assign(text), Append(text),
// Find, Equals, SplitAt) stops at the first zero.
//
// Memory comes from malloc and nothing throws: when a buffer cannot be had,
// the string keeps its old length and text and the call answers false.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "opn/core/ovResult.h"

class ovCString {
  public:
    ovCString();
    ovCString(const char* text);  // NOLINT: implicit on purpose, like a C string
    ovCString(const ovCString& other);
    // A zero character gives the empty string.
    explicit ovCString(char ch);
    virtual ~ovCString();

    ovCString& operator=(const ovCString& other);
    ovCString& operator=(const char* text);

    // The inline cell while Length() <= 3, else the heap buffer; never null.
    const char* CStr() const;
    uint32_t Length() const { return m_length; }
    bool IsEmpty() const { return m_length == 0; }

    // A null or empty source clears the string. A heap buffer at least as long
    // as the new text is reused. The source may lie inside this string.
    bool Assign(const char* text);
    bool Assign(const char* text, uint32_t n);
    bool Assign(const ovCString& other);

    // A null source appends nothing. Each append that ends at 4 bytes or more
    // moves the text into a new buffer of exactly the new size. The source may
    // be this string (s.Append(s) doubles it).
    bool Append(const char* text);
    bool Append(const char* text, uint32_t n);
    bool Append(const ovCString& other);

    void Clear();
    // Exchanges the contents without allocating.
    void Swap(ovCString& other);

    // Index of the first occurrence of `needle` at or after `from`, or -1;
    // -1 also for a null or empty needle and when `from` > Length().
    int32_t Find(const char* needle, uint32_t from = 0) const;
    int32_t Find(const ovCString& needle, uint32_t from = 0) const;

    // Up to `n` bytes from `pos`; empty when n > 0x100000 or pos is past the end.
    ovCString Substring(uint32_t pos, uint32_t n) const;

    // A-Z only; other bytes (including those above 127) stay.
    void ToLower();

    // Byte-wise comparison of the two C strings; a null text equals "".
    bool Equals(const ovCString& other) const;
    bool Equals(const char* other) const;

    // Text before and after the first `ch`; false when empty or `ch` is absent
    // (or zero, or memory runs out; `left` and `right` are then untouched).
    // Either output may be this string.
    bool SplitAt(char ch, ovCString& left, ovCString& right) const;

    // True while the text lives in the inline cell (tests look at this).
    bool IsInline() const { return m_length <= kInlineMax; }

    // Fault injection for tests: the next `count` buffer allocations made by
    // strings on the calling thread fail. 0 switches it off.
    static void FailAllocationsForTest(uint32_t count);

    static const uint32_t kInlineMax = 3;
    static const uint32_t kMaxSubstring = 0x100000;

  private:
    char* Buffer();
    void SetInline(const char* text, uint32_t n);

    uint32_t m_length;
    union {
        char m_inline[4];
        char* m_heap;
    };
};

// Length of the well-formed UTF-8 sequence at `p` (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0 when `p` does not
// begin one within `avail` bytes (at least 1).
uint32_t Utf8SequenceLength(const unsigned char* p, uint32_t avail);
