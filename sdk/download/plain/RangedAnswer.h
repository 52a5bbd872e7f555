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
// A request sent without a Range (the whole file, asked after a refused
// ranged answer) takes a 200 only. A request with If-Range takes a 206 only
// when the answer names the same validator (ResumeValidator.h); its 200 is
// the whole file, written again from 0.
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

// What was asked.
struct RangedRequest {
    int64_t offset;       // where the file stands; the range begins there
    bool ranged;          // a Range header was sent
    const char* ifRange;  // the If-Range value sent; null when none
};

// `knownSize` is -1 when nothing is known; `validator` is the answer's own
// (ResumeValidatorOf), null when it has none.
RangedAnswer JudgeRangedAnswer(const RangedAnswerHead& head, const RangedRequest& request,
                               int64_t knownSize, const char* validator);
// A ranged request from `offset` without If-Range.
RangedAnswer JudgeRangedAnswer(const RangedAnswerHead& head, int64_t offset, int64_t knownSize);
