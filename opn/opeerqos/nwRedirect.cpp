#include "opn/opeerqos/nwRedirect.h"

#include <string.h>

#include "opn/core/ovCString.h"
#include "opn/opeerqos/nwCHttpClientExLayer.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/utCUriCodec.h"
#include "opn/platform/pfCodePage.h"

namespace {

// The five components of a URI reference (RFC 3986 appendix B); a fragment
// is recognised only to be dropped.
struct Reference {
    ovCString scheme;  // lower case
    ovCString authority;
    ovCString path;
    ovCString query;
    bool hasScheme = false;
    bool hasAuthority = false;
    bool hasQuery = false;
};

bool IsAlpha(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsSchemeByte(unsigned char c) {
    return IsAlpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

uint32_t SpanUntil(const char* text, const char* stops) {
    return static_cast<uint32_t>(strcspn(text, stops));
}

bool Split(const char* text, Reference& ref) {
    const char* at = text;
    // A scheme is a letter followed by scheme bytes up to the first ':';
    // anything else before a ':' belongs to the path.
    const uint32_t colon = SpanUntil(at, ":/?#");
    if (at[colon] == ':' && colon > 0 && IsAlpha(static_cast<unsigned char>(at[0]))) {
        bool scheme = true;
        for (uint32_t i = 1; i < colon && scheme; ++i)
            scheme = IsSchemeByte(static_cast<unsigned char>(at[i]));
        if (scheme) {
            if (!ref.scheme.Assign(at, colon))
                return false;
            ref.scheme.ToLower();
            ref.hasScheme = true;
            at += colon + 1;
        }
    }
    if (at[0] == '/' && at[1] == '/') {
        at += 2;
        const uint32_t n = SpanUntil(at, "/?#");
        if (!ref.authority.Assign(at, n))
            return false;
        ref.hasAuthority = true;
        at += n;
    }
    const uint32_t pathLength = SpanUntil(at, "?#");
    if (!ref.path.Assign(at, pathLength))
        return false;
    at += pathLength;
    if (*at == '?') {
        ++at;
        const uint32_t n = SpanUntil(at, "#");
        if (!ref.query.Assign(at, n))
            return false;
        ref.hasQuery = true;
    }
    return true;
}

bool IsWebScheme(const ovCString& scheme) {
    return scheme.Equals("http") || scheme.Equals("https");
}

// Drops the last segment of `out` and the '/' before it (if any).
bool DropLastSegment(ovCString& out) {
    const char* text = out.CStr();
    const char* slash = strrchr(text, '/');
    return out.Assign(text, slash ? static_cast<uint32_t>(slash - text) : 0);
}

// RFC 3986 section 5.2.4.
bool RemoveDotSegments(const ovCString& path, ovCString& out) {
    out.Clear();
    const char* in = path.CStr();
    bool ok = true;
    while (*in && ok) {
        if (strncmp(in, "../", 3) == 0) {
            in += 3;
        } else if (strncmp(in, "./", 2) == 0) {
            in += 2;
        } else if (strncmp(in, "/./", 3) == 0) {
            in += 2;
        } else if (strcmp(in, "/.") == 0) {
            ok = out.Append("/");
            in += 2;
        } else if (strncmp(in, "/../", 4) == 0) {
            ok = DropLastSegment(out);
            in += 3;
        } else if (strcmp(in, "/..") == 0) {
            ok = DropLastSegment(out) && out.Append("/");
            in += 3;
        } else if (strcmp(in, ".") == 0 || strcmp(in, "..") == 0) {
            in += strlen(in);
        } else {
            // The first segment, with its leading '/', moves to the output.
            const uint32_t n = 1 + SpanUntil(in + 1, "/");
            const uint32_t length = *in == '/' ? n : SpanUntil(in, "/");
            ok = out.Append(in, length);
            in += length;
        }
    }
    return ok;
}

// RFC 3986 section 5.2.3.
bool Merge(const Reference& base, const ovCString& path, ovCString& out) {
    if (base.hasAuthority && base.path.IsEmpty())
        return out.Assign("/") && out.Append(path);
    const char* text = base.path.CStr();
    const char* slash = strrchr(text, '/');
    const uint32_t keep = slash ? static_cast<uint32_t>(slash - text) + 1 : 0;
    return out.Assign(text, keep) && out.Append(path);
}

// RFC 3986 section 5.2.2, the non-strict form: a reference that repeats the
// base's scheme without an authority ("http:g") is taken as relative, as
// browsers do.
bool Combine(const Reference& base, Reference& ref, Reference& target) {
    if (ref.hasScheme && ref.scheme.Equals(base.scheme) && !ref.hasAuthority)
        ref.hasScheme = false;
    if (ref.hasScheme) {
        target.scheme = ref.scheme;
        target.authority = ref.authority;
        target.hasAuthority = ref.hasAuthority;
        target.query = ref.query;
        target.hasQuery = ref.hasQuery;
        return RemoveDotSegments(ref.path, target.path);
    }
    target.scheme = base.scheme;
    if (ref.hasAuthority) {
        target.authority = ref.authority;
        target.hasAuthority = true;
        target.query = ref.query;
        target.hasQuery = ref.hasQuery;
        return RemoveDotSegments(ref.path, target.path);
    }
    target.authority = base.authority;
    target.hasAuthority = base.hasAuthority;
    if (ref.path.IsEmpty()) {
        // The request's own path, its dot segments removed like every other
        // result's.
        if (!RemoveDotSegments(base.path, target.path))
            return false;
        target.query = ref.hasQuery ? ref.query : base.query;
        target.hasQuery = ref.hasQuery || base.hasQuery;
        return true;
    }
    target.query = ref.query;
    target.hasQuery = ref.hasQuery;
    if (ref.path.CStr()[0] == '/')
        return RemoveDotSegments(ref.path, target.path);
    ovCString merged;
    return Merge(base, ref.path, merged) && RemoveDotSegments(merged, target.path);
}

// Whether a request could be opened to `url` as the HTTP layer reads it: a
// host and a port from 1 to 65535. A user part ("u@h") would be taken for
// the host's name and a bracketed IPv6 literal for a host and a port; the
// stack asks for neither, so both are refused here rather than looked up.
bool IsOpenable(const ovCString& url) {
    ovCString host;
    ovCString path;
    uint16_t port = 0;
    int32_t scheme = 0;
    return nwCHttpClientExLayer::ParseUrl(url.CStr(), host, path, &port, &scheme) &&
           !host.IsEmpty() && port != 0 && strpbrk(host.CStr(), "@[]") == nullptr;
}

}  // namespace

bool IsRedirectStatus(int32_t status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool ResolveRedirect(const char* base, const char* location, ovCString* out) {
    if (!base || !location || !out || location[0] == '\0' || utCUriCodec::HasControlBytes(base) ||
        utCUriCodec::HasControlBytes(location))
        return false;
    Reference from;
    if (!Split(base, from) || !from.hasScheme || !IsWebScheme(from.scheme) ||
        from.authority.IsEmpty())
        return false;
    Reference ref;
    Reference target;
    if (!Split(location, ref) || !Combine(from, ref, target))
        return false;
    if (!IsWebScheme(target.scheme) || !target.hasAuthority || target.authority.IsEmpty())
        return false;
    ovCString url;
    const bool built = url.Assign(target.scheme) && url.Append("://") &&
                       url.Append(target.authority) && url.Append(target.path) &&
                       (!target.hasQuery || (url.Append("?") && url.Append(target.query)));
    if (!built || !IsOpenable(url))
        return false;
    out->Swap(url);
    return true;
}

RedirectVerdict JudgeRedirect(int32_t status, const ovCString* location, const char* requestUrl,
                              int32_t hops, ovCString* target) {
    if (!IsRedirectStatus(status))
        return kRedirectNone;
    if (!location || location->IsEmpty())
        return kRedirectNoLocation;
    if (hops >= kMaxRedirects)
        return kRedirectTooManyHops;
    // A zero inside would cut the value short where it is read as text.
    if (location->Length() > kMaxRedirectUrlLength ||
        strlen(location->CStr()) != location->Length())
        return kRedirectBadLocation;
    ovCString converted;
    ovCString resolved;
    if (!target || OV_FAILED(Utf8ToAnsi(*location, converted)) ||
        !ResolveRedirect(requestUrl, converted.CStr(), &resolved) ||
        resolved.Length() > kMaxRedirectUrlLength)
        return kRedirectBadLocation;
    target->Swap(resolved);
    return kRedirectFollow;
}

RedirectVerdict JudgeRedirect(ovIHttpClientExLayer* http, const char* requestUrl, int32_t hops,
                              ovCString* target) {
    int32_t status = 0;
    if (!http || OV_FAILED(http->GetStatusCode(&status)) || !IsRedirectStatus(status))
        return kRedirectNone;
    ovCString location;
    const bool found = OV_SUCCEEDED(http->GetHeader("Location", &location));
    return JudgeRedirect(status, found ? &location : nullptr, requestUrl, hops, target);
}
