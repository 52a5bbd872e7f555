// What the in-memory data download reports. All reports come on the library
// thread.
#pragma once

#include <stdint.h>

class IDataDownloadSessionEventListener {
  public:
    virtual void OnDataComplete(const void* buffer, int64_t length) = 0;
    virtual void OnDataFailed(int32_t reason) = 0;
    // Once per second while the download runs.
    virtual void OnDataTick() = 0;

  protected:
    ~IDataDownloadSessionEventListener() {}
};
