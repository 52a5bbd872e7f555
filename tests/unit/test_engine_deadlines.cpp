// The engine's deadlines as bookkeeping on given times: the wait for the
// update and connection, the answer a sent job is owed (kept across a second
// sending), the reports an accepted job is owed, the movement it is owed, the
// restarts it may see, the host's turn that stops the clock, and jobs no
// longer held that are forgotten.
#include <stdint.h>

#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/download/engine/EngineDeadlines.h"

namespace {

// Jobs are only compared, never read: two distinct addresses stand for them.
int g_jobA = 0;
int g_jobB = 0;
const CJob* const kA = reinterpret_cast<const CJob*>(&g_jobA);
const CJob* const kB = reinterpret_cast<const CJob*>(&g_jobB);

struct FakeJobs : EngineDeadlines::Jobs {
    std::set<const CJob*> held{kA, kB};
    std::set<const CJob*> asked;
    bool StillHeld(const CJob* job) const override { return held.count(job) != 0; }
    bool AwaitsHost(const CJob* job) const override { return asked.count(job) != 0; }
};

enum Step { kWait, kUp, kSend, kAccept, kHear, kAnswer, kAsk, kDrop, kCheck, kCheckOffline };

TEST(EngineDeadlines, EachWaitRunsOutAtItsBoundAndNotBefore) {
    const int64_t t = 1000000;
    const int64_t answer = EngineDeadlines::kAnswerDeadlineSec;
    const int64_t report = EngineDeadlines::kReportDeadlineSec;
    const int64_t update = EngineDeadlines::kUpdateDeadlineSec;
    struct Action {
        Step step;
        const CJob* job;
        int64_t at;
        EngineDeadlines::Expiry expect;  // for the checks
        const CJob* late;
    };
    struct Case {
        const char* name;
        std::vector<Action> actions;
    };
    const EngineDeadlines::Expiry ok = EngineDeadlines::kInTime;
    const Case cases[] = {
        {"update",
         {{kWait, nullptr, t, ok, nullptr},
          {kCheckOffline, nullptr, t + update - 1, ok, nullptr},
          {kCheckOffline, nullptr, t + update, EngineDeadlines::kUpdateLate, nullptr}}},
        {"the first check starts the update wait",
         {{kCheckOffline, nullptr, t, ok, nullptr},
          {kCheckOffline, nullptr, t + update, EngineDeadlines::kUpdateLate, nullptr}}},
        {"connected ends the update wait",
         {{kWait, nullptr, t, ok, nullptr},
          {kUp, nullptr, t + 1, ok, nullptr},
          {kCheck, nullptr, t + update, ok, nullptr},
          {kCheckOffline, nullptr, t + update + 1, ok, nullptr}}},
        {"unanswered, and a second sending keeps the first time",
         {{kSend, kA, t, ok, nullptr},
          {kSend, kA, t + 5, ok, nullptr},
          {kHear, kA, t + 6, ok, nullptr},
          {kCheck, nullptr, t + answer - 1, ok, nullptr},
          {kCheck, nullptr, t + answer, EngineDeadlines::kJobUnanswered, kA}}},
        {"accepted, then silent",
         {{kSend, kA, t, ok, nullptr},
          {kAccept, kA, t + 10, ok, nullptr},
          {kCheck, nullptr, t + 10 + report - 1, ok, nullptr},
          {kHear, kA, t + 20, ok, nullptr},
          {kCheck, nullptr, t + 20 + report - 1, ok, nullptr},
          {kCheck, nullptr, t + 20 + report, EngineDeadlines::kJobUnreported, kA}}},
        {"the host's turn stops the clock until answered",
         {{kSend, kB, t, ok, nullptr},
          {kAsk, kB, t, ok, nullptr},
          {kCheck, nullptr, t + 10 * report, ok, nullptr},
          {kAnswer, kB, t + 10 * report, ok, nullptr},
          {kCheck, nullptr, t + 10 * report + answer - 1, ok, nullptr},
          {kCheck, nullptr, t + 10 * report + answer, EngineDeadlines::kJobUnanswered, kB}}},
        {"a job no longer held is forgotten",
         {{kSend, kA, t, ok, nullptr},
          {kSend, kB, t + 1, ok, nullptr},
          {kDrop, kA, t + 2, ok, nullptr},
          {kCheck, nullptr, t + answer, ok, nullptr},
          {kCheck, nullptr, t + 1 + answer, EngineDeadlines::kJobUnanswered, kB}}},
    };
    for (const Case& c : cases) {
        EngineDeadlines deadlines;
        FakeJobs jobs;
        for (const Action& a : c.actions) {
            switch (a.step) {
                case kWait:
                    deadlines.WaitForConnection(a.at);
                    break;
                case kUp:
                    deadlines.ConnectionUp();
                    break;
                case kSend:
                    deadlines.Sent(a.job, a.at);
                    break;
                case kAccept:
                    deadlines.Accepted(a.job, a.at);
                    break;
                case kHear:
                    deadlines.HeardAbout(a.job, a.at);
                    break;
                case kAsk:
                    jobs.asked.insert(a.job);
                    break;
                case kAnswer:
                    jobs.asked.erase(a.job);
                    deadlines.HostAnswered(a.job, a.at);
                    break;
                case kDrop:
                    jobs.held.erase(a.job);
                    break;
                case kCheck:
                case kCheckOffline: {
                    const EngineDeadlines::Late late =
                        deadlines.Check(a.at, 2, a.step == kCheck, jobs);
                    EXPECT_EQ(a.expect, late.expiry) << c.name << " at +" << a.at - t;
                    EXPECT_EQ(a.late, late.job) << c.name << " at +" << a.at - t;
                    break;
                }
            }
        }
    }
}

// An accepted job is reported on every few seconds (so it is never
// unreported) while the counts say whether it moves.
TEST(EngineDeadlines, AJobThatMovesNothingOrSeesTooManyRestartsIsLate) {
    const int64_t t = 1000000;
    const int64_t stall = EngineDeadlines::kStallDeadlineSec;
    const int32_t restarts = EngineDeadlines::kMaxEngineRestarts;
    struct Move {
        int64_t at;
        int64_t bytes;  // -1: a file report alone
        int32_t files;
    };
    struct Case {
        const char* name;
        std::vector<Move> moves;
        int32_t restarts;
        bool asked;  // the engine waits for the host throughout
        EngineDeadlines::Expiry expect;
    };
    const EngineDeadlines::Expiry ok = EngineDeadlines::kInTime;
    const EngineDeadlines::Expiry stalled = EngineDeadlines::kJobStalled;
    const Case cases[] = {
        {"reports that move nothing", {{t + 50, 0, 0}, {t + 100, 0, 0}}, 0, false, stalled},
        {"the same count again is no movement",
         {{t + 10, 500, 0}, {t + 100, 500, 0}, {t + 150, 400, 0}},
         0,
         false,
         stalled},
        {"a byte more", {{t + 10, 500, 0}, {t + 100, 501, 0}}, 0, false, ok},
        {"a file more", {{t + 10, 500, 0}, {t + 100, -1, 1}}, 0, false, ok},
        {"the host's turn", {}, 0, true, ok},
        {"restarts up to the bound", {{t + 100, 1, 0}}, restarts, false, ok},
        {"one restart more",
         {{t + 100, 1, 0}},
         restarts + 1,
         false,
         EngineDeadlines::kJobRestartedTooOften},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineDeadlines deadlines;
        FakeJobs jobs;
        if (c.asked)
            jobs.asked.insert(kA);
        deadlines.Sent(kA, t);
        deadlines.Accepted(kA, t + 1);
        for (const Move& m : c.moves)
            deadlines.Moved(kA, m.bytes, m.files, m.at);
        for (int32_t i = 0; i < c.restarts; ++i)
            deadlines.EngineRestarted();
        // Reported on just now: only movement and restarts can be late.
        const int64_t now = t + 1 + stall + 60;
        deadlines.HeardAbout(kA, now - 1);
        const EngineDeadlines::Late late = deadlines.Check(now, 1, true, jobs);
        EXPECT_EQ(c.expect, late.expiry);
        EXPECT_EQ(c.expect == ok ? nullptr : kA, late.job);
    }
    // A stall is counted from the last movement, not the first sending.
    EngineDeadlines deadlines;
    FakeJobs jobs;
    deadlines.Sent(kA, t);
    deadlines.Accepted(kA, t);
    deadlines.Moved(kA, 1, 0, t + 100);
    deadlines.HeardAbout(kA, t + 100 + stall - 1);
    EXPECT_EQ(ok, deadlines.Check(t + 100 + stall - 1, 1, true, jobs).expiry);
    deadlines.HeardAbout(kA, t + 100 + stall);
    EXPECT_EQ(stalled, deadlines.Check(t + 100 + stall, 1, true, jobs).expiry);
}

TEST(EngineDeadlines, WithoutHeldJobsNothingWaitsAndAllIsForgotten) {
    EngineDeadlines deadlines;
    FakeJobs jobs;
    deadlines.Sent(kA, 0);
    deadlines.WaitForConnection(0);
    EXPECT_EQ(EngineDeadlines::kInTime, deadlines.Check(1000, 0, false, jobs).expiry);
    // Forgotten: a later check starts the update wait afresh and owes nothing.
    EXPECT_EQ(EngineDeadlines::kInTime, deadlines.Check(2000, 1, true, jobs).expiry);
    deadlines.Sent(kB, 2000);
    deadlines.Forget(kB);
    deadlines.Sent(kA, 3000);
    deadlines.Clear();
    EXPECT_EQ(EngineDeadlines::kInTime, deadlines.Check(9000, 1, true, jobs).expiry);
}

}  // namespace
