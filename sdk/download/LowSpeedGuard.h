// Ends a download attempt that brings too few bytes. A stalled connection is
// caught by its receive-idle time-out; a server that trickles (a byte every
// second or two, a head dripped byte by byte) keeps the connection alive and
// is caught here: an attempt that has run for kWindowSeconds and received
// fewer than kFloorBytesPerSecond × kWindowSeconds bytes in the last
// kWindowSeconds has failed.
//
// A session calls Begin when an attempt starts (the redirect hops of one
// attempt share its window), Add for every body byte that arrives, and End
// when the attempt is over. While it watches, a library timer looks at the
// window once a second; the first time it finds the attempt too slow it stops
// watching and calls the callback once, on the library thread. The callback
// may delete the session that owns the guard.
//
// A connection whose receive budget is below twice the floor is held to half
// its budget instead, so a host's deliberately slow budget never trips it; a
// budget of 0 (nothing may move) is not watched.
//
// Times come from the timer clock (cpCTimer.h), which tests set. A gap of
// more than kClockJumpSeconds between two looks (the clock was set, or the
// thread stood still) starts the window again rather than count the gap as
// silence.
#pragma once

#include <stdint.h>

#include "opn/core/ovSmartPtr.h"

class LowSpeedGuard {
  public:
    static constexpr uint32_t kFloorBytesPerSecond = 1024;
    static constexpr uint32_t kWindowSeconds = 30;
    static constexpr int64_t kClockJumpSeconds = 10;
    // No receive budget: the connection may move any amount.
    static constexpr uint32_t kNoBudget = 0xFFFFFFFFu;
    static constexpr uint32_t kTimerTag = 0x1000040;
    static constexpr uint32_t kCheckPeriodMs = 1000;

    typedef void (*Callback)(void* user);

    LowSpeedGuard(Callback tooSlow, void* user);
    ~LowSpeedGuard();
    LowSpeedGuard(const LowSpeedGuard&) = delete;
    LowSpeedGuard& operator=(const LowSpeedGuard&) = delete;

    // Starts watching a new attempt, its window beginning now. The check
    // timer needs the timer manager; without it only TooSlow() tells.
    void Begin(uint32_t receiveBudget = kNoBudget);
    void Add(int64_t bytes);
    void End();

    bool Watching() const { return m_watching; }
    // Bytes per second the attempt must average (0: not held to any).
    uint32_t Floor() const { return m_floor; }
    // Whether the attempt has failed as of now (false while not watching).
    bool TooSlow();
    // Bytes of the last complete kWindowSeconds (for the log).
    int64_t BytesInWindow() const;

  private:
    static void OnTimer(void* self);
    // Moves the window to the second of `nowMs`.
    void Advance(int64_t nowMs);
    void Restart(int64_t nowMs);

    Callback m_tooSlow;
    void* m_user;
    ovSmartPtr m_timer;
    bool m_watching = false;
    uint32_t m_floor = kFloorBytesPerSecond;
    int64_t m_beginMs = 0;
    int64_t m_lastMs = 0;
    // Seconds since m_beginMs of the newest slot.
    int64_t m_second = 0;
    // Bytes per second: slot (second % kSlots) holds that second's bytes.
    static constexpr uint32_t kSlots = kWindowSeconds + 1;
    int64_t m_bytes[kSlots] = {0};
};
