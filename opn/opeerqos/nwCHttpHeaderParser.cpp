#include "opn/opeerqos/nwCHttpHeaderParser.h"

#include <string.h>

#include <new>

#include "opn/core/ovAscii.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// One element of a comma-separated list: [*begin, *end) without the blanks
// around it. `at` moves past the element and its comma; true when a comma
// ended it, so another element (perhaps empty) follows.
bool NextElement(const char*& at, const char* limit, const char** begin, const char** end) {
    const char* comma = static_cast<const char*>(memchr(at, ',', (size_t)(limit - at)));
    const char* stop = comma ? comma : limit;
    const char* first = at;
    const char* last = stop;
    while (first < last && IsBlank(*first))
        ++first;
    while (last > first && IsBlank(last[-1]))
        --last;
    *begin = first;
    *end = last;
    at = comma ? comma + 1 : limit;
    return comma != nullptr;
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

bool nwCHttpHeaderParser::AddLine(const char* line, uint32_t n, bool statusLine) {
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
    const char* split =
        m ? static_cast<const char*>(memchr(clean, statusLine ? ' ' : ':', m)) : nullptr;
    uint32_t nameLength = split ? (uint32_t)(split - clean) : 0;
    // A field name is a token: not empty, no blanks (" Content-Length: 5" or
    // "Content-Length : 5" name nothing this client knows).
    bool valid = split != nullptr && (statusLine || nameLength > 0);
    for (uint32_t i = 0; valid && !statusLine && i < nameLength; ++i)
        valid = !IsBlank(clean[i]);
    if (!valid) {
        delete[] clean;
        return true;
    }
    const char* value = split + 1;
    // A zero byte stays in the value: cut there, the value would look clean
    // to a reader that refuses zeros (a Location, a Content-Length).
    const char* valueEnd = clean + m;
    if (!statusLine) {
        while (value < valueEnd && IsBlank(*value))
            ++value;
        while (valueEnd > value && IsBlank(valueEnd[-1]))
            --valueEnd;
    }
    Record* record = new (std::nothrow) Record();
    bool ok = record != nullptr;
    if (ok) {
        record->isField = !statusLine;
        ok = record->name.Assign(clean, nameLength) &&
             record->value.Assign(value, (uint32_t)(valueEnd - value));
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
        if (!AddLine(block + start, end - start, start == 0)) {
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

const ovCString* nwCHttpHeaderParser::Find(const char* name) const {
    if (!name || name[0] == '\0')
        return nullptr;
    uint32_t length = (uint32_t)strlen(name);
    if (name[length - 1] == ':')
        --length;
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next) {
        Record* record = static_cast<Record*>(node->element);
        if (record->isField &&
            AsciiEqualsNoCase(record->name.CStr(), record->name.Length(), name, length))
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

bool nwCHttpHeaderParser::ReadContentLength(int64_t* length, bool* present) const {
    *length = 0;
    *present = false;
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next) {
        const Record* record = static_cast<const Record*>(node->element);
        if (!record->isField ||
            !AsciiEqualsNoCase(record->name.CStr(), record->name.Length(), "Content-Length", 14))
            continue;
        const char* at = record->value.CStr();
        const char* limit = at + record->value.Length();
        for (bool more = true; more;) {
            const char* begin = nullptr;
            const char* end = nullptr;
            more = NextElement(at, limit, &begin, &end);
            if (begin == end)
                return false;
            int64_t value = 0;
            for (const char* digit = begin; digit < end; ++digit) {
                if (*digit < '0' || *digit > '9')
                    return false;
                const int d = *digit - '0';
                if (value > (INT64_MAX - d) / 10)
                    return false;
                value = value * 10 + d;
            }
            if (*present && value != *length)
                return false;
            *length = value;
            *present = true;
        }
    }
    return true;
}

int64_t nwCHttpHeaderParser::ContentLength(bool* known) const {
    int64_t length = 0;
    bool present = false;
    const bool valid = ReadContentLength(&length, &present);
    if (known)
        *known = valid && present;
    return valid && present ? length : 0;
}

bool nwCHttpHeaderParser::HasCoding(const char* name) const {
    const uint32_t nameLength = (uint32_t)strlen(name);
    for (ovCPtrList::Node* node = m_records.HeadNode(); node; node = node->next) {
        const Record* record = static_cast<const Record*>(node->element);
        if (!record->isField ||
            !AsciiEqualsNoCase(record->name.CStr(), record->name.Length(), name, nameLength))
            continue;
        const char* at = record->value.CStr();
        const char* limit = at + record->value.Length();
        for (bool more = at < limit; more;) {
            const char* begin = nullptr;
            const char* end = nullptr;
            more = NextElement(at, limit, &begin, &end);
            if (begin != end && !AsciiEqualsNoCase(begin, (uint32_t)(end - begin), "identity", 8))
                return true;
        }
    }
    return false;
}

const char* nwCHttpHeaderParser::BodyRefusal() const {
    int64_t length = 0;
    bool present = false;
    if (!ReadContentLength(&length, &present))
        return "malformed or conflicting Content-Length";
    if (HasCoding("Transfer-Encoding"))
        return "Transfer-Encoding other than identity";
    if (HasCoding("Content-Encoding"))
        return "Content-Encoding other than identity";
    return nullptr;
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
