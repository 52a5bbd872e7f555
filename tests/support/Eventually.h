// Waits on the test thread for a condition another thread brings about (the
// library thread, a server, a child process).
#pragma once

#include <stdint.h>

#include <functional>

namespace sftest {

// Checks `done` at once and then every `periodMs` until it holds, `timeoutMs`
// has passed or timeoutMs / periodMs + 1 checks were made. Returns whether it
// held.
bool Eventually(const std::function<bool()>& done, uint32_t timeoutMs = 10000,
                uint32_t periodMs = 10);

}  // namespace sftest
