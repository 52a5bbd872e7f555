// The content check of files the engine reports done, for entries with a
// SHA-256 (DownloadEntry::hasSha256): such a file counts only once it was
// hashed. It is read on a worker (FileHashQueue.h, looked at every
// FileHashQueue::kPollMs), never on the library thread, and reported done to
// the owner only when it matches. A file that does not (wrong bytes, wrong
// size, or none) is deleted and fetched alone by a download session of the
// plain downloader (CPlatformSession), which verifies and reports it; should
// that fail, the job gets the session's message and is never done. When the
// engine reports the job done, its hashed files not reported yet are hashed
// then, and the job is done only once every one of them was verified.
//
// Threads: everything runs on the library thread or under the library lock.
#pragma once

#include <stdint.h>

#include <vector>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovSmartPtr.h"
#include "sdk/download/FileHashQueue.h"
#include "sdk/download/plain/IPlatFormSessionEventListener.h"

class CJob;
class CPlatformSession;

class EngineVerification : public IPlatFormSessionEventListener {
  public:
    // What the verification tells the engine downloader. Each call may run
    // the host's callback, which may end jobs and their verification.
    class Owner {
      public:
        // The job's file at `path` is verified: file done.
        virtual void OnFileVerified(CJob* job, const char* path, const char* urlList) = 0;
        // A message for the job (a file could not be fetched again).
        virtual void OnVerificationMessage(CJob* job, int32_t code, const char* text) = 0;
        // The engine reported the job done with these values (as given to
        // JobDone) and every file with a hash is verified.
        virtual void OnJobVerified(CJob* job, uint32_t result, int64_t total, int64_t ranFor,
                                   int64_t kept) = 0;
        // The owner is retired: nothing more is started.
        virtual bool VerificationRetired() const = 0;

        virtual ~Owner() {}
    };

    explicit EngineVerification(Owner* owner) : m_owner(owner) {}
    ~EngineVerification() override;
    EngineVerification(const EngineVerification&) = delete;
    EngineVerification& operator=(const EngineVerification&) = delete;

    // The engine reports the file of the job's entry `index` done: it is
    // hashed, or fetched again when it is not there at its size. Nothing
    // happens for a job without entries with a hash.
    void FileDone(CJob* job, int32_t index);
    // The engine reports the job done: false when the job has no entry with
    // a hash (the owner finishes it itself); otherwise its files not reported
    // yet are hashed and OnJobVerified follows once every one is verified
    // (without memory for that, the job gets SF_MSG_FAILED and is never done).
    bool JobDone(CJob* job, uint32_t result, int64_t total, int64_t ranFor, int64_t kept);
    // The engine is done with the job: nothing of it is sent any more.
    bool Finishing(const CJob* job) const;
    // Forgets the job's verification: its hashes are dropped, its session
    // stops (deleted on a later turn).
    void Drop(const CJob* job);
    void DropAll();
    // Files being hashed.
    int32_t HashesPending() const { return m_hashes.Count(); }

    // IPlatFormSessionEventListener: a file fetched again.
    void OnAllFilesComplete(void* context) override;
    void OnSessionFailed(void* context, const char* url) override;
    void OnFileComplete(void* context, const DownloadEntry* entry) override;
    void OnProgress(void* context) override;
    void OnFileOpened(const char* path, void* context) override;
    void OnSessionError(void* context, int32_t code, const char* url) override;

  private:
    struct Check;

    // The job's files with a hash: null when it has none (or no memory).
    Check* CheckFor(CJob* job);
    Check* FindCheck(const CJob* job) const;
    void CheckFile(Check* check, int32_t index);
    void JudgeFile(Check* check, int32_t index, Sha256Stream& hash, int64_t length);
    // The file is wrong: it goes, and is fetched again.
    void FileWrong(Check* check, int32_t index);
    // Fetches the next wrong file of the job, when none is being fetched.
    void StartRefetch(Check* check);
    // The session fetching a file ended (SF_RESULT_OK: the file was fetched
    // and verified; otherwise the message for the job).
    void RefetchEnded(Check* check, int32_t code, const char* url);
    // Reports the job done once the engine did and every file is verified.
    void FinishWhenVerified(Check* check);
    void StartHashTimer();
    static void OnHashTimer(void* self);
    void ReapSessions();

    Owner* m_owner;
    FileHashQueue m_hashes;
    ovSmartPtr m_hashTimer;
    std::vector<Check*> m_checks;  // owned
    ovCPtrList m_oldSessions;      // CPlatformSession*, deleted by a timer
};
