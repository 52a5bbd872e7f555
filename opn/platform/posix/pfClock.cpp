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

int64_t ClockUnixMillis() {
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0)
        return (int64_t)time(nullptr) * 1000;
    return (int64_t)ts.tv_sec * 1000 + (int64_t)(ts.tv_nsec / 1000000);
}

uint64_t ClockTickMs() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return 0;
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

bool ClockLocalToFileTime(int year, int month, int day, int hour, int minute, int second,
                          uint64_t* fileTime) {
    if (!fileTime)
        return false;
    *fileTime = 0;
    struct tm local = {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    struct tm asked = local;
    const time_t t = mktime(&local);
    // mktime rolls impossible fields over (February 30 becomes March 2);
    // such a time does not exist. An hour can also move across a daylight
    // saving change, which is a real time and stays.
    if (t == (time_t)-1 || local.tm_year != asked.tm_year || local.tm_mon != asked.tm_mon ||
        local.tm_mday != asked.tm_mday || second < 0 || second > 59 || minute < 0 || minute > 59 ||
        hour < 0 || hour > 23)
        return false;
    if (t < 0)
        return false;
    *fileTime = (uint64_t)t * 10000000ull + 116444736000000000ull;
    return true;
}
