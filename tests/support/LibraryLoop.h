// Runs the test thread's library loop until a condition holds: checked on
// every tick of a library timer (`periodMs`), for at most about `maxMs`.
// Returns the condition's final value.
#pragma once

#include <stdint.h>

#include <functional>

namespace libraryloop {

bool RunUntil(const std::function<bool()>& done, uint32_t maxMs, uint32_t periodMs = 100);

}  // namespace libraryloop
