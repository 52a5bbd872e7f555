// Following a redirect: which statuses send the client elsewhere, where the
// Location header points, and how many hops are allowed.
#pragma once

#include <stdint.h>

class ovCString;

// Statuses that send the client elsewhere: 301, 302, 303, 307, 308 (all followed with GET).
bool IsRedirectStatus(int32_t status);

// Resolves a Location value (absolute "http://h/p", network-path "//host/path",
// absolute-path "/path", relative "path", with dot segments) against the URL of
// the request (RFC 3986 section 5.2). Keeps percent-escapes as they are; drops a
// fragment. False when it cannot be resolved (empty, not http/https, control
// characters).
//
// `base` must be an absolute http or https URL with a host. The scheme of the
// result is written in lower case; everything else is copied byte for byte
// (bytes above 127 included: the caller has already converted them to the
// code page it sends). `out` is left unchanged when the answer is false.
bool ResolveRedirect(const char* base, const char* location, ovCString* out);

// Redirects followed in a row before the request fails (was
// CDataDownloadSession::kMaxRedirects).
const int32_t kMaxRedirects = 10;
