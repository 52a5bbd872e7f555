// Sums of byte counts that come from outside: sizes a host gave, lengths a
// server announced. Each fits an int64_t; their sum may not, and a total
// that wrapped would read as negative or small. Held at INT64_MAX instead,
// which no disk holds, so the free-space checks refuse it.
//
// Threads: functions without state: any thread, no lock.
#pragma once

#include <stdint.h>

// `total` + `bytes` for counts of 0 and above, at most INT64_MAX; a
// negative `bytes` (unknown) adds nothing.
inline int64_t AddByteCount(int64_t total, int64_t bytes) {
    if (bytes <= 0)
        return total;
    return bytes > INT64_MAX - total ? INT64_MAX : total + bytes;
}

// 0 to 100 for any counts: more done than in total (a server that sends
// more than it announced) is 100, and done * 100 is never formed when it
// would not fit.
inline int32_t BytePercent(int64_t done, int64_t total) {
    if (done <= 0 || total <= 0)
        return 0;
    if (done >= total)
        return 100;
    if (done <= INT64_MAX / 100)
        return (int32_t)(done * 100 / total);
    // Here total > done > INT64_MAX / 100, so total / 100 is far above 0;
    // its rounding may lift the share by one, never to 100 before the end.
    const int64_t share = done / (total / 100);
    return (int32_t)(share > 99 ? 99 : share);
}
