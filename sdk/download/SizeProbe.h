// What a size check asks and how it reads the answer. A check wants the
// file's size, never its bytes: it asks for the first byte alone
// ("Range: bytes=0-0") and reads the size from the answer head; its
// connection is closed at the head whatever comes after it.
//
//   200  the server ignored the range: the caller takes the Content-Length
//        as it always did (not judged here).
//   206  needs a Content-Range "bytes 0-0/<total>" naming the total, and a
//        Content-Length, when sent, of 1: the size is the total.
//   416  the first byte lies past the end: the file is empty when a
//        Content-Range "bytes */0" says so (size 0, as a 200 with a
//        Content-Length of 0 would).
//
// Anything else in a 206 or 416 (another range, no total, a total that
// disagrees, a malformed value) is refused: the attempt failed.
#pragma once

#include <stdint.h>

class ovIHttpClientExLayer;

// The Range header value of a size check.
extern const char kSizeProbeRange[];

// Bytes a size check's connection keeps received at most: room for an
// answer head, never a body.
const uint32_t kSizeProbeReceiveLimit = 16 * 1024;

struct SizeProbeHead {
    int32_t status;
    bool hasContentLength;  // a valid Content-Length was announced
    int64_t contentLength;
    const char* contentRange;  // the header's value; null when absent
};

// The size a 206 or 416 answer shows; -1 when it is refused or has another
// status.
int64_t JudgeSizeProbe(const SizeProbeHead& head);

// JudgeSizeProbe of the head `http` received.
int64_t SizeFromProbeAnswer(ovIHttpClientExLayer* http, int32_t status);
