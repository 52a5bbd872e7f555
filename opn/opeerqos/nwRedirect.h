// Following a redirect: which statuses send the client elsewhere, where the
// Location header points, and how many hops are allowed. JudgeRedirect is the
// one step every client that follows redirects takes on an answer; what a
// client does next (a new request, a retry, giving up) stays its own.
//
// Threads: functions without state: any thread, no lock.
#pragma once

#include <stdint.h>

class ovCString;
class ovIHttpClientExLayer;

// Statuses that send the client elsewhere: 301, 302, 303, 307, 308 (all followed with GET).
bool IsRedirectStatus(int32_t status);

// Resolves a Location value (absolute "http://h/p", network-path "//host/path",
// absolute-path "/path", relative "path", with dot segments) against the URL of
// the request (RFC 3986 section 5.2). Keeps percent-escapes as they are; drops a
// fragment. False when it cannot be resolved (empty, not http/https, control
// characters) or names no host a request can be opened to (a user part, a
// bracketed IPv6 literal, an empty host, a port that is not 1 to 65535).
//
// `base` must be an absolute http or https URL with a host. The scheme of the
// result is written in lower case; everything else is copied byte for byte
// (bytes above 127 included: the caller has already converted them to the
// code page it sends). `out` is left unchanged when the answer is false.
bool ResolveRedirect(const char* base, const char* location, ovCString* out);

// Redirects followed in a row before the request fails (was
// CDataDownloadSession::kMaxRedirects).
const int32_t kMaxRedirects = 10;

// Longest Location value and longest redirect target followed, in bytes:
// far above any real URL, and no server takes a longer request line anyway.
const uint32_t kMaxRedirectUrlLength = 8192;

// What an answer means to a request that follows redirects.
enum RedirectVerdict : int32_t {
    kRedirectNone = 0,     // not a redirect status: the answer is the caller's
    kRedirectFollow,       // request the target next, one hop more
    kRedirectNoLocation,   // a redirect status without a Location, or an empty one
    kRedirectTooManyHops,  // kMaxRedirects hops were followed already
    // The Location leads nowhere this client may go: it does not resolve to
    // an http or https URL with a host and port a request can be opened to
    // (see ResolveRedirect), holds a control byte (a zero included), or it or
    // its target is longer than kMaxRedirectUrlLength.
    kRedirectBadLocation,
};

// The redirect step. `location` is the Location value as the server sent it
// (UTF-8; null when the answer has none); it is converted to the system code
// page (Utf8ToAnsi) and resolved against `requestUrl`, the URL the answered
// request asked for. `hops` is the number of redirects followed before this
// answer. The refusals are checked in the order of the enum: a missing
// Location first, then the hop bound, then where the Location points.
// `target` is written only for kRedirectFollow (it may hold `requestUrl`).
RedirectVerdict JudgeRedirect(int32_t status, const ovCString* location, const char* requestUrl,
                              int32_t hops, ovCString* target);

// The same for the answer an HTTP client layer received: its status code and
// its Location header (any letter case).
RedirectVerdict JudgeRedirect(ovIHttpClientExLayer* http, const char* requestUrl, int32_t hops,
                              ovCString* target);
