// The engine's side of the local protocol: the library's requests, written by
// the library's own writers, decoded field by field; reports written by the
// engine read back by the library's decoder; and every cut or bent request
// refused without reading past its bytes.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "opn/opeerqos/nwEngineMessages.h"
#include "opn/opeerqos/nwFrame.h"
#include "support/EngineProbe.h"

using engineprobe::Fixed;
using engineprobe::U32;
using engineprobe::U64;
using engineprobe::Z;

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes Written(int32_t size, const std::function<void(uint8_t*)>& write) {
    Bytes out((size_t)size, 0xEE);
    write(out.data());
    return out;
}

Bytes FromString(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Decodes `payload` as a copy of exactly its bytes (so a read past it is
// caught by the sanitizer).
nwEngineDecodeResult Decode(uint16_t category, uint16_t message, const Bytes& payload,
                            nwEngineRequest* request) {
    Bytes copy(payload);
    const nwEngineDecodeResult result = nwEngineDecodeRequest(
        category, message, copy.empty() ? nullptr : copy.data(), (int32_t)copy.size(), request);
    // Texts are copies: the request outlives the payload.
    std::fill(copy.begin(), copy.end(), 0xCC);
    return result;
}

struct RequestCase {
    const char* name;
    uint16_t category;
    uint16_t message;
    Bytes payload;
    std::function<void(const nwEngineRequest&)> check;
};

}  // namespace

TEST(EngineRequests, EveryRequestOfTheLibraryDecodes) {
    const std::string url = "http://h/x.pak";
    const ovEngineJobEntry entries[2] = {
        {0x1FF, 0x102, 1234, "C:\\Game\\", "x.pak", url.c_str()},
        {3, 4, -1, "Z:\\home\\u\\sub", "y.pak", ""},
    };
    const ovEngineJob job = {7, "Game", 2, entries};
    const std::string longUrl(0xFFFF, 'u');
    const ovEngineJobEntry longEntry = {1, 2, 99, "f", "n", longUrl.c_str()};
    std::vector<RequestCase> cases = {
        {"job mode", 256, kEngineMsgJobMode,
         Written(17, [](uint8_t* o) { nwEngineWriteJobMode(o, true); }),
         [](const nwEngineRequest& r) { EXPECT_EQ(2, r.mode); }},
        {"service code", 256, kEngineMsgServiceCode,
         Written(kEngineServiceCodeSize,
                 [](uint8_t* o) { nwEngineWriteText(o, kEngineServiceCodeSize, "SVC-1"); }),
         [](const nwEngineRequest& r) { EXPECT_STREQ("SVC-1", r.text); }},
        {"parameter", 256, kEngineMsgParameter,
         Written(kEngineParameterSize,
                 [](uint8_t* o) { nwEngineWriteText(o, kEngineParameterSize, "-p 1"); }),
         [](const nwEngineRequest& r) { EXPECT_STREQ("-p 1", r.text); }},
        {"parameter without terminator", 256, kEngineMsgParameter,
         FromString(std::string(kEngineParameterSize, 'q')),
         [](const nwEngineRequest& r) { EXPECT_EQ(260u, strlen(r.text)); }},
        {"cancel", 256, kEngineMsgCancel, FromString(U32(7) + U32(3)),
         [](const nwEngineRequest& r) {
             EXPECT_EQ(7u, r.jobNumber);
             EXPECT_EQ(3u, r.engineJobId);
         }},
        {"job option", 256, kEngineMsgJobOption, FromString(U32(7) + U32(3) + "\x5A"),
         [](const nwEngineRequest& r) {
             EXPECT_EQ(7u, r.jobNumber);
             EXPECT_EQ(0x5A, r.value);
         }},
        {"whole job", 258, kEngineMsgJob,
         Written(nwEngineJobSize(&job), [&](uint8_t* o) { nwEngineWriteJob(o, &job); }),
         [&](const nwEngineRequest& r) {
             EXPECT_EQ(7u, r.jobNumber);
             EXPECT_STREQ("Game", r.name);
             ASSERT_EQ(2u, r.entryCount);
             EXPECT_EQ(0xFF, r.entries[0].value1);
             EXPECT_EQ(0x02, r.entries[0].value2);
             EXPECT_EQ(1234, r.entries[0].expectedSize);
             EXPECT_STREQ("C:\\Game\\", r.entries[0].folder);
             EXPECT_STREQ("x.pak", r.entries[0].fileName);
             EXPECT_EQ(url, r.entries[0].url);
             EXPECT_EQ(1u, r.entries[1].index);
             EXPECT_EQ(-1, r.entries[1].expectedSize);
             EXPECT_STREQ("Z:\\home\\u\\sub", r.entries[1].folder);
             EXPECT_STREQ("", r.entries[1].url);
         }},
        {"job flag", 256, kEngineMsgJobFlag, FromString(U32(9)),
         [](const nwEngineRequest& r) { EXPECT_EQ(9u, r.jobNumber); }},
        {"resume reply", 256, kEngineMsgResumeReply,
         FromString(U32(3) + U32(7) + std::string("\x01\x00", 2)),
         [](const nwEngineRequest& r) {
             EXPECT_EQ(3u, r.engineJobId);
             EXPECT_EQ(7u, r.jobNumber);
             EXPECT_EQ(1, r.resume);
             EXPECT_EQ(0, r.applyToAll);
         }},
        {"job begin", 256, kEngineMsgJobBegin,
         Written(kEngineJobHeaderSize,
                 [](uint8_t* o) { nwEngineWriteJobHeader(o, 7, 300, "Big job"); }),
         [](const nwEngineRequest& r) {
             EXPECT_EQ(7u, r.jobNumber);
             EXPECT_EQ(300u, r.entryCount);
             EXPECT_STREQ("Big job", r.name);
         }},
        {"job entry", 256, kEngineMsgJobEntry,
         Written(nwEngineJobEntrySize(&entries[0]),
                 [&](uint8_t* o) { nwEngineWriteJobEntry(o, 7, 5, &entries[0]); }),
         [&](const nwEngineRequest& r) {
             EXPECT_EQ(7u, r.jobNumber);
             ASSERT_EQ(1u, r.entryCount);
             EXPECT_EQ(5u, r.entries[0].index);
             EXPECT_EQ(1234, r.entries[0].expectedSize);
             EXPECT_STREQ("x.pak", r.entries[0].fileName);
             EXPECT_EQ(url, r.entries[0].url);
         }},
        {"job entry with the longest URL", 256, kEngineMsgJobEntry,
         Written(nwEngineJobEntrySize(&longEntry),
                 [&](uint8_t* o) { nwEngineWriteJobEntry(o, 7, 0, &longEntry); }),
         [&](const nwEngineRequest& r) { EXPECT_EQ(longUrl, r.entries[0].url); }},
        {"job end", 256, kEngineMsgJobEnd, FromString(U32(7)),
         [](const nwEngineRequest& r) { EXPECT_EQ(7u, r.jobNumber); }},
        {"hello", 256, kEngineMsgHello, Bytes(), [](const nwEngineRequest&) {}},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        nwEngineRequest request;
        ASSERT_EQ(kEngineDecodeOk, Decode(c.category, c.message, c.payload, &request));
        EXPECT_EQ(c.message, request.message);
        c.check(request);
        nwEngineFreeRequest(&request);
        // With the frame's zero padding after it, the same request.
        Bytes padded(c.payload);
        padded.resize(padded.size() + 7, 0);
        ASSERT_EQ(kEngineDecodeOk, Decode(c.category, c.message, padded, &request));
        c.check(request);
        nwEngineFreeRequest(&request);
        // Every cut before the last fixed field ends is refused (texts of
        // fixed fields and the padding aside, nothing is optional).
        const size_t minimal = c.message == kEngineMsgJobMode ? 1 : c.payload.size();
        // (A sample of the cuts for the 64 KiB URL.)
        const size_t step = minimal > 4096 ? 997 : 1;
        for (size_t cut = 0; cut < minimal && c.message != kEngineMsgHello; cut += step) {
            Bytes shorter(c.payload.begin(), c.payload.begin() + (ptrdiff_t)cut);
            const nwEngineDecodeResult result = Decode(c.category, c.message, shorter, &request);
            if (c.message == kEngineMsgJobMode) {
                EXPECT_EQ(kEngineDecodeMalformed, result) << cut;
                continue;
            }
            EXPECT_EQ(kEngineDecodeMalformed, result) << "cut at " << cut;
            if (result == kEngineDecodeOk)
                nwEngineFreeRequest(&request);
        }
    }
}

TEST(EngineRequests, BentRequestsAreRefused) {
    struct Case {
        const char* name;
        uint16_t category;
        uint16_t message;
        std::string payload;
        nwEngineDecodeResult result;
    };
    const std::string record = "\x01\x02" + U64(5) + Fixed("f", 260) + Fixed("n", 260);
    const Case cases[] = {
        {"a report number", 256, kEngineMsgJobAccepted, U32(1), kEngineDecodeUnknown},
        {"message 14 in category 256", 256, kEngineMsgJob, U32(1) + U32(0) + Fixed("", 33),
         kEngineDecodeUnknown},
        {"message 21 in category 258", 258, kEngineMsgJobEnd, U32(1), kEngineDecodeUnknown},
        {"a count the payload cannot hold", 258, kEngineMsgJob,
         U32(1) + U32(0xFFFFFFFF) + Fixed("", 33) + record + Z("u"), kEngineDecodeMalformed},
        {"a count above its records", 258, kEngineMsgJob,
         U32(1) + U32(2) + Fixed("", 33) + record + Z("u") + std::string(531, 'x'),
         kEngineDecodeMalformed},
        {"a URL without terminator", 258, kEngineMsgJob,
         U32(1) + U32(1) + Fixed("", 33) + record + "http://h", kEngineDecodeMalformed},
        {"an entry URL longer than its message", 256, kEngineMsgJobEntry,
         U32(1) + U32(0) + record + std::string("\x10\x00", 2) + "short", kEngineDecodeMalformed},
        {"an entry URL with a zero inside", 256, kEngineMsgJobEntry,
         U32(1) + U32(0) + record + std::string("\x03\x00", 2) + std::string("a\0b", 3),
         kEngineDecodeMalformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        nwEngineRequest request;
        EXPECT_EQ(c.result, Decode(c.category, c.message, FromString(c.payload), &request));
        EXPECT_EQ(nullptr, request.entries);
    }
}

TEST(EngineRequests, ReportsWrittenByTheEngineReadBack) {
    nwEngineReport report;
    // Job accepted and job done.
    Bytes accepted = Written(kEngineJobAcceptedSize, [](uint8_t* o) {
        nwEngineWriteJobAccepted(o, 7, 3, 2, 0x100000001ull);
    });
    ASSERT_EQ(kEngineDecodeOk, nwEngineDecode(kEngineMsgJobAccepted, accepted.data(),
                                              (int32_t)accepted.size(), &report));
    EXPECT_EQ(7u, report.jobNumber);
    EXPECT_EQ(3u, report.engineJobId);
    EXPECT_EQ(2u, report.entryCount);
    EXPECT_EQ(0x100000001ull, report.totalSize);
    Bytes finished = Written(kEngineJobFinishedSize,
                             [](uint8_t* o) { nwEngineWriteJobFinished(o, 7, 3, 0, 2, 1); });
    ASSERT_EQ(kEngineDecodeOk, nwEngineDecode(kEngineMsgJobFinished, finished.data(),
                                              (int32_t)finished.size(), &report));
    EXPECT_EQ(2u, report.result);
    EXPECT_EQ(1u, report.giveUp);

    // File done, with and without the reported path; a path is cut to its field.
    const std::string longPath(300, 'p');
    for (const char* reported : {(const char*)nullptr, "D:\\shown"}) {
        const int32_t size = nwEngineFileDoneSize("http://u", reported != nullptr);
        Bytes done = Written(size, [&](uint8_t* o) {
            nwEngineWriteFileDone(o, 7, 3, longPath.c_str(), reported, "http://u");
        });
        const uint16_t message = reported ? kEngineMsgFileDoneAs : kEngineMsgFileDone;
        ASSERT_EQ(kEngineDecodeOk, nwEngineDecode(message, done.data(), size, &report));
        EXPECT_EQ(longPath.substr(0, 259), report.localPath);
        EXPECT_STREQ(reported ? reported : "", report.reportedPath);
        EXPECT_STREQ("http://u", report.url);
    }

    // Disk report and job failed, empty texts included.
    for (const char* text : {"", "No room"}) {
        const int32_t size = nwEngineTextReportSize(text);
        Bytes disk =
            Written(size + 1, [&](uint8_t* o) { nwEngineWriteDiskReport(o, 7, 3, 1, text); });
        ASSERT_EQ(kEngineDecodeOk,
                  nwEngineDecode(kEngineMsgDiskReport, disk.data(), size + 1, &report));
        EXPECT_EQ(1, report.flag);
        EXPECT_STREQ(text, report.text);
        ASSERT_NE(nullptr, report.tail);
        Bytes failed = Written(size, [&](uint8_t* o) { nwEngineWriteJobFailed(o, 7, 0, text); });
        ASSERT_EQ(kEngineDecodeOk,
                  nwEngineDecode(kEngineMsgJobFailed, failed.data(), size, &report));
        EXPECT_EQ(7u, report.jobNumber);
        EXPECT_STREQ(text, report.text);
        ASSERT_NE(nullptr, report.tail);
    }

    // Progress with no, one and two entry reports.
    const nwEngineEntryProgress entries[2] = {
        {"a-name-longer-than-thirty-three-bytes.bin", 100, 40, 9, "t1"}, {"b", 5, 5, 0, nullptr}};
    for (uint32_t count = 0; count <= 2; ++count) {
        SCOPED_TRACE(count);
        nwEngineProgressBlock block;
        memset(&block, 0, sizeof block);
        block.jobNumber = 7;
        block.engineJobId = 3;
        block.counter = 1;
        block.entryIndex = 2;
        block.totalBytes = 1000;
        block.bytesDone = 400;
        block.speed = 77;
        block.timeStamp = 1234567890123ull;
        const int32_t size = nwEngineProgressSize(entries, count);
        Bytes progress =
            Written(size, [&](uint8_t* o) { nwEngineWriteProgress(o, block, entries, count); });
        ASSERT_EQ(kEngineDecodeOk,
                  nwEngineDecode(kEngineMsgProgress, progress.data(), size, &report));
        EXPECT_EQ(count, report.progress.reportCount);
        EXPECT_EQ(1000u, report.progress.totalBytes);
        EXPECT_EQ(400u, report.progress.bytesDone);
        EXPECT_EQ(77u, report.progress.speed);
        EXPECT_EQ(1234567890123ull, report.progress.timeStamp);
        EXPECT_EQ(2u, report.progress.entryIndex);
        if (count > 0) {
            EXPECT_STREQ("a-name-longer-than-thirty-three-", report.reports[0].name);
            EXPECT_EQ(40u, report.reports[0].bytesDone);
            EXPECT_EQ(100u, report.reports[0].totalBytes);
            EXPECT_EQ(9u, report.reports[0].speed);
            EXPECT_STREQ("t1", report.reports[0].text);
        }
        if (count > 1) {
            EXPECT_STREQ("", report.reports[1].text);
        }
        nwEngineFreeReport(&report);
    }
}
