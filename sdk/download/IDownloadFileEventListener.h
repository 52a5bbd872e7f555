// What a download file record hands to its list: the manifest and the
// archives, complete in memory.
#pragma once

#include <stdint.h>

class CDownloadFile;
struct HashListHolder;

class IDownloadFileEventListener {
  public:
    virtual int32_t OnManifest(CDownloadFile* record, const uint8_t* data, int64_t size) = 0;
    // `holder` is null when the archive has no hash list.
    virtual int32_t OnArchive(CDownloadFile* record, const HashListHolder* holder,
                              const uint8_t* data, int64_t size) = 0;

  protected:
    ~IDownloadFileEventListener() {}
};
