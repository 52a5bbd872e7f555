// The local engine protocol without sockets: builds the payloads of the
// library's requests and decodes the engine's reports (frame layout in
// nwFrame.h; every integer little-endian).
//
// Texts written Text[n] are fixed fields of n bytes holding a zero-terminated
// text; texts without a size end at their terminator and the next field
// starts right after it.
//
// The decoder trusts nothing in a payload: every field is checked against
// the payload's length, a text must end inside the payload, a count must fit
// the bytes that follow, and a fixed text without a terminator is cut at its
// field's end. Anything else is a malformed message.
//
// Threads: functions without state: any thread, no lock.
#pragma once

#include <stdint.h>

enum : uint16_t {
    // library -> engine
    kEngineMsgJobMode = 0,
    kEngineMsgServiceCode = 1,
    kEngineMsgCancel = 3,
    kEngineMsgParameter = 12,
    kEngineMsgJobOption = 13,
    kEngineMsgJob = 14,  // the one message in category 258
    kEngineMsgJobFlag = 17,
    kEngineMsgResumeReply = 18,
    kEngineMsgJobBegin = 19,
    kEngineMsgJobEntry = 20,
    kEngineMsgJobEnd = 21,
    kEngineMsgHello = 22,
    // engine -> library
    kEngineMsgJobAccepted = 4,
    kEngineMsgProgress = 5,
    kEngineMsgJobFinished = 6,
    kEngineMsgFileDone = 7,
    kEngineMsgDiskReport = 8,
    kEngineMsgNetworkLost = 9,
    kEngineMsgNetworkBack = 10,
    kEngineMsgJobFailed = 11,
    kEngineMsgFileDoneAs = 15,
    kEngineMsgResumeQuestion = 16,
    kEngineMsgEngineState = 22,
};

enum : int32_t {
    kEngineJobNameSize = 33,
    kEnginePathSize = 260,
    kEngineServiceCodeSize = 20,
    kEngineParameterSize = 260,
    kEngineJobHeaderSize = 41,
    kEngineJobRecordFixedSize = 530,  // entry record of message 14, before its URL
    kEngineEntryFixedSize = 540,      // message 20, before its URL bytes
    kEngineProgressBlockSize = 64,
    kEngineEntryReportSize = 65,
    kEngineTailSize = 16,
    kEngineUnreadFieldSize = 33,   // the unread field of messages 7 and 15
    kEngineMaxUrlLength = 0xFFFF,  // message 20 carries the length in 16 bits
    // Largest message 14 the engine downloader sends; bigger jobs go out as
    // begin, entries and end.
    kEngineWholeJobLimit = 0x1FBFF,
    // Largest report payload taken from the engine: room for a file report
    // with the longest URL, or a progress report of a few thousand entries.
    kEngineMaxReportPayload = 256 * 1024,
};

// One file of a job.
struct ovEngineJobEntry {
    uint32_t value1;  // caller values; one byte of each goes out
    uint32_t value2;
    int64_t expectedSize;  // -1 when unknown
    const char* folder;
    const char* fileName;
    const char* url;
};

// A job with its files; `name` and the texts may be null (sent empty).
struct ovEngineJob {
    uint32_t jobNumber;
    const char* name;
    int32_t entryCount;
    const ovEngineJobEntry* entries;
};

// Payload sizes, or -1 when the request cannot be encoded (null parts, a
// negative count, a URL over kEngineMaxUrlLength for message 20, a size over
// kFrameMaxPayload).
int32_t nwEngineJobSize(const ovEngineJob* job);
int32_t nwEngineJobEntrySize(const ovEngineJobEntry* entry);

// Writers; `out` holds the size the matching size function or constant
// gives and is zero-filled by the caller.
void nwEngineWriteJobMode(uint8_t* out, bool useEngine);               // 17 bytes
void nwEngineWriteText(uint8_t* out, int32_t size, const char* text);  // Text[size]
void nwEngineWriteJob(uint8_t* out, const ovEngineJob* job);
void nwEngineWriteJobHeader(uint8_t* out, uint32_t jobNumber, int32_t entryCount,
                            const char* name);  // 41 bytes
void nwEngineWriteJobEntry(uint8_t* out, uint32_t jobNumber, uint32_t index,
                           const ovEngineJobEntry* entry);
void nwEngineWriteU32(uint8_t* out, uint32_t value);
void nwEngineWriteU64(uint8_t* out, uint64_t value);

// Progress block of message 5, decoded.
struct nwEngineProgressBlock {
    uint32_t jobNumber;
    uint32_t engineJobId;
    uint32_t value8;
    uint32_t counter;
    uint32_t entryIndex;
    uint64_t totalBytes;
    uint64_t bytesDone;
    uint32_t speed;
    uint32_t value40;
    uint64_t timeStamp;
    uint32_t value52;
    uint32_t value56;
    uint32_t reportCount;
};

// One entry report of message 5: the 65 raw bytes, their decoded fields and
// the text that follows them.
struct nwEngineEntryReport {
    const uint8_t* raw;
    char name[kEngineJobNameSize + 1];
    uint64_t totalBytes;
    uint64_t bytesDone;
    uint32_t speed;
    const char* text;
};

// One decoded report. Pointers point into the payload (valid while it is);
// `reports` is owned and released by nwEngineFreeReport.
struct nwEngineReport {
    uint16_t message;
    uint32_t jobNumber;
    uint32_t engineJobId;
    uint32_t entryCount;
    uint64_t totalSize;
    uint32_t value;       // the unnamed 32-bit value of messages 6 and 11
    uint32_t result;      // message 6
    uint32_t giveUp;      // message 6
    uint32_t state;       // message 22
    uint8_t flag;         // message 8
    const char* text;     // messages 8 and 11
    const uint8_t* tail;  // the 16 bytes of messages 8, 9, 10 and 11
    char localPath[kEnginePathSize + 1];
    char reportedPath[kEnginePathSize + 1];
    const char* url;  // messages 7 and 15
    nwEngineProgressBlock progress;
    nwEngineEntryReport* reports;  // progress.reportCount of them
};

enum nwEngineDecodeResult {
    kEngineDecodeOk = 0,
    kEngineDecodeUnknown,    // not a message the engine sends
    kEngineDecodeMalformed,  // a field runs past the payload
    kEngineDecodeNoMemory,
};

// Decodes the payload (`length` bytes, padding included) of an engine
// message `message` of category 256 into `*report`. On any result other than
// Ok nothing is left to free.
nwEngineDecodeResult nwEngineDecode(uint16_t message, const uint8_t* payload, int32_t length,
                                    nwEngineReport* report);
void nwEngineFreeReport(nwEngineReport* report);

// --- The engine's side: the library's requests decoded, the reports written.

// One file of a request (message 14 or 20). `url` is owned by the request.
struct nwEngineRequestEntry {
    uint32_t index;  // message 20; its place in the list for message 14
    uint8_t value1;
    uint8_t value2;
    int64_t expectedSize;
    char folder[kEnginePathSize + 1];
    char fileName[kEnginePathSize + 1];
    char* url;
};

// One decoded request. `entries` (entryCount of them for message 14, one
// for message 20) is owned and released by nwEngineFreeRequest.
struct nwEngineRequest {
    uint16_t message;
    uint32_t jobNumber;                   // 3, 13, 14, 17, 18, 19, 20, 21
    uint32_t engineJobId;                 // 3, 13, 18
    uint8_t mode;                         // 0
    uint8_t value;                        // 13
    uint8_t resume;                       // 18
    uint8_t applyToAll;                   // 18
    char text[kEngineParameterSize + 1];  // 1 (service code), 12 (parameter)
    char name[kEngineJobNameSize + 1];    // 14, 19
    uint32_t entryCount;                  // 14 (decoded), 19 (announced)
    nwEngineRequestEntry* entries;
};

// Decodes one library request of category `category` into `*request`. A
// message 14 must come in category 258 and every other one in 256; its
// header's count must match the records that follow. On any result other
// than Ok nothing is left to free.
nwEngineDecodeResult nwEngineDecodeRequest(uint16_t category, uint16_t message,
                                           const uint8_t* payload, int32_t length,
                                           nwEngineRequest* request);
void nwEngineFreeRequest(nwEngineRequest* request);

// Report sizes (real payload bytes) and writers; `out` holds that many
// bytes. Texts may be null (written empty); fixed texts are cut to their
// field.
enum : int32_t {
    kEngineJobAcceptedSize = 20,
    kEngineJobFinishedSize = 20,
    kEngineResumeQuestionSize = 4,
    kEngineStateSize = 4,
};
void nwEngineWriteJobAccepted(uint8_t* out, uint32_t jobNumber, uint32_t engineJobId,
                              uint32_t entryCount, uint64_t totalSize);
void nwEngineWriteJobFinished(uint8_t* out, uint32_t jobNumber, uint32_t engineJobId,
                              uint32_t value, uint32_t result, uint32_t giveUp);
int32_t nwEngineFileDoneSize(const char* url, bool withReportedPath);
// Message 7, or 15 when `reportedPath` is not null.
void nwEngineWriteFileDone(uint8_t* out, uint32_t jobNumber, uint32_t engineJobId,
                           const char* localPath, const char* reportedPath, const char* url);
int32_t nwEngineTextReportSize(const char* text);  // messages 8 (plus its flag byte) and 11
void nwEngineWriteDiskReport(uint8_t* out, uint32_t jobNumber, uint32_t engineJobId, uint8_t flag,
                             const char* text);  // nwEngineTextReportSize(text) + 1 bytes
void nwEngineWriteJobFailed(uint8_t* out, uint32_t jobNumber, uint32_t value, const char* text);

// One entry report to write in message 5.
struct nwEngineEntryProgress {
    const char* name;
    uint64_t totalBytes;
    uint64_t bytesDone;
    uint32_t speed;
    const char* text;
};
int32_t nwEngineProgressSize(const nwEngineEntryProgress* reports, uint32_t count);
// The block's reportCount is written as `count`.
void nwEngineWriteProgress(uint8_t* out, const nwEngineProgressBlock& block,
                           const nwEngineEntryProgress* reports, uint32_t count);
