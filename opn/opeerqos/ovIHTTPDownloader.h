// Public face of the HTTP downloader (class id OV_CLSID_HTTP_DOWNLOADER,
// 0x2009): fetches whole http/https resources into memory, one connection
// per request, and hands each complete body to its client listener.
//
// Per request (the client's key and value come back in every report):
//   - a 200 or 206 answer with a positive Content-Length is read into a
//     buffer of exactly that size; bytes beyond it are never stored;
//   - a redirect status (IsRedirectStatus) with a Location (UTF-8,
//     converted to the ANSI code page, resolved against the request's URL
//     by ResolveRedirect) is followed with a new GET whose attempt count
//     starts again at 0; at most kMaxRedirects (nwRedirect.h) redirects are
//     followed in a row, the next one fails;
//   - an unreachable host is tried again, three attempts in all, and then
//     given up (OnDownloadGaveUp, once);
//   - everything else fails (OnDownloadFailed, once): another status, no or
//     a zero Content-Length, a Content-Length above
//     nwCHTTPDownloader::kMaxBodySize, a redirect without Location, a URL
//     that cannot be opened (or a Location that does not resolve to an http
//     or https URL), a close before the body is complete, a connect or receive
//     time-out.
// Every request ends in exactly one of OnDownloaded, OnDownloadFailed and
// OnDownloadGaveUp, unless it is cancelled first (then nothing is reported).
//
// Threads: the operations take the library lock themselves and may be called
// from any thread while the network module runs; the reports come on the
// library thread under the library lock, except that a URL that cannot be
// opened is reported from inside Download. A listener may call any operation
// (Cancel, CancelAll, a new Download) and drop its last reference to the
// downloader from inside a report.
//
// Every operation answers OV_S_NETWORK (0x40300000); QueryInterface answers
// OV_E_NOINTERFACE (0x80010001).
#pragma once

#include <stdint.h>

#include "opn/core/ovIUnknown.h"

class nwIHTTPDownloaderListener {
  public:
    virtual ~nwIHTTPDownloaderListener() {}
    // Slot 0. The whole body; `data` belongs to the downloader and is freed
    // after the call.
    virtual void OnDownloaded(uint32_t key, uint32_t value, const uint8_t* data,
                              int64_t length) = 0;
    // Slot 1. Not used by the downloader.
    virtual void Reserved1() {}
    // Slot 2.
    virtual void OnDownloadFailed(uint32_t key, uint32_t value) = 0;
    // Slot 3. Not used by the downloader.
    virtual void Reserved3() {}
    // Slot 4. The host stayed unreachable for three attempts.
    virtual void OnDownloadGaveUp(uint32_t key, uint32_t value) = 0;
};

class ovIHTTPDownloader : public ovIUnknown {
  public:
    // Slot 4. Null silences the downloader.
    virtual ResultCode SetListener(nwIHTTPDownloaderListener* listener) = 0;
    // Slot 5. Starts fetching `url`. Several requests may run at once, also
    // under the same key.
    virtual ResultCode Download(uint32_t key, const char* url, uint32_t value) = 0;
    // Slot 6. Drops every request of `key` without a report; an unknown key
    // does nothing.
    virtual ResultCode Cancel(uint32_t key) = 0;
    // Slot 7. Drops every request without a report.
    virtual ResultCode CancelAll() = 0;
};
