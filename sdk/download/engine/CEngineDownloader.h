// The engine downloader: the job downloader that hands jobs to the local
// download engine instead of downloading them itself. It keeps the engine
// installed and current (one CEngineLauncher per update run), connected on
// 127.0.0.1:kEnginePort, registers every job it holds with the engine and
// turns the engine's reports into the job events the plain downloader
// raises: size info, progress, file done, job done, messages, the resume
// question.
//
// When the engine cannot be made to work the jobs go back to the plain
// downloader through the job manager: an update that fails, an engine folder
// that cannot be written, an engine that gives a job back or fails it, a job
// that moves no byte or file for kStallDeadlineSec or sees more than
// kMaxEngineRestarts engine restarts (EngineDeadlines), and more than
// kMaxQuickLaunches engine starts whose connection each ended within
// kQuickDropSec of connecting. A freshly started engine that does not take
// the connection yet is tried again each second, up to kConnectAttempts
// times, before the start counts as failed.
//
// Its pieces, each in a file of its own:
// - EngineConnection: the connection to the engine on 127.0.0.1.
// - the job protocol, here: jobs registered with the engine (one Record a
//   registration), sent, cancelled, and the engine's reports turned into
//   job events.
// - EngineDeadlines: how long the engine may keep jobs waiting.
// - EngineReportChecks: each report held to what the job is.
// - EngineVerification: files with a hash checked after the engine is done.
//
// Every wait is bounded:
// - Jobs wait for the update, the engine start and the connection at most
//   kUpdateDeadlineSec from the first of them: then the update run is deleted
//   where it stands (its downloads close, keeping their bytes for the next
//   run; an engine it has not started yet is never started). When the update
//   itself was still running and a working engine is installed
//   (InstalledEngine.h), that engine is started and connected as after an
//   update (SF_EVENT_ENGINE_READY), with kUpdateDeadlineSec of its own, once
//   until a connection is made; otherwise SF_EVENT_ENGINE_FAILED follows and
//   the jobs go to the plain downloader.
// - A job the engine has not accepted within kAcceptWaitSec of registering
//   counts as a dropped connection (the engine is started again), and one
//   still not accepted kAnswerDeadlineSec after it was first sent gives the
//   engine up: an engine that takes connections but never answers hands its
//   jobs back. So does an accepted job without a report for
//   kReportDeadlineSec (unless the host has yet to answer a resume
//   question): an engine that accepts and then falls silent.
//
// Nothing the engine reports is taken on trust: a file report counts only
// when its path is one of the job's own entries (folder plus name, letter
// case ignored as Windows does; the host is told the entry's own path and
// URL), a job is done only when every entry's file is there at its expected
// size (any size when unknown; otherwise the job goes to the plain
// downloader like one the engine gave back), byte and file counts are
// clamped to the job's, and what reaches the host is bounded: messages
// while kMaxEngineMessages of a job are pending are dropped, network and
// engine-state reports only count when they change (engine-state events at
// most once a second, the latest state), and a resume question waits for
// the host's answer before the next one.
//
// An entry with a SHA-256 (DownloadEntry::hasSha256) counts only once its
// file was hashed (EngineVerification.h); a file that does not match is
// fetched again by the plain downloader's session.
//
// Once the job manager has given the engine up it calls Retire(): from then
// on nothing reaches a job or the manager, and the manager deletes the object
// on a later turn of the loop (never inside one of its own calls).
//
// Threads: everything runs on the library thread or under the library lock.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovCString.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwICDNLocalClientEventListener.h"
#include "sdk/download/CJobDownloader.h"
#include "sdk/download/engine/EngineConnection.h"
#include "sdk/download/engine/EngineDeadlines.h"
#include "sdk/download/engine/EngineVerification.h"
#include "sdk/download/engine/ILauncherEventListener.h"
#include "sdk/download/engine/RateHistory.h"

class CEngineLauncher;
class ovICDNLocalClientLayer;
struct DownloadEntry;

class CEngineDownloader : public CJobDownloader,
                          public ILauncherEventListener,
                          public nwICDNLocalClientEventListener,
                          private EngineDeadlines::Jobs,
                          private EngineVerification::Owner {
  public:
    static const uint16_t kEnginePort = 57006;
    static const int32_t kMaxQuickLaunches = 5;
    static const int64_t kQuickDropSec = 30;
    static const int64_t kAcceptWaitSec = 10;
    static const int64_t kAnswerDeadlineSec = EngineDeadlines::kAnswerDeadlineSec;
    static const int64_t kReportDeadlineSec = EngineDeadlines::kReportDeadlineSec;
    static const int64_t kUpdateDeadlineSec = EngineDeadlines::kUpdateDeadlineSec;
    static const int64_t kStallDeadlineSec = EngineDeadlines::kStallDeadlineSec;
    static const int32_t kMaxEngineRestarts = EngineDeadlines::kMaxEngineRestarts;
    // Messages of a job, pending for the host, beyond which the engine's
    // reports add none.
    static const int32_t kMaxEngineMessages = 32;
    static const uint32_t kConnectTimeoutSec = EngineConnection::kConnectTimeoutSec;
    // Connects tried, one a second, before a start counts as failed.
    static const int32_t kConnectAttempts = 5;

    // `lock` is the library lock. Nothing runs before StartUpdate.
    CEngineDownloader(IJobDownloadEventListener* manager, const ovSmartPtr& lock);
    ~CEngineDownloader() override;
    CEngineDownloader(const CEngineDownloader&) = delete;
    CEngineDownloader& operator=(const CEngineDownloader&) = delete;

    // For tests: the engine's port in this process (0 restores kEnginePort).
    static void SetEnginePortForTesting(uint16_t port);
    // For tests: the clock (seconds since 1970) that times connections,
    // unaccepted jobs and the update's deadline; null restores the system's.
    static void SetClockForTesting(int64_t (*now)());
    // For tests: seconds an unaccepted job waits (0 restores kAcceptWaitSec).
    static void SetAcceptWaitForTesting(int64_t seconds);

    // CJobDownloader
    int32_t Begin(CJob* job) override;
    void End(CJob* job) override;
    void CheckConnection(CJob* job) override;
    int32_t OnResumeReply(CJob* job, uint8_t resume, uint8_t applyToAll) override;
    void Retire() override;

    // The first update run: the engine is brought up to date, started and
    // connected. The manager calls it once both downloaders exist, since a
    // run that fails at once hands the jobs to the plain one.
    void StartUpdate();
    // Kept for every later connection; sent at once when connected.
    void SetEngineParameter(const char* text) override;

    // Inspection for tests (under the library lock).
    bool Connected() const { return m_connected; }
    int32_t LaunchCount() const { return m_launchCount; }

    // ILauncherEventListener
    void OnUpdateStarted(const char* text, int32_t a, int32_t b) override;
    void OnUpdateProgress(const char* text, int32_t a, int32_t b) override;
    void OnEngineUpdated() override;
    void OnEngineUpdateFailed() override;
    void OnUpdateWaiting() override;
    void OnEngineInstallFailed(int32_t kind) override;

    // nwICDNLocalClientEventListener
    void OnEngineConnected(uint32_t key) override;
    void OnJobAccepted(uint32_t key, uint32_t jobNumber, uint32_t engineJobId, uint32_t entryCount,
                       uint64_t totalSize) override;
    void OnJobFailed(uint32_t key, uint32_t jobNumber, uint32_t value, const char* text,
                     const uint8_t* tail) override;
    void OnJobProgress(uint32_t key, const nwEngineProgressBlock& block,
                       const nwEngineEntryReport* reports, uint32_t reportCount) override;
    void OnFileDone(uint32_t key, uint32_t jobNumber, uint32_t engineJobId, const char* localPath,
                    const char* url) override;
    void OnFileDoneAs(uint32_t key, uint32_t jobNumber, uint32_t engineJobId, const char* localPath,
                      const char* reportedPath, const char* url) override;
    void OnJobFinished(uint32_t key, uint32_t jobNumber, uint32_t engineJobId, uint32_t value,
                       uint32_t result, uint32_t giveUp) override;
    void OnDiskReport(uint32_t key, uint32_t jobNumber, uint32_t engineJobId, uint8_t flag,
                      const char* text) override;
    void OnNetworkLost(uint32_t key) override;
    void OnNetworkBack(uint32_t key) override;
    void OnEngineClosed(uint32_t key) override;
    void OnEngineConnectFailed(uint32_t key) override;
    void OnResumeQuestion(uint32_t key, uint32_t jobNumber) override;
    void OnEngineState(uint32_t key, uint32_t state) override;

    // Inspection for tests (under the library lock): files being hashed.
    int32_t HashesPending() const { return m_verification.HashesPending(); }

  private:
    struct Record;

    // EngineDeadlines::Jobs
    bool StillHeld(const CJob* job) const override;
    bool AwaitsHost(const CJob* job) const override;
    // EngineVerification::Owner
    void OnFileVerified(CJob* job, const char* path, const char* urlList) override;
    void OnVerificationMessage(CJob* job, int32_t code, const char* text) override;
    void OnJobVerified(CJob* job, uint32_t result, int64_t total, int64_t ranFor,
                       int64_t kept) override;
    bool VerificationRetired() const override;

    void StartLauncher();
    // Ends the wait for the update or the engine when it ran out of time;
    // true when the engine was given up, or the installed one started in the
    // update's place.
    bool CheckDeadlines(int64_t now);
    // The engine reported on a job it accepted: its silence starts again.
    void HeardAbout(const CJob* job);
    // The job goes on in the plain downloader (SF_MSG_ENGINE_GAVE_UP).
    void HandBack(CJob* job);
    // Forgets the job's registration and tells the engine to drop it.
    void CancelAtEngine(CJob* job);
    // Cancels the job at the engine, then hands it back.
    void GiveBack(CJob* job);
    // Hands back the stalled or too often restarted job `late` names.
    void GiveBackLate(const EngineDeadlines::Late& late);
    // The engine's byte count for the job, or its files: a stall ends.
    void NoteMovement(CJob* job, int64_t bytesDone);
    // The job's entry at `path`; null for any other path (the first such
    // report of a registration is logged).
    const DownloadEntry* EntryAt(CJob* job, const char* path, uint32_t jobNumber);
    void FinishJob(CJob* job, uint32_t result, int64_t total, int64_t ranFor, int64_t kept);
    // SF_EVENT_ENGINE_STATE for the latest engine state when it changed, at
    // most once a watch period.
    void RaiseEngineState();
    // A message (SF_EVENT_MESSAGE) for a held job, unless kMaxEngineMessages
    // are pending.
    void QueueEngineMessage(CJob* job, int32_t code, const char* text);
    // Deletes launchers whose run has ended (never from inside their calls).
    void ReapLaunchers();
    void Connect();
    void ReleaseConnection();
    // SF_RESULT_FAILED, with nothing of the job left registered, when its
    // record could not be made or its messages not sent (an entry the
    // engine's message cannot carry, a connection that is gone).
    int32_t Register(CJob* job);
    // Registers a held job that has no record; one that cannot be registered
    // is handed back.
    void RegisterHeld(CJob* job);
    // False when a message could not be made or sent.
    bool SendJob(ovICDNLocalClientLayer* engine, CJob* job);
    Record* FindRecord(uint32_t jobNumber) const;
    Record* FindRecord(const CJob* job) const;
    void DropRecord(Record* record);
    void ForgetRecords();
    // The held job with that number; null when the engine names another.
    CJob* JobFor(uint32_t jobNumber) const;
    ovICDNLocalClientLayer* Engine() const;
    void QueueForEveryJob(int32_t code);
    void StartWatch();
    static void OnWatch(void* self);

    ovSmartPtr m_lock;
    EngineConnection m_connection;
    bool m_connected = false;
    int32_t m_connectAttempts = 0;  // since the engine was last started
    // The installed engine was started for a late update; cleared by a
    // connection.
    bool m_installedTried = false;
    bool m_reconnect = false;  // the watch timer connects again
    CEngineLauncher* m_launcher = nullptr;
    ovCPtrList m_oldLaunchers;  // ended runs, deleted by the watch timer
    int32_t m_launchCount = 0;
    int64_t m_connectedAt = 0;
    ovSmartPtr m_watch;
    CRateHistory m_jobRates;
    CRateHistory m_fileRates;
    ovCString m_parameter;
    ovCPtrList m_records;  // Record*
    EngineDeadlines m_deadlines;
    bool m_networkLost = false;  // as the engine last reported
    bool m_haveState = false;
    uint32_t m_state = 0;         // the engine state last reported to the host
    uint32_t m_latestState = 0;   // as the engine last reported it
    bool m_stateWaiting = false;  // m_latestState not looked at yet
    bool m_stateRaised = false;   // an event went out in this watch period
    EngineVerification m_verification;
};
