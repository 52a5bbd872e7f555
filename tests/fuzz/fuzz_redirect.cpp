// Arbitrary request URLs and Location values through ResolveRedirect and the
// redirect step (JudgeRedirect): no crash, no read past the end, and a result
// that is always a URL the client can open and send: http or https with a
// host and a port it connects to, no control byte, no fragment, no dot
// segment left, stable when resolved again, and never longer than
// kMaxRedirectUrlLength from the step.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "opn/core/ovCString.h"
#include "opn/opeerqos/nwCHttpClientExLayer.h"
#include "opn/opeerqos/nwRedirect.h"
#include "opn/opeerqos/utCUriCodec.h"

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

bool HasDotSegment(const char* path, size_t n) {
    const char* end = path + n;
    for (const char* at = path; at < end; ++at) {
        if (*at != '/')
            continue;
        const char* segment = at + 1;
        const char* next = static_cast<const char*>(memchr(segment, '/', (size_t)(end - segment)));
        const size_t length = (size_t)((next ? next : end) - segment);
        if ((length == 1 && segment[0] == '.') || (length == 2 && memcmp(segment, "..", 2) == 0))
            return true;
    }
    return false;
}

void CheckResult(const ovCString& url) {
    const char* text = url.CStr();
    Check(strncmp(text, "http://", 7) == 0 || strncmp(text, "https://", 8) == 0);
    Check(!utCUriCodec::HasControlBytes(text));
    Check(strchr(text, '#') == nullptr);
    ovCString host;
    ovCString path;
    uint16_t port = 0;
    int32_t scheme = 0;
    Check(nwCHttpClientExLayer::ParseUrl(text, host, path, &port, &scheme));
    Check(!host.IsEmpty() && port != 0 && strpbrk(host.CStr(), "@[]") == nullptr);
    const int32_t query = path.Find("?");
    Check(!HasDotSegment(path.CStr(), query < 0 ? path.Length() : (uint32_t)query));
    // An absolute result resolves to itself.
    ovCString again;
    Check(ResolveRedirect(text, text, &again));
    Check(again.Equals(url));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 14)
        return 0;
    // The bytes before the first zero are the request URL, the rest (up to
    // the next zero) the Location; without a zero, a fixed request URL.
    ovCString in;
    in.Assign(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size));
    const char* zero = static_cast<const char*>(memchr(in.CStr(), '\0', size));
    const char* base = zero ? in.CStr() : "http://example.test:8080/a/b/c?q=1";
    const char* location = zero ? zero + 1 : in.CStr();
    ovCString out("kept");
    if (ResolveRedirect(base, location, &out))
        CheckResult(out);
    else
        Check(out.Equals("kept"));

    // The step sees the whole value as the server sent it, zeros included,
    // after a number of hops taken from the input's length.
    ovCString value;
    const char* end = in.CStr() + size;
    const char* rest = zero ? zero + 1 : in.CStr();
    value.Assign(rest, static_cast<uint32_t>(end - rest));
    const int32_t hops = static_cast<int32_t>(size % (kMaxRedirects + 2));
    const int32_t status = 300 + static_cast<int32_t>(size % 10);
    ovCString target("kept");
    const RedirectVerdict verdict = JudgeRedirect(status, &value, base, hops, &target);
    if (verdict == kRedirectFollow) {
        CheckResult(target);
        Check(target.Length() <= kMaxRedirectUrlLength);
        Check(hops < kMaxRedirects && IsRedirectStatus(status));
    } else {
        Check(target.Equals("kept"));
        Check(verdict != kRedirectNone || !IsRedirectStatus(status));
        Check(verdict != kRedirectNoLocation || value.IsEmpty());
        Check(verdict != kRedirectTooManyHops || hops >= kMaxRedirects);
    }
    return 0;
}
