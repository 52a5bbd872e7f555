// The value of a Content-Range header, read strictly:
//
//   "bytes <first>-<last>/<total>"   a range of the file (total "*" when the
//                                    server does not say)
//   "bytes */<total>"                the range asked for lies past the end
//                                    (a 416 answer)
//
// The unit is compared without letter case; exactly one space follows it;
// every number is 1 to kMaxDigits decimal digits, so none can overflow; the
// range has first <= last, and last < total when the total is given. Nothing
// may follow the total. Anything else is not a Content-Range.
//
// Threads: functions without state: any thread, no lock.
#pragma once

#include <stdint.h>

struct ContentRange {
    int64_t first;  // -1 for "*/<total>"
    int64_t last;   // -1 for "*/<total>"
    int64_t total;  // -1 for "*"
};

// Enough for any file, and a number of this many digits fits an int64_t.
const int32_t kContentRangeMaxDigits = 18;

// False for a null value or anything the grammar above does not allow;
// `out` is only written on success.
bool ParseContentRange(const char* value, ContentRange* out);
