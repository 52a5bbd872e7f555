#include "sdk/download/Connectivity.h"

#include <atomic>

#include "opn/platform/pfConnectivity.h"

namespace {

std::atomic<int32_t> g_forced{kConnectivityFromSystem};

}  // namespace

bool InternetConnected() {
    const int32_t forced = g_forced.load();
    if (forced == kConnectivityFromSystem)
        return PfInternetConnected();
    return forced == kConnectivityConnected;
}

void SetConnectivityForTesting(int32_t state) {
    g_forced.store(state);
}
