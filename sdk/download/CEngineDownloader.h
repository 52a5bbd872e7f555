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
// that cannot be written, an engine that gives a job back, and more than
// kMaxQuickLaunches engine starts whose connection each ended within
// kQuickDropSec of connecting. A freshly started engine that does not take
// the connection yet is tried again each second, up to kConnectAttempts
// times, before the start counts as failed.
//
// Every wait is bounded:
// - Jobs wait for the update, the engine start and the connection at most
//   kUpdateDeadlineSec from the first of them: then the update run is
//   deleted where it stands (its downloads close, an engine it has not
//   started yet is never started), event 521 follows and the jobs go to the
//   plain downloader.
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
// file was hashed: a file the engine reports done is read on a worker
// (FileHashQueue.h, looked at every FileHashQueue::kPollMs), never on the
// library thread, and reported done to the host only when it matches. A file
// that does not (wrong bytes, wrong size, or none) is deleted and fetched
// alone by a download session of the plain downloader (CPlatformSession),
// which verifies and reports it; should that fail, the job gets the
// session's message and is never done. When the engine reports the job
// done, its hashed files not reported yet are hashed then, and the job is
// done only once every one of them was verified.
//
// Once the job manager has given the engine up it calls Retire(): from then
// on nothing reaches a job or the manager, and the manager deletes the object
// on a later turn of the loop (never inside one of its own calls).
//
// Threads: everything runs on the library thread or under the library lock.
#pragma once

#include <stdint.h>

#include <vector>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovCString.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwICDNLocalClientEventListener.h"
#include "sdk/api/CJobDownloader.h"
#include "sdk/download/FileHashQueue.h"
#include "sdk/download/IPlatFormSessionEventListener.h"
#include "sdk/download/ILauncherEventListener.h"
#include "sdk/download/RateHistory.h"

class CEngineLauncher;
class CPlatformSession;
class ovICDNLocalClientLayer;
struct DownloadEntry;

class CEngineDownloader : public CJobDownloader,
                          public ILauncherEventListener,
                          public nwICDNLocalClientEventListener,
                          public IPlatFormSessionEventListener {
  public:
    static const uint16_t kEnginePort = 57006;
    static const int32_t kMaxQuickLaunches = 5;
    static const int64_t kQuickDropSec = 30;
    static const int64_t kAcceptWaitSec = 10;
    static const int64_t kAnswerDeadlineSec = 15;
    // Seconds an accepted job may go without a report (progress comes every
    // second) while the host owes the engine no answer.
    static const int64_t kReportDeadlineSec = 60;
    static const int64_t kUpdateDeadlineSec = 60;
    // Messages of a job, pending for the host, beyond which the engine's
    // reports add none.
    static const int32_t kMaxEngineMessages = 32;
    static const uint32_t kConnectTimeoutSec = 1;
    // Connects tried, one a second, before a start counts as failed.
    static const int32_t kConnectAttempts = 5;

    // `lock` is the library lock. Nothing runs before StartUpdate.
    CEngineDownloader(CJobManager* manager, const ovSmartPtr& lock);
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

    // IPlatFormSessionEventListener: a file fetched again.
    void OnAllFilesComplete(void* context) override;
    void OnSessionFailed(void* context, const char* url) override;
    void OnFileComplete(void* context, const DownloadEntry* entry) override;
    void OnProgress(void* context) override;
    void OnFileOpened(const char* path, void* context) override;
    void OnSessionError(void* context, int32_t code, const char* url) override;

    // Inspection for tests (under the library lock): files being hashed.
    int32_t HashesPending() const { return m_hashes.Count(); }

  private:
    struct Record;
    struct Verification;
    // Since when the engine owes a job an answer: from its first sending
    // until it is accepted (kept across relaunches, so a series of them does
    // not start that wait again), then from its last report.
    struct Owed {
        const CJob* job;
        int64_t since;
        bool accepted;
    };

    void StartLauncher();
    // Ends the wait for the update or the engine when it ran out of time;
    // true when the engine was given up.
    bool CheckDeadlines(int64_t now);
    Owed* FindOwed(const CJob* job);
    void ForgetOwed(const CJob* job);
    // The engine reported on a job it accepted: its silence starts again.
    void HeardAbout(const CJob* job);
    // The job goes on in the plain downloader (message 518).
    void HandBack(CJob* job);
    // The job's entry at `path`; null for any other path (the first such
    // report of a registration is logged).
    const DownloadEntry* EntryAt(CJob* job, const char* path, uint32_t jobNumber);
    // Every entry's file is there at its expected size; entries with a
    // hash are left to their verification.
    static bool FilesInPlace(CJob* job);
    // The job's files with a hash: null when it has none (or no memory).
    Verification* VerificationFor(CJob* job);
    Verification* FindVerification(const CJob* job) const;
    // The engine is done with the job: nothing of it is sent any more.
    bool Finishing(const CJob* job) const;
    // Forgets the job's verification: its hashes are dropped, its session
    // stops (deleted on a later turn).
    void DropVerification(const CJob* job);
    // The engine reports the entry's file done: it is hashed, or fetched
    // again when it is not there at its size.
    void CheckFile(Verification* check, int32_t index);
    void JudgeFile(Verification* check, int32_t index, Sha256Stream& hash, int64_t length);
    // The file is wrong: it goes, and is fetched again.
    void FileWrong(Verification* check, int32_t index);
    // Fetches the next wrong file of the job, when none is being fetched.
    void StartRefetch(Verification* check);
    // The session fetching a file ended (SF_RESULT_OK: the file was fetched
    // and verified; otherwise the message for the job).
    void RefetchEnded(Verification* check, int32_t code, const char* url);
    // Reports the job done once the engine did and every file is verified.
    void FinishWhenVerified(Verification* check);
    void FinishJob(CJob* job, uint32_t result, int64_t total, int64_t ranFor);
    void StartHashTimer();
    static void OnHashTimer(void* self);
    void ReapSessions();
    // Event 530 for the latest engine state when it changed, at most once a
    // watch period.
    void RaiseEngineState();
    // Message 517 for a held job, unless kMaxEngineMessages are pending.
    void QueueEngineMessage(CJob* job, int32_t code, const char* text);
    // Deletes launchers whose run has ended (never from inside their calls).
    void ReapLaunchers();
    void Connect();
    void ReleaseConnection();
    void Register(CJob* job);
    void SendJob(ovICDNLocalClientLayer* engine, CJob* job);
    Record* FindRecord(uint32_t jobNumber) const;
    Record* FindRecord(const CJob* job) const;
    void DropRecord(Record* record);
    void ForgetRecords();
    // The held job with that number; null when the engine names another.
    CJob* JobFor(uint32_t jobNumber) const;
    ovICDNLocalClientLayer* Engine() const;
    void QueueForEveryJob(int32_t code);
    void FillProgress(CJob* job, const nwEngineProgressBlock& block,
                      const nwEngineEntryReport* reports, uint32_t reportCount,
                      SwarmFetchProgress* out);
    void StartWatch();
    static void OnWatch(void* self);

    ovSmartPtr m_lock;
    ovSmartPtr m_connection;  // top layer: the local engine layer
    bool m_connected = false;
    int32_t m_connectAttempts = 0;  // since the engine was last started
    bool m_reconnect = false;       // the watch timer connects again
    CEngineLauncher* m_launcher = nullptr;
    ovCPtrList m_oldLaunchers;  // ended runs, deleted by the watch timer
    int32_t m_launchCount = 0;
    int64_t m_connectedAt = 0;
    ovSmartPtr m_watch;
    CRateHistory m_jobRates;
    CRateHistory m_fileRates;
    ovCString m_parameter;
    ovCPtrList m_records;  // Record*
    std::vector<Owed> m_owed;
    // Since when a held job waits for the update and the connection; 0
    // while connected or no job waits.
    int64_t m_waitingSince = 0;
    bool m_networkLost = false;  // as the engine last reported
    bool m_haveState = false;
    uint32_t m_state = 0;         // the engine state last reported to the host
    uint32_t m_latestState = 0;   // as the engine last reported it
    bool m_stateWaiting = false;  // m_latestState not looked at yet
    bool m_stateRaised = false;   // an event went out in this watch period
    FileHashQueue m_hashes;
    ovSmartPtr m_hashTimer;
    std::vector<Verification*> m_checks;  // owned
    ovCPtrList m_oldSessions;             // CPlatformSession*, deleted by a timer
};
