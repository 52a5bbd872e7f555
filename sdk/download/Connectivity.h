// The downloaders' connectivity check: the platform's answer
// (opn/platform/pfConnectivity.h), unless a test has forced one.
#pragma once

#include <stdint.h>

enum : int32_t {
    kConnectivityFromSystem = -1,
    kConnectivityLost = 0,
    kConnectivityConnected = 1,
};

bool InternetConnected();

// For tests: makes InternetConnected answer kConnectivityLost or
// kConnectivityConnected until kConnectivityFromSystem restores the
// platform's answer. Any thread; takes effect at the next check.
void SetConnectivityForTesting(int32_t state);
