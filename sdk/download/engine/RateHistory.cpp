#include "sdk/download/engine/RateHistory.h"

void CRateHistory::Add(int64_t time, int32_t rate) {
    m_newest = (m_newest + 1) % kSamples;
    m_samples[m_newest].time = time;
    m_samples[m_newest].rate = rate;
}

int32_t CRateHistory::Average() const {
    if (m_newest < 0)
        return 0;
    const int64_t newest = m_samples[m_newest].time;
    int64_t sum = 0;
    int64_t count = 0;
    for (const Sample& sample : m_samples) {
        if (sample.time == 0 || sample.time > newest || newest - sample.time > kWindowSec)
            continue;
        sum += sample.rate;
        ++count;
    }
    return count ? (int32_t)(sum / count) : 0;
}

void CRateHistory::Clear() {
    for (Sample& sample : m_samples)
        sample = Sample{0, 0};
    m_newest = -1;
}
