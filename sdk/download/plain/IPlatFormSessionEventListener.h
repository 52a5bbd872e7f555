// What the ranged file download session (CPlatformSession) reports to its
// owner, the plain downloader. Not reference counted; `context` is the value
// given to CPlatformSession::SetListener and comes back unchanged. All
// reports come on the library thread under the library lock.
//
// A session ends with exactly one terminal report: OnAllFilesComplete,
// OnSessionFailed, or OnSessionError with code SF_MSG_DISK_FULL (a file could
// not be written; see CPlatformSession.h). The owner may delete the session
// from inside a terminal report. Other OnSessionError codes are not terminal.
#pragma once

#include <stdint.h>

struct DownloadEntry;

class IPlatFormSessionEventListener {
  public:
    // The last entry has finished.
    virtual void OnAllFilesComplete(void* context) = 0;
    // The session gave up; `url` is the URL it used last (empty, never null,
    // when the job had no entry that could be downloaded).
    virtual void OnSessionFailed(void* context, const char* url) = 0;
    // One entry has been written completely; `entry` is the session's copy,
    // valid for the call.
    virtual void OnFileComplete(void* context, const DownloadEntry* entry) = 0;
    // Data arrived for the current entry.
    virtual void OnProgress(void* context) = 0;
    // A target file was created; `path` is its full path (folder plus name).
    virtual void OnFileOpened(const char* path, void* context) = 0;
    // An error with a host message code; SF_MSG_DISK_FULL: a file could not
    // be written (the session has ended, see above).
    virtual void OnSessionError(void* context, int32_t code, const char* url) = 0;

    virtual ~IPlatFormSessionEventListener() {}
};
