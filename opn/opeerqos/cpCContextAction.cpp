#include "opn/opeerqos/cpCContextAction.h"

#include <string.h>

#include <new>

#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCQoS.h"
#include "opn/opeerqos/cpCSharedBudget.h"
#include "opn/opeerqos/ovIQoSContext.h"

bool cpCQoSContextAction::Reserve(int32_t extra) {
    if (!m_receive)
        return false;
    cpQoSReceiveBuffer& buffer = *m_receive;
    if (!buffer.data) {
        int32_t capacity = kReadPiece;
        while (capacity < extra)
            capacity *= 2;
        buffer.data = new (std::nothrow) uint8_t[(size_t)capacity];
        if (!buffer.data)
            return false;
        buffer.length = 0;
        buffer.capacity = capacity;
    }
    const int64_t needed = (int64_t)buffer.length + extra;
    if (needed <= buffer.capacity)
        return true;
    int64_t capacity = buffer.capacity > 0 ? buffer.capacity : kReadPiece;
    while (capacity < needed)
        capacity *= 2;
    if (capacity > INT32_MAX)
        return false;
    uint8_t* grown = new (std::nothrow) uint8_t[(size_t)capacity];
    if (!grown)
        return false;
    if (buffer.length > 0)
        memcpy(grown, buffer.data, (size_t)buffer.length);
    delete[] buffer.data;
    buffer.data = grown;
    buffer.capacity = (int32_t)capacity;
    return true;
}

int32_t cpCQoSContextAction::ReadLoop(bool limited) {
    if (!m_receive)
        return 0;
    if (!m_receive->data && !Reserve(0))
        return 0;
    int32_t total = 0;
    // Every pass adds at least one byte to the capped buffer or leaves. The
    // socket reads into the buffer itself, no byte is copied a second time:
    // a read takes all the free storage (as far as the budget allows),
    // which grows (doubling) only once a read filled it. The storage stays
    // with the context, so a connection that streams reads up to the whole
    // buffer limit in one system call.
    for (;;) {
        if (!limited && m_receive->length > kHighReadStop)
            break;
        const int32_t room = ReceiveBufferCap(*m_receive) - m_receive->length;
        if (room <= 0)
            break;
        if (m_receive->length == m_receive->capacity && !Reserve(1))
            break;  // no storage: the bytes wait in the socket
        const int32_t spare = m_receive->capacity - m_receive->length;
        const uint32_t want = (uint32_t)(room < spare ? room : spare);
        const uint32_t granted = TakeReceiveBudget(want);
        if (granted == 0) {
            SetReceiveBlocked();
            break;
        }
        // Bytes the socket layer read ahead are served without a system
        // receive, which alone re-arms Winsock's readable notice.
        const bool fromHeld = SockReadAheadBytes(m_socket) > 0;
        int32_t n = 0;
        const ResultCode rc =
            SockRecv(m_socket, m_receive->data + m_receive->length, (int32_t)granted, &n);
        if (OV_FAILED(rc) || n <= 0) {
            ReturnReceiveBudget(granted);
            break;
        }
        if ((uint32_t)n > granted)
            n = (int32_t)granted;  // never trust a count beyond the request
        ReturnReceiveBudget(granted - (uint32_t)n);
        m_receive->length += n;
        total += n;
        // Less than asked from the system: the socket is empty for now. The
        // receive re-armed its readable notice, which comes with the next
        // bytes; asking again here would only cost a call that finds
        // nothing. Held bytes running out say nothing about the socket.
        if ((uint32_t)n < granted && !fromHeld)
            break;
    }
    return total;
}

bool cpCQoSContextAction::SendLoop(bool limited, int32_t* sent) {
    if (sent)
        *sent = 0;
    if (!m_send || !m_send->data || m_send->length <= 0)
        return true;
    if (limited && SendBlocked())
        return true;
    cpQoSSendBlock& block = *m_send;
    // Every pass either writes bytes (the block shrinks) or leaves the loop.
    while (block.sent < block.length) {
        const int32_t left = block.length - block.sent;
        const uint32_t chunk = (uint32_t)(left < kSendPiece ? left : kSendPiece);
        const uint32_t granted = TakeSendBudget(chunk);
        if (granted == 0) {
            SetSendBlocked();
            return true;
        }
        int32_t written = 0;
        const ResultCode rc =
            SockSend(m_socket, block.data + block.sent, (int32_t)granted, &written);
        if (written > (int32_t)granted)
            written = (int32_t)granted;  // never trust a count beyond the request
        if (written <= 0) {
            // Only a write of nothing gives its charge back; a partial write
            // keeps the whole piece charged for this second.
            ReturnSendBudget(granted);
            if (OV_FAILED(rc) && OV_LOW20(rc) != OV_WOULD_BLOCK_LOW20)
                return false;
            break;
        }
        block.sent += written;
        if (sent)
            *sent += written;
        if (OV_FAILED(rc))
            break;
    }
    // No new selection here: a send that would block re-arms the writable
    // notice itself, and one that went out needs none. Selecting anew made
    // Winsock post a writable notice (and a second drained event) for every
    // request.
    return true;
}

// --- Limited actions ---------------------------------------------------------

bool cpCQoSLowContextAction::TakeSendBlocked() {
    const bool was = m_sendBlocked != 0;
    m_sendBlocked = 0;
    return was;
}

bool cpCQoSLowContextAction::TakeReceiveBlocked() {
    const bool was = m_receiveBlocked != 0;
    m_receiveBlocked = 0;
    return was;
}

cpCQoS* cpCQoSLowContextAction::Manager() const {
    return m_manager ? m_manager : OpnSocketManager();
}

uint32_t cpCQoSLowServerContextAction::TakeReceiveBudget(uint32_t n) {
    cpCQoS* manager = Manager();
    return manager ? manager->TakeReceiveBudget(n) : 0;
}

uint32_t cpCQoSLowServerContextAction::TakeSendBudget(uint32_t n) {
    cpCQoS* manager = Manager();
    return manager ? manager->TakeSendBudget(n) : 0;
}

void cpCQoSLowServerContextAction::ReturnReceiveBudget(uint32_t n) {
    cpCQoS* manager = Manager();
    if (manager && n > 0)
        manager->ReturnReceiveBudget(n);
}

void cpCQoSLowServerContextAction::ReturnSendBudget(uint32_t n) {
    cpCQoS* manager = Manager();
    if (manager && n > 0)
        manager->ReturnSendBudget(n);
}

uint32_t cpCQoSOwnContextAction::FirstGrant(uint32_t bytesPerSecond, uint32_t msLeft) {
    const uint32_t period = cpCQoS::kTickPeriodMs;
    if (msLeft >= period)
        return bytesPerSecond;
    // Rounded down, so the window never holds more than its share.
    return (uint32_t)((uint64_t)bytesPerSecond * msLeft / period);
}

void cpCQoSOwnContextAction::SetLimit(int32_t direction, const uint32_t* bytesPerSecond) {
    if (!bytesPerSecond)
        return;
    uint32_t* limit;
    uint32_t* budget;
    uint32_t* used;
    if (direction == kQoSDirectionReceive) {
        limit = &m_receiveLimit;
        budget = &m_receiveBudget;
        used = &m_receiveUsed;
    } else if (direction == kQoSDirectionSend) {
        limit = &m_sendLimit;
        budget = &m_sendBudget;
        used = &m_sendUsed;
    } else {
        return;
    }
    *limit = *bytesPerSecond;
    if (m_ticked)
        return;  // the tick brings the new limit
    // A fresh connection starts in the middle of a window: it may use the
    // part of its limit that the rest of that window stands for, at once,
    // instead of nothing until the tick. What moved already in this window
    // counts against that share.
    cpCQoS* manager = Manager();
    const uint32_t share = manager ? FirstGrant(*limit, manager->MillisecondsToNextTick()) : 0;
    *budget = share > *used ? share - *used : 0;
}

void cpCQoSOwnContextAction::TakeOverWindow(const cpCQoSOwnContextAction& previous) {
    m_ticked = previous.m_ticked;
    m_receiveLimit = previous.m_receiveLimit;
    m_sendLimit = previous.m_sendLimit;
    m_receiveBudget = previous.m_receiveBudget;
    m_sendBudget = previous.m_sendBudget;
    m_receiveUsed = previous.m_receiveUsed;
    m_sendUsed = previous.m_sendUsed;
    ShareReceive(previous.SharedReceive());
}

cpCQoSOwnContextAction::~cpCQoSOwnContextAction() {
    ShareReceive(nullptr);
}

void cpCQoSOwnContextAction::ShareReceive(cpCSharedBudget* budget) {
    if (budget == SharedReceive())
        return;
    if (!m_shared.IsEmpty())
        m_shared.As<cpCSharedBudget>()->Leave();
    m_shared = budget;
    if (budget)
        budget->Join();
}

cpCSharedBudget* cpCQoSOwnContextAction::SharedReceive() const {
    return m_shared.IsEmpty() ? nullptr : m_shared.As<cpCSharedBudget>();
}

void cpCQoSOwnContextAction::PerSecond(cpQoSTally* tally) {
    m_ticked = true;
    if (tally) {
        tally->receivedBytes += m_receiveUsed;
        tally->sentBytes += m_sendUsed;
    }
    m_receiveUsed = 0;
    m_sendUsed = 0;
    m_receiveBudget = m_receiveLimit;
    m_sendBudget = m_sendLimit;
}

namespace {

uint32_t TakeOwn(uint32_t& budget, uint32_t& used, uint32_t n) {
    const uint32_t granted = n < budget ? n : budget;
    budget -= granted;
    used += granted;
    return granted;
}

void ReturnOwn(uint32_t& budget, uint32_t& used, uint32_t n) {
    // Never give back more than was charged this second.
    const uint32_t back = n < used ? n : used;
    used -= back;
    budget += back;
}

}  // namespace

uint32_t cpCQoSOwnContextAction::TakeReceiveBudget(uint32_t n) {
    if (!m_shared.IsEmpty()) {
        cpCSharedBudget* shared = m_shared.As<cpCSharedBudget>();
        const uint32_t share = shared->Share();
        const uint32_t room = share > m_receiveUsed ? share - m_receiveUsed : 0;
        const uint32_t granted = shared->Take(n < room ? n : room);
        m_receiveUsed += granted;
        return granted;
    }
    return TakeOwn(m_receiveBudget, m_receiveUsed, n);
}

uint32_t cpCQoSOwnContextAction::TakeSendBudget(uint32_t n) {
    return TakeOwn(m_sendBudget, m_sendUsed, n);
}

void cpCQoSOwnContextAction::ReturnReceiveBudget(uint32_t n) {
    if (!m_shared.IsEmpty()) {
        const uint32_t back = n < m_receiveUsed ? n : m_receiveUsed;
        m_receiveUsed -= back;
        m_shared.As<cpCSharedBudget>()->Give(back);
        return;
    }
    ReturnOwn(m_receiveBudget, m_receiveUsed, n);
}

void cpCQoSOwnContextAction::ReturnSendBudget(uint32_t n) {
    ReturnOwn(m_sendBudget, m_sendUsed, n);
}

cpCQoSContextAction* cpCreateContextAction(int32_t type) {
    switch (type) {
        case kQoSActionHigh:
            return new (std::nothrow) cpCQoSHighContextAction();
        case kQoSActionServer:
            return new (std::nothrow) cpCQoSLowServerContextAction();
        case kQoSActionServerReceiveOnly:
            return new (std::nothrow) cpCQoSLowServerReceiveOnlyContextAction();
        case kQoSActionServerSendOnly:
            return new (std::nothrow) cpCQoSLowServerSendOnlyContextAction();
        case kQoSActionOwn:
            return new (std::nothrow) cpCQoSOwnContextAction();
        case kQoSActionOwnReceiveOnly:
            return new (std::nothrow) cpCQoSOwnReceiveOnlyContextAction();
        case kQoSActionOwnSendOnly:
            return new (std::nothrow) cpCQoSOwnSendOnlyContextAction();
        default:
            return nullptr;
    }
}
