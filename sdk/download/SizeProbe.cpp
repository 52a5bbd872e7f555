#include "sdk/download/SizeProbe.h"

#include <string.h>

#include "opn/core/ovCString.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "sdk/download/ContentRange.h"

const char kSizeProbeRange[] = "bytes=0-0";

namespace {

const int32_t kStatusPartial = 206;
const int32_t kStatusRangeNotSatisfiable = 416;

}  // namespace

int64_t JudgeSizeProbe(const SizeProbeHead& head) {
    ContentRange range;
    if (!ParseContentRange(head.contentRange, &range))
        return -1;
    if (head.status == kStatusPartial) {
        // Exactly the byte asked for, out of a named whole.
        if (range.first != 0 || range.last != 0 || range.total <= 0)
            return -1;
        if (head.hasContentLength && head.contentLength != 1)
            return -1;
        return range.total;
    }
    if (head.status == kStatusRangeNotSatisfiable) {
        // Only an empty file has no first byte.
        return range.first < 0 && range.total == 0 ? 0 : -1;
    }
    return -1;
}

int64_t SizeFromProbeAnswer(ovIHttpClientExLayer* http, int32_t status) {
    if (!http)
        return -1;
    SizeProbeHead head = {status, false, 0, nullptr};
    ovCString value;
    head.hasContentLength = OV_SUCCEEDED(http->GetHeader("Content-Length", &value));
    http->GetContentLength(&head.contentLength);
    ovCString range;
    // A zero inside would cut the value short where it is read as text.
    if (OV_SUCCEEDED(http->GetHeader("Content-Range", &range)))
        head.contentRange = strlen(range.CStr()) == range.Length() ? range.CStr() : "";
    return JudgeSizeProbe(head);
}
