// How long the engine downloader waits on the engine, as bookkeeping on the
// times it is given (seconds since 1970, the downloader's clock):
// - Held jobs wait for the update, the engine start and the connection at
//   most kUpdateDeadlineSec from the first of them.
// - A job sent to the engine is answered (accepted) within
//   kAnswerDeadlineSec of its first sending, kept across relaunches so that a
//   series of them does not start that wait again; an accepted job is
//   reported on at least every kReportDeadlineSec, unless the engine asked
//   the host about it and waits for the answer, however long.
// - A job the engine holds moves: a byte more than it ever reported for it,
//   or a file more, at least every kStallDeadlineSec (reports that move
//   nothing keep the engine connected but not the job).
// - A job sees at most kMaxEngineRestarts engine restarts, however long each
//   engine ran: an engine that keeps dropping after the quick-drop window
//   would otherwise be started again (with an elevation prompt) for ever.
// Bookkeeping of a job is kept across engine restarts, so a series of them
// starts none of these waits again.
// The engine downloader looks once a second (Check): a late update or an
// engine that owes an answer or a report is given up; a stalled or too
// often restarted job is handed back alone.
//
// Threads: the engine downloader's: the library thread, or under the library
// lock.
#pragma once

#include <stdint.h>

#include <vector>

class CJob;

class EngineDeadlines {
  public:
    static const int64_t kAnswerDeadlineSec = 15;
    // Seconds an accepted job may go without a report (progress comes every
    // second) while the host owes the engine no answer.
    static const int64_t kReportDeadlineSec = 60;
    static const int64_t kUpdateDeadlineSec = 60;
    // Seconds a job may go without a byte or file moving.
    static const int64_t kStallDeadlineSec = 180;
    static const int32_t kMaxEngineRestarts = 10;

    // What Check asks of the downloader about a job the engine owes.
    class Jobs {
      public:
        virtual bool StillHeld(const CJob* job) const = 0;
        // The engine asked the host about the job and waits for its answer.
        virtual bool AwaitsHost(const CJob* job) const = 0;

        virtual ~Jobs() {}
    };

    // Which wait ran out.
    enum Expiry {
        kInTime,
        kUpdateLate,
        kJobUnanswered,
        kJobUnreported,
        kJobStalled,
        kJobRestartedTooOften
    };
    struct Late {
        Expiry expiry;
        const CJob* job;  // for every kJob* expiry
    };

    // A held job waits for the connection from `now`, unless one waits already.
    void WaitForConnection(int64_t now);
    // Connected: no job waits for the connection.
    void ConnectionUp() { m_waitingSince = 0; }
    // Held jobs wait for another engine's start and connection from `now`.
    void WaitAgain(int64_t now) { m_waitingSince = now; }
    // The job was sent to the engine: it owes an answer from `now`, unless it
    // owed one already. False when memory ran out (nothing is owed).
    bool Sent(const CJob* job, int64_t now);
    // Answered; from now on it owes reports.
    void Accepted(const CJob* job, int64_t now);
    // The engine reported on a job it accepted: its silence starts again.
    void HeardAbout(const CJob* job, int64_t now);
    // The engine's counts for the job: its stall ends when either is more
    // than ever before.
    void Moved(const CJob* job, int64_t bytesDone, int32_t filesDone, int64_t now);
    // The engine is being started again: every job it owes counts one restart.
    void EngineRestarted();
    // The host answered the engine's question: the engine's time starts again.
    void HostAnswered(const CJob* job, int64_t now);
    void Forget(const CJob* job);
    void Clear();

    // The first wait that ran out by `now`, with `jobCount` jobs held and the
    // engine `connected`; jobs no longer held are forgotten on the way.
    // Without held jobs nothing waits, and everything is forgotten.
    Late Check(int64_t now, int32_t jobCount, bool connected, const Jobs& jobs);

  private:
    // Since when the engine owes a job an answer: from its first sending
    // until it is accepted, then from its last report.
    struct Owed {
        const CJob* job;
        int64_t since;
        bool accepted;
        int64_t movedSince;  // last time a byte or file moved
        int64_t mostBytes;   // the most the engine reported
        int32_t mostFiles;
        int32_t restarts;
    };

    Owed* Find(const CJob* job);

    std::vector<Owed> m_owed;
    // Since when a held job waits for the update and the connection; 0
    // while connected or no job waits.
    int64_t m_waitingSince = 0;
};
