// The file-size check of a job: learns the size of every entry whose size
// the host did not give, with one GET per entry (for its first byte, headers only, at most
// kMaxSessions at a time), and checks that each file fits into the free
// space of the volume holding its folder. The plain downloader creates one
// per job, makes itself the listener and starts it with the job.
//
// Start(job) reads the job's entries and keeps no reference to the job.
// Entries with a size are counted as they are and never requested, but must
// fit into the free space too, less what of them is on disk already; the
// others are copied (index, URL list, folder, file name, tag, size, received,
// caller values) and checked by CPlatformFileSizeCheckSession, unless this
// process measured the size of their first URL moments ago (the launcher's
// size check, SizeMemory.h): that size is taken without a request. The check ends
// with exactly one report (ICheckerEventListener.h): the completion with the
// totals, or the first failure; the owner then deletes the checker, which
// deletes the sessions still running.
//
// Threads: Start and the destructor run under the library lock; the sessions
// report on the library thread.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "sdk/download/plain/ICheckerEventListener.h"
#include "sdk/download/plain/IPlatformFileSizeCheckSessionEventListener.h"

class CJob;
class HttpConnectionPool;
class CPlatformFileSizeCheckSession;
struct DownloadEntry;

class CPlatformFileSizeChecker : public IPlatformFileSizeCheckSessionEventListener {
  public:
    static constexpr int32_t kMaxSessions = 8;

    CPlatformFileSizeChecker();
    virtual ~CPlatformFileSizeChecker();
    CPlatformFileSizeChecker(const CPlatformFileSizeChecker&) = delete;
    CPlatformFileSizeChecker& operator=(const CPlatformFileSizeChecker&) = delete;

    // A null listener silences the report.
    void SetListener(ICheckerEventListener* listener, void* context);
    // Reads the job's entries and starts the check. With nothing to request
    // the completion is reported at once, from inside Start. Call once.
    void Start(CJob& job);
    // Given to every size request (CPlatformFileSizeCheckSession); not owned.
    void SetConnectionPool(HttpConnectionPool* pool) { m_pool = pool; }

    // The size the check learnt for the job's entry `index`; -1 when that
    // entry was not checked or its size is not known yet.
    int64_t CheckedSize(int32_t index) const;

    // Inspection for tests.
    int32_t RunningSessions() const { return m_running.Count(); }
    int32_t EntriesToCheck() const { return m_checkCount; }

    // IPlatformFileSizeCheckSessionEventListener
    void OnSizeKnown(void* context) override;
    void OnSizeFailed(void* context, int32_t code, const char* text) override;

  private:
    static constexpr int32_t kCheckFailed = 517;

    void StartSessions();
    enum : int32_t { kNotRemembered, kRememberedTaken, kRememberedFailed };
    // Takes the size measured for the entry's first URL moments ago
    // (SizeMemory.h) as a session's answer would be taken; kRememberedFailed
    // when that failed the check (reported).
    int32_t TakeRemembered(DownloadEntry* entry);
    void Report();
    void Fail(int32_t code, const char* text);
    // A size the host or the URL gave must fit the free space as a checked
    // one does; false (and the failure reported) when it does not.
    bool KnownSizeFits(const DownloadEntry& entry);

    int32_t m_nextIndex = 0;
    int32_t m_finished = 0;
    DownloadEntry* m_toCheck = nullptr;  // owned copies, m_checkCount of them
    int32_t m_checkCount = 0;
    ovCPtrList m_running;  // CPlatformFileSizeCheckSession*, owned
    int64_t m_knownSize = 0;
    int64_t m_knownPresent = 0;
    int32_t m_knownCount = 0;
    ICheckerEventListener* m_listener = nullptr;
    HttpConnectionPool* m_pool = nullptr;
    void* m_context = nullptr;
    bool m_ended = false;
    // Set while a session starts: a failure reported from inside its Start
    // may delete this checker, which then marks the flag.
    bool* m_destroyed = nullptr;
};
