#include "sdk/download/plain/TryBudget.h"

void TryBudget::Reset(int32_t mirrors) {
    m_mirrors = mirrors > 0 ? mirrors : 0;
    m_mirror = 0;
    m_tries = 0;
    m_attempts = 0;
    m_counted = 0;
    m_left = -1;
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
    const bool real = grown >= RealAmount(missing);
    if (!real)
        ++m_tries;
    // Nearer the end than any attempt before left it: what is left never
    // grows, so there are at most size / RealAmount such attempts.
    const bool nearer = real && m_left >= 0 && missing >= 0 && missing <= m_left;
    if (!nearer)
        ++m_counted;
    if (missing >= 0) {
        const int64_t left = grown >= 0 && grown <= missing ? missing - grown : 0;
        if (m_left < 0 || left < m_left)
            m_left = left;
    }
    const bool nextMirror = m_tries >= kTriesPerMirror;
    if (nextMirror) {
        m_tries = 0;
        if (++m_mirror >= m_mirrors)
            return kMirrorsSpent;
    }
    if (m_counted >= kMaxAttempts)
        return kAttemptsSpent;
    return nextMirror ? kNextMirror : kSameMirror;
}

TryBudget::Next TryBudget::Repeat() {
    ++m_attempts;
    ++m_counted;
    if (m_mirror >= m_mirrors)
        return kMirrorsSpent;
    return m_counted >= kMaxAttempts ? kAttemptsSpent : kSameMirror;
}
