#include "opn/core/ovLog.h"

#include <stdlib.h>

#include <atomic>

namespace {

// Messages up to this size (with the terminator) are formatted on the stack.
const size_t kFormatBufferSize = 512;

std::atomic<ovLogSink> g_sink{nullptr};

}  // namespace

void ovLogSetSink(ovLogSink sink) {
    g_sink.store(sink, std::memory_order_release);
}

void ovLogPrintf(const char* format, ...) {
    const ovLogSink sink = g_sink.load(std::memory_order_acquire);
    if (!sink)
        return;
    va_list args;
    va_start(args, format);
    ovLogFormatTo(sink, format, args);
    va_end(args);
}

void ovLogDebugTrace(const char* format, ...) {
    (void)format;
}

void ovLogFormatTo(ovLogSink write, const char* format, va_list args) {
    if (!format || !write)
        return;
    char fixed[kFormatBufferSize];
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(fixed, sizeof fixed, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if ((size_t)n < sizeof fixed) {
        va_end(again);
        write(fixed);
        return;
    }
    const size_t size = (size_t)n + 1;
    char* big = static_cast<char*>(malloc(size));
    if (!big) {
        va_end(again);
        return;
    }
    int m = vsnprintf(big, size, format, again);
    va_end(again);
    if (m == n)
        write(big);
    free(big);
}
