// What one size request of the file-size check reports to the checker.
// `context` is the value given to the session's SetListener. Reports come on
// the library thread; the checker may delete the session from inside them.
#pragma once

#include <stdint.h>

class IPlatformFileSizeCheckSessionEventListener {
  public:
    // The entry's size is stored in the entry.
    virtual void OnSizeKnown(void* context) = 0;
    // `code` SF_MSG_DISK_FULL: larger than the free space; SF_MSG_FAILED: no
    // size learnt. `text` is the entry's URL list (never null).
    virtual void OnSizeFailed(void* context, int32_t code, const char* text) = 0;

    virtual ~IPlatformFileSizeCheckSessionEventListener() {}
};
