// The host's size check of a set of files: one CContentLengthCheckSession
// per added URL list, at most kMaxInFlight at a time, in the order added;
// the sum of the lengths found is the total.
//
// The check ends with exactly one report to its listener: complete (every
// file has a length), failed (the first file whose attempts all failed,
// with that file's first URL) or aborted (a host could not be reached).
// The first failure stops every other session at once. The total keeps its
// value after the end.
//
// Threads: AddUrl, Start and GetTotal may be called from any thread; they
// take the library lock. The check itself, and every report, runs on the
// library thread: Start only schedules it there. Without a running timer
// manager (no library thread) it runs inside Start.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovSmartPtr.h"
#include "sdk/download/IContentLengthCheckSessionEventListener.h"

class CContentLengthCheckSession;
class HttpConnectionPool;
class IContentLengthCheckerEventListener;

class CContentLengthChecker : public IContentLengthCheckSessionEventListener {
  public:
    static constexpr int32_t kMaxInFlight = 8;
    // Tag of the timer that moves the start onto the library thread.
    static constexpr uint32_t kTimerTagStart = 0x1000020;

    // `lock` is the library lock.
    explicit CContentLengthChecker(const ovSmartPtr& lock);
    // Stops every session without a report.
    ~CContentLengthChecker() override;
    CContentLengthChecker(const CContentLengthChecker&) = delete;
    CContentLengthChecker& operator=(const CContentLengthChecker&) = delete;

    // Not owned; null silences the check.
    void SetListener(IContentLengthCheckerEventListener* listener);
    // Requests go out on kept connections of `pool` (not owned; null: a new
    // connection each); applies to the sessions there are and to later ones.
    // Set to null, or delete the checker, before the pool goes.
    void SetConnectionPool(HttpConnectionPool* pool);
    // Adds one file: its first URL is checked. SF_RESULT_OK (SF_RESULT_FAILED
    // when out of memory).
    int32_t AddUrl(const char* urlList);
    // Checks the files added since the last check ended (a new check starts
    // its total at 0); does nothing while a check is pending or runs.
    void Start();
    int64_t GetTotal() const;

    // Inspection (under the library lock).
    int32_t SessionCount() const { return m_sessions.Count(); }
    int32_t InFlight() const { return m_inFlight; }
    int32_t Completed() const { return m_completed; }
    bool Running() const { return m_running; }
    // The session of the `index`-th file added; null when there is none.
    CContentLengthCheckSession* Session(int32_t index);

    // IContentLengthCheckSessionEventListener
    void OnLengthKnown(int32_t fileIndex, int64_t length) override;
    void OnLengthFailed(int32_t fileIndex, const char* url) override;
    void OnLengthHostUnreachable(int32_t fileIndex) override;

  private:
    static void OnStartTimer(void* self);
    void Run();
    // Starts sessions in order while fewer than kMaxInFlight are in flight;
    // stops when a started session ended the check.
    void StartMore();
    // Releases and deletes every session, last first.
    void StopAll();
    // Stops every session and marks the check ended.
    void End();

    int64_t m_total = 0;
    int32_t m_nextIndex = 0;
    int32_t m_inFlight = 0;
    int32_t m_completed = 0;
    ovCPtrList m_sessions;  // owned CContentLengthCheckSession*, in the order added
    int64_t m_startTime = 0;
    IContentLengthCheckerEventListener* m_listener = nullptr;
    HttpConnectionPool* m_pool = nullptr;
    ovSmartPtr m_lock;
    ovSmartPtr m_startTimer;
    bool m_running = false;
    // Counts the ends of checks, so a walk learns that a session it started
    // ended the check.
    uint32_t m_ends = 0;
};
