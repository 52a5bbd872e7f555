// What the engine launcher (CEngineLauncher) reports to the engine
// downloader: one update run of the local engine. All reports come on the
// library thread.
#pragma once

#include <stdint.h>

class ILauncherEventListener {
  public:
    // An archive's download began (its URL and size halves).
    virtual void OnUpdateStarted(const char* text, int32_t a, int32_t b) = 0;
    virtual void OnUpdateProgress(const char* text, int32_t a, int32_t b) = 0;
    // The run ended with the engine started or every download fine.
    virtual void OnEngineUpdated() = 0;
    // The run ended without either.
    virtual void OnEngineUpdateFailed() = 0;
    // The content host cannot be reached; the run keeps trying.
    virtual void OnUpdateWaiting() = 0;
    // The run stopped: IDownloaderEventListener::kInstallFolder when the
    // engine's files could not be written.
    virtual void OnEngineInstallFailed(int32_t kind) = 0;

  protected:
    ~ILauncherEventListener() {}
};
