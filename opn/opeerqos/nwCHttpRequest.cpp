#include "opn/opeerqos/nwCHttpRequest.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "opn/core/ovAscii.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/nwCMimeMap.h"
#include "opn/opeerqos/utCUriCodec.h"
#include "opn/platform/pfCodePage.h"

// Growing text buffer for one request: ovCString reallocates on every append,
// which turns a head with many parameters quadratic. The first failure
// sticks, so callers check once at the end.
class nwCHttpTextOutput {
  public:
    nwCHttpTextOutput() = default;
    ~nwCHttpTextOutput() { free(m_data); }
    nwCHttpTextOutput(const nwCHttpTextOutput&) = delete;
    nwCHttpTextOutput& operator=(const nwCHttpTextOutput&) = delete;

    void Append(const char* text, size_t n) {
        char* at = Reserve(n);
        if (at) {
            memcpy(at, text, n);
            m_size += n;
        }
    }
    void Append(const char* text) { Append(text, strlen(text)); }
    void Append(const ovCString& text) { Append(text.CStr(), text.Length()); }

    // `text` percent-encoded; an empty text adds nothing.
    void AppendEncoded(const char* text) { AppendWith(&utCUriCodec::Encode, text); }
    // `text` percent-encoded with the escapes it already carries kept.
    void AppendTargetPart(const char* text) {
        AppendWith(&utCUriCodec::EncodeKeepingEscapes, text);
    }

    // Moves the text into `out`; false (and `out` empty) after any failure.
    bool MoveTo(ovCString& out) {
        if (m_failed || !out.Assign(m_data ? m_data : "", static_cast<uint32_t>(m_size))) {
            out.Clear();
            return false;
        }
        return true;
    }

  private:
    using Encoder = ResultCode (utCUriCodec::*)(const char*, char*, uint32_t*);
    void AppendWith(Encoder encode, const char* text) {
        uint32_t length = 0;
        if (OV_FAILED((m_codec.*encode)(text, nullptr, &length)))
            return;
        char* at = Reserve(length);
        if (at && OV_SUCCEEDED((m_codec.*encode)(text, at, &length)))
            m_size += length;
    }

    // Room for `n` more bytes plus a terminator (the codec writes one).
    char* Reserve(size_t n) {
        if (m_failed)
            return nullptr;
        if (n > kMaxSize - m_size) {
            m_failed = true;
            return nullptr;
        }
        const size_t needed = m_size + n + 1;
        if (needed > m_capacity) {
            size_t capacity = m_capacity ? m_capacity : 256;
            while (capacity < needed)
                capacity = capacity > kMaxSize / 2 ? kMaxSize + 1 : capacity * 2;
            char* grown = static_cast<char*>(realloc(m_data, capacity));
            if (!grown) {
                m_failed = true;
                return nullptr;
            }
            m_data = grown;
            m_capacity = capacity;
        }
        return m_data + m_size;
    }

    // The result must fit an ovCString.
    static const size_t kMaxSize = 0xFFFFFFF0u;

    utCUriCodec m_codec;
    char* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
    bool m_failed = false;
};

namespace {

const char kCrLf[] = "\r\n";
const char kBoundaryHyphens[] = "---------------------------";

bool StartsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

}  // namespace

const char* const nwCHttpRequestHeaderBuilder::kDefaultReferer = "http://www.orvane.com/";

nwCHttpRequestHeaderBuilder* nwCHttpRequestHeaderBuilder::Create(int32_t type) {
    switch (type) {
        case kTypeGet:
            return new (std::nothrow) nwCHttpGETHeaderBuilder();
        case kTypePost:
            return new (std::nothrow) nwCHttpPOSTHeaderBuilder();
        default:
            return nullptr;
    }
}

nwCHttpRequestHeaderBuilder::nwCHttpRequestHeaderBuilder() : m_bodySize(0) {}

nwCHttpRequestHeaderBuilder::~nwCHttpRequestHeaderBuilder() {
    for (ovCPtrList::Node* node = m_headers.HeadNode(); node; node = node->next)
        delete static_cast<HeaderRecord*>(node->element);
    m_headers.RemoveAll();
    for (ovCPtrList::Node* node = m_queryParams.HeadNode(); node; node = node->next)
        delete static_cast<QueryParam*>(node->element);
    m_queryParams.RemoveAll();
}

nwCHttpRequestHeaderBuilder::HeaderRecord* nwCHttpRequestHeaderBuilder::FindHeader(
    const char* name) const {
    for (ovCPtrList::Node* node = m_headers.HeadNode(); node; node = node->next) {
        HeaderRecord* record = static_cast<HeaderRecord*>(node->element);
        if (AsciiEqualsNoCase(record->name.CStr(), name))
            return record;
    }
    return nullptr;
}

const char* nwCHttpRequestHeaderBuilder::HeaderValue(const char* name) const {
    if (!name)
        return nullptr;
    const HeaderRecord* record = FindHeader(name);
    return record ? record->value.CStr() : nullptr;
}

bool nwCHttpRequestHeaderBuilder::QueryParamAt(int32_t index, const char** name,
                                               const char** value) const {
    ovCPtrList::Node* node = m_queryParams.HeadNode();
    for (int32_t i = 0; node && i < index; ++i)
        node = node->next;
    if (index < 0 || !node)
        return false;
    const QueryParam* param = static_cast<const QueryParam*>(node->element);
    if (name)
        *name = param->name.CStr();
    if (value)
        *value = param->value.CStr();
    return true;
}

bool nwCHttpRequestHeaderBuilder::SetHeader(const char* name, const char* value) {
    if (!name || !*name)
        return false;
    if (!value)
        value = "";
    ovCString stored;
    bool ok = true;
    if (StartsWith(name, "GET") || StartsWith(name, "POST")) {
        const char* question = strchr(value, '?');
        const size_t pathLength = question ? static_cast<size_t>(question - value) : strlen(value);
        ok = stored.Assign(value, static_cast<uint32_t>(pathLength));
        ok = ParseQuery(value) && ok;
    } else {
        ok = stored.Assign(value);
    }
    if (!ok)
        return false;

    HeaderRecord* record = FindHeader(name);
    if (record) {
        record->value.Swap(stored);
        return true;
    }
    record = new (std::nothrow) HeaderRecord();
    if (!record)
        return false;
    record->emitted = 0;
    record->value.Swap(stored);
    if (!record->name.Assign(name) || !m_headers.AddTail(record)) {
        delete record;
        return false;
    }
    return true;
}

bool nwCHttpRequestHeaderBuilder::SetQueryParam(const char* name, const char* value) {
    if (!name)
        return false;
    if (!value)
        value = "";
    ovCString stored;
    if (!stored.Assign(value))
        return false;
    for (ovCPtrList::Node* node = m_queryParams.HeadNode(); node; node = node->next) {
        QueryParam* param = static_cast<QueryParam*>(node->element);
        if (AsciiEqualsNoCase(param->name.CStr(), name)) {
            param->value.Swap(stored);
            return true;
        }
    }
    QueryParam* param = new (std::nothrow) QueryParam();
    if (!param)
        return false;
    param->value.Swap(stored);
    if (!param->name.Assign(name) || !m_queryParams.AddTail(param)) {
        delete param;
        return false;
    }
    return true;
}

bool nwCHttpRequestHeaderBuilder::ParseQuery(const char* text) {
    const char* piece = text ? strchr(text, '?') : nullptr;
    if (!piece)
        return true;
    ++piece;
    bool ok = true;
    ovCString name;
    ovCString value;
    // Each byte is looked at a bounded number of times: once to find the
    // piece's end, once for its "=".
    while (*piece != '\0') {
        const char* end = strchr(piece, '&');
        if (!end)
            end = piece + strlen(piece);
        const char* equals =
            static_cast<const char*>(memchr(piece, '=', static_cast<size_t>(end - piece)));
        if (equals) {
            const uint32_t nameLength = static_cast<uint32_t>(equals - piece);
            const uint32_t valueLength = static_cast<uint32_t>(end - equals - 1);
            if (name.Assign(piece, nameLength) && value.Assign(equals + 1, valueLength)) {
                ok = SetQueryParam(name.CStr(), value.CStr()) && ok;
            } else {
                ok = false;
            }
        }
        piece = *end == '&' ? end + 1 : end;
    }
    return ok;
}

void nwCHttpRequestHeaderBuilder::ResetEmitted() {
    for (ovCPtrList::Node* node = m_headers.HeadNode(); node; node = node->next)
        static_cast<HeaderRecord*>(node->element)->emitted = 0;
}

void nwCHttpRequestHeaderBuilder::EmitHeader(nwCHttpTextOutput& out, const char* name,
                                             const char* defaultValue) {
    HeaderRecord* record = FindHeader(name);
    const char* value = defaultValue;
    if (record) {
        record->emitted = 1;
        value = record->value.CStr();
    }
    if (!value)
        return;
    out.Append(name);
    out.Append(": ");
    out.Append(value);
    out.Append(kCrLf);
}

namespace {

// No control byte (a line end above all) and nothing above ASCII.
bool IsPrintableAscii(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); p && *p; ++p)
        if (*p < 0x20 || *p > 0x7E)
            return false;
    return true;
}

}  // namespace

void nwCHttpRequestHeaderBuilder::EmitRemaining(nwCHttpTextOutput& out) {
    for (ovCPtrList::Node* node = m_headers.HeadNode(); node; node = node->next) {
        HeaderRecord* record = static_cast<HeaderRecord*>(node->element);
        if (record->emitted)
            continue;
        record->emitted = 1;
        out.Append(record->name);
        out.Append(": ");
        // Cookie values carry their own syntax and are sent untouched; a
        // validator is compared byte for byte, so an escape would never match.
        if (record->name.Equals("Cookie") ||
            (record->name.Equals("If-Range") && IsPrintableAscii(record->value.CStr())))
            out.Append(record->value.CStr());
        else
            out.AppendEncoded(record->value.CStr());
        out.Append(kCrLf);
    }
}

void nwCHttpRequestHeaderBuilder::BuildTarget(nwCHttpTextOutput& out) {
    HeaderRecord* record = FindHeader("GET");
    if (!record)
        record = FindHeader("POST");
    ovCString path("/");
    if (record) {
        record->emitted = 1;
        path = record->value;
    }
    ovCString utf8;
    AnsiToUtf8(path, utf8);

    // Cut the path in place into zero-terminated segments.
    bool wroteSegment = false;
    const uint32_t size = utf8.Length();
    char* segments = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
    if (segments) {
        memcpy(segments, utf8.CStr(), static_cast<size_t>(size) + 1);
        // A zero inside the text ends it, as everywhere the path is a C string.
        const uint32_t end = static_cast<uint32_t>(strlen(segments));
        for (uint32_t i = 0; i < end; ++i) {
            if (segments[i] == '/')
                segments[i] = '\0';
        }
        for (uint32_t i = 0; i < end;) {
            if (segments[i] == '\0') {
                ++i;
                continue;
            }
            out.Append("/");
            out.AppendTargetPart(segments + i);
            wroteSegment = true;
            i += static_cast<uint32_t>(strlen(segments + i));
        }
        free(segments);
    }
    // An empty request target is not valid HTTP.
    if (!wroteSegment)
        out.Append("/");

    char separator = '?';
    for (ovCPtrList::Node* node = m_queryParams.HeadNode(); node; node = node->next) {
        const QueryParam* param = static_cast<const QueryParam*>(node->element);
        out.Append(&separator, 1);
        out.AppendTargetPart(param->name.CStr());
        out.Append("=");
        out.AppendTargetPart(param->value.CStr());
        separator = '&';
    }
}

bool nwCHttpGETHeaderBuilder::Build(ovCString& out) {
    ResetEmitted();
    nwCHttpTextOutput text;
    text.Append("GET ");
    BuildTarget(text);
    text.Append(" HTTP/1.1\r\n");
    EmitHeader(text, "Accept", "*/*");
    EmitHeader(text, "Referer", kDefaultReferer);
    EmitHeader(text, "Accept-Language", "ko");
    EmitHeader(text, "User-Agent", "OPeerClient");
    EmitHeader(text, "Range", nullptr);
    EmitHeader(text, "Host", nullptr);
    EmitHeader(text, "Connection", "Keep-Alive");
    EmitRemaining(text);
    text.Append(kCrLf);
    return text.MoveTo(out);
}

bool nwCHttpGETHeaderBuilder::BuildClosing(ovCString& out) {
    out.Clear();
    return true;
}

nwCHttpPOSTHeaderBuilder::nwCHttpPOSTHeaderBuilder() {
    const unsigned first = static_cast<unsigned>(rand());
    const unsigned second = static_cast<unsigned>(rand());
    char boundary[sizeof(kBoundaryHyphens) + 16];
    snprintf(boundary, sizeof(boundary), "%s%08X%08X", kBoundaryHyphens, second, first);
    m_boundary.Assign(boundary);
}

bool nwCHttpPOSTHeaderBuilder::Build(ovCString& out) {
    ResetEmitted();

    nwCHttpTextOutput contentType;
    contentType.Append("multipart/form-data; boundary=");
    contentType.Append(m_boundary);
    ovCString contentTypeText;

    // The part header names no file extension, so the map gives its default.
    const nwCHttpMimeTypeMap* map = OpnMimeMap();
    const char* mediaType = map ? map->Lookup(nullptr) : nwCHttpMimeTypeMap::kDefaultType;
    nwCHttpTextOutput part;
    part.Append("--");
    part.Append(m_boundary);
    part.Append(kCrLf);
    if (m_bodySize > 0) {
        part.Append("Content-Disposition: form-data; name=attach_file; filename=unknown\r\n");
        part.Append("Content-Type: ");
        part.Append(mediaType);
        part.Append(kCrLf);
    }
    ovCString partText;
    if (!contentType.MoveTo(contentTypeText) || !part.MoveTo(partText)) {
        out.Clear();
        return false;
    }

    // Everything after the head: part header, blank line, body, then
    // "\r\n--" + boundary + "--\r\n". Unsigned, so no size can overflow.
    char contentLength[32] = "";
    if (m_bodySize > 0) {
        const uint64_t total = static_cast<uint64_t>(partText.Length()) + 2 +
                               static_cast<uint64_t>(m_bodySize) + 2 + 2 + m_boundary.Length() + 2 +
                               2;
        snprintf(contentLength, sizeof(contentLength), "%" PRIu64, total);
    }

    nwCHttpTextOutput text;
    text.Append("POST ");
    BuildTarget(text);
    text.Append(" HTTP/1.1\r\n");
    EmitHeader(text, "Accept", "*/*");
    EmitHeader(text, "Referer", kDefaultReferer);
    EmitHeader(text, "Accept-Language", "ko");
    EmitHeader(text, "Content-Type", contentTypeText.CStr());
    EmitHeader(text, "User-Agent", "OPeerClient");
    EmitHeader(text, "Host", nullptr);
    if (m_bodySize > 0)
        EmitHeader(text, "Content-Length", contentLength);
    EmitHeader(text, "Connection", "Keep-Alive");
    EmitRemaining(text);
    text.Append(kCrLf);
    text.Append(partText);
    text.Append(kCrLf);
    return text.MoveTo(out);
}

bool nwCHttpPOSTHeaderBuilder::BuildClosing(ovCString& out) {
    nwCHttpTextOutput text;
    text.Append("\r\n--");
    text.Append(m_boundary);
    text.Append("--\r\n");
    return text.MoveTo(out);
}
