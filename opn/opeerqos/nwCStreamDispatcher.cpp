#include "opn/opeerqos/nwCStreamDispatcher.h"

#include <new>
#include <string.h>

struct nwCStreamDispatcher::Handler {
    bool framed;
    uint16_t category;
    uint16_t message;
    nwFrameCallback frameCallback;
    nwRawCallback rawCallback;
    void* user;
};

nwCStreamDispatcher::nwCStreamDispatcher() : m_rawMode(0), m_stopped(0) {
    memset(m_header, 0, sizeof(m_header));
}

nwCStreamDispatcher::~nwCStreamDispatcher() {
    for (ovCPtrList::Node* node = m_handlers.HeadNode(); node; node = node->next)
        delete static_cast<Handler*>(node->element);
    m_handlers.RemoveAll();
}

ResultCode nwCStreamDispatcher::AddHandler(uint16_t category, uint16_t message,
                                           nwFrameCallback callback, void* user) {
    if (!callback)
        return OV_E_NETWORK;
    Handler* handler = new (std::nothrow) Handler{true, category, message, callback, nullptr, user};
    if (!handler)
        return OV_E_NETWORK;
    if (!m_handlers.AddTail(handler)) {
        delete handler;
        return OV_E_NETWORK;
    }
    return OV_S_NETWORK;
}

ResultCode nwCStreamDispatcher::AddRawHandler(nwRawCallback callback, void* user) {
    if (!callback)
        return OV_E_NETWORK;
    Handler* handler = new (std::nothrow) Handler{false, 0, 0, nullptr, callback, user};
    if (!handler)
        return OV_E_NETWORK;
    if (!m_handlers.AddTail(handler)) {
        delete handler;
        return OV_E_NETWORK;
    }
    m_rawMode = 1;
    return OV_S_NETWORK;
}

ResultCode nwCStreamDispatcher::Dispatch(const uint8_t* data, int32_t length, int32_t* consumed) {
    const int32_t result = DispatchAll(data, length);
    if (consumed)
        *consumed = result;
    return OV_S_NETWORK;
}

nwFrameHeader nwCStreamDispatcher::LastHeader() const {
    return nwReadFrameHeader(m_header);
}

int32_t nwCStreamDispatcher::DispatchOne(const uint8_t* data, int32_t length) {
    if (!data || length <= 0 || m_stopped)
        return 0;

    const uint8_t* payload = data;
    int32_t payloadLength = length;
    nwFrameHeader header = {0, 0, 0};
    if (!m_rawMode) {
        if (length < kFrameHeaderSize)
            return 0;
        memcpy(m_header, data, sizeof(m_header));
        header = nwReadFrameHeader(m_header);
        // 64-bit sum: the length field is outside data and may be anything.
        if ((int64_t)kFrameHeaderSize + header.payloadLength > (int64_t)length)
            return 0;
        payload = data + kFrameHeaderSize;
        payloadLength = (int32_t)header.payloadLength;
    }

    for (ovCPtrList::Node* node = m_handlers.HeadNode(); node; node = node->next) {
        const Handler* handler = static_cast<const Handler*>(node->element);
        if (handler->framed) {
            // Raw mode has no header to match against.
            if (m_rawMode || handler->category != header.category ||
                handler->message != header.message)
                continue;
            handler->frameCallback(payload, payloadLength, handler->user);
            return kFrameHeaderSize + payloadLength;
        }
        const int32_t result = handler->rawCallback(payload, payloadLength, handler->user);
        // Claiming bytes it was not given is as bad as refusing them.
        return result > payloadLength ? -1 : result;
    }
    return -1;
}

int32_t nwCStreamDispatcher::DispatchAll(const uint8_t* data, int32_t length) {
    if (!data || length <= 0)
        return 0;
    int32_t total = 0;
    // Every round consumes at least one byte or ends the loop.
    while (total < length && !m_stopped) {
        const int32_t result = DispatchOne(data + total, length - total);
        if (result < 0)
            return result;
        if (result == 0)
            break;
        total += result;
    }
    return total;
}
