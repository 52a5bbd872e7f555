// The ranged file download session: downloads the files of one job one after
// the other over the library's HTTP client layer, writing each straight to
// disk. The plain downloader creates one per file of a job (Start with
// `onlyEntry`; FilesInFlight.h runs several at once), gives it its listener,
// the speed choice and the job's shared budget, and starts it once.
//
// Start(job) copies the job's entries (index, URL list, folder, file name,
// tag) and keeps no reference to the job; entries without URL list, folder
// or file name are skipped. Each entry's URL list is one URL or mirror URLs
// separated by '|', tried in order with kTriesPerUrl tries each
// (TryBudget.h): a failed attempt that kept a real amount of the file for
// the next one to continue uses up no try, and no file gets more than
// TryBudget::kMaxAttempts attempts ("[SwarmFetchLib] Attempt Max Over (<n>)
// : <url>"). Every attempt starts from the mirror's own URL, never from where
// an earlier one was redirected.
//
// A file is written as "<name>.part" and renamed to its name (replacing a
// file there) only once it is complete and, when the entry has a SHA-256
// (DownloadEntry::hasSha256), its bytes, hashed as they are written, match.
// A mismatch is a failed attempt, logged "[SwarmFetchLib] Hash Mismatch :
// <url>", and its partial file is deleted. Partial and final files are
// taken only as sole files (pfFile.h): a link, a second name or a FIFO at
// either name is never followed nor read, and is replaced by a file of the
// session's own; the rename moves the file that was written and hashed, and
// fails the session ("[SwarmFetchLib] Rename Failed(32) : <path>") when its
// name was given to another file meanwhile.
//
// Without a hash a partial file is continued only under the validator
// (ETag or Last-Modified) the server gave for its bytes, sent as If-Range
// and kept beside it (ResumeValidator.h); without one every request
// re-creates it empty and asks for "bytes=0-". When a retry re-creates a
// file, the entry's received count starts again at 0 and the job total drops
// by what that entry had counted, so neither ever exceeds the true byte
// count. With a hash an existing
// partial file (of this attempt's retries, or of an earlier run) is hashed
// and continued with "bytes=<length>-"; when such a file then does not
// match, the entry starts once more from byte 0 on the same URL without
// using up a try. And a file already under its name with the known size and
// the hash is reported complete without any request ("[SwarmFetchLib]
// Already Complete : <path>"); its bytes are counted in the job total and in
// GetPresentBytes. Files already on disk (the final files, queued at Start,
// and a partial file before it is continued) are hashed on a worker
// (FileHashQueue.h) while the session waits, looking for the result every
// FileHashQueue::kPollMs; destroying the session gives the hashing up.
// With a connection pool (SetConnectionPool) a connection whose answer
// allows it is kept after each file and the next request to the same host
// goes out on it; when the server closed such a kept connection before
// answering, the request is sent once more on a new connection, which does
// not count as a failed attempt.
// Redirects (301, 302, 303, 307, 308) are
// followed with GET; more than kMaxRedirects in a row count as one failed
// attempt on the mirror's own URL, which the next attempt starts from again.
//
// Answers are checked against the request and the entry's known size (the
// host's, or the size check's) before a byte is written (RangedAnswer.h): a
// 206 must start at the requested offset and run to a total equal to the
// known size, a 200 must be as long as the known size, a 416 (an empty remote
// file) completes only a file of known size 0 or of no known size. A refused
// answer is a failed attempt, logged "[SwarmFetchLib] Answer Refused (<why>) :
// <url>", and the next attempt asks for the whole file without a Range (its
// answer must be a 200, which is written from byte 0). A file is complete only when the bytes on
// disk equal the size the answer announced and the known size; otherwise the attempt failed too. An
// attempt that trickles (LowSpeedGuard.h) is a failed attempt as well, logged "[SwarmFetchLib] Too
// Slow (<bytes> bytes in <s> s) : <url>".
//
// Terminal reports (exactly one per session; the listener may delete the
// session from inside it):
//   OnAllFilesComplete             every entry was written completely.
//   OnSessionFailed(url)           every mirror of an entry was tried
//                                  kTriesPerUrl times, a redirect had no
//                                  Location, a target file could not be
//                                  created, or no entry could be copied (url
//                                  is then "").
//   OnSessionError(SF_MSG_DISK_FULL, url)
//                                  the current file could not be written
//                                  (disk full or any other write failure).
//                                  Its file stays on disk as written, it is
//                                  not reported complete, and the later
//                                  entries are not started.
// After a terminal report the session is idle: no connection, no open file,
// and Ended() is true. Entries, their byte counts and the job total stay
// readable for the statistics report and the last progress record.
//
// Paths: a folder may be in Windows form ("C:\games\x\"), use '/' as its
// separator, or on POSIX be a POSIX path ("/home/u/x"); every missing folder
// of the path is created before the file.
//
// Threads: every call comes on the library thread or under the library lock
// (the plain downloader holds it around its calls); the listener is called
// on the library thread.
#pragma once

#include <stdint.h>

#include "opn/core/ovCString.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwIHttpClientExEventListener.h"
#include "opn/opeerqos/cpCQoS.h"
#include "sdk/download/FileHashQueue.h"
#include "sdk/download/HttpConnectionPool.h"
#include "sdk/download/plain/FileReportEntry.h"
#include "sdk/download/plain/IPlatFormSessionEventListener.h"
#include "sdk/download/plain/PartialFile.h"
#include "sdk/download/plain/TryBudget.h"
#include "sdk/download/LowSpeedGuard.h"
#include "sdk/download/MirrorList.h"

class CJob;
class cpCSharedBudget;
class ovIHttpClientExLayer;
class ovIQoSContext;
struct DownloadEntry;

class CPlatformSession : public nwIHttpClientExEventListener {
  public:
    static constexpr int32_t kTriesPerUrl = TryBudget::kTriesPerMirror;
    static constexpr uint32_t kConnectTimeoutSec = 3;
    static constexpr uint32_t kReceiveTimeoutSec = 3;
    // Receive budgets in bytes per second; full speed is the whole of the
    // library-wide budget.
    static constexpr uint32_t kFullSpeedBudget = cpCQoS::kDefaultLimit;
    static constexpr uint32_t kNormalSpeedBudget = 393216;
    static constexpr uint32_t kTimerTagHash = 0x1000041;

    CPlatformSession();
    // Releases the connection, closes the target file (keeping it as
    // written), frees the entry copies. Reports nothing.
    ~CPlatformSession() override;
    CPlatformSession(const CPlatformSession&) = delete;
    CPlatformSession& operator=(const CPlatformSession&) = delete;

    // A null listener silences every report.
    void SetListener(IPlatFormSessionEventListener* listener, void* context);
    // 1 (the default): kFullSpeedBudget; 0: kNormalSpeedBudget. Takes effect
    // from the next request.
    void SetFullSpeed(int32_t flag);
    // Connections are kept in and taken from `pool` (not owned; it must
    // outlive the session). Null (the default): one connection per request.
    void SetConnectionPool(HttpConnectionPool* pool) { m_pool = pool; }
    // Receive bytes come from `budget` (not owned; connections keep their
    // own reference), shared with the other sessions of the job; null (the
    // default): the receive budget of this session alone.
    void SetSharedBudget(cpCSharedBudget* budget) { m_sharedBudget = budget; }
    // Copies the job's entries and sends the first request. A failure to
    // start is reported at once, from inside Start. Call once.
    // `knownSizes` holds one size per job entry, in the job's order (-1:
    // unknown); without it the sizes the job's entries hold are known. With
    // `onlyEntry` at 0 or above only the job's entry at that position is
    // downloaded (a file fetched again for another downloader).
    void Start(CJob& job, const int64_t* knownSizes = nullptr, int32_t onlyEntry = -1);
    // Ends the session at once and silently, as the destructor does, but
    // callable from inside its own report: nothing more is requested or
    // written, and it is safe to delete on a later turn.
    void Stop();

    // Bytes written for all entries so far (never above their true sum),
    // including the bytes found on disk (below).
    int64_t GetTotalBytes() const { return m_tally.total; }
    // Bytes of the total that were on disk before this session: files
    // found whole and partial files continued from an earlier run.
    int64_t GetPresentBytes() const { return m_tally.present; }
    // Number of entries that received at least one byte; fills the first
    // `capacity` of them into `out` (when not null), in list order.
    int32_t GetReport(FileReportEntry* out, int32_t capacity) const;
    // The entry being downloaded (index, size, start offset, received, file
    // name for the progress record); null before Start, after the last entry
    // and after a terminal report.
    const DownloadEntry* CurrentEntry() const { return m_current; }

    // Inspection for tests and diagnostics.
    bool Ended() const { return m_ended; }
    int32_t EntryCount() const { return m_entryCount; }
    const DownloadEntry* EntryAt(int32_t index) const;
    const ovCString& CurrentUrl() const { return m_currentUrl; }
    // Receive budget given to the connection of the latest request.
    uint32_t ReceiveBudget() const { return m_full ? kFullSpeedBudget : kNormalSpeedBudget; }
    // Requests sent since the session started (every hop and retry).
    int32_t RequestCount() const { return m_requests; }
    // The connection of the request in flight; null between requests.
    ovIQoSContext* Connection() const;

    // nwIHttpClientExEventListener (the key is the request's serial number).
    void OnConnected(uint32_t key) override;
    void OnResponse(uint32_t key) override;
    int32_t OnData(uint32_t key, const uint8_t* data, int32_t length) override;
    void OnComplete(uint32_t key) override;
    void OnSendDrained(uint32_t key) override;
    void OnClosed(uint32_t key) override;
    void OnConnectTimeout(uint32_t key) override;
    void OnReceiveTimeout(uint32_t key) override;
    void OnHostUnreachable(uint32_t key) override;

  private:
    void LoadMirrors();
    // Makes the current entry's per-file state new (after LoadMirrors).
    void EnterEntry();
    // What a hash of a file on disk is awaited for.
    enum Wait { kWaitNone, kWaitWhole, kWaitPart };
    // Queues the hash of every final file that is there at its known size.
    void QueueWholeChecks();
    void TakePartHash();
    // The request or the entry waits for the worker; false when no timer
    // can look for its end.
    bool WaitForHash(Wait what);
    void EndWait();
    // Every hash still queued is given up (the session has ended).
    void DropHashes();
    static void OnHashTimer(void* self);
    // Reports every entry from the current one on that is already whole,
    // then requests the first that is not, or reports the end.
    void StartCurrentEntry();
    // Moves to the next entry; returns the one that was current.
    DownloadEntry* AdvanceEntry();
    // Opens the partial file (PartialFile::Open) and reports it.
    bool OpenTargetFile(bool keepPart);
    // The whole file did not hash right: start again or a failed attempt.
    void ContentMismatch();
    void CloseTargetFile();
    // Sends a request to the current URL; reports failure when the target
    // file cannot be created. A redirect hop continues the attempt before it.
    void SendRequest(bool newAttempt = true);
    // With `fresh` a new connection even when a kept one is there.
    bool Connect(bool fresh = false);
    void ReleaseConnection();
    // After a whole answer: the connection goes to the pool (or is released).
    void ParkConnection();
    void FinishFile();
    // -1 when the current entry's size is not known.
    int64_t KnownSize() const;
    // Judges the answer head of a 200, 206 or 416.
    void TakeAnswer(ovIHttpClientExLayer* http, int32_t status);
    static void OnTooSlow(void* self);
    void FollowRedirect(ovIHttpClientExLayer* http);
    // One failed attempt: retry, next mirror, or give up (TryBudget.h).
    void AttemptFailed();
    // What the attempt added that the next one continues from, and what the
    // file lacked when it began (-1: not known).
    int64_t AttemptGrowth() const;
    int64_t AttemptMissing() const;
    // Logs why the file's attempts ended and fails the session.
    void GiveUp(bool attemptsSpent);
    void WriteFailed(int32_t error);
    void Fail();
    bool IsCurrent(uint32_t key) const { return !m_connection.IsEmpty() && key == m_serial; }

    DownloadEntry* m_current = nullptr;
    ovSmartPtr m_connection;
    HttpConnectionPool* m_pool = nullptr;
    cpCSharedBudget* m_sharedBudget = nullptr;
    // The request in flight, for the pool's rule on kept connections.
    HttpConnectionPool::PooledRequest m_pooled;
    int32_t m_entryIndex = 0;
    int32_t m_full = 1;
    ovCString m_currentUrl;
    DownloadEntry* m_entries = nullptr;  // owned copies, m_entryCount of them
    int64_t* m_knownSizes = nullptr;     // owned, one per copy; -1 unknown
    int32_t m_entryCount = 0;
    MirrorList m_mirrors;
    IPlatFormSessionEventListener* m_listener = nullptr;
    void* m_context = nullptr;

    // The current entry's attempts and mirrors.
    TryBudget m_budget;
    // Redirects followed since the mirror's own URL was last requested.
    int32_t m_redirects = 0;
    int32_t m_requests = 0;
    // A ranged answer was refused: the next request asks for the whole
    // file, without a Range, until an answer to it is taken.
    bool m_askWhole = false;
    // The request in flight: whether it had a Range, the If-Range it sent
    // (empty: none), and where the file stood when its attempt began.
    bool m_ranged = true;
    ovCString m_sentIfRange;
    int64_t m_attemptOffset = 0;
    uint32_t m_serial = 0;
    bool m_ended = false;
    // The file's size as the accepted answer of this request shows it; -1
    // before one was accepted.
    int64_t m_answerSize = -1;
    LowSpeedGuard m_slowGuard{&CPlatformSession::OnTooSlow, this};

    // Bytes on disk for all entries (the job total), and those found there.
    FileTally m_tally;
    FileHashQueue m_hashes;
    // The current entry's file on disk.
    PartialFile m_target{m_hashes, m_tally};
    uint32_t* m_wholeTickets = nullptr;  // owned, one per copy; 0: none
    Wait m_wait = kWaitNone;
    ovSmartPtr m_hashTimer;
};
