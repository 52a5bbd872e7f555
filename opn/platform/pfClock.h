// Wall clock and monotonic tick of the platform.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Room for the ctime-layout text and its terminator.
const size_t kClockTextSize = 25;

// The local time in the C library's ctime layout without its final line feed,
// e.g. "Wed Jun  5 09:07:03 2024" (24 characters for years 1000-9999). The day
// of the month is padded the way the platform's C library pads it: with a
// space on POSIX, with a zero on Windows ("Wed Jun 05 ..."). Writes at most `size` bytes including
// the terminator; false (and an empty text when size > 0) when the local time
// cannot be read or `size` is too small.
bool ClockLocalTimeText(char* out, size_t size);

// Whole seconds since 1970-01-01 00:00:00 UTC.
int64_t ClockUnixSeconds();
// Milliseconds since 1970-01-01 00:00:00 UTC.
int64_t ClockUnixMillis();

// Milliseconds from an arbitrary start; never goes backwards, not affected by
// changes of the wall clock.
uint64_t ClockTickMs();

// The FILETIME (100 ns since 1601-01-01 UTC) of a local wall-clock time, with
// the time zone rules of that date where the platform knows them. False for a
// time that does not exist (month 13, February 30, hour 24).
bool ClockLocalToFileTime(int year, int month, int day, int hour, int minute, int second,
                          uint64_t* fileTime);
