#include "sdk/download/engine/Elevation.h"

#include <atomic>

namespace {

// Written by the host thread, read on the library thread.
std::atomic<int32_t> g_elevation{1};

}  // namespace

int32_t GetElevationFlag() {
    return g_elevation.load(std::memory_order_relaxed);
}

void SetElevationFlag(int32_t value) {
    g_elevation.store(value, std::memory_order_relaxed);
}
