#include "sdk/download/LowSpeedGuard.h"

#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/cpCTimer.h"

namespace {

int64_t NowMs() {
    const TimerTime now = TimerClockNow();
    return now.seconds * 1000 + now.milliseconds;
}

}  // namespace

LowSpeedGuard::LowSpeedGuard(Callback tooSlow, void* user) : m_tooSlow(tooSlow), m_user(user) {}

LowSpeedGuard::~LowSpeedGuard() {
    End();
}

void LowSpeedGuard::Begin(uint32_t receiveBudget) {
    m_floor = receiveBudget / 2 < kFloorBytesPerSecond ? receiveBudget / 2 : kFloorBytesPerSecond;
    Restart(NowMs());
    m_watching = m_floor > 0;
    if (!m_watching) {
        End();
        return;
    }
    if (m_timer.IsEmpty() && m_timer.CreateInstance(OV_CLSID_TIMER) &&
        OV_FAILED(m_timer.As<cpCTimer>()->Start(kCheckPeriodMs, &LowSpeedGuard::OnTimer, this,
                                                kTimerTag, ovSmartPtr())))
        m_timer.Reset();
}

void LowSpeedGuard::End() {
    m_watching = false;
    if (!m_timer.IsEmpty()) {
        m_timer.As<cpCTimer>()->Stop();
        m_timer.Reset();
    }
}

void LowSpeedGuard::Restart(int64_t nowMs) {
    m_beginMs = nowMs;
    m_lastMs = nowMs;
    m_second = 0;
    for (int64_t& slot : m_bytes)
        slot = 0;
}

void LowSpeedGuard::Advance(int64_t nowMs) {
    if (nowMs < m_lastMs || nowMs - m_lastMs > kClockJumpSeconds * 1000) {
        Restart(nowMs);
        return;
    }
    m_lastMs = nowMs;
    const int64_t second = (nowMs - m_beginMs) / 1000;
    if (second - m_second >= (int64_t)kSlots) {
        for (int64_t& slot : m_bytes)
            slot = 0;
        m_second = second;
        return;
    }
    while (m_second < second) {
        ++m_second;
        m_bytes[m_second % kSlots] = 0;
    }
}

void LowSpeedGuard::Add(int64_t bytes) {
    if (!m_watching || bytes <= 0)
        return;
    Advance(NowMs());
    m_bytes[m_second % kSlots] += bytes;
}

int64_t LowSpeedGuard::BytesInWindow() const {
    // The slots of the complete seconds: all but the newest.
    int64_t sum = 0;
    for (uint32_t i = 0; i < kSlots; ++i) {
        if ((int64_t)i != m_second % kSlots)
            sum += m_bytes[i];
    }
    return sum;
}

bool LowSpeedGuard::TooSlow() {
    if (!m_watching)
        return false;
    Advance(NowMs());
    if (m_second < (int64_t)kWindowSeconds)
        return false;
    return BytesInWindow() < (int64_t)m_floor * kWindowSeconds;
}

void LowSpeedGuard::OnTimer(void* self) {
    LowSpeedGuard* guard = static_cast<LowSpeedGuard*>(self);
    if (!guard->TooSlow())
        return;
    guard->End();
    // May delete the guard: nothing after it.
    guard->m_tooSlow(guard->m_user);
}
