// The last ten rate samples of a transfer, each with the engine's time stamp
// (seconds). The average takes the samples of the ten seconds up to the
// newest one, so a rate shown to the user follows changes within seconds
// without jumping with every report.
//
// Threads: a value of its owner's (the engine downloader's, on the library
// thread or under the library lock); no lock of its own.
#pragma once

#include <stdint.h>

class CRateHistory {
  public:
    static const int32_t kSamples = 10;
    static const int64_t kWindowSec = 10;

    CRateHistory() { Clear(); }

    void Add(int64_t time, int32_t rate);
    // Mean of the samples whose time is not 0 and at most kWindowSec before
    // the newest; 0 without such samples.
    int32_t Average() const;
    void Clear();

  private:
    struct Sample {
        int64_t time;
        int32_t rate;
    };
    Sample m_samples[kSamples];
    int32_t m_newest;  // -1 when empty
};
