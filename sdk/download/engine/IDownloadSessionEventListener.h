// What an engine-update download session reports to the downloader. A
// finished or error report is the last thing the session does in that call,
// so the listener may delete the session from inside those two.
// Reports come on the library thread.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"

class CDownloadSession;

// How a download ended.
struct DownloadOutcome {
    ovCString url;
    int32_t mode = 0;    // DownloadMode of IProgressFile.h
    int32_t result = 0;  // DownloadResult of CDownloadFile.h
    int64_t contentLength = 0;
};

// Session error codes.
enum DownloadSessionError : int32_t {
    kSessionConnectTimeout = 3,
    kSessionUnexpectedAnswer = 4,  // not 200, no length, or more than allowed
    kSessionReceiveTimeout = 5,
    kSessionClosed = 6,  // closed before the whole body arrived
    kSessionHostUnreachable = 7,
};

class IDownloadSessionEventListener {
  public:
    virtual ~IDownloadSessionEventListener() {}
    virtual void OnSessionConnected(CDownloadSession* session) = 0;
    virtual void OnSessionFinished(CDownloadSession* session, const DownloadOutcome& outcome) = 0;
    virtual void OnSessionError(CDownloadSession* session, int32_t code) = 0;
    virtual void OnSizeKnown(CDownloadSession* session, const char* url, int64_t size) = 0;
    virtual void OnDownloadProgress(CDownloadSession* session, const char* url, int64_t bytes) = 0;
};
