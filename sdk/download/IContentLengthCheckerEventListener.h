// What the size check of a set of URLs reports. All reports come on the
// library thread.
#pragma once

#include <stdint.h>

class IContentLengthCheckerEventListener {
  public:
    virtual void OnSizeCheckComplete(int64_t total) = 0;
    virtual void OnSizeCheckFailed(const char* text) = 0;
    virtual void OnSizeCheckAborted() = 0;
    // Deletes the whole object that listens (the job manager).
    virtual ~IContentLengthCheckerEventListener() {}
};
