#include "opn/core/ovCString.h"

#include <stdlib.h>
#include <string.h>

namespace {

thread_local uint32_t t_failAllocations = 0;

// Zero-filled buffer of `size` bytes, or null.
char* AllocBuffer(size_t size) {
    if (t_failAllocations > 0) {
        --t_failAllocations;
        return nullptr;
    }
    char* buffer = static_cast<char*>(malloc(size));
    if (buffer) {
        memset(buffer, 0, size);
    }
    return buffer;
}

}  // namespace

uint32_t Utf8SequenceLength(const unsigned char* p, uint32_t avail) {
    const unsigned char b0 = p[0];
    if (b0 < 0x80) {
        return 1;
    }
    uint32_t need;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0) {
            lo = 0xA0;
        } else if (b0 == 0xED) {
            hi = 0x9F;
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0) {
            lo = 0x90;
        } else if (b0 == 0xF4) {
            hi = 0x8F;
        }
    } else {
        return 0;
    }
    if (avail < need || p[1] < lo || p[1] > hi) {
        return 0;
    }
    for (uint32_t i = 2; i < need; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) {
            return 0;
        }
    }
    return need;
}

ovCString::ovCString() : m_length(0), m_heap(nullptr) {}

ovCString::ovCString(const char* text) : ovCString() {
    Assign(text);
}

ovCString::ovCString(const ovCString& other) : ovCString() {
    Assign(other.CStr(), other.m_length);
}

ovCString::ovCString(char ch) : ovCString() {
    if (ch != '\0') {
        SetInline(&ch, 1);
    }
}

ovCString::~ovCString() {
    Clear();
}

ovCString& ovCString::operator=(const ovCString& other) {
    Assign(other);
    return *this;
}

ovCString& ovCString::operator=(const char* text) {
    Assign(text);
    return *this;
}

const char* ovCString::CStr() const {
    return m_length <= kInlineMax ? m_inline : m_heap;
}

char* ovCString::Buffer() {
    return m_length <= kInlineMax ? m_inline : m_heap;
}

void ovCString::FailAllocationsForTest(uint32_t count) {
    t_failAllocations = count;
}

// Moves `n` <= 3 bytes into the inline cell, freeing any heap buffer. The
// bytes may come from that heap buffer, so they are taken out first.
void ovCString::SetInline(const char* text, uint32_t n) {
    char cell[4] = {0, 0, 0, 0};
    memcpy(cell, text, n);
    if (m_length > kInlineMax) {
        free(m_heap);
    }
    m_heap = nullptr;
    memcpy(m_inline, cell, sizeof(cell));
    m_length = n;
}

bool ovCString::Assign(const char* text) {
    if (!text) {
        Clear();
        return true;
    }
    const size_t n = strlen(text);
    if (n >= UINT32_MAX) {
        return false;
    }
    return Assign(text, static_cast<uint32_t>(n));
}

bool ovCString::Assign(const char* text, uint32_t n) {
    if (!text || n == 0) {
        Clear();
        return true;
    }
    if (n <= kInlineMax) {
        SetInline(text, n);
        return true;
    }
    if (n == UINT32_MAX) {
        return false;
    }
    if (m_length > kInlineMax && m_length >= n) {
        // Reuse: the buffer is long enough. memmove rather than zero-fill and
        // copy, because the source may be a later part of this very buffer.
        memmove(m_heap, text, n);
        m_heap[n] = '\0';
        m_length = n;
        return true;
    }
    char* buffer = AllocBuffer(static_cast<size_t>(n) + 1);
    if (!buffer) {
        return false;
    }
    memcpy(buffer, text, n);
    if (m_length > kInlineMax) {
        free(m_heap);
    }
    m_heap = buffer;
    m_length = n;
    return true;
}

bool ovCString::Assign(const ovCString& other) {
    if (&other == this) {
        return true;
    }
    return Assign(other.CStr(), other.m_length);
}

bool ovCString::Append(const char* text) {
    if (!text) {
        return true;
    }
    const size_t n = strlen(text);
    if (n >= UINT32_MAX) {
        return false;
    }
    return Append(text, static_cast<uint32_t>(n));
}

bool ovCString::Append(const char* text, uint32_t n) {
    if (!text || n == 0) {
        return true;
    }
    if (n >= UINT32_MAX - m_length) {
        return false;  // the length and its terminator would not fit 32 bits
    }
    const uint32_t newLength = m_length + n;
    if (newLength <= kInlineMax) {
        memmove(m_inline + m_length, text, n);
        m_inline[newLength] = '\0';
        m_length = newLength;
        return true;
    }
    char* buffer = AllocBuffer(static_cast<size_t>(newLength) + 1);
    if (!buffer) {
        return false;
    }
    // Copy both parts before the old buffer goes: `text` may point into it.
    memcpy(buffer, CStr(), m_length);
    memcpy(buffer + m_length, text, n);
    if (m_length > kInlineMax) {
        free(m_heap);
    }
    m_heap = buffer;
    m_length = newLength;
    return true;
}

bool ovCString::Append(const ovCString& other) {
    // The count is read before anything changes, so s.Append(s) doubles s.
    return Append(other.CStr(), other.m_length);
}

void ovCString::Clear() {
    if (m_length > kInlineMax) {
        free(m_heap);
    }
    m_heap = nullptr;
    memset(m_inline, 0, sizeof(m_inline));
    m_length = 0;
}

void ovCString::Swap(ovCString& other) {
    if (&other == this) {
        return;
    }
    // The union is copied whole: it holds either the cell or the pointer.
    char cell[sizeof(m_heap)];
    memcpy(cell, &m_heap, sizeof(cell));
    memcpy(&m_heap, &other.m_heap, sizeof(cell));
    memcpy(&other.m_heap, cell, sizeof(cell));
    const uint32_t length = m_length;
    m_length = other.m_length;
    other.m_length = length;
}

int32_t ovCString::Find(const char* needle, uint32_t from) const {
    if (!needle || needle[0] == '\0' || from > m_length) {
        return -1;
    }
    const char* base = CStr();
    const char* hit = strstr(base + from, needle);
    if (!hit || hit - base > INT32_MAX) {
        return -1;
    }
    return static_cast<int32_t>(hit - base);
}

int32_t ovCString::Find(const ovCString& needle, uint32_t from) const {
    return Find(needle.CStr(), from);
}

ovCString ovCString::Substring(uint32_t pos, uint32_t n) const {
    ovCString result;
    if (n > kMaxSubstring || pos >= m_length) {
        return result;
    }
    const uint32_t available = m_length - pos;
    result.Assign(CStr() + pos, n < available ? n : available);
    return result;
}

void ovCString::ToLower() {
    char* text = Buffer();
    for (uint32_t i = 0; i < m_length; ++i) {
        if (text[i] >= 'A' && text[i] <= 'Z') {
            text[i] = static_cast<char>(text[i] - 'A' + 'a');
        }
    }
}

bool ovCString::Equals(const ovCString& other) const {
    return strcmp(CStr(), other.CStr()) == 0;
}

bool ovCString::Equals(const char* other) const {
    return strcmp(CStr(), other ? other : "") == 0;
}

bool ovCString::SplitAt(char ch, ovCString& left, ovCString& right) const {
    if (m_length == 0 || ch == '\0') {
        return false;
    }
    const char* base = CStr();
    const char* hit = strchr(base, ch);
    if (!hit) {
        return false;
    }
    // Build both halves first: either output may be this string.
    ovCString before;
    ovCString after;
    if (!before.Assign(base, static_cast<uint32_t>(hit - base)) || !after.Assign(hit + 1)) {
        return false;
    }
    left.Swap(before);
    right.Swap(after);
    return true;
}
