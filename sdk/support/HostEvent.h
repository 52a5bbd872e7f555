// Delivery of one event to the host: the posted window message first, then
// the callback, each only when the host gave one.
#pragma once

#include <stdint.h>

#include "sdk/api/SwarmFetch.h"

struct HostTarget {
    HWND window = nullptr;
    SwarmFetchEventCallback callback = nullptr;
    void* user = nullptr;
};

// Posts SWARMFETCH_WM_EVENT (WPARAM `code`, LPARAM `handle`) to the window
// (Windows only) and calls the callback with (code, handle, user), on the
// calling thread.
void DeliverHostEvent(const HostTarget& host, uint32_t code, uint32_t handle);
