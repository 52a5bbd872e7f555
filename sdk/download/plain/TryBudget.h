// How many attempts one file gets, and on which of its mirrors each goes.
//
// A failed attempt uses up one of its mirror's kTriesPerMirror tries, unless
// it kept a real amount: the partial file, which the next attempt continues,
// grew by at least RealAmount(missing) bytes. A mirror whose tries are used
// up is left for the next; after the last one the file has failed.
//
// Attempts count toward kMaxAttempts unless they kept a real amount of a
// file whose end did not move away (what was missing is at most the least
// any attempt before left): those are bounded by the file's size, so a
// large file over a link that drops every mebibyte still ends, while a host
// that keeps sending a real amount and closing as its total grows ends at
// the bound.
//
// Threads: a value of its owner's: any thread, no lock of its own.
#pragma once

#include <stdint.h>

class TryBudget {
  public:
    static constexpr int32_t kTriesPerMirror = 3;
    static constexpr int32_t kMaxAttempts = 256;
    // A real amount: a tenth of what the file was missing, at most 1 MiB,
    // and at least one byte.
    static constexpr int64_t kRealAmountMax = 1 << 20;
    static constexpr int64_t kRealAmountDivisor = 10;

    enum Next : int32_t {
        kSameMirror,     // the next attempt goes to the same mirror
        kNextMirror,     // to the next mirror (Mirror() is its index)
        kMirrorsSpent,   // every mirror's tries are used up
        kAttemptsSpent,  // kMaxAttempts attempts were made
    };

    // A new file with `mirrors` mirrors; the first one is current.
    void Reset(int32_t mirrors);
    // One failed attempt. `grown`: bytes the partial file grew by that the
    // next attempt continues from (0 when it starts anew); `missing`: bytes
    // the file lacked when the attempt began (-1 when not known).
    Next Failed(int64_t grown, int64_t missing);
    // The attempt is made once more on the same mirror without using up a
    // try; it still counts toward kMaxAttempts.
    Next Repeat();

    // The least growth that does not use up a try.
    static int64_t RealAmount(int64_t missing);

    int32_t Mirror() const { return m_mirror; }
    int32_t TriesUsed() const { return m_tries; }
    int32_t Attempts() const { return m_attempts; }

  private:
    int32_t m_mirrors = 0;
    int32_t m_mirror = 0;
    int32_t m_tries = 0;
    int32_t m_attempts = 0;
    // Attempts counted toward kMaxAttempts, and the least the file lacked
    // after an attempt of known size (-1: none yet).
    int32_t m_counted = 0;
    int64_t m_left = -1;
};
