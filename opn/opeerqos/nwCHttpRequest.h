// Request text of the HTTP client layer: a GET, or the head and closing
// delimiter of a single-file multipart/form-data POST.
//
// The caller fills a request description (headers, query parameters, body
// size) and asks for the text:
//
//   GET <target> HTTP/1.1
//   Accept, Referer, Accept-Language, User-Agent, Range, Host, Connection
//   every other header, percent-encoded except a header named "Cookie",
//   and an "If-Range" of printable ASCII (an entity tag or a date, which
//   the server compares byte for byte)
//   <blank line>
//
// The fixed headers are sent as given, or with their defaults ("*/*",
// kDefaultReferer, "ko", "OPeerClient", "Keep-Alive"); Range and Host only
// when set. The POST head has Accept, Referer, Accept-Language, Content-Type,
// User-Agent, Host, Content-Length (only for a positive body size) and
// Connection, then the other headers, the blank line and the part header.
//
// The request target comes from the pseudo-header "GET" (else "POST"; "/"
// without either): converted from the system code page to UTF-8, each path
// segment percent-encoded and written as "/" + segment, empty segments and a
// trailing slash dropped; then "?" and the encoded parameters name=value
// joined by "&". A path with no segment at all is sent as "/". Parameters are
// encoded as stored, without a code-page conversion. Escapes the path and the
// parameters already carry ("%2F", "%20", "%00") are sent as they are
// (utCUriCodec::EncodeKeepingEscapes): never decoded, never encoded twice.
//
// Builders never fail on content: missing values give missing lines. Build
// answers false only when memory ran out (`out` is then empty).
//
// Threads: no shared state: any thread (the HTTP layer builds on the library
// thread).
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovCString.h"

class nwCHttpTextOutput;

class nwCHttpRequestHeaderBuilder {
  public:
    enum : int32_t { kTypeGet = 1, kTypePost = 2 };

    // A new GET (1) or POST (2) builder for the caller to delete; null for any
    // other type or when memory ran out.
    static nwCHttpRequestHeaderBuilder* Create(int32_t type);

    virtual ~nwCHttpRequestHeaderBuilder();
    nwCHttpRequestHeaderBuilder(const nwCHttpRequestHeaderBuilder&) = delete;
    nwCHttpRequestHeaderBuilder& operator=(const nwCHttpRequestHeaderBuilder&) = delete;

    // Both replace the contents of `out`. Build may run again; every run
    // emits the whole description.
    virtual bool Build(ovCString& out) = 0;
    virtual bool BuildClosing(ovCString& out) = 0;

    // Stores `value` under `name` (compared case-insensitively with the stored
    // names; a match keeps its first spelling and gets the new value). A name
    // beginning with "GET" or "POST" is a request-target pseudo-header: only
    // the text before the first "?" is stored and the rest goes through
    // ParseQuery. A null value counts as empty. False for a null or empty
    // name, or when memory ran out.
    bool SetHeader(const char* name, const char* value);
    // Replaces the value of the parameter `name` (case-insensitive) or appends
    // one. Names may be empty; a null value counts as empty. False for a null
    // name or when memory ran out.
    bool SetQueryParam(const char* name, const char* value);
    // Nothing when `text` has no "?". The text after the first "?" is cut at
    // every "&"; each piece is split at its first "=" and stored with
    // SetQueryParam, as it is (not decoded). Pieces without "=" are dropped.
    // False when memory ran out (what was stored stays).
    bool ParseQuery(const char* text);
    void SetBodySize(int64_t size) { m_bodySize = size; }

    int64_t BodySize() const { return m_bodySize; }
    int32_t HeaderCount() const { return m_headers.Count(); }
    // The stored value of the header `name` (case-insensitive); null if none.
    const char* HeaderValue(const char* name) const;
    int32_t QueryParamCount() const { return m_queryParams.Count(); }
    // Name and value of the parameter at `index` in list order; false when
    // out of range.
    bool QueryParamAt(int32_t index, const char** name, const char** value) const;

    static const char* const kDefaultReferer;

  protected:
    nwCHttpRequestHeaderBuilder();

    struct HeaderRecord {
        ovCString name;
        ovCString value;
        uint8_t emitted;
    };
    struct QueryParam {
        ovCString name;
        ovCString value;
    };

    HeaderRecord* FindHeader(const char* name) const;
    // Clears every emitted flag, so that a new Build starts afresh.
    void ResetEmitted();
    // name + ": " + value + "\r\n" with the stored value of `name` (marked
    // emitted), else with `defaultValue`; nothing when both are missing.
    void EmitHeader(nwCHttpTextOutput& out, const char* name, const char* defaultValue);
    // Every record not yet emitted, value percent-encoded unless the name is
    // exactly "Cookie", or "If-Range" with a value of printable ASCII.
    void EmitRemaining(nwCHttpTextOutput& out);
    void BuildTarget(nwCHttpTextOutput& out);

    ovCPtrList m_headers;      // HeaderRecord*
    ovCPtrList m_queryParams;  // QueryParam*
    int64_t m_bodySize;
};

class nwCHttpGETHeaderBuilder : public nwCHttpRequestHeaderBuilder {
  public:
    nwCHttpGETHeaderBuilder() = default;
    bool Build(ovCString& out) override;
    // A GET has no closing part: `out` is left empty.
    bool BuildClosing(ovCString& out) override;
};

class nwCHttpPOSTHeaderBuilder : public nwCHttpRequestHeaderBuilder {
  public:
    // Chooses the boundary: 27 hyphens and two rand() values as "%08X%08X",
    // the value drawn second first.
    nwCHttpPOSTHeaderBuilder();
    // Request line and headers, the blank line, then the part header and its
    // blank line; the body follows, then BuildClosing's text.
    bool Build(ovCString& out) override;
    // "\r\n--" + boundary + "--\r\n".
    bool BuildClosing(ovCString& out) override;

    const ovCString& Boundary() const { return m_boundary; }

  private:
    ovCString m_boundary;
};
