#include "opn/platform/pfClock.h"

#include <stdio.h>
#include <time.h>

namespace {

const char* const kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

bool ClockLocalTimeText(char* out, size_t size) {
    if (!out || size == 0)
        return false;
    out[0] = '\0';
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local))
        return false;
    if (local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11)
        return false;
    // The ctime layout spelled out, since asctime_r may not be bounded.
    int n = snprintf(out, size, "%s %s %2d %02d:%02d:%02d %d", kWeekdays[local.tm_wday],
                     kMonths[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min,
                     local.tm_sec, local.tm_year + 1900);
    if (n < 0 || (size_t)n >= size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

int64_t ClockUnixSeconds() {
    return (int64_t)time(nullptr);
}

uint64_t ClockTickMs() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return 0;
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}
