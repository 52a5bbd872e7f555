// Parsed HTTP response head: the raw block and its lines as (name, value)
// records in arrival order.
//
// Parse cuts the block into lines at "\n", drops every "\r", and splits each
// non-empty line at its first space: the text before it is the name (a
// header keeps its colon, "Content-Length:"), the text after it, percent-
// decoded, the value. Lines without a space are skipped. The status line
// "HTTP/1.1 206 Partial Content" is therefore the first record, named
// "HTTP/1.1". Lookups compare names by prefix.
//
// The parser takes any bytes (zeros included) and never reads past the
// given length; its memory is a copy of the block plus the records, so the
// caller bounds it by the block size it accepts.
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

    // Value of the first record whose lower-cased name begins with the
    // lower-cased `prefix`; null for a null or empty prefix or no match.
    const ovCString* Find(const char* prefix) const;

    // The number that starts the text after the first space of the block's
    // first line; 0 when that text does not start with a digit (or there is
    // no block). Saturates at 999999999.
    int32_t StatusCode() const;
    // The leading digits of the first header whose name begins with
    // "Content-Length" (case-insensitive), blanks before them skipped,
    // saturated at INT64_MAX. 0 when absent. `*known` (when given) tells
    // whether such a header exists and starts with a digit.
    int64_t ContentLength(bool* known = nullptr) const;

    // Offset just past the first "\r\n\r\n" in `data`, searching from byte
    // `from` on (0 to start over; a caller that waits for more bytes passes
    // what it already searched, and the search backs up 3 bytes to catch a
    // terminator cut across receives). -1 when there is none yet.
    static int32_t FindHeadEnd(const uint8_t* data, int32_t length, int32_t from);

  private:
    struct Record {
        ovCString name;
        ovCString value;
    };

    bool AddLine(const char* line, uint32_t n);

    ovCString m_raw;
    ovCPtrList m_records;  // Record*, owned
    bool m_hasBlock;
};
