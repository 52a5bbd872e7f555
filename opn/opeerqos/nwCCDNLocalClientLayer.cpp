#include "opn/opeerqos/nwCCDNLocalClientLayer.h"

#include "opn/core/ovClassIds.h"

namespace {

// Every report kind the engine sends, each with its own handler entry.
const uint16_t kReportMessages[] = {
    kEngineMsgJobAccepted, kEngineMsgJobFailed,      kEngineMsgProgress,    kEngineMsgFileDone,
    kEngineMsgFileDoneAs,  kEngineMsgJobFinished,    kEngineMsgDiskReport,  kEngineMsgNetworkLost,
    kEngineMsgNetworkBack, kEngineMsgResumeQuestion, kEngineMsgEngineState,
};

// Bytes of `data` before the first frame whose header announces more than a
// report may hold; `length` when there is none.
int32_t BeforeOversizedFrame(const uint8_t* data, int32_t length) {
    int64_t at = 0;
    while (at + kFrameHeaderSize <= length) {
        const nwFrameHeader header = nwReadFrameHeader(data + at);
        if (header.payloadLength > (uint32_t)kEngineMaxReportPayload)
            return (int32_t)at;
        at += kFrameHeaderSize + (int64_t)header.payloadLength;
    }
    return length;
}

}  // namespace

nwCCDNLocalClientLayer::nwCCDNLocalClientLayer() : m_face(this) {
    RegisterHandlers();
}

nwCCDNLocalClientLayer::~nwCCDNLocalClientLayer() {}

ResultCode nwCCDNLocalClientLayer::QueryInterface(uint32_t id, void** out) {
    if (id != OV_IID_NETSTACK || !out)
        return OV_E_NETWORK;
    *out = static_cast<nwIQoSNetStack*>(this);
    return OV_S_NETWORK;
}

void nwCCDNLocalClientLayer::RegisterHandlers() {
    for (uint16_t message : kReportMessages)
        m_dispatcher.AddHandler(kFrameCategoryEngine, message,
                                &nwCCDNLocalClientLayer::OnReportFrame, this);
}

int32_t nwCCDNLocalClientLayer::OnData(const uint8_t* data, int32_t length) {
    // A listener may drop the last reference from inside a report: the flag
    // is read while this call still holds one.
    AddRef();
    const int32_t bounded = data && length > 0 ? BeforeOversizedFrame(data, length) : length;
    // The whole frames in front of an oversized one still count.
    const int32_t consumed = bounded > 0 ? nwCApplicationStack::OnData(data, bounded) : 0;
    if (bounded < length && !m_dispatcher.IsStopped()) {
        m_malformed = true;
        m_dispatcher.Stop();
    }
    const bool malformed = m_malformed;
    Release();
    // A malformed report stopped the dispatcher; failing makes the context
    // close the connection.
    return malformed ? -1 : consumed;
}

void nwCCDNLocalClientLayer::OnReportFrame(const uint8_t* payload, int32_t length, void* user) {
    nwCCDNLocalClientLayer* self = static_cast<nwCCDNLocalClientLayer*>(user);
    const uint16_t message = self->m_dispatcher.LastHeader().message;
    nwEngineReport report;
    if (nwEngineDecode(message, payload, length, &report) != kEngineDecodeOk) {
        self->m_malformed = true;
        self->m_dispatcher.Stop();
        return;
    }
    self->Deliver(report);
    nwEngineFreeReport(&report);
}

void nwCCDNLocalClientLayer::Deliver(const nwEngineReport& r) {
    nwICDNLocalClientEventListener* l = m_listener;
    if (!l)
        return;
    switch (r.message) {
        case kEngineMsgJobAccepted:
            l->OnJobAccepted(m_key, r.jobNumber, r.engineJobId, r.entryCount, r.totalSize);
            break;
        case kEngineMsgJobFailed:
            l->OnJobFailed(m_key, r.jobNumber, r.value, r.text, r.tail);
            break;
        case kEngineMsgProgress:
            l->OnJobProgress(m_key, r.progress, r.reports, r.progress.reportCount);
            break;
        case kEngineMsgFileDone:
            l->OnFileDone(m_key, r.jobNumber, r.engineJobId, r.localPath, r.url);
            break;
        case kEngineMsgFileDoneAs:
            l->OnFileDoneAs(m_key, r.jobNumber, r.engineJobId, r.localPath, r.reportedPath, r.url);
            break;
        case kEngineMsgJobFinished:
            l->OnJobFinished(m_key, r.jobNumber, r.engineJobId, r.value, r.result, r.giveUp);
            break;
        case kEngineMsgDiskReport:
            l->OnDiskReport(m_key, r.jobNumber, r.engineJobId, r.flag, r.text);
            break;
        case kEngineMsgNetworkLost:
            l->OnNetworkLost(m_key);
            break;
        case kEngineMsgNetworkBack:
            l->OnNetworkBack(m_key);
            break;
        case kEngineMsgResumeQuestion:
            l->OnResumeQuestion(m_key, r.jobNumber);
            break;
        case kEngineMsgEngineState:
            l->OnEngineState(m_key, r.state);
            break;
        default:
            break;
    }
}

bool nwCCDNLocalClientLayer::OnConnected() {
    if (m_listener)
        m_listener->OnEngineConnected(m_key);
    return true;
}

void nwCCDNLocalClientLayer::OnClosedHook() {
    if (m_listener)
        m_listener->OnEngineClosed(m_key);
}

bool nwCCDNLocalClientLayer::OnConnectFailed() {
    if (m_listener)
        m_listener->OnEngineConnectFailed(m_key);
    return true;
}

bool nwCCDNLocalClientLayer::OnSendDrained() {
    return true;
}

bool nwCCDNLocalClientLayer::OnReceiveIdle() {
    return true;
}

ResultCode nwCCDNLocalClientLayer::SetEventListener(nwICDNLocalClientEventListener* listener,
                                                    uint32_t key) {
    m_listener = listener;
    m_key = key;
    return OV_S_NETWORK;
}

template <class Fill>
ResultCode nwCCDNLocalClientLayer::Send(uint16_t message, int32_t size, Fill fill,
                                        uint16_t category) {
    if (size < 0)
        return OV_E_NETWORK;
    uint8_t* payload = AllocFrame(size);
    if (!payload)
        return OV_E_NETWORK;
    fill(payload);
    return SendFrame(message, payload, size, category);
}

ResultCode nwCCDNLocalClientLayer::SendJobMode(bool useEngine) {
    return Send(kEngineMsgJobMode, 17, [&](uint8_t* out) { nwEngineWriteJobMode(out, useEngine); });
}

ResultCode nwCCDNLocalClientLayer::SendServiceCode(const char* serviceCode) {
    return Send(kEngineMsgServiceCode, kEngineServiceCodeSize,
                [&](uint8_t* out) { nwEngineWriteText(out, kEngineServiceCodeSize, serviceCode); });
}

ResultCode nwCCDNLocalClientLayer::SendJob(const ovEngineJob* job) {
    return Send(
        kEngineMsgJob, nwEngineJobSize(job), [&](uint8_t* out) { nwEngineWriteJob(out, job); },
        kFrameCategoryEngineEvent);
}

ResultCode nwCCDNLocalClientLayer::SendJobBegin(uint32_t jobNumber, int32_t entryCount,
                                                const char* name) {
    if (entryCount < 0)
        return OV_E_NETWORK;
    return Send(kEngineMsgJobBegin, kEngineJobHeaderSize,
                [&](uint8_t* out) { nwEngineWriteJobHeader(out, jobNumber, entryCount, name); });
}

ResultCode nwCCDNLocalClientLayer::SendJobEntry(uint32_t jobNumber, uint32_t index,
                                                const ovEngineJobEntry* entry) {
    return Send(kEngineMsgJobEntry, nwEngineJobEntrySize(entry),
                [&](uint8_t* out) { nwEngineWriteJobEntry(out, jobNumber, index, entry); });
}

ResultCode nwCCDNLocalClientLayer::SendJobEnd(uint32_t jobNumber) {
    return Send(kEngineMsgJobEnd, 4, [&](uint8_t* out) { nwEngineWriteU32(out, jobNumber); });
}

ResultCode nwCCDNLocalClientLayer::SendCancel(uint32_t jobNumber, uint32_t engineJobId) {
    return Send(kEngineMsgCancel, 8, [&](uint8_t* out) {
        nwEngineWriteU32(out, jobNumber);
        nwEngineWriteU32(out + 4, engineJobId);
    });
}

ResultCode nwCCDNLocalClientLayer::SendParameter(const char* text) {
    return Send(kEngineMsgParameter, kEngineParameterSize,
                [&](uint8_t* out) { nwEngineWriteText(out, kEngineParameterSize, text); });
}

ResultCode nwCCDNLocalClientLayer::SendJobOption(uint32_t jobNumber, uint32_t engineJobId,
                                                 uint8_t value) {
    return Send(kEngineMsgJobOption, 9, [&](uint8_t* out) {
        nwEngineWriteU32(out, jobNumber);
        nwEngineWriteU32(out + 4, engineJobId);
        out[8] = value;
    });
}

ResultCode nwCCDNLocalClientLayer::SendJobFlag(uint32_t jobNumber) {
    return Send(kEngineMsgJobFlag, 4, [&](uint8_t* out) { nwEngineWriteU32(out, jobNumber); });
}

ResultCode nwCCDNLocalClientLayer::SendResumeReply(uint32_t engineJobId, uint32_t jobNumber,
                                                   bool resume, bool applyToAll) {
    return Send(kEngineMsgResumeReply, 10, [&](uint8_t* out) {
        nwEngineWriteU32(out, engineJobId);
        nwEngineWriteU32(out + 4, jobNumber);
        out[8] = resume ? 1 : 0;
        out[9] = applyToAll ? 1 : 0;
    });
}

ResultCode nwCCDNLocalClientLayer::SendHello() {
    return Send(kEngineMsgHello, 0, [](uint8_t*) {});
}
