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
