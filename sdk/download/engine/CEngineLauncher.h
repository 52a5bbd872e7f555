// One update run of the local engine: owns the engine-update downloader,
// starts it, and turns its outcome into the engine downloader's terms.
//
// The run's end ("[SwarmFetchLib] Patch Success" when every download was fine
// and the manifest named a version, else "[SwarmFetchLib] Patch Fail") goes to
// the service log; the engine counts as updated when it was started or every
// download was fine.
//
// Threads: the engine downloader's: the library thread, or under the library
// lock.
#pragma once

#include <stdint.h>

#include "sdk/download/engine/IDownloaderEventListener.h"
#include "sdk/download/engine/ILauncherEventListener.h"

class CDownloader;

class CEngineLauncher : public IDownloaderEventListener {
  public:
    explicit CEngineLauncher(ILauncherEventListener* listener);
    // Ends the run where it stands (downloads cancelled); reports nothing.
    virtual ~CEngineLauncher();
    CEngineLauncher(const CEngineLauncher&) = delete;
    CEngineLauncher& operator=(const CEngineLauncher&) = delete;

    // Begins the update. Kept apart from construction so that a run that
    // ends at once finds its owner already holding it. False when the
    // downloader could not be made.
    bool Start();
    // After the run's final report nothing more will come.
    bool Ended() const { return m_ended; }

    // IDownloaderEventListener
    void OnWaitingForNetwork() override;
    void OnSizeKnown(const char* url, int32_t sizeLow, int32_t sizeHigh) override;
    void OnProgress(const char* url, int32_t bytesLow, int32_t bytesHigh) override;
    void OnFinished(int32_t launched, int32_t allOk, const char* version) override;
    void OnInstallFailed(int32_t kind) override;

  private:
    CDownloader* m_downloader = nullptr;
    ILauncherEventListener* m_listener;
    bool m_ended = false;
};
