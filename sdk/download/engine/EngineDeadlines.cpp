#include "sdk/download/engine/EngineDeadlines.h"

#include <stddef.h>

#include <new>

void EngineDeadlines::WaitForConnection(int64_t now) {
    if (m_waitingSince == 0)
        m_waitingSince = now;
}

bool EngineDeadlines::Sent(const CJob* job, int64_t now) {
    if (Find(job))
        return true;
    try {
        m_owed.push_back(Owed{job, now, false, now, 0, 0, 0});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void EngineDeadlines::Accepted(const CJob* job, int64_t now) {
    Owed* owed = Find(job);
    if (owed) {
        owed->accepted = true;
        owed->since = now;
    }
}

void EngineDeadlines::HeardAbout(const CJob* job, int64_t now) {
    Owed* owed = Find(job);
    if (owed && owed->accepted)
        owed->since = now;
}

void EngineDeadlines::Moved(const CJob* job, int64_t bytesDone, int32_t filesDone, int64_t now) {
    Owed* owed = Find(job);
    if (!owed || (bytesDone <= owed->mostBytes && filesDone <= owed->mostFiles))
        return;
    owed->mostBytes = bytesDone > owed->mostBytes ? bytesDone : owed->mostBytes;
    owed->mostFiles = filesDone > owed->mostFiles ? filesDone : owed->mostFiles;
    owed->movedSince = now;
}

void EngineDeadlines::EngineRestarted() {
    for (Owed& owed : m_owed)
        ++owed.restarts;
}

void EngineDeadlines::HostAnswered(const CJob* job, int64_t now) {
    Owed* owed = Find(job);
    if (owed) {
        // Nothing could move while the engine waited for the host.
        owed->since = now;
        owed->movedSince = now;
    }
}

void EngineDeadlines::Forget(const CJob* job) {
    for (size_t i = 0; i < m_owed.size(); ++i) {
        if (m_owed[i].job == job) {
            m_owed.erase(m_owed.begin() + (std::ptrdiff_t)i);
            return;
        }
    }
}

void EngineDeadlines::Clear() {
    m_owed.clear();
    m_waitingSince = 0;
}

EngineDeadlines::Late EngineDeadlines::Check(int64_t now, int32_t jobCount, bool connected,
                                             const Jobs& jobs) {
    if (jobCount == 0) {
        Clear();
        return Late{kInTime, nullptr};
    }
    if (connected)
        m_waitingSince = 0;
    else if (m_waitingSince == 0)
        m_waitingSince = now;
    if (m_waitingSince != 0 && now - m_waitingSince >= kUpdateDeadlineSec)
        return Late{kUpdateLate, nullptr};
    for (size_t i = 0; i < m_owed.size();) {
        const Owed owed = m_owed[i];
        if (!jobs.StillHeld(owed.job)) {
            m_owed.erase(m_owed.begin() + (std::ptrdiff_t)i);
            continue;
        }
        // An engine that asked the host waits for the answer, however long.
        if (jobs.AwaitsHost(owed.job)) {
            ++i;
            continue;
        }
        if (owed.restarts > kMaxEngineRestarts)
            return Late{kJobRestartedTooOften, owed.job};
        if (now - owed.since >= (owed.accepted ? kReportDeadlineSec : kAnswerDeadlineSec))
            return Late{owed.accepted ? kJobUnreported : kJobUnanswered, owed.job};
        if (now - owed.movedSince >= kStallDeadlineSec)
            return Late{kJobStalled, owed.job};
        ++i;
    }
    return Late{kInTime, nullptr};
}

EngineDeadlines::Owed* EngineDeadlines::Find(const CJob* job) {
    for (Owed& owed : m_owed) {
        if (owed.job == job)
            return &owed;
    }
    return nullptr;
}
