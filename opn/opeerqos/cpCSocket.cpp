#include "opn/opeerqos/cpCSocket.h"

cpCSocket::~cpCSocket() {
    Close();
}

ResultCode cpCSocket::Create(int32_t kind) {
    return SockCreate(&m_record, kind);
}

ResultCode cpCSocket::Connect(const NetAddress* address) {
    return SockConnect(m_record, address);
}

ResultCode cpCSocket::Close() {
    if (!m_record)
        return OV_S_PLATFORM;
    SockRecord* record = m_record;
    m_record = nullptr;
    return SockClose(record);
}

ResultCode cpCSocket::Send(const void* data, int32_t size, int32_t* sent) {
    return SockSend(m_record, data, size, sent);
}

ResultCode cpCSocket::Recv(void* buffer, int32_t size, int32_t* received) {
    return SockRecv(m_record, buffer, size, received);
}

ResultCode cpCSocket::Bind(const NetAddress* address) {
    return SockBind(m_record, address);
}

ResultCode cpCSocket::Listen() {
    return SockListen(m_record);
}

ResultCode cpCSocket::Accept(SockRecord** newRecord, NetAddress* outAddress) {
    if (!newRecord)
        return OV_E_SOCKET_RECORD;
    const bool allocated = *newRecord == nullptr;
    ResultCode result = SockAccept(m_record, outAddress, newRecord);
    if (OV_FAILED(result) && allocated && *newRecord) {
        SockClose(*newRecord);
        *newRecord = nullptr;
    }
    return result;
}

ResultCode cpCSocket::SendTo(const NetAddress* address, const void* data, int32_t size,
                             int32_t* sent) {
    return SockSendTo(m_record, address, data, size, sent);
}

ResultCode cpCSocket::EnableBroadcast(int32_t mode) {
    return SockEnableBroadcast(m_record, mode);
}

ResultCode cpCSocket::RecvFrom(void* buffer, int32_t size, int32_t* received, NetAddress* from) {
    return SockRecvFrom(m_record, buffer, size, received, from);
}
