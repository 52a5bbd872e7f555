#include "sdk/download/plain/RangedAnswer.h"

#include <string.h>

#include "sdk/download/ContentRange.h"

namespace {

const int32_t kStatusOk = 200;
const int32_t kStatusPartial = 206;
const int32_t kStatusRangeNotSatisfiable = 416;

RangedAnswer Refused(const char* reason) {
    return RangedAnswer{kAnswerRefused, 0, -1, reason};
}

RangedAnswer Accepted(int32_t verdict, int64_t bodyLength, int64_t fileSize) {
    return RangedAnswer{verdict, bodyLength, fileSize, ""};
}

RangedAnswer JudgeWhole(const RangedAnswerHead& head, int64_t offset, int64_t knownSize) {
    // Without a length the body could never be known to be complete.
    if (!head.hasContentLength)
        return Refused("no Content-Length");
    if (knownSize >= 0 && head.contentLength != knownSize)
        return Refused("length differs from the known size");
    return Accepted(offset > 0 ? kAnswerBodyFromStart : kAnswerBody, head.contentLength,
                    head.contentLength);
}

RangedAnswer JudgePart(const RangedAnswerHead& head, int64_t offset, int64_t knownSize) {
    ContentRange range;
    if (!ParseContentRange(head.contentRange, &range) || range.first < 0)
        return Refused("no valid Content-Range");
    if (range.first != offset)
        return Refused("range starts elsewhere");
    if (range.total < 0)
        return Refused("range without a total");
    if (knownSize >= 0 && range.total != knownSize)
        return Refused("range total differs from the known size");
    if (range.last != range.total - 1)
        return Refused("range ends before the file");
    if (!head.hasContentLength || head.contentLength != range.last - range.first + 1)
        return Refused("length differs from the range");
    return Accepted(kAnswerBody, head.contentLength, range.total);
}

RangedAnswer JudgeEnd(const RangedAnswerHead& head, int64_t offset, int64_t knownSize) {
    if (head.contentRange) {
        ContentRange range;
        if (!ParseContentRange(head.contentRange, &range) || range.first >= 0)
            return Refused("no valid Content-Range");
        if (range.total != offset)
            return Refused("range total differs from the offset");
    }
    const bool whole = knownSize >= 0 ? knownSize == offset : offset == 0;
    if (!whole)
        return Refused("file not complete");
    return Accepted(kAnswerFileComplete, 0, offset);
}

}  // namespace

RangedAnswer JudgeRangedAnswer(const RangedAnswerHead& head, const RangedRequest& request,
                               int64_t knownSize, const char* validator) {
    if (!request.ranged && head.status != kStatusOk)
        return Refused("not the whole file");
    // Bytes of another version of the file must never follow the kept ones.
    if (request.ranged && request.ifRange && head.status == kStatusPartial &&
        (!validator || strcmp(validator, request.ifRange) != 0))
        return Refused("validator differs");
    return JudgeRangedAnswer(head, request.offset, knownSize);
}

RangedAnswer JudgeRangedAnswer(const RangedAnswerHead& head, int64_t offset, int64_t knownSize) {
    switch (head.status) {
        case kStatusOk:
            return JudgeWhole(head, offset, knownSize);
        case kStatusPartial:
            return JudgePart(head, offset, knownSize);
        case kStatusRangeNotSatisfiable:
            return JudgeEnd(head, offset, knownSize);
        default:
            return Refused("status not judged here");
    }
}
