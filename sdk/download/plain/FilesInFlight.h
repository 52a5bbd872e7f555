// The files of one job in flight at once: the plain downloader fetches up to
// kMaxFilesInFlight files of a job together, one CPlatformSession per file
// (Start with the file's position), each with its own mirrors, tries,
// partial file, resume and repair, while the owner sees one session of the
// whole job, as CPlatformSession reports it:
//
// - file-done reports (OnFileComplete) in the job's order: a later file that
//   finishes first waits until every file before it was reported;
// - one current entry (CurrentEntry), the first file of the list not yet
//   reported, for the progress record;
// - one receive budget for the job as a whole (kFullSpeedBudget or
//   kNormalSpeedBudget of CPlatformSession), shared by the connections of
//   all its files (cpCSharedBudget.h), so no window moves more than it
//   however many connections the job uses;
// - one terminal report. A file that fails (OnSessionFailed, or
//   OnSessionError with SF_MSG_DISK_FULL) ends the job once the files
//   before it are reported: the files after it are stopped and never
//   reported, and no file is started after it; the first failing file of
//   the list names the report.
//
// Files go out on the kept connections of the connection pool, so the files
// of a job to one host share up to kMaxFilesInFlight connections.
//
// Threads: as CPlatformSession (the library thread, or under the library
// lock). The owner may delete this object from inside a terminal report.
#pragma once

#include <stdint.h>

#include "opn/core/ovSmartPtr.h"
#include "sdk/download/CJob.h"
#include "sdk/download/plain/FileReportEntry.h"
#include "sdk/download/plain/IPlatFormSessionEventListener.h"

class CJob;
class CPlatformSession;
class cpCSharedBudget;
class HttpConnectionPool;
class ovIQoSContext;

class FilesInFlight : public IPlatFormSessionEventListener {
  public:
    // Files of one job downloading at once.
    static constexpr int32_t kMaxFilesInFlight = 8;

    FilesInFlight();
    // Stops and frees every file's session, silently.
    ~FilesInFlight() override;
    FilesInFlight(const FilesInFlight&) = delete;
    FilesInFlight& operator=(const FilesInFlight&) = delete;

    // As CPlatformSession.
    void SetListener(IPlatFormSessionEventListener* listener, void* context);
    void SetFullSpeed(int32_t flag);
    void SetConnectionPool(HttpConnectionPool* pool) { m_pool = pool; }
    // Starts the first files. `job` must outlive this object (its owner
    // deletes it before the job); its entries are read as files start.
    // `knownSizes` as for CPlatformSession::Start (copied). May report the
    // end from inside.
    void Start(CJob& job, const int64_t* knownSizes = nullptr);
    // Ends every file at once and silently; callable from inside a report.
    void Stop();

    // As CPlatformSession, summed over the job's files.
    int64_t GetTotalBytes() const;
    int64_t GetPresentBytes() const;
    int32_t GetReport(FileReportEntry* out, int32_t capacity) const;
    // The first file of the list still downloading; null when none.
    const DownloadEntry* CurrentEntry() const;
    bool Ended() const { return m_ended; }
    // The job's receive budget in bytes per second.
    uint32_t ReceiveBudget() const;

    // Inspection for tests: files downloading now, the connection of the
    // first of them (null when none), the job's shared budget.
    int32_t Running() const { return m_running; }
    int32_t MostRunning() const { return m_mostRunning; }
    ovIQoSContext* Connection() const;
    cpCSharedBudget* Budget() const;

    // IPlatFormSessionEventListener: the reports of one file's session
    // (`context` is its lane).
    void OnAllFilesComplete(void* context) override;
    void OnSessionFailed(void* context, const char* url) override;
    void OnFileComplete(void* context, const DownloadEntry* entry) override;
    void OnProgress(void* context) override;
    void OnFileOpened(const char* path, void* context) override;
    void OnSessionError(void* context, int32_t code, const char* url) override;

  private:
    enum State : uint8_t { kWaiting, kRunning, kDone, kReported, kSkipped };
    struct File {
        State state = kWaiting;
        DownloadEntry entry;  // the session's copy once done
    };
    // One file's session; free when `session` is null.
    struct Lane {
        CPlatformSession* session = nullptr;
        int32_t position = -1;
        bool stopped = false;
    };

    // Starts files while lanes are free; then reports what is due.
    void Fill();
    // Reports done files in order, then the end; false when it reported the
    // end (the owner may have deleted this object).
    bool Flush();
    // A file's session ended without its file: the job ends at `position`.
    void FileFailed(Lane* lane, int32_t code, const char* url);
    // Frees the lane of a session that finished (inside its terminal report).
    void Retire(Lane* lane);
    void StopLane(Lane& lane);

    IPlatFormSessionEventListener* m_listener = nullptr;
    void* m_context = nullptr;
    HttpConnectionPool* m_pool = nullptr;
    int32_t m_full = 1;
    ovSmartPtr m_budget;  // cpCSharedBudget

    CJob* m_job = nullptr;
    int64_t* m_known = nullptr;  // owned, one per job entry
    File* m_files = nullptr;     // owned, one per job entry
    int32_t m_count = 0;
    int32_t m_nextStart = 0;   // first file not started yet
    int32_t m_nextReport = 0;  // first file not reported yet
    Lane m_lanes[kMaxFilesInFlight];
    int32_t m_running = 0;
    int32_t m_mostRunning = 0;
    // Bytes of files whose sessions are gone.
    int64_t m_doneTotal = 0;
    int64_t m_donePresent = 0;

    // The first file of the list that failed (m_count: none), and how.
    int32_t m_failAt = 0;
    int32_t m_failCode = 0;  // 0: OnSessionFailed; else OnSessionError's code
    ovCString m_failUrl;
    bool m_ended = false;
    bool m_filling = false;
    // Set while Fill runs: the destructor marks it.
    bool* m_destroyed = nullptr;
};
