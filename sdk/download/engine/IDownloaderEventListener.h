// What the engine-update downloader (CDownloader) reports to its owner, the
// engine launcher. All reports come on the library thread.
#pragma once

#include <stdint.h>

class IDownloaderEventListener {
  public:
    // The content host cannot be reached; the update retries every second
    // until a connection is made.
    virtual void OnWaitingForNetwork() = 0;
    // An archive's size is known (its URL, the size's low and high halves).
    virtual void OnSizeKnown(const char* url, int32_t sizeLow, int32_t sizeHigh) = 0;
    // Bytes of an archive received so far.
    virtual void OnProgress(const char* url, int32_t bytesLow, int32_t bytesHigh) = 0;
    // The update run ended and the engine start was tried: `launched` 1 when
    // a process started, `allOk` 1 when no download failed, `version` the
    // engine version the manifest announced ("" when none).
    virtual void OnFinished(int32_t launched, int32_t allOk, const char* version) = 0;
    // The update cannot go on: kInstallFolder when an archive could not be
    // unpacked or the engine folder could not be made.
    virtual void OnInstallFailed(int32_t kind) = 0;

    enum : int32_t { kInstallFolder = 1 };

  protected:
    ~IDownloaderEventListener() {}
};
