// One thing the engine-update downloader fetches, as its download session
// sees it: which URL to fetch next and what to do with the bytes.
// Its download session calls it on the library thread.
#pragma once

#include <stdint.h>

class ovCString;

// Modes of a URL for a file.
enum DownloadMode : int32_t {
    kDownloadModeUnknown = 0,
    kDownloadModeHashList = 1,
    kDownloadModeManifest = 2,
    kDownloadModeArchive = 3,
    // The publisher's signature over the manifest, fetched before it.
    kDownloadModeSignature = 4,
};

class IProgressFile {
  public:
    // The URL to fetch next, in `out`; always 1.
    virtual int32_t GetKey(ovCString& out) = 0;
    // False right after a hash list (or the manifest's signature) arrived:
    // the archive (the manifest) is fetched next by the same session.
    virtual bool IsFinal() = 0;
    // Takes the downloaded bytes of `url`; `*mode` gets the mode used.
    // Returns a download result (CDownloadFile.h).
    virtual int32_t OnDownloaded(const char* url, const uint8_t* data, int64_t size,
                                 int32_t* mode) = 0;
    // The same with the caller's buffer on offer (allocated with malloc): a
    // file that keeps the bytes beyond the call takes `*buffer` and sets it
    // to null; otherwise the caller still owns it.
    virtual int32_t OnDownloadedBuffer(const char* url, uint8_t** buffer, int64_t size,
                                       int32_t* mode) {
        return OnDownloaded(url, buffer ? *buffer : nullptr, size, mode);
    }
    virtual int32_t GetMode(const char* url) = 0;
    virtual ~IProgressFile() {}
};
