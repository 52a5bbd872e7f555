// Content-Range values read strictly, and ranged answers judged against the
// offset asked for and the size known: every wrong answer is refused before
// a byte of it could reach a file.
#include <stdint.h>

#include <string>

#include <gtest/gtest.h>

#include "sdk/download/ContentRange.h"
#include "sdk/download/SizeProbe.h"
#include "sdk/download/plain/RangedAnswer.h"

namespace {

TEST(ContentRange, ValuesThatFollowTheGrammarAndValuesThatDoNot) {
    struct Case {
        const char* value;
        bool ok;
        int64_t first, last, total;
    };
    const Case cases[] = {
        {"bytes 0-1999999/2000000", true, 0, 1999999, 2000000},
        {"bytes 512-1999999/2000000", true, 512, 1999999, 2000000},
        {"BYTES 0-0/1", true, 0, 0, 1},
        {"bytes 0-1023/*", true, 0, 1023, -1},
        {"bytes */2000000", true, -1, -1, 2000000},
        {"bytes */0", true, -1, -1, 0},
        {"bytes 0-999999999999999999/999999999999999999", false, 0, 0, 0},  // last >= total
        {"bytes 0-99999999999999999/999999999999999999", true, 0, 99999999999999999,
         999999999999999999},
        // 19 digits would overflow soon after: refused, never wrapped.
        {"bytes 0-1/9999999999999999999", false, 0, 0, 0},
        {"bytes 0-99999999999999999999/5", false, 0, 0, 0},
        {"bytes 00000000000000000001-2/3", false, 0, 0, 0},
        {"bytes 5-4/10", false, 0, 0, 0},
        {"bytes 0-10/10", false, 0, 0, 0},
        {"bytes  0-1/2", false, 0, 0, 0},
        {"bytes=0-1/2", false, 0, 0, 0},
        {"items 0-1/2", false, 0, 0, 0},
        {"bytes 0-1/2 ", false, 0, 0, 0},
        {"bytes 0-1/2,3-4/5", false, 0, 0, 0},
        {"bytes -1-2/3", false, 0, 0, 0},
        {"bytes +1-2/3", false, 0, 0, 0},
        {"bytes 0-/3", false, 0, 0, 0},
        {"bytes 0-1/", false, 0, 0, 0},
        {"bytes 0-1", false, 0, 0, 0},
        {"bytes */*", false, 0, 0, 0},
        {"bytes *", false, 0, 0, 0},
        {"bytes", false, 0, 0, 0},
        {"", false, 0, 0, 0},
        {"bytes 0x1-2/3", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ContentRange range = {7, 7, 7};
        EXPECT_EQ(c.ok, ParseContentRange(c.value, &range));
        if (c.ok) {
            EXPECT_EQ(c.first, range.first);
            EXPECT_EQ(c.last, range.last);
            EXPECT_EQ(c.total, range.total);
        } else {
            EXPECT_EQ(7, range.first) << "written on failure";
        }
    }
    ContentRange range;
    EXPECT_FALSE(ParseContentRange(nullptr, &range));
    // A value cut at every byte is never read past its end (ASan watches).
    const std::string whole = "bytes 100-199/200";
    for (size_t n = 0; n < whole.size(); ++n) {
        const std::string cut = whole.substr(0, n);
        EXPECT_FALSE(ParseContentRange(cut.c_str(), &range)) << cut;
    }
}

TEST(RangedAnswer, EachAnswerIsTakenOrRefusedAgainstTheRequestAndTheKnownSize) {
    const int64_t k2m = 2000000;
    struct Case {
        const char* what;
        RangedAnswerHead head;
        int64_t offset;
        int64_t known;
        int32_t verdict;
        int64_t bodyLength;
        int64_t fileSize;
    };
    const Case cases[] = {
        // Whole answers.
        {"200 of the known size", {200, true, k2m, nullptr}, 0, k2m, kAnswerBody, k2m, k2m},
        {"200, size unknown", {200, true, 1174, nullptr}, 0, -1, kAnswerBody, 1174, 1174},
        {"200 page of another length", {200, true, 1174, nullptr}, 0, k2m, kAnswerRefused, 0, -1},
        {"200 without a length", {200, false, 0, nullptr}, 0, -1, kAnswerRefused, 0, -1},
        {"200 empty file", {200, true, 0, nullptr}, 0, 0, kAnswerBody, 0, 0},
        {"200 empty, file known larger", {200, true, 0, nullptr}, 0, 10, kAnswerRefused, 0, -1},
        {"200 to a range from 4096",
         {200, true, k2m, nullptr},
         4096,
         k2m,
         kAnswerBodyFromStart,
         k2m,
         k2m},
        {"200 ignores a Content-Range",
         {200, true, 10, "bytes 3-9/10"},
         0,
         10,
         kAnswerBody,
         10,
         10},
        // Partial answers.
        {"206 whole file",
         {206, true, k2m, "bytes 0-1999999/2000000"},
         0,
         k2m,
         kAnswerBody,
         k2m,
         k2m},
        {"206 rest of the file",
         {206, true, 1000, "bytes 4096-5095/5096"},
         4096,
         5096,
         kAnswerBody,
         1000,
         5096},
        {"206 size unknown", {206, true, 10, "bytes 0-9/10"}, 0, -1, kAnswerBody, 10, 10},
        {"206 starting elsewhere",
         {206, true, k2m - 512, "bytes 512-1999999/2000000"},
         0,
         k2m,
         kAnswerRefused,
         0,
         -1},
        {"206 starting elsewhere, size unknown",
         {206, true, 10, "bytes 5-14/15"},
         0,
         -1,
         kAnswerRefused,
         0,
         -1},
        {"206 of 1 KiB of 2 MB",
         {206, true, 1024, "bytes 0-1023/2000000"},
         0,
         k2m,
         kAnswerRefused,
         0,
         -1},
        {"206 of 1 KiB, total 1 KiB",
         {206, true, 1024, "bytes 0-1023/1024"},
         0,
         k2m,
         kAnswerRefused,
         0,
         -1},
        {"206 total unknown", {206, true, 1024, "bytes 0-1023/*"}, 0, -1, kAnswerRefused, 0, -1},
        {"206 without Content-Range", {206, true, k2m, nullptr}, 0, k2m, kAnswerRefused, 0, -1},
        {"206 with a bad Content-Range",
         {206, true, k2m, "bytes 0-99999999999999999999/2000000"},
         0,
         k2m,
         kAnswerRefused,
         0,
         -1},
        {"206 unsatisfied form", {206, true, 0, "bytes */2000000"}, 0, k2m, kAnswerRefused, 0, -1},
        {"206 length disagrees with the range",
         {206, true, 999, "bytes 0-9/10"},
         0,
         10,
         kAnswerRefused,
         0,
         -1},
        {"206 without a length", {206, false, 0, "bytes 0-9/10"}, 0, 10, kAnswerRefused, 0, -1},
        // Range not satisfiable.
        {"416 empty file", {416, true, 0, nullptr}, 0, -1, kAnswerFileComplete, 0, 0},
        {"416 empty file known", {416, false, 0, "bytes */0"}, 0, 0, kAnswerFileComplete, 0, 0},
        {"416 at the end of a known file",
         {416, false, 0, "bytes */4096"},
         4096,
         4096,
         kAnswerFileComplete,
         0,
         4096},
        {"416 for a file known larger", {416, false, 0, nullptr}, 0, k2m, kAnswerRefused, 0, -1},
        {"416 naming another total",
         {416, false, 0, "bytes */2000000"},
         0,
         -1,
         kAnswerRefused,
         0,
         -1},
        {"416 with a range form", {416, false, 0, "bytes 0-1/2"}, 0, -1, kAnswerRefused, 0, -1},
        {"416 at an offset, size unknown",
         {416, false, 0, nullptr},
         4096,
         -1,
         kAnswerRefused,
         0,
         -1},
        // Not judged here.
        {"404", {404, true, 10, nullptr}, 0, -1, kAnswerRefused, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RangedAnswer answer = JudgeRangedAnswer(c.head, c.offset, c.known);
        EXPECT_EQ(c.verdict, answer.verdict) << answer.reason;
        ASSERT_NE(nullptr, answer.reason);
        if (c.verdict == kAnswerRefused) {
            EXPECT_STRNE("", answer.reason);
            continue;
        }
        EXPECT_STREQ("", answer.reason);
        EXPECT_EQ(c.bodyLength, answer.bodyLength);
        EXPECT_EQ(c.fileSize, answer.fileSize);
    }
}

}  // namespace

namespace {

// A size check asks for byte 0 alone; only an answer about exactly that byte
// names the size.
TEST(SizeProbe, OnlyAnAnswerAboutTheFirstByteNamesTheSize) {
    struct Case {
        int32_t status;
        bool hasLength;
        int64_t length;
        const char* range;
        int64_t size;
    };
    const Case cases[] = {
        {206, true, 1, "bytes 0-0/70000", 70000},
        {206, false, 0, "bytes 0-0/1", 1},
        {206, true, 1, "bytes 0-0/999999999999999999", 999999999999999999},
        {206, true, 2, "bytes 0-0/70000", -1},        // the length disagrees
        {206, true, 1024, "bytes 0-1023/70000", -1},  // not the byte asked for
        {206, true, 1, "bytes 5-5/70000", -1},
        {206, true, 1, "bytes 0-0/*", -1},
        {206, true, 1, "bytes 0-0/12x4", -1},
        {206, true, 1, "bytes 0-0/99999999999999999999", -1},
        {206, true, 1, "", -1},
        {206, true, 1, nullptr, -1},
        {416, true, 0, "bytes */0", 0},  // an empty file
        {416, true, 0, "bytes */500", -1},
        {416, false, 0, nullptr, -1},
        {200, true, 1, "bytes 0-0/70000", -1},  // a 200 is read by its caller
        {404, true, 1, "bytes 0-0/70000", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + (c.range ? c.range : "(none)"));
        const SizeProbeHead head = {c.status, c.hasLength, c.length, c.range};
        EXPECT_EQ(c.size, JudgeSizeProbe(head));
    }
}

// A whole-file request (no Range) takes a 200 only; a request with If-Range
// takes a 206 only under the validator it sent, and its 200 starts over.
TEST(RangedAnswer, TheWholeFileAskedForAndAnswersToIfRange) {
    const char* tag = "\"5f3a\"";
    struct Case {
        const char* what;
        RangedAnswerHead head;
        RangedRequest request;
        const char* validator;
        int32_t verdict;
    };
    const Case cases[] = {
        {"no Range: a 200",
         {200, true, 1000, nullptr},
         {400, false, nullptr},
         nullptr,
         kAnswerBodyFromStart},
        {"no Range: a 200 from 0",
         {200, true, 1000, nullptr},
         {0, false, nullptr},
         nullptr,
         kAnswerBody},
        {"no Range: a 206",
         {206, true, 600, "bytes 400-999/1000"},
         {400, false, nullptr},
         nullptr,
         kAnswerRefused},
        {"no Range: a 416",
         {416, true, 0, "bytes */400"},
         {400, false, nullptr},
         nullptr,
         kAnswerRefused},
        {"If-Range kept",
         {206, true, 600, "bytes 400-999/1000"},
         {400, true, tag},
         tag,
         kAnswerBody},
        {"If-Range, another validator",
         {206, true, 600, "bytes 400-999/1000"},
         {400, true, tag},
         "\"5f3b\"",
         kAnswerRefused},
        {"If-Range, none in the answer",
         {206, true, 600, "bytes 400-999/1000"},
         {400, true, tag},
         nullptr,
         kAnswerRefused},
        {"If-Range answered with the whole file",
         {200, true, 1000, nullptr},
         {400, true, tag},
         "\"5f3b\"",
         kAnswerBodyFromStart},
        {"no If-Range: the validator is not asked",
         {206, true, 600, "bytes 400-999/1000"},
         {400, true, nullptr},
         nullptr,
         kAnswerBody},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RangedAnswer answer = JudgeRangedAnswer(c.head, c.request, 1000, c.validator);
        EXPECT_EQ(c.verdict, answer.verdict);
    }
}

}  // namespace
