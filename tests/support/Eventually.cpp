#include "support/Eventually.h"

#include <chrono>
#include <thread>

namespace sftest {

bool Eventually(const std::function<bool()>& done, uint32_t timeoutMs, uint32_t periodMs) {
    if (periodMs == 0)
        periodMs = 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (uint32_t left = timeoutMs / periodMs;; --left) {
        if (done())
            return true;
        if (left == 0 || std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
    }
}

}  // namespace sftest
