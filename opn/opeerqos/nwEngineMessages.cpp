#include "opn/opeerqos/nwEngineMessages.h"

#include <stdlib.h>
#include <string.h>

#include "opn/opeerqos/nwFrame.h"

namespace {

size_t TextLength(const char* text) {
    return text ? strlen(text) : 0;
}

// Reads fields in order from a payload; the first field that does not fit
// marks the reader failed and every later read yields zeros.
class Reader {
  public:
    Reader(const uint8_t* data, int32_t length) : m_data(data), m_left(length > 0 ? length : 0) {}

    bool Ok() const { return m_ok; }

    const uint8_t* Take(int32_t size) {
        if (!m_ok || size > m_left) {
            m_ok = false;
            return nullptr;
        }
        const uint8_t* at = m_data;
        m_data += size;
        m_left -= size;
        return at;
    }
    uint8_t U8() {
        const uint8_t* at = Take(1);
        return at ? at[0] : 0;
    }
    uint32_t U32() {
        const uint8_t* at = Take(4);
        return at ? ReadU32(at) : 0;
    }
    uint64_t U64() {
        const uint8_t* at = Take(8);
        return at ? ReadU64(at) : 0;
    }
    // Text[size] into `out` (size + 1 bytes), cut at the field's end.
    void FixedText(char* out, int32_t size) {
        out[0] = '\0';
        const uint8_t* at = Take(size);
        if (at)
            CopyFixed(out, at, size);
    }
    // A zero-terminated text that must end inside the payload.
    const char* Text() {
        if (!m_ok || m_left == 0) {
            m_ok = false;
            return nullptr;
        }
        const void* end = memchr(m_data, 0, (size_t)m_left);
        if (!end) {
            m_ok = false;
            return nullptr;
        }
        const char* text = reinterpret_cast<const char*>(m_data);
        Take((int32_t)(static_cast<const uint8_t*>(end) - m_data) + 1);
        return text;
    }
    int32_t Left() const { return m_left; }

    static uint32_t ReadU32(const uint8_t* at) {
        return (uint32_t)at[0] | ((uint32_t)at[1] << 8) | ((uint32_t)at[2] << 16) |
               ((uint32_t)at[3] << 24);
    }
    static uint64_t ReadU64(const uint8_t* at) {
        return (uint64_t)ReadU32(at) | ((uint64_t)ReadU32(at + 4) << 32);
    }
    static void CopyFixed(char* out, const uint8_t* at, int32_t size) {
        const void* end = memchr(at, 0, (size_t)size);
        const size_t n = end ? (size_t)(static_cast<const uint8_t*>(end) - at) : (size_t)size;
        memcpy(out, at, n);
        out[n] = '\0';
    }

  private:
    const uint8_t* m_data;
    int32_t m_left;
    bool m_ok = true;
};

void DecodeProgressBlock(const uint8_t* at, nwEngineProgressBlock* block) {
    block->jobNumber = Reader::ReadU32(at + 0);
    block->engineJobId = Reader::ReadU32(at + 4);
    block->value8 = Reader::ReadU32(at + 8);
    block->counter = Reader::ReadU32(at + 12);
    block->entryIndex = Reader::ReadU32(at + 16);
    block->totalBytes = Reader::ReadU64(at + 20);
    block->bytesDone = Reader::ReadU64(at + 28);
    block->speed = Reader::ReadU32(at + 36);
    block->value40 = Reader::ReadU32(at + 40);
    block->timeStamp = Reader::ReadU64(at + 44);
    block->value52 = Reader::ReadU32(at + 52);
    block->value56 = Reader::ReadU32(at + 56);
    block->reportCount = Reader::ReadU32(at + 60);
}

nwEngineDecodeResult DecodeProgress(Reader& in, nwEngineReport* report) {
    const uint8_t* block = in.Take(kEngineProgressBlockSize);
    if (!block)
        return kEngineDecodeMalformed;
    DecodeProgressBlock(block, &report->progress);
    const uint32_t count = report->progress.reportCount;
    // Each report takes its 65 bytes and at least a terminator: a count the
    // payload cannot hold is refused before anything is allocated.
    if (count > (uint32_t)(in.Left() / (kEngineEntryReportSize + 1)))
        return kEngineDecodeMalformed;
    if (count == 0)
        return kEngineDecodeOk;
    nwEngineEntryReport* reports =
        static_cast<nwEngineEntryReport*>(calloc(count, sizeof(nwEngineEntryReport)));
    if (!reports)
        return kEngineDecodeNoMemory;
    for (uint32_t i = 0; i < count; ++i) {
        nwEngineEntryReport& entry = reports[i];
        entry.raw = in.Take(kEngineEntryReportSize);
        entry.text = in.Text();
        if (!in.Ok()) {
            free(reports);
            return kEngineDecodeMalformed;
        }
        Reader::CopyFixed(entry.name, entry.raw, kEngineJobNameSize);
        entry.totalBytes = Reader::ReadU64(entry.raw + 33);
        entry.bytesDone = Reader::ReadU64(entry.raw + 41);
        entry.speed = Reader::ReadU32(entry.raw + 49);
    }
    report->reports = reports;
    return kEngineDecodeOk;
}

void WriteFixedText(uint8_t* out, int32_t size, const char* text) {
    // The field keeps its terminator: a longer text is cut.
    size_t n = TextLength(text);
    if (n > (size_t)size - 1)
        n = (size_t)size - 1;
    if (n)
        memcpy(out, text, n);
    memset(out + n, 0, (size_t)size - n);
}

}  // namespace

void nwEngineWriteU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = (uint8_t)(value >> (8 * i));
}

void nwEngineWriteU64(uint8_t* out, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        out[i] = (uint8_t)(value >> (8 * i));
}

void nwEngineWriteText(uint8_t* out, int32_t size, const char* text) {
    WriteFixedText(out, size, text);
}

void nwEngineWriteJobMode(uint8_t* out, bool useEngine) {
    out[0] = useEngine ? 2 : 1;
    memset(out + 1, 0, 16);
}

int32_t nwEngineJobSize(const ovEngineJob* job) {
    if (!job || job->entryCount < 0 || (job->entryCount > 0 && !job->entries))
        return -1;
    int64_t size = kEngineJobHeaderSize;
    for (int32_t i = 0; i < job->entryCount; ++i) {
        size += kEngineJobRecordFixedSize + (int64_t)TextLength(job->entries[i].url) + 1;
        if (size > kFrameMaxPayload)
            return -1;
    }
    return (int32_t)size;
}

int32_t nwEngineJobEntrySize(const ovEngineJobEntry* entry) {
    if (!entry)
        return -1;
    const size_t url = TextLength(entry->url);
    if (url > (size_t)kEngineMaxUrlLength)
        return -1;
    return kEngineEntryFixedSize + (int32_t)url;
}

void nwEngineWriteJobHeader(uint8_t* out, uint32_t jobNumber, int32_t entryCount,
                            const char* name) {
    nwEngineWriteU32(out, jobNumber);
    nwEngineWriteU32(out + 4, (uint32_t)entryCount);
    WriteFixedText(out + 8, kEngineJobNameSize, name);
}

void nwEngineWriteJob(uint8_t* out, const ovEngineJob* job) {
    nwEngineWriteJobHeader(out, job->jobNumber, job->entryCount, job->name);
    uint8_t* at = out + kEngineJobHeaderSize;
    for (int32_t i = 0; i < job->entryCount; ++i) {
        const ovEngineJobEntry& entry = job->entries[i];
        at[0] = (uint8_t)entry.value1;
        at[1] = (uint8_t)entry.value2;
        nwEngineWriteU64(at + 2, (uint64_t)entry.expectedSize);
        WriteFixedText(at + 10, kEnginePathSize, entry.folder);
        WriteFixedText(at + 270, kEnginePathSize, entry.fileName);
        const size_t url = TextLength(entry.url);
        if (url)
            memcpy(at + kEngineJobRecordFixedSize, entry.url, url);
        at[kEngineJobRecordFixedSize + url] = 0;
        at += kEngineJobRecordFixedSize + url + 1;
    }
}

void nwEngineWriteJobEntry(uint8_t* out, uint32_t jobNumber, uint32_t index,
                           const ovEngineJobEntry* entry) {
    nwEngineWriteU32(out, jobNumber);
    nwEngineWriteU32(out + 4, index);
    out[8] = (uint8_t)entry->value1;
    out[9] = (uint8_t)entry->value2;
    nwEngineWriteU64(out + 10, (uint64_t)entry->expectedSize);
    WriteFixedText(out + 18, kEnginePathSize, entry->folder);
    WriteFixedText(out + 278, kEnginePathSize, entry->fileName);
    const size_t url = TextLength(entry->url);
    out[538] = (uint8_t)(url & 0xFF);
    out[539] = (uint8_t)(url >> 8);
    if (url)
        memcpy(out + kEngineEntryFixedSize, entry->url, url);
}

nwEngineDecodeResult nwEngineDecode(uint16_t message, const uint8_t* payload, int32_t length,
                                    nwEngineReport* report) {
    memset(report, 0, sizeof(*report));
    report->message = message;
    if (!payload)
        length = 0;
    Reader in(payload, length);
    switch (message) {
        case kEngineMsgJobAccepted:
            report->jobNumber = in.U32();
            report->engineJobId = in.U32();
            report->entryCount = in.U32();
            report->totalSize = in.U64();
            break;
        case kEngineMsgJobFailed:
            report->jobNumber = in.U32();
            report->value = in.U32();
            report->text = in.Text();
            report->tail = in.Take(kEngineTailSize);
            break;
        case kEngineMsgProgress:
            return DecodeProgress(in, report);
        case kEngineMsgFileDone:
        case kEngineMsgFileDoneAs:
            report->jobNumber = in.U32();
            report->engineJobId = in.U32();
            in.Take(kEngineUnreadFieldSize);
            in.FixedText(report->localPath, kEnginePathSize);
            if (message == kEngineMsgFileDoneAs)
                in.FixedText(report->reportedPath, kEnginePathSize);
            report->url = in.Text();
            break;
        case kEngineMsgJobFinished:
            report->jobNumber = in.U32();
            report->engineJobId = in.U32();
            report->value = in.U32();
            report->result = in.U32();
            report->giveUp = in.U32();
            break;
        case kEngineMsgDiskReport:
            report->jobNumber = in.U32();
            report->engineJobId = in.U32();
            report->flag = in.U8();
            report->text = in.Text();
            report->tail = in.Take(kEngineTailSize);
            break;
        case kEngineMsgNetworkLost:
        case kEngineMsgNetworkBack:
            report->tail = in.Take(kEngineTailSize);
            break;
        case kEngineMsgResumeQuestion:
            report->jobNumber = in.U32();
            break;
        case kEngineMsgEngineState:
            report->state = in.U32();
            break;
        default:
            return kEngineDecodeUnknown;
    }
    return in.Ok() ? kEngineDecodeOk : kEngineDecodeMalformed;
}

void nwEngineFreeReport(nwEngineReport* report) {
    if (!report)
        return;
    free(report->reports);
    report->reports = nullptr;
}

namespace {

// Fills one entry's fixed fields (value 1, value 2, size, folder, name).
void ReadEntryFields(Reader& in, nwEngineRequestEntry* entry) {
    entry->value1 = in.U8();
    entry->value2 = in.U8();
    entry->expectedSize = (int64_t)in.U64();
    in.FixedText(entry->folder, kEnginePathSize);
    in.FixedText(entry->fileName, kEnginePathSize);
}

char* CopyUrl(const uint8_t* at, size_t length) {
    char* url = static_cast<char*>(malloc(length + 1));
    if (!url)
        return nullptr;
    if (length)
        memcpy(url, at, length);
    url[length] = '\0';
    return url;
}

nwEngineDecodeResult DecodeWholeJob(Reader& in, nwEngineRequest* request) {
    request->jobNumber = in.U32();
    const uint32_t count = in.U32();
    in.FixedText(request->name, kEngineJobNameSize);
    if (!in.Ok())
        return kEngineDecodeMalformed;
    // Every record takes its fixed part and at least a terminator.
    if (count > (uint32_t)(in.Left() / (kEngineJobRecordFixedSize + 1)))
        return kEngineDecodeMalformed;
    request->entryCount = count;
    if (count == 0)
        return kEngineDecodeOk;
    request->entries =
        static_cast<nwEngineRequestEntry*>(calloc(count, sizeof(nwEngineRequestEntry)));
    if (!request->entries)
        return kEngineDecodeNoMemory;
    for (uint32_t i = 0; i < count; ++i) {
        nwEngineRequestEntry& entry = request->entries[i];
        entry.index = i;
        ReadEntryFields(in, &entry);
        const char* url = in.Text();
        if (!in.Ok())
            return kEngineDecodeMalformed;
        entry.url = CopyUrl(reinterpret_cast<const uint8_t*>(url), strlen(url));
        if (!entry.url)
            return kEngineDecodeNoMemory;
    }
    return kEngineDecodeOk;
}

nwEngineDecodeResult DecodeJobEntry(Reader& in, nwEngineRequest* request) {
    request->entries = static_cast<nwEngineRequestEntry*>(calloc(1, sizeof(nwEngineRequestEntry)));
    if (!request->entries)
        return kEngineDecodeNoMemory;
    nwEngineRequestEntry& entry = *request->entries;
    request->jobNumber = in.U32();
    entry.index = in.U32();
    ReadEntryFields(in, &entry);
    const uint8_t* length = in.Take(2);
    if (!length)
        return kEngineDecodeMalformed;
    const int32_t urlLength = length[0] | (length[1] << 8);
    const uint8_t* url = in.Take(urlLength);
    // The URL goes on as a text: one with a zero byte inside is refused.
    if (!url || (urlLength && memchr(url, 0, (size_t)urlLength)))
        return kEngineDecodeMalformed;
    entry.url = CopyUrl(url, (size_t)urlLength);
    if (!entry.url)
        return kEngineDecodeNoMemory;
    request->entryCount = 1;
    return kEngineDecodeOk;
}

}  // namespace

nwEngineDecodeResult nwEngineDecodeRequest(uint16_t category, uint16_t message,
                                           const uint8_t* payload, int32_t length,
                                           nwEngineRequest* request) {
    memset(request, 0, sizeof(*request));
    request->message = message;
    if (!payload)
        length = 0;
    const uint16_t expected =
        message == kEngineMsgJob ? kFrameCategoryEngineEvent : kFrameCategoryEngine;
    if (category != expected)
        return kEngineDecodeUnknown;
    Reader in(payload, length);
    nwEngineDecodeResult result = kEngineDecodeOk;
    switch (message) {
        case kEngineMsgJobMode:
            request->mode = in.U8();
            in.Take(16);
            break;
        case kEngineMsgServiceCode:
            in.FixedText(request->text, kEngineServiceCodeSize);
            break;
        case kEngineMsgParameter:
            in.FixedText(request->text, kEngineParameterSize);
            break;
        case kEngineMsgCancel:
            request->jobNumber = in.U32();
            request->engineJobId = in.U32();
            break;
        case kEngineMsgJobOption:
            request->jobNumber = in.U32();
            request->engineJobId = in.U32();
            request->value = in.U8();
            break;
        case kEngineMsgJob:
            result = DecodeWholeJob(in, request);
            break;
        case kEngineMsgJobFlag:
        case kEngineMsgJobEnd:
            request->jobNumber = in.U32();
            break;
        case kEngineMsgResumeReply:
            request->engineJobId = in.U32();
            request->jobNumber = in.U32();
            request->resume = in.U8();
            request->applyToAll = in.U8();
            break;
        case kEngineMsgJobBegin:
            request->jobNumber = in.U32();
            request->entryCount = in.U32();
            in.FixedText(request->name, kEngineJobNameSize);
            break;
        case kEngineMsgJobEntry:
            result = DecodeJobEntry(in, request);
            break;
        case kEngineMsgHello:
            break;
        default:
            return kEngineDecodeUnknown;
    }
    if (result == kEngineDecodeOk && !in.Ok())
        result = kEngineDecodeMalformed;
    if (result != kEngineDecodeOk)
        nwEngineFreeRequest(request);
    return result;
}

void nwEngineFreeRequest(nwEngineRequest* request) {
    if (!request || !request->entries)
        return;
    const uint32_t count = request->message == kEngineMsgJobEntry ? 1 : request->entryCount;
    for (uint32_t i = 0; i < count; ++i)
        free(request->entries[i].url);
    free(request->entries);
    request->entries = nullptr;
    request->entryCount = 0;
}

void nwEngineWriteJobAccepted(uint8_t* out, uint32_t jobNumber, uint32_t engineJobId,
                              uint32_t entryCount, uint64_t totalSize) {
    nwEngineWriteU32(out, jobNumber);
    nwEngineWriteU32(out + 4, engineJobId);
    nwEngineWriteU32(out + 8, entryCount);
    nwEngineWriteU64(out + 12, totalSize);
}

void nwEngineWriteJobFinished(uint8_t* out, uint32_t jobNumber, uint32_t engineJobId,
                              uint32_t value, uint32_t result, uint32_t giveUp) {
    nwEngineWriteU32(out, jobNumber);
    nwEngineWriteU32(out + 4, engineJobId);
    nwEngineWriteU32(out + 8, value);
    nwEngineWriteU32(out + 12, result);
    nwEngineWriteU32(out + 16, giveUp);
}

int32_t nwEngineFileDoneSize(const char* url, bool withReportedPath) {
    return 8 + kEngineUnreadFieldSize + kEnginePathSize * (withReportedPath ? 2 : 1) +
           (int32_t)TextLength(url) + 1;
}

void nwEngineWriteFileDone(uint8_t* out, uint32_t jobNumber, uint32_t engineJobId,
                           const char* localPath, const char* reportedPath, const char* url) {
    nwEngineWriteU32(out, jobNumber);
    nwEngineWriteU32(out + 4, engineJobId);
    memset(out + 8, 0, kEngineUnreadFieldSize);
    uint8_t* at = out + 8 + kEngineUnreadFieldSize;
    WriteFixedText(at, kEnginePathSize, localPath);
    at += kEnginePathSize;
    if (reportedPath) {
        WriteFixedText(at, kEnginePathSize, reportedPath);
        at += kEnginePathSize;
    }
    const size_t n = TextLength(url);
    if (n)
        memcpy(at, url, n);
    at[n] = 0;
}

int32_t nwEngineTextReportSize(const char* text) {
    return 8 + (int32_t)TextLength(text) + 1 + kEngineTailSize;
}

namespace {

// A text with its terminator, then the zero tail.
void WriteTextAndTail(uint8_t* at, const char* text) {
    const size_t n = TextLength(text);
    if (n)
        memcpy(at, text, n);
    memset(at + n, 0, 1 + kEngineTailSize);
}

}  // namespace

void nwEngineWriteDiskReport(uint8_t* out, uint32_t jobNumber, uint32_t engineJobId, uint8_t flag,
                             const char* text) {
    nwEngineWriteU32(out, jobNumber);
    nwEngineWriteU32(out + 4, engineJobId);
    out[8] = flag;
    WriteTextAndTail(out + 9, text);
}

void nwEngineWriteJobFailed(uint8_t* out, uint32_t jobNumber, uint32_t value, const char* text) {
    nwEngineWriteU32(out, jobNumber);
    nwEngineWriteU32(out + 4, value);
    WriteTextAndTail(out + 8, text);
}

int32_t nwEngineProgressSize(const nwEngineEntryProgress* reports, uint32_t count) {
    int64_t size = kEngineProgressBlockSize;
    for (uint32_t i = 0; reports && i < count; ++i) {
        size += kEngineEntryReportSize + (int64_t)TextLength(reports[i].text) + 1;
        if (size > kFrameMaxPayload)
            return -1;
    }
    return (int32_t)size;
}

void nwEngineWriteProgress(uint8_t* out, const nwEngineProgressBlock& block,
                           const nwEngineEntryProgress* reports, uint32_t count) {
    nwEngineWriteU32(out + 0, block.jobNumber);
    nwEngineWriteU32(out + 4, block.engineJobId);
    nwEngineWriteU32(out + 8, block.value8);
    nwEngineWriteU32(out + 12, block.counter);
    nwEngineWriteU32(out + 16, block.entryIndex);
    nwEngineWriteU64(out + 20, block.totalBytes);
    nwEngineWriteU64(out + 28, block.bytesDone);
    nwEngineWriteU32(out + 36, block.speed);
    nwEngineWriteU32(out + 40, block.value40);
    nwEngineWriteU64(out + 44, block.timeStamp);
    nwEngineWriteU32(out + 52, block.value52);
    nwEngineWriteU32(out + 56, block.value56);
    nwEngineWriteU32(out + 60, count);
    uint8_t* at = out + kEngineProgressBlockSize;
    for (uint32_t i = 0; i < count; ++i) {
        const nwEngineEntryProgress& report = reports[i];
        WriteFixedText(at, kEngineJobNameSize, report.name);
        nwEngineWriteU64(at + 33, report.totalBytes);
        nwEngineWriteU64(at + 41, report.bytesDone);
        nwEngineWriteU32(at + 49, report.speed);
        memset(at + 53, 0, kEngineEntryReportSize - 53);
        at += kEngineEntryReportSize;
        const size_t n = TextLength(report.text);
        if (n)
            memcpy(at, report.text, n);
        at[n] = 0;
        at += n + 1;
    }
}
