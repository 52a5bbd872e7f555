// Sums of byte counts that come from outside: sizes a host gave, lengths a
// server announced. Each fits an int64_t; their sum may not, and a total
// that wrapped would read as negative or small. Held at INT64_MAX instead,
// which no disk holds, so the free-space checks refuse it.
#pragma once

#include <stdint.h>

// `total` + `bytes` for counts of 0 and above, at most INT64_MAX; a
// negative `bytes` (unknown) adds nothing.
inline int64_t AddByteCount(int64_t total, int64_t bytes) {
    if (bytes <= 0)
        return total;
    return bytes > INT64_MAX - total ? INT64_MAX : total + bytes;
}
