#include "opn/platform/pfClock.h"

#include <stdio.h>
#include <windows.h>

namespace {

const char* const kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// 100 ns intervals between 1601-01-01 (FILETIME) and 1970-01-01.
const int64_t kFileTimeAt1970 = 116444736000000000ll;

// 100 ns intervals since 1970-01-01 UTC.
int64_t UnixTime100ns() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t t = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    return (int64_t)t - kFileTimeAt1970;
}

}  // namespace

bool ClockLocalTimeText(char* out, size_t size) {
    if (!out || size == 0)
        return false;
    out[0] = '\0';
    SYSTEMTIME local;
    GetLocalTime(&local);
    if (local.wDayOfWeek > 6 || local.wMonth < 1 || local.wMonth > 12)
        return false;
    // The Windows C runtime's ctime pads the day of the month with a zero.
    int n = snprintf(out, size, "%s %s %02u %02u:%02u:%02u %u", kWeekdays[local.wDayOfWeek],
                     kMonths[local.wMonth - 1], (unsigned)local.wDay, (unsigned)local.wHour,
                     (unsigned)local.wMinute, (unsigned)local.wSecond, (unsigned)local.wYear);
    if (n < 0 || (size_t)n >= size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

int64_t ClockUnixSeconds() {
    return UnixTime100ns() / 10000000;
}

int64_t ClockUnixMillis() {
    return UnixTime100ns() / 10000;
}

uint64_t ClockTickMs() {
    return (uint64_t)GetTickCount64();
}

bool ClockLocalToFileTime(int year, int month, int day, int hour, int minute, int second,
                          uint64_t* fileTime) {
    if (!fileTime)
        return false;
    *fileTime = 0;
    static const int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return false;
    // Checked here: the conversions below do not all refuse February 30.
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0))
        return false;
    SYSTEMTIME local = {};
    local.wYear = (WORD)year;
    local.wMonth = (WORD)month;
    local.wDay = (WORD)day;
    local.wHour = (WORD)hour;
    local.wMinute = (WORD)minute;
    local.wSecond = (WORD)second;
    // The zone rules of that date, not today's offset.
    SYSTEMTIME utc;
    FILETIME ft;
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &ft))
        return false;
    *fileTime = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    return true;
}
