// Arbitrary Content-Range values and answer heads: no crash, no read past
// the end, a parsed range that keeps its own rules, and an answer that is
// only taken when it agrees with the offset and the known size.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "opn/core/ovCString.h"
#include "sdk/download/ContentRange.h"
#include "sdk/download/plain/RangedAnswer.h"

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

int64_t Take64(const uint8_t*& data, size_t& size) {
    uint64_t value = 0;
    for (int i = 0; i < 8 && size > 0; ++i, ++data, --size)
        value = (value << 8) | *data;
    return (int64_t)(value >> 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 12)
        return 0;
    // Status, flags, offset, known size and length first; the value after.
    const int32_t status = size > 0 ? (data[0] % 3 == 0 ? 200 : data[0] % 3 == 1 ? 206 : 416) : 206;
    const bool hasLength = size > 1 && (data[1] & 1);
    const bool hasRange = size > 1 && (data[1] & 2);
    const bool knownSize = size > 1 && (data[1] & 4);
    const bool atZero = size > 1 && (data[1] & 8);
    if (size > 2) {
        data += 2;
        size -= 2;
    }
    const int64_t offset = atZero ? 0 : Take64(data, size) & 0xFFFFF;
    const int64_t known = knownSize ? Take64(data, size) & 0xFFFFFFF : -1;
    const int64_t length = Take64(data, size) & 0xFFFFFFF;
    ovCString value;
    value.Assign(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size));

    ContentRange range = {7, 7, 7};
    if (ParseContentRange(value.CStr(), &range)) {
        Check(range.total >= -1);
        if (range.first >= 0) {
            Check(range.first <= range.last);
            Check(range.total < 0 || range.last < range.total);
        } else {
            Check(range.last == -1 && range.total >= 0);
        }
    } else {
        Check(range.first == 7 && range.last == 7 && range.total == 7);
    }

    const RangedAnswerHead head = {status, hasLength, length, hasRange ? value.CStr() : nullptr};
    const RangedAnswer answer = JudgeRangedAnswer(head, offset, known);
    Check(answer.reason != nullptr);
    if (answer.verdict == kAnswerRefused)
        return 0;
    Check(answer.reason[0] == '\0');
    Check(known < 0 || answer.fileSize == known);
    if (answer.verdict == kAnswerBody)
        Check(answer.bodyLength >= 0 && offset + answer.bodyLength == answer.fileSize);
    if (answer.verdict == kAnswerBodyFromStart)
        Check(status == 200 && answer.bodyLength == answer.fileSize);
    if (answer.verdict == kAnswerFileComplete)
        Check(answer.fileSize == offset);
    return 0;
}
