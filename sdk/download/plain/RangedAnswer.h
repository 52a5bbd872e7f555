// Whether the answer head to a ranged GET ("Range: bytes=<offset>-") may be
// written into the file, judged against what was asked (the offset) and what
// is known (the file's size from the host or the size check, when known).
//
//   200  the whole file: needs a Content-Length, equal to the known size.
//        With an offset above 0 the file must be written again from 0.
//   206  needs a Content-Range (ContentRange.h) that starts at the offset,
//        runs to the end of the file and names its total, equal to the known
//        size; and a Content-Length equal to the range's length.
//   416  the offset is the end of the file: the file is complete when the
//        offset equals the known size, or is 0 with no size known, and a
//        Content-Range "bytes */<total>", when sent, names the offset.
//
// Anything else in a 200, 206 or 416 is refused: the attempt failed, and no
// byte of its body may reach the file. Other statuses are not judged here.
//
// Threads: functions without state: any thread, no lock.
#pragma once

#include <stdint.h>

enum RangedAnswerVerdict : int32_t {
    kAnswerBody = 0,       // write bodyLength bytes at the offset
    kAnswerBodyFromStart,  // write bodyLength bytes from byte 0 on
    kAnswerFileComplete,   // nothing to write: the file is whole
    kAnswerRefused,
};

struct RangedAnswerHead {
    int32_t status;
    bool hasContentLength;  // a valid Content-Length was announced
    int64_t contentLength;
    const char* contentRange;  // the header's value; null when absent
};

struct RangedAnswer {
    int32_t verdict;     // RangedAnswerVerdict
    int64_t bodyLength;  // body bytes to come (kAnswerBody*)
    int64_t fileSize;    // the whole file's size, as the answer shows it
    const char* reason;  // why it was refused (a fixed text), else ""
};

// `offset` is where the request's range began; `knownSize` is -1 when
// nothing is known.
RangedAnswer JudgeRangedAnswer(const RangedAnswerHead& head, int64_t offset, int64_t knownSize);
