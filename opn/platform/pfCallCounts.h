// Process-wide counts of the calls that cost per byte: system receives,
// socket notices, loop wake-ups, timer fires and file writes. Relaxed
// atomic increments, always on; benchmarks read them to report calls per
// MiB. Nothing in the library reads them back.
#pragma once

#include <stdint.h>

enum PfCallCount : int32_t {
    kPfCountSockRecv = 0,    // SockRecv calls (served from read-ahead or not)
    kPfCountSystemRecv,      // receives that reached the system
    kPfCountSocketNotice,    // socket notifications handed to the socket manager
    kPfCountReadableNotice,  // ... of them readable notices
    kPfCountLoopWake,        // messages (Windows) or poll returns (POSIX) of the loop
    kPfCountTimerFire,       // thread-timer fires (the 100 ms tick)
    kPfCountFileWrite,       // writes that reached the system
    kPfCountKinds
};

void PfCountCall(PfCallCount kind);
uint64_t PfCallCountOf(PfCallCount kind);
// Short name of a kind, for reports ("recv", "notice", ...).
const char* PfCallCountName(PfCallCount kind);
