// Sizes this process measured moments ago, by URL. The launcher's size check
// runs right before the job, and the job's own file-size check would ask the
// same server the same question again; it takes the answer from here while
// it is fresh instead.
//
// Bounded: at most kMaxEntries URLs (a new one beyond that replaces the one
// remembered longest ago) and a size counts for kFreshSeconds after it was
// measured, on the library's timer clock (cpCTimer.h), so tests hold it.
// A clock that went back makes every size stale. Safe from any thread.
#pragma once

#include <stdint.h>

class SizeMemory {
  public:
    static constexpr int32_t kMaxEntries = 2048;
    // Long enough to span the launcher's check and the start of its job,
    // short enough that a file changed on the server is asked about again.
    static constexpr int64_t kFreshSeconds = 60;

    // Remembers `size` (0 or more) of `url` as measured now; a null or empty
    // URL or a negative size is ignored.
    static void Remember(const char* url, int64_t size);
    // The size of `url` measured less than kFreshSeconds ago; -1 when none.
    static int64_t Recall(const char* url);
    // Forgets every URL.
    static void Clear();
    // Entries held (for tests).
    static int32_t Count();
};
