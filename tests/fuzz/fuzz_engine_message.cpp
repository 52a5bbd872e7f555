// Arbitrary bytes as reports from the local engine. The first two bytes pick
// the message number, the rest is its payload: the decoder never reads past
// the payload, every text it passes on ends inside it, and it never holds
// more entry reports than the payload has room for. The whole input is also
// fed as a byte stream to an engine layer, whose listener reads every text.
// The same payload is also decoded as a request of the library, in both
// categories: never more files than the payload holds, every text bounded.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "opn/opeerqos/nwCCDNLocalClientLayer.h"
#include "opn/opeerqos/nwEngineMessages.h"

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// A text handed on must end inside [begin, end).
void CheckInside(const char* text, const uint8_t* begin, const uint8_t* end) {
    if (!text)
        return;
    const uint8_t* at = reinterpret_cast<const uint8_t*>(text);
    Check(at >= begin && at < end);
    Check(memchr(at, 0, (size_t)(end - at)) != nullptr);
}

size_t Sink(const char* text) {
    return text ? strlen(text) : 0;
}

class Reader : public nwICDNLocalClientEventListener {
  public:
    size_t total = 0;
    void OnEngineConnected(uint32_t) override {}
    void OnJobAccepted(uint32_t, uint32_t, uint32_t, uint32_t, uint64_t) override {}
    void OnJobFailed(uint32_t, uint32_t, uint32_t, const char* text, const uint8_t* tail) override {
        total += Sink(text) + tail[15];
    }
    void OnJobProgress(uint32_t, const nwEngineProgressBlock&, const nwEngineEntryReport* reports,
                       uint32_t count) override {
        for (uint32_t i = 0; i < count; ++i)
            total += Sink(reports[i].text) + Sink(reports[i].name) + reports[i].raw[64];
    }
    void OnFileDone(uint32_t, uint32_t, uint32_t, const char* path, const char* url) override {
        total += Sink(path) + Sink(url);
    }
    void OnFileDoneAs(uint32_t, uint32_t, uint32_t, const char* path, const char* reported,
                      const char* url) override {
        total += Sink(path) + Sink(reported) + Sink(url);
    }
    void OnJobFinished(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) override {}
    void OnDiskReport(uint32_t, uint32_t, uint32_t, uint8_t, const char* text) override {
        total += Sink(text);
    }
    void OnNetworkLost(uint32_t) override {}
    void OnNetworkBack(uint32_t) override {}
    void OnEngineClosed(uint32_t) override {}
    void OnEngineConnectFailed(uint32_t) override {}
    void OnResumeQuestion(uint32_t, uint32_t) override {}
    void OnEngineState(uint32_t, uint32_t) override {}
};

void DecodeRequests(uint16_t message, const uint8_t* payload, size_t length) {
    const uint16_t categories[2] = {kFrameCategoryEngine, kFrameCategoryEngineEvent};
    for (uint16_t category : categories) {
        nwEngineRequest request;
        const nwEngineDecodeResult result =
            nwEngineDecodeRequest(category, message, payload, (int32_t)length, &request);
        if (result != kEngineDecodeOk) {
            Check(result != kEngineDecodeNoMemory);
            Check(request.entries == nullptr);
            continue;
        }
        Check(strlen(request.text) <= (size_t)kEngineParameterSize);
        Check(strlen(request.name) <= (size_t)kEngineJobNameSize);
        const uint32_t files = request.message == kEngineMsgJobEntry ? 1
                               : request.message == kEngineMsgJob    ? request.entryCount
                                                                     : 0;
        Check(files == 0 || request.entries != nullptr);
        Check((uint64_t)files * (kEngineJobRecordFixedSize + 1) <= length + 10);
        for (uint32_t i = 0; i < files; ++i) {
            const nwEngineRequestEntry& entry = request.entries[i];
            Check(strlen(entry.folder) <= (size_t)kEnginePathSize);
            Check(strlen(entry.fileName) <= (size_t)kEnginePathSize);
            Check(entry.url != nullptr && strlen(entry.url) < length);
        }
        nwEngineFreeRequest(&request);
    }
}

void DecodeOne(const uint8_t* data, size_t size) {
    if (size < 2 || size > (size_t)kFrameMaxPayload)
        return;
    const uint16_t message = (uint16_t)(data[0] | (data[1] << 8));
    // A copy of exactly the payload, so any read past it is caught.
    const size_t length = size - 2;
    uint8_t* payload = new uint8_t[length ? length : 1];
    memcpy(payload, data + 2, length);
    const uint8_t* end = payload + length;
    nwEngineReport report;
    const nwEngineDecodeResult result = nwEngineDecode(message, payload, (int32_t)length, &report);
    if (result == kEngineDecodeOk) {
        CheckInside(report.text, payload, end);
        CheckInside(report.url, payload, end);
        Check(strlen(report.localPath) <= (size_t)kEnginePathSize);
        Check(strlen(report.reportedPath) <= (size_t)kEnginePathSize);
        if (report.tail)
            Check(report.tail >= payload && report.tail + kEngineTailSize <= end);
        if (message == kEngineMsgProgress) {
            const uint32_t count = report.progress.reportCount;
            Check((uint64_t)kEngineProgressBlockSize +
                      (uint64_t)count * (kEngineEntryReportSize + 1) <=
                  length);
            Check(count == 0 || report.reports != nullptr);
            for (uint32_t i = 0; i < count; ++i) {
                Check(report.reports[i].raw >= payload &&
                      report.reports[i].raw + kEngineEntryReportSize <= end);
                CheckInside(report.reports[i].text, payload, end);
                Check(strlen(report.reports[i].name) <= (size_t)kEngineJobNameSize);
            }
        }
        nwEngineFreeReport(&report);
    } else {
        Check(result != kEngineDecodeNoMemory);
    }
    DecodeRequests(message, payload, length);
    delete[] payload;
}

void FeedLayer(const uint8_t* data, size_t size) {
    nwCCDNLocalClientLayer* layer = new nwCCDNLocalClientLayer();
    layer->AddRef();
    Reader reader;
    layer->SetEventListener(&reader, 1);
    // Two deliveries, split in the middle, the way a context offers bytes.
    const size_t half = size / 2;
    int32_t used = layer->OnData(data, (int32_t)half);
    if (used >= 0) {
        Check((size_t)used <= half);
        used = layer->OnData(data + used, (int32_t)(size - (size_t)used));
        Check(used < 0 || (size_t)used <= size);
    }
    layer->OnClosed();
    layer->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20))
        return 0;
    DecodeOne(data, size);
    FeedLayer(data, size);
    return 0;
}
