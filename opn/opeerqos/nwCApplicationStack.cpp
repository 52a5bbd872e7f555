#include "opn/opeerqos/nwCApplicationStack.h"

#include <stdlib.h>

namespace {

// Keeps a layer alive for the length of a call into its handlers or hooks.
class LayerHold {
  public:
    explicit LayerHold(nwIQoSNetStack* layer) : m_layer(layer) { m_layer->AddRef(); }
    ~LayerHold() { m_layer->Release(); }
    LayerHold(const LayerHold&) = delete;
    LayerHold& operator=(const LayerHold&) = delete;

  private:
    nwIQoSNetStack* m_layer;
};

}  // namespace

bool nwCApplicationStack::OnEvent(uint32_t code, uint32_t argument) {
    (void)argument;
    LayerHold hold(this);
    switch (code) {
        case kQoSEventConnectFailed:
            return OnConnectFailed();
        case kQoSEventSendDrained:
            return OnSendDrained();
        case kQoSEventReceiveIdle:
            return OnReceiveIdle();
        case kQoSEventScheduled:
            return OnScheduled();
        default:
            return true;
    }
}

int32_t nwCApplicationStack::OnData(const uint8_t* data, int32_t length) {
    LayerHold hold(this);
    return m_dispatcher.DispatchAll(data, length);
}

void nwCApplicationStack::OnClosed() {
    LayerHold hold(this);
    m_dispatcher.Stop();
    OnClosedHook();
}

bool nwCApplicationStack::OnConnectFailed() {
    return true;
}

bool nwCApplicationStack::OnSendDrained() {
    return true;
}

bool nwCApplicationStack::OnReceiveIdle() {
    return true;
}

bool nwCApplicationStack::OnScheduled() {
    return true;
}

uint8_t* nwCApplicationStack::AllocFrame(int32_t payloadSize) {
    if (payloadSize < 0 || payloadSize > kFrameMaxPayload)
        return nullptr;
    uint8_t* frame = static_cast<uint8_t*>(calloc(1, (size_t)nwFrameSize(payloadSize)));
    return frame ? frame + kFrameHeaderSize : nullptr;
}

void nwCApplicationStack::FreeFrame(uint8_t* payload) {
    if (payload)
        free(payload - kFrameHeaderSize);
}

ResultCode nwCApplicationStack::SendFrame(uint16_t message, uint8_t* payload, int32_t payloadSize,
                                          uint16_t category) {
    if (!payload)
        return OV_E_NETWORK;
    if (payloadSize < 0 || payloadSize > kFrameMaxPayload) {
        FreeFrame(payload);
        return OV_E_NETWORK;
    }
    uint8_t* frame = payload - kFrameHeaderSize;
    const int32_t padded = nwFramePaddedPayload(payloadSize);
    nwWriteFrameHeader(frame, category, message, (uint32_t)padded);
    const ovQoSBlock block = {frame, kFrameHeaderSize + padded};
    const ResultCode sent = SendFromLayer(&block);
    free(frame);
    return OV_FAILED(sent) ? sent : OV_S_NETWORK;
}
