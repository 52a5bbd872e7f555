// What the file-size check of a job (CPlatformFileSizeChecker) reports to its
// owner, the plain downloader. Not reference counted; `context` is the value
// given to CPlatformFileSizeChecker::SetListener. Reports come on the library
// thread under the library lock, except a check with nothing to request,
// which completes inside Start. The check ends with exactly one report, and
// the owner may delete the checker from inside it.
#pragma once

#include <stdint.h>

// The outcome of a job's file-size check.
struct FileSizeCheckResult {
    int64_t totalSize;     // sum of the sizes of all entries
    int64_t presentBytes;  // sum of the entries' received counts
    int32_t entryCount;    // entries counted
};

class ICheckerEventListener {
  public:
    virtual void OnFileSizeCheckCompleted(void* context, const FileSizeCheckResult& result) = 0;
    // The first failure ends the check: `code` is a host message code
    // (SF_MSG_DISK_FULL: a file is larger than the free space of its drive;
    // SF_MSG_FAILED: no size could be learnt), `text` the entry's URL list
    // (never null).
    virtual void OnFileSizeCheckFailed(void* context, int32_t code, const char* text) = 0;

    virtual ~ICheckerEventListener() {}
};
