#include "sdk/download/CContentLengthChecker.h"

#include <new>

#include "opn/platform/cpCMutex.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovCString.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/platform/pfClock.h"
#include "sdk/download/IContentLengthCheckerEventListener.h"
#include "sdk/api/SwarmFetch.h"
#include "sdk/download/ByteCount.h"
#include "sdk/download/CContentLengthCheckSession.h"
#include "sdk/support/ServiceLog.h"

namespace {

// The start timer fires at the next tick of the timer manager.
const uint32_t kStartDelayMs = 1;

}  // namespace

CContentLengthChecker::CContentLengthChecker(const ovSmartPtr& lock) : m_lock(lock) {}

CContentLengthChecker::~CContentLengthChecker() {
    ovCAutoLock hold(m_lock);
    if (!m_startTimer.IsEmpty()) {
        m_startTimer.As<cpCTimer>()->Stop();
        m_startTimer.Reset();
    }
    StopAll();
}

void CContentLengthChecker::SetListener(IContentLengthCheckerEventListener* listener) {
    ovCAutoLock hold(m_lock);
    m_listener = listener;
}

void CContentLengthChecker::SetConnectionPool(HttpConnectionPool* pool) {
    ovCAutoLock hold(m_lock);
    m_pool = pool;
    for (int32_t i = 0; i < m_sessions.Count(); ++i)
        Session(i)->SetConnectionPool(pool);
}

int32_t CContentLengthChecker::AddUrl(const char* urlList) {
    ovCAutoLock hold(m_lock);
    CContentLengthCheckSession* session =
        new (std::nothrow) CContentLengthCheckSession(this, m_lock);
    if (!session)
        return SF_RESULT_FAILED;
    session->SetConnectionPool(m_pool);
    session->SetUrl(m_sessions.Count(), urlList);
    if (!m_sessions.AddTail(session)) {
        delete session;
        return SF_RESULT_FAILED;
    }
    return SF_RESULT_OK;
}

int64_t CContentLengthChecker::GetTotal() const {
    ovCAutoLock hold(m_lock);
    return m_total;
}

void CContentLengthChecker::Start() {
    ovCAutoLock hold(m_lock);
    if (m_running || !m_startTimer.IsEmpty())
        return;
    // Run on the library thread, like every later step of the check.
    if (m_startTimer.CreateInstance(OV_CLSID_TIMER) &&
        OV_SUCCEEDED(m_startTimer.As<cpCTimer>()->Start(
            kStartDelayMs, &CContentLengthChecker::OnStartTimer, this, kTimerTagStart, m_lock)))
        return;
    m_startTimer.Reset();
    Run();
}

void CContentLengthChecker::OnStartTimer(void* self) {
    CContentLengthChecker* checker = static_cast<CContentLengthChecker*>(self);
    if (!checker->m_startTimer.IsEmpty()) {
        checker->m_startTimer.As<cpCTimer>()->Stop();
        checker->m_startTimer.Reset();
    }
    checker->Run();
}

void CContentLengthChecker::Run() {
    m_startTime = ClockUnixSeconds();
    LogPrintf("[SwarmFetchLib] Start ContentLength Check file:%d", (int)m_sessions.Count());
    m_total = 0;
    m_completed = 0;
    m_nextIndex = 0;
    m_inFlight = 0;
    m_running = true;
    if (m_sessions.Count() == 0) {
        End();
        if (m_listener)
            m_listener->OnSizeCheckComplete(m_total);
        return;
    }
    StartMore();
}

CContentLengthCheckSession* CContentLengthChecker::Session(int32_t index) {
    return static_cast<CContentLengthCheckSession*>(m_sessions.GetAt(index));
}

void CContentLengthChecker::StartMore() {
    const uint32_t ends = m_ends;
    while (m_running && m_nextIndex < m_sessions.Count() && m_inFlight < kMaxInFlight) {
        CContentLengthCheckSession* session = Session(m_nextIndex);
        ++m_inFlight;
        ++m_nextIndex;
        session->Start();
        // A session that cannot even be opened fails inside Start.
        if (m_ends != ends)
            return;
    }
}

void CContentLengthChecker::StopAll() {
    while (m_sessions.Count() > 0) {
        CContentLengthCheckSession* session =
            static_cast<CContentLengthCheckSession*>(m_sessions.RemoveAt(m_sessions.Count() - 1));
        session->Release();
        session->SetListener(nullptr);
        delete session;
    }
    m_inFlight = 0;
    m_nextIndex = 0;
}

void CContentLengthChecker::End() {
    StopAll();
    m_running = false;
    ++m_ends;
}

void CContentLengthChecker::OnLengthKnown(int32_t fileIndex, int64_t length) {
    (void)fileIndex;
    if (!m_running)
        return;
    m_total = AddByteCount(m_total, length);
    ++m_completed;
    --m_inFlight;
    if (m_completed < m_sessions.Count()) {
        StartMore();
        return;
    }
    LogPrintf("[SwarmFetchLib] ContentLength Check Complete file:%d sec:%d", (int)m_completed,
              (int)(ClockUnixSeconds() - m_startTime));
    End();
    if (m_listener)
        m_listener->OnSizeCheckComplete(m_total);
}

void CContentLengthChecker::OnLengthFailed(int32_t fileIndex, const char* url) {
    (void)fileIndex;
    if (!m_running)
        return;
    // The text belongs to the session, which the end deletes.
    ovCString first;
    first.Assign(url);
    End();
    if (m_listener)
        m_listener->OnSizeCheckFailed(first.CStr());
}

void CContentLengthChecker::OnLengthHostUnreachable(int32_t fileIndex) {
    (void)fileIndex;
    if (!m_running)
        return;
    End();
    if (m_listener)
        m_listener->OnSizeCheckAborted();
}
