#include "opn/opeerqos/nwIQoSNetStack.h"

ResultCode nwIQoSNetStack::GetReceiveRate(uint32_t* bytesPerSecond) {
    return m_context ? m_context->GetReceiveRate(bytesPerSecond) : OV_E_PLATFORM;
}

ResultCode nwIQoSNetStack::GetSendRate(uint32_t* bytesPerSecond) {
    return m_context ? m_context->GetSendRate(bytesPerSecond) : OV_E_PLATFORM;
}

ResultCode nwIQoSNetStack::SendDown(const ovQoSBlock* block) {
    (void)block;
    return OV_S_NETWORK;
}

ResultCode nwIQoSNetStack::CloseContext() {
    return m_context ? m_context->Close() : OV_E_PLATFORM;
}

bool nwIQoSNetStack::OnHostUnreachable() {
    return true;
}

bool nwIQoSNetStack::OnEvent(uint32_t code, uint32_t argument) {
    (void)code;
    (void)argument;
    return true;
}

int32_t nwIQoSNetStack::OnData(const uint8_t* data, int32_t length) {
    (void)data;
    (void)length;
    return 0;
}

void nwIQoSNetStack::OnClosed() {}

ResultCode nwIQoSNetStack::SetEventMask(uint32_t mask) {
    return m_context ? m_context->SetEventMask(mask) : OV_E_PLATFORM;
}

ResultCode nwIQoSNetStack::AddEvents(uint32_t bits) {
    return m_context ? m_context->AddEvents(bits) : OV_E_PLATFORM;
}

ResultCode nwIQoSNetStack::RemoveEvents(uint32_t bits) {
    return m_context ? m_context->RemoveEvents(bits) : OV_E_PLATFORM;
}

ResultCode nwIQoSNetStack::Connect(const NetAddress* address) {
    return m_context ? m_context->Connect(address) : OV_E_PLATFORM;
}

ResultCode nwIQoSNetStack::NotifyConnectedAbove() {
    return m_context ? m_context->NotifyConnectedAbove(this) : OV_E_PLATFORM;
}

int32_t nwIQoSNetStack::PassUp(const uint8_t* data, int32_t length) {
    return m_context ? m_context->PassUp(this, data, length) : 0;
}

ResultCode nwIQoSNetStack::SendFromLayer(const ovQoSBlock* block) {
    return m_context ? m_context->SendFromLayer(this, block) : OV_E_PLATFORM;
}
