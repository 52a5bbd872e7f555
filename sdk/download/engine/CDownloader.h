// The engine-update downloader: brings the local download engine up to date
// and starts it. It fetches the update manifest (EngineManifestUrl.h), then
// every archive the manifest selects, each whole into memory, hands them to
// the file list (which checks and unpacks them, CDownloadFileList.h), and
// when the list has run empty starts the engine executable (RunEngine) and
// reports OnFinished(launched, allOk, version) to its listener.
//
// - Archives download in parallel, one session per file; a failed download
//   is tried again while its record has tries left.
// - When the machine has no network (CDownloadSession.h), the listener
//   hears OnWaitingForNetwork once and the downloads are tried again every
//   second with unlimited tries until a connection is made; the engine
//   downloader bounds that wait. A host that refuses the connection or
//   cannot be routed to uses up tries like one that times out.
// - allOk is 0 when a download finished with a failure result or a record
//   was given up after its last try.
// - With a publisher key the manifest comes with its signature, the
//   archive with its SHA-256, and no older engine replaces the installed
//   one (CDownloadFileList.h): a refused manifest or archive fails its
//   attempt like a bad one; a refused downgrade ends the update at once
//   with allOk 0, and the installed engine is started.
// - An archive that cannot be unpacked or an engine folder that cannot be
//   made ends the update: OnInstallFailed(kInstallFolder), nothing more.
// - Archives are checked and unpacked on a worker thread (EngineUnpack.h)
//   while this thread goes on; the downloader looks for the result every
//   kUnpackPollMs and only then ends the attempt as it would any other.
//   Destroying the downloader stops and waits for an unpack under way.
//
// Threads: everything on the library thread. Do not destroy the downloader
// from inside one of its reports; defer that to a later turn of the loop.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovSmartPtr.h"
#include "sdk/download/engine/CDownloadFileList.h"
#include "sdk/download/engine/IDownloadSessionEventListener.h"
#include "sdk/download/engine/IDownloaderEventListener.h"

class CDownloader : public IDownloadSessionEventListener {
  public:
    static constexpr uint32_t kRetryPeriodMs = 1000;
    static constexpr uint32_t kTimerTagRetry = 0x1000031;
    static constexpr uint32_t kUnpackPollMs = 100;
    static constexpr uint32_t kTimerTagUnpack = 0x1000038;

    // Logs "[SwarmFetchLib] Initialize Downloader". `listener` may be null.
    explicit CDownloader(IDownloaderEventListener* listener);
    // Stops the retry timer, deletes the sessions, logs
    // "[SwarmFetchLib] Finalize Downloader".
    ~CDownloader() override;
    CDownloader(const CDownloader&) = delete;
    CDownloader& operator=(const CDownloader&) = delete;

    // Starts with the manifest; logs "[SwarmFetchLib] Begin Update".
    void BeginUpdate();

    // Inspection for tests.
    const CDownloadFileList& Files() const { return m_files; }
    int32_t SessionCount() const { return m_sessions.Count(); }
    bool WaitingForNetwork() const { return !m_retryTimer.IsEmpty(); }
    bool AllOk() const { return m_allOk != 0; }

    void OnSessionConnected(CDownloadSession* session) override;
    void OnSessionFinished(CDownloadSession* session, const DownloadOutcome& outcome) override;
    void OnSessionError(CDownloadSession* session, int32_t code) override;
    void OnSizeKnown(CDownloadSession* session, const char* url, int64_t size) override;
    void OnDownloadProgress(CDownloadSession* session, const char* url, int64_t bytes) override;

  private:
    // Starts the next pending file on an idle session (a new one when
    // `create`); finishes when the list is empty.
    void StartNext(bool create);
    void Finish();
    void DeleteSession(CDownloadSession* session);
    void StopRetryTimer();
    static void OnRetryTimer(void* self);
    // What an attempt's outcome means for the list and the update.
    void EndAttempt(const DownloadOutcome& outcome);
    void WaitForUnpack();
    void StopUnpackTimer();
    static void OnUnpackTimer(void* self);

    IDownloaderEventListener* m_listener;
    CDownloadFileList m_files;
    int32_t m_allOk = 1;
    ovCPtrList m_sessions;  // CDownloadSession*, owned
    ovSmartPtr m_retryTimer;
    // Runs while an archive unpacks.
    ovSmartPtr m_unpackTimer;
    // The update ended (finished, or stopped by an install failure): nothing
    // more is started or reported.
    bool m_ended = false;
};
