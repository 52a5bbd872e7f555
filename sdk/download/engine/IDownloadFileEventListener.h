// What a download file record hands to its list: the manifest and the
// archives, complete in memory.
// Calls come on the library thread.
#pragma once

#include <stdint.h>

class CDownloadFile;
struct HashListHolder;

class IDownloadFileEventListener {
  public:
    virtual int32_t OnManifest(CDownloadFile* record, const uint8_t* data, int64_t size) = 0;
    // Takes `data` (allocated with malloc; may be null). `holder` is null
    // when the archive has no hash list. May answer kDownloadUnpacking: the
    // record then has an unpack under way (CDownloadFile::TakeUnpackResult).
    virtual int32_t OnArchive(CDownloadFile* record, const HashListHolder* holder, uint8_t* data,
                              int64_t size) = 0;

  protected:
    ~IDownloadFileEventListener() {}
};
