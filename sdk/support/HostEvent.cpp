#include "sdk/support/HostEvent.h"

#include "opn/platform/pfHostWindow.h"

void DeliverHostEvent(const HostTarget& host, uint32_t code, uint32_t handle) {
    if (host.window)
        PfPostHostMessage(host.window, SWARMFETCH_WM_EVENT, code, (intptr_t)handle);
    if (host.callback)
        host.callback(code, handle, host.user);
}
