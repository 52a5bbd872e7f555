// Parsed HTTP response head: the raw block and its lines as (name, value)
// records in arrival order.
//
// Parse cuts the block into lines at "\n" and drops every "\r". The first
// line is the status line: split at its first space, "HTTP/1.1 206 Partial
// Content" is the first record, named "HTTP/1.1". Every later line is a
// header field split at its first colon: the name is the text before it
// ("Content-Length"), the value the text after it with the blanks (spaces,
// tabs) around it removed and nothing decoded, so a Location keeps its
// percent-escapes exactly as sent. Lines without a colon, and lines whose
// name is empty or holds a blank, are skipped. Lookups compare whole names.
//
// The parser takes any bytes (zeros included, and kept in names and values:
// ovCString holds them, so a reader sees Length() beyond the first zero) and
// never reads past the given length; its memory is a copy of the block plus the records, so the
// caller bounds it by the block size it accepts.
//
// Threads: no shared state: any thread, one parser at a time (the HTTP layer's,
// on the library thread).
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovCString.h"

class nwCHttpHeaderParser {
  public:
    nwCHttpHeaderParser();
    ~nwCHttpHeaderParser();
    nwCHttpHeaderParser(const nwCHttpHeaderParser&) = delete;
    nwCHttpHeaderParser& operator=(const nwCHttpHeaderParser&) = delete;

    // Replaces what was parsed before with `length` bytes of `block`. False
    // for null data with a positive length, a negative length, or when
    // memory ran out (the parser is then empty).
    bool Parse(const char* block, int32_t length);
    // Forgets the block and the records.
    void Clear();

    bool HasBlock() const { return m_hasBlock; }
    // The whole block as given to Parse.
    const ovCString& RawText() const { return m_raw; }

    int32_t Count() const { return m_records.Count(); }
    // Name and value of record `index`; null when out of range.
    const ovCString* NameAt(int32_t index) const;
    const ovCString* ValueAt(int32_t index) const;

    // Value of the first header field named `name`, ASCII case ignored; a
    // colon ending `name` is ignored ("Location:" finds Location). The status
    // line is no header field. Null for a null or empty name or no match.
    const ovCString* Find(const char* name) const;

    // The number that starts the text after the first space of the block's
    // first line; 0 when that text does not start with a digit (or there is
    // no block). Saturates at 999999999.
    int32_t StatusCode() const;
    // The body length that the Content-Length fields announce. Every field
    // is a comma-separated list of decimal numbers; all numbers of all fields
    // must be equal and fit an int64_t. 0 when there is no such field or the
    // fields are not valid (see BodyRefusal). `*known` (when given) tells
    // whether a valid length was announced.
    int64_t ContentLength(bool* known = nullptr) const;

    // Why the body of this response cannot be read as plain bytes, or null
    // when it can: a Content-Length that is malformed or contradicts itself,
    // a Transfer-Encoding or a Content-Encoding other than identity (this
    // client decodes neither, and encoded bytes must never pass for the
    // resource).
    const char* BodyRefusal() const;

    // Offset just past the first "\r\n\r\n" in `data`, searching from byte
    // `from` on (0 to start over; a caller that waits for more bytes passes
    // what it already searched, and the search backs up 3 bytes to catch a
    // terminator cut across receives). -1 when there is none yet.
    static int32_t FindHeadEnd(const uint8_t* data, int32_t length, int32_t from);

  private:
    struct Record {
        ovCString name;
        ovCString value;
        bool isField;  // false for the status line
    };

    bool AddLine(const char* line, uint32_t n, bool statusLine);
    // Content-Length fields: false when one is malformed or two disagree.
    bool ReadContentLength(int64_t* length, bool* present) const;
    // Whether a field `name` lists a coding other than identity.
    bool HasCoding(const char* name) const;

    ovCString m_raw;
    ovCPtrList m_records;  // Record*, owned
    bool m_hasBlock;
};
