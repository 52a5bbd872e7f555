// What one content-length check session reports to its checker. Every call
// comes on the library thread under the library lock; the listener may
// delete the reporting session from inside the call.
#pragma once

#include <stdint.h>

class IContentLengthCheckSessionEventListener {
  public:
    // A 200 answer gave the file's length.
    virtual void OnLengthKnown(int32_t fileIndex, int64_t length) = 0;
    // The last attempt failed; `url` is the file's first URL.
    virtual void OnLengthFailed(int32_t fileIndex, const char* url) = 0;
    // The host could not be reached (not retried).
    virtual void OnLengthHostUnreachable(int32_t fileIndex) = 0;
    virtual ~IContentLengthCheckSessionEventListener() {}
};
