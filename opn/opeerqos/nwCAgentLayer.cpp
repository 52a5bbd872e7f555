#include "opn/opeerqos/nwCAgentLayer.h"

#include <string.h>

#include "opn/core/ovClassIds.h"

nwCAgentLayer::nwCAgentLayer() : m_face(this) {
    RegisterHandlers();
}

nwCAgentLayer::~nwCAgentLayer() {}

ResultCode nwCAgentLayer::QueryInterface(uint32_t id, void** out) {
    if (id != OV_IID_NETSTACK || !out)
        return OV_E_NETWORK;
    *out = static_cast<nwIQoSNetStack*>(this);
    return OV_S_NETWORK;
}

void nwCAgentLayer::RegisterHandlers() {
    m_dispatcher.AddHandler(kFrameCategoryAgent, kAgentMessageReply, &nwCAgentLayer::OnReplyFrame,
                            this);
}

void nwCAgentLayer::OnReplyFrame(const uint8_t* payload, int32_t length, void* user) {
    nwCAgentLayer* self = static_cast<nwCAgentLayer*>(user);
    // A frame's padded payload is never empty; the guard is for hand-made
    // calls.
    if (self->m_listener && length > 0)
        self->m_listener->OnReply(self->m_key, payload[0]);
}

bool nwCAgentLayer::OnConnected() {
    if (m_listener)
        m_listener->OnConnected(m_key);
    return true;
}

void nwCAgentLayer::OnClosedHook() {
    if (m_listener)
        m_listener->OnClosed(m_key);
}

bool nwCAgentLayer::OnConnectFailed() {
    if (m_listener)
        m_listener->OnConnectTimeout(m_key);
    return true;
}

bool nwCAgentLayer::OnSendDrained() {
    return true;
}

bool nwCAgentLayer::OnReceiveIdle() {
    if (m_listener)
        m_listener->OnReceiveTimeout(m_key);
    return true;
}

ResultCode nwCAgentLayer::SetEventListener(nwIAgentListener* listener, uint32_t key) {
    m_listener = listener;
    m_key = key;
    return OV_S_NETWORK;
}

ResultCode nwCAgentLayer::SendReport(const ovAgentReportBatch* batch) {
    if (!batch || batch->count < 0 || batch->count > kAgentMaxRecords)
        return OV_E_NETWORK;
    if (batch->count > 0 && !batch->records)
        return OV_E_NETWORK;
    const int32_t recordBytes = batch->count * kAgentRecordSize;
    const int32_t payloadSize = 4 + recordBytes;
    uint8_t* payload = AllocFrame(payloadSize);
    if (!payload)
        return OV_E_NETWORK;
    const uint32_t count = (uint32_t)batch->count;
    payload[0] = (uint8_t)(count & 0xFF);
    payload[1] = (uint8_t)((count >> 8) & 0xFF);
    payload[2] = (uint8_t)((count >> 16) & 0xFF);
    payload[3] = (uint8_t)(count >> 24);
    if (recordBytes > 0)
        memcpy(payload + 4, batch->records, (size_t)recordBytes);
    return SendFrame(kAgentMessageReport, payload, payloadSize, kFrameCategoryAgent);
}
