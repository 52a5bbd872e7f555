// The plain downloader: runs a job entirely over the library's own HTTP
// stack. Per job it first runs the file-size check, then the job's files,
// up to FilesInFlight::kMaxFilesInFlight at once under one receive budget
// for the job, reported in the job's order (FilesInFlight.h); it turns their reports into the job's
// events (size info, progress records, file done, job done, messages), and when the job ends or is
// stopped it sends the per-file byte counts to the statistics agent.
//
// Once a second, for every job it holds, it asks whether the machine is
// connected (sdk/download/Connectivity.h): on the first check that finds no
// connection every job gets SF_MSG_NETWORK_LOST; on the first check that
// finds it back, the job being checked gets SF_MSG_NETWORK_BACK.
//
// A job whose size check fails gets the check's message and is let go at once.
// A job whose session fails (no mirror answered, a target file could not be
// created, none of its entries could be copied: SF_MSG_FAILED) or could not
// write a file (SF_MSG_DISK_FULL) gets its message and stays held until the
// host stops it; it never reports job done.
//
// Threads: Begin, End and the destructor take the library lock; the check's
// and the session's reports come on the library thread under that lock.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovSmartPtr.h"
#include "sdk/download/CJobDownloader.h"
#include "sdk/download/HttpConnectionPool.h"
#include "sdk/download/plain/ICheckerEventListener.h"
#include "sdk/download/plain/IPlatFormSessionEventListener.h"

class CPlatformFileSizeChecker;
class CPlatformReporter;
class FilesInFlight;

class CPlatFormDownloader : public CJobDownloader,
                            public IPlatFormSessionEventListener,
                            public ICheckerEventListener {
  public:
    // `manager` owns this downloader; `lock` is the library lock.
    CPlatFormDownloader(IJobDownloadEventListener* manager, const ovSmartPtr& lock);
    ~CPlatFormDownloader() override;
    CPlatFormDownloader(const CPlatFormDownloader&) = delete;
    CPlatFormDownloader& operator=(const CPlatFormDownloader&) = delete;

    int32_t Begin(CJob* job) override;
    void End(CJob* job) override;
    void CheckConnection(CJob* job) override;

    // ICheckerEventListener
    void OnFileSizeCheckCompleted(void* context, const FileSizeCheckResult& result) override;
    void OnFileSizeCheckFailed(void* context, int32_t code, const char* text) override;

    // IPlatFormSessionEventListener
    void OnAllFilesComplete(void* context) override;
    void OnSessionFailed(void* context, const char* url) override;
    void OnFileComplete(void* context, const DownloadEntry* entry) override;
    void OnProgress(void* context) override;
    void OnFileOpened(const char* path, void* context) override;
    void OnSessionError(void* context, int32_t code, const char* url) override;

    // Inspection for tests (under the library lock).
    bool HasContext(const CJob* job) const { return FindContext(job) != nullptr; }
    // The job's download session; null before its size check ended.
    FilesInFlight* SessionOf(const CJob* job) const;
    int32_t ContextCount() const { return m_contexts.Count(); }
    bool Offline() const { return m_offline != 0; }
    // The connections kept between requests of every job.
    HttpConnectionPool& Connections() { return m_connections; }

  private:
    struct PlatformJobContext;

    PlatformJobContext* FindContext(const CJob* job) const;
    void StartSizeCheck(PlatformJobContext* context);
    void StartSession(PlatformJobContext* context);
    // Removes the context from the list and frees it with its check and
    // session.
    void DestroyContext(PlatformJobContext* context);
    void SendFileReport(PlatformJobContext* context);
    void ComputeProgress(const PlatformJobContext* context, SwarmFetchProgress* out) const;

    ovCPtrList m_contexts;  // PlatformJobContext*, owned
    CPlatformReporter* m_reporter = nullptr;
    ovSmartPtr m_lock;
    // Kept connections, shared by the size checks and the sessions of all
    // jobs; emptied under the lock before the contexts go.
    HttpConnectionPool m_connections;
};
