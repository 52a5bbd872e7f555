#include "opn/opeerqos/nwCHttpHeaderParser.h"

#include <string.h>

#include <new>

#include "opn/opeerqos/utCUriCodec.h"

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

// Whether `text` (of `n` bytes) begins with `prefix`, ASCII case ignored.
bool StartsWithNoCase(const char* text, uint32_t n, const char* prefix) {
    for (uint32_t i = 0; prefix[i] != '\0'; ++i) {
        if (i >= n || LowerAscii(text[i]) != LowerAscii(prefix[i]))
            return false;
    }
    return true;
}

// Replaces `value` by its percent-decoded form; false only when memory ran
// out. The decoded text is never longer than the encoded one.
bool DecodeValue(ovCString& value) {
    if (value.IsEmpty())
        return true;
    char* decoded = new (std::nothrow) char[value.Length() + 1];
    if (!decoded)
        return false;
    utCUriCodec codec;
    uint32_t length = 0;
    bool ok = true;
    if (OV_SUCCEEDED(codec.Decode(value.CStr(), decoded, &length)))
        ok = value.Assign(decoded, length);
    delete[] decoded;
    return ok;
}

}  // namespace

nwCHttpHeaderParser::nwCHttpHeaderParser() : m_hasBlock(false) {}

nwCHttpHeaderParser::~nwCHttpHeaderParser() {
    Clear();
}

void nwCHttpHeaderParser::Clear() {
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next)
        delete static_cast<Record*>(node->element);
    m_records.RemoveAll();
    m_raw.Clear();
    m_hasBlock = false;
}

bool nwCHttpHeaderParser::AddLine(const char* line, uint32_t n) {
    // Carriage returns vanish wherever they stand in the line.
    char* clean = new (std::nothrow) char[n + 1];
    if (!clean)
        return false;
    uint32_t m = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (line[i] != '\r')
            clean[m++] = line[i];
    }
    clean[m] = '\0';
    const char* space = m ? static_cast<const char*>(memchr(clean, ' ', m)) : nullptr;
    if (!space) {
        delete[] clean;
        return true;
    }
    Record* record = new (std::nothrow) Record();
    bool ok = record != nullptr;
    if (ok) {
        // The value is a C string: a zero byte ends it, as it ends decoding.
        ok = record->name.Assign(clean, (uint32_t)(space - clean)) &&
             record->value.Assign(space + 1) && DecodeValue(record->value);
    }
    if (ok)
        ok = m_records.AddTail(record);
    if (!ok)
        delete record;
    delete[] clean;
    return ok;
}

bool nwCHttpHeaderParser::Parse(const char* block, int32_t length) {
    Clear();
    if (length < 0 || (length > 0 && !block))
        return false;
    if (!m_raw.Assign(block, (uint32_t)length))
        return false;
    const uint32_t n = (uint32_t)length;
    uint32_t start = 0;
    while (start < n) {
        const void* newline = memchr(block + start, '\n', n - start);
        const uint32_t end = newline ? (uint32_t)(static_cast<const char*>(newline) - block) : n;
        if (!AddLine(block + start, end - start)) {
            Clear();
            return false;
        }
        start = end + 1;
    }
    m_hasBlock = true;
    return true;
}

const ovCString* nwCHttpHeaderParser::NameAt(int32_t index) const {
    int32_t i = 0;
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next, ++i) {
        if (i == index)
            return &static_cast<Record*>(node->element)->name;
    }
    return nullptr;
}

const ovCString* nwCHttpHeaderParser::ValueAt(int32_t index) const {
    int32_t i = 0;
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next, ++i) {
        if (i == index)
            return &static_cast<Record*>(node->element)->value;
    }
    return nullptr;
}

const ovCString* nwCHttpHeaderParser::Find(const char* prefix) const {
    if (!prefix || prefix[0] == '\0')
        return nullptr;
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next) {
        Record* record = static_cast<Record*>(node->element);
        if (StartsWithNoCase(record->name.CStr(), record->name.Length(), prefix))
            return &record->value;
    }
    return nullptr;
}

int32_t nwCHttpHeaderParser::StatusCode() const {
    const char* text = m_raw.CStr();
    const uint32_t n = m_raw.Length();
    uint32_t i = 0;
    while (i < n && text[i] != ' ' && text[i] != '\n')
        ++i;
    if (i >= n || text[i] != ' ')
        return 0;
    ++i;
    int32_t code = 0;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (code < 100000000)
            code = code * 10 + (text[i] - '0');
        else
            code = 999999999;
    }
    return code;
}

int64_t nwCHttpHeaderParser::ContentLength(bool* known) const {
    if (known)
        *known = false;
    const ovCString* value = Find("Content-Length");
    if (!value)
        return 0;
    const char* text = value->CStr();
    const uint32_t n = value->Length();
    uint32_t i = 0;
    while (i < n && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    if (i >= n || text[i] < '0' || text[i] > '9')
        return 0;
    if (known)
        *known = true;
    int64_t length = 0;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (length > (INT64_MAX - digit) / 10)
            return INT64_MAX;
        length = length * 10 + digit;
    }
    return length;
}

int32_t nwCHttpHeaderParser::FindHeadEnd(const uint8_t* data, int32_t length, int32_t from) {
    if (!data || length < 4)
        return -1;
    int32_t i = from > 3 ? from - 3 : 0;
    for (; i + 4 <= length; ++i) {
        const void* hit = memchr(data + i, '\r', (size_t)(length - 3 - i));
        if (!hit)
            return -1;
        i = (int32_t)(static_cast<const uint8_t*>(hit) - data);
        if (data[i + 1] == '\n' && data[i + 2] == '\r' && data[i + 3] == '\n')
            return i + 4;
    }
    return -1;
}
