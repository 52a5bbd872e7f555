#include "sdk/download/plain/TryBudget.h"

void TryBudget::Reset(int32_t mirrors) {
    m_mirrors = mirrors > 0 ? mirrors : 0;
    m_mirror = 0;
    m_tries = 0;
    m_attempts = 0;
}

int64_t TryBudget::RealAmount(int64_t missing) {
    if (missing < 0)
        return kRealAmountMax;
    const int64_t tenth = missing / kRealAmountDivisor;
    if (tenth < 1)
        return 1;
    return tenth < kRealAmountMax ? tenth : kRealAmountMax;
}

TryBudget::Next TryBudget::Failed(int64_t grown, int64_t missing) {
    ++m_attempts;
    if (m_mirror >= m_mirrors)
        return kMirrorsSpent;
    // Progress keeps the mirror, but never past the bound on attempts.
    if (grown < RealAmount(missing))
        ++m_tries;
    const bool nextMirror = m_tries >= kTriesPerMirror;
    if (nextMirror) {
        m_tries = 0;
        if (++m_mirror >= m_mirrors)
            return kMirrorsSpent;
    }
    if (m_attempts >= kMaxAttempts)
        return kAttemptsSpent;
    return nextMirror ? kNextMirror : kSameMirror;
}

TryBudget::Next TryBudget::Repeat() {
    ++m_attempts;
    if (m_mirror >= m_mirrors)
        return kMirrorsSpent;
    return m_attempts >= kMaxAttempts ? kAttemptsSpent : kSameMirror;
}
