#include "opn/platform/pfCallCounts.h"

#include <atomic>

namespace {

std::atomic<uint64_t> g_counts[kPfCountKinds];

}  // namespace

void PfCountCall(PfCallCount kind) {
    if (kind >= 0 && kind < kPfCountKinds)
        g_counts[kind].fetch_add(1, std::memory_order_relaxed);
}

uint64_t PfCallCountOf(PfCallCount kind) {
    if (kind < 0 || kind >= kPfCountKinds)
        return 0;
    return g_counts[kind].load(std::memory_order_relaxed);
}

const char* PfCallCountName(PfCallCount kind) {
    static const char* const kNames[kPfCountKinds] = {"sockrecv", "recv",  "notice", "readable",
                                                      "wake",     "timer", "write"};
    return kind >= 0 && kind < kPfCountKinds ? kNames[kind] : "?";
}
