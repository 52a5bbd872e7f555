// What the two job downloaders report to the job manager. All reports come on
// the library thread.
#pragma once

#include <stdint.h>

class CJob;

class IJobDownloadEventListener {
  public:
    // The engine downloader began updating the local engine's files.
    virtual void OnEngineUpdateStarted(const char* text, int32_t a, int32_t b) = 0;
    virtual void OnEngineUpdateProgress(const char* text, int32_t a, int32_t b) = 0;
    virtual void OnEngineReady() = 0;
    virtual void OnEngineFailed() = 0;
    // The engine is given up: every running job moves to the plain downloader.
    virtual void OnEngineLost() = 0;
    // The engine downloader hands one job back.
    virtual void OnJobFallback(CJob* job) = 0;
    // kPathEngine or kPathDownload.
    virtual void OnPathAccessFailed(int32_t kind) = 0;
    virtual void OnEngineState(int32_t state) = 0;

    enum : int32_t { kPathEngine = 1, kPathDownload = 2 };

  protected:
    ~IJobDownloadEventListener() {}
};
