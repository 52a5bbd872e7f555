#include "opn/opeerqos/cpCQoSContext.h"

#include <string.h>

#include <new>

#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCAddressCache.h"
#include "opn/opeerqos/cpCQoS.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/opeerqos/nwCStreamDispatcher.h"
#include "opn/opeerqos/nwIQoSNetStack.h"
#include "opn/core/ovLog.h"

namespace {

void* CodeToElement(uint32_t code) {
    return reinterpret_cast<void*>((uintptr_t)code);
}

uint32_t ElementToCode(void* element) {
    return (uint32_t) reinterpret_cast<uintptr_t>(element);
}

bool IsOwnAction(int32_t type) {
    return type >= kQoSActionOwn && type <= kQoSActionOwnSendOnly;
}

}  // namespace

cpCQoSContext::cpCQoSContext()
    : m_refCount(0),
      m_socket(nullptr),
      m_idleLimit(kDefaultIdleLimit),
      m_connectTimeoutSec(kDefaultConnectTimeoutSec),
      m_eventMask(0),
      m_state(kQoSStateNew),
      m_idleTicks(0),
      m_ageTicks(0),
      m_layers(nullptr),
      m_layerCount(0),
      m_action(nullptr),
      m_sendWindowBytes(0),
      m_receiveWindowBytes(0),
      m_connectedOnce(0) {
    m_current.data = nullptr;
    m_current.sent = 0;
    m_current.length = 0;
    m_receive.data = nullptr;
    m_receive.length = 0;
    m_receive.capacity = 0;
    m_peer.address = 0;
    m_peer.port = 0;
    m_sendWindowStart.seconds = 0;
    m_sendWindowStart.millis = 0;
    m_receiveWindowStart.seconds = 0;
    m_receiveWindowStart.millis = 0;
    m_hostName[0] = '\0';
}

cpCQoSContext::~cpCQoSContext() {
    StopConnectTimer();
    if (!m_deferredTimer.IsEmpty()) {
        m_deferredTimer.As<cpCTimer>()->Stop();
        m_deferredTimer.Reset();
    }
    // Only reached once no slot holds the context: a socket still here was
    // left by a socket manager that shut down first.
    ReleaseSocket();
    for (int32_t i = 0; i < m_layerCount; ++i) {
        if (m_layers[i].stack)
            m_layers[i].stack->SetContext(nullptr);
    }
    delete[] m_layers;
    m_layers = nullptr;
    m_layerCount = 0;
    FreeCurrentBlock();
    while (m_sendQueue.Count() > 0) {
        cpQoSSendBlock* block = static_cast<cpQoSSendBlock*>(m_sendQueue.RemoveAt(0));
        if (block) {
            delete[] block->data;
            delete block;
        }
    }
    delete[] m_receive.data;
    m_receive.data = nullptr;
    delete m_action;
    m_action = nullptr;
    m_dispatcher.Reset();
}

// --- Reference count ---------------------------------------------------------------

ResultCode cpCQoSContext::AddRef() {
    m_refCount.fetch_add(1);
    return OV_S_OK;
}

ResultCode cpCQoSContext::Release() {
    if (m_refCount.fetch_sub(1) == 1)
        delete this;
    return OV_S_OK;
}

ResultCode cpCQoSContext::QueryInterface(uint32_t id, void** out) {
    if (m_layerCount == 0 || m_layers[0].face.IsEmpty())
        return OV_E_NOINTERFACE;
    return m_layers[0].face.Get()->QueryInterface(id, out);
}

// --- Set-up ------------------------------------------------------------------------

ResultCode cpCQoSContext::Initialize(int32_t actionType, uint32_t eventMask,
                                     SockRecord* acceptedRecord) {
    if (m_state != kQoSStateNew)
        return OV_E_PLATFORM;
    m_state = kQoSStateOpening;
    m_eventMask = eventMask;
    cpCQoS* manager = OpnSocketManager();
    if (manager) {
        m_socket = manager->Register(this, acceptedRecord);
    } else {
        // Nobody could ever route its notifications: the record is not used.
        SockClose(acceptedRecord);
        m_socket = nullptr;
    }
    if (acceptedRecord) {
        m_state = kQoSStateConnected;
        m_connectedOnce = 2;
    } else {
        m_state = kQoSStateReady;
    }
    return SetAction(actionType);
}

ResultCode cpCQoSContext::SetActionLimit(int32_t direction, const uint32_t* bytesPerSecond) {
    if (!m_action || !bytesPerSecond)
        return OV_E_PLATFORM;
    m_action->SetLimit(direction, bytesPerSecond);
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::SetAction(int32_t type) {
    if (m_action && m_action->GetType() == type)
        return OV_S_PLATFORM;
    cpCQoSContextAction* action = cpCreateContextAction(type);
    if (!action)
        return OV_E_PLATFORM;
    // The connection's own window goes on: what it moved still counts.
    if (m_action && IsOwnAction(m_action->GetType()) && IsOwnAction(type))
        static_cast<cpCQoSOwnContextAction*>(action)->TakeOverWindow(
            *static_cast<cpCQoSOwnContextAction*>(m_action));
    delete m_action;
    m_action = action;
    m_action->Attach(&m_current, &m_receive, m_socket);
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::ShareReceiveBudget(cpCSharedBudget* budget) {
    if (!m_action || !IsOwnAction(m_action->GetType()))
        return budget ? OV_E_PLATFORM : OV_S_PLATFORM;
    static_cast<cpCQoSOwnContextAction*>(m_action)->ShareReceive(budget);
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::SetEventMask(uint32_t mask) {
    m_eventMask = mask;
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::AddEvents(uint32_t bits) {
    if ((m_eventMask & bits) == 0)
        m_eventMask |= bits;
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::RemoveEvents(uint32_t bits) {
    m_eventMask &= ~bits;
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::SetOption(int32_t type, const uint32_t* value) {
    if (!value)
        return OV_E_PLATFORM;
    switch (type) {
        case kQoSOptionConnectTimeout:
            m_connectTimeoutSec = *value;
            return OV_S_PLATFORM;
        case kQoSOptionIdleLimit:
            // A kept connection given a new limit counts its idle time anew.
            m_idleLimit = *value;
            m_idleTicks = 0;
            return OV_S_PLATFORM;
        case kQoSOptionReceiveLimit:
            m_receive.limit = *value < (uint32_t)kReceiveBufferLimit ? (int32_t)*value : 0;
            return OV_S_PLATFORM;
        case kQoSOptionReserved:
            return OV_S_PLATFORM;
        default:
            return OV_E_PLATFORM;
    }
}

ResultCode cpCQoSContext::GetOption(int32_t type, uint32_t* value) {
    if (!value)
        return OV_E_PLATFORM;
    switch (type) {
        case kQoSOptionConnectTimeout:
            *value = m_connectTimeoutSec;
            return OV_S_PLATFORM;
        case kQoSOptionIdleLimit:
            *value = m_idleLimit;
            return OV_S_PLATFORM;
        case kQoSOptionReceiveLimit:
            *value = (uint32_t)m_receive.limit;
            return OV_S_PLATFORM;
        default:
            return OV_E_PLATFORM;
    }
}

ResultCode cpCQoSContext::GetState(int32_t* state) {
    if (!state)
        return OV_E_PLATFORM;
    *state = m_state;
    return OV_S_PLATFORM;
}

// --- Connecting ----------------------------------------------------------------------

ResultCode cpCQoSContext::Connect(const NetAddress* address) {
    if (m_state != kQoSStateReady || !address)
        return OV_E_PLATFORM;
    m_peer = *address;
    m_state = kQoSStateConnecting;
    const ResultCode rc = SockConnect(m_socket, address);
    if (OV_SUCCEEDED(rc)) {
        OnConnected();
        return OV_S_PLATFORM;
    }
    if (OV_LOW20(rc) == OV_WOULD_BLOCK_LOW20) {
        StopConnectTimer();
        if (m_connectTimer.CreateInstance(OV_CLSID_TIMER)) {
            const uint64_t ms = (uint64_t)m_connectTimeoutSec * 1000u;
            // The timer manager runs every callback under the library lock.
            m_connectTimer.As<cpCTimer>()->Start(ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)ms,
                                                 &cpCQoSContext::ConnectTimerCallback, this,
                                                 kTimerTagConnectTimeout, ovSmartPtr());
        }
        return OV_S_PLATFORM;
    }
    // Refused at once, no socket (the manager's table was full), ...
    m_state = kQoSStateFailed;
    PostEvent(kQoSEventFatal);
    return rc;
}

ResultCode cpCQoSContext::Connect(uint32_t address, uint16_t port) {
    NetAddress at;
    at.address = address;
    at.port = port;
    return Connect(&at);
}

void cpCQoSContext::ConnectTimerCallback(void* context) {
    cpCQoSContext* self = static_cast<cpCQoSContext*>(context);
    SelfHold hold(self);
    self->ConnectFailed();
}

void cpCQoSContext::StopConnectTimer() {
    if (m_connectTimer.IsEmpty())
        return;
    // Keep the timer alive while it may be firing this very call.
    ovSmartPtr timer = m_connectTimer;
    m_connectTimer.Reset();
    timer.As<cpCTimer>()->Stop();
}

void cpCQoSContext::ConnectFailed() {
    if (m_state == kQoSStateClosing || m_state == kQoSStateClosed)
        return;
    m_state = kQoSStateFailed;
    StopConnectTimer();
    PostEvent(kQoSEventConnectFailed);
}

void cpCQoSContext::OnConnectRefused() {
    SelfHold hold(this);
    ConnectFailed();
}

void cpCQoSContext::OnHostUnreachable() {
    SelfHold hold(this);
    ConnectFailed();
    for (int32_t i = m_layerCount - 1; i >= 0; --i) {
        ovSmartPtr keep = m_layers[i].face;
        nwIQoSNetStack* layer = m_layers[i].stack;
        if (layer && !layer->OnHostUnreachable())
            break;
    }
}

void cpCQoSContext::OnConnected() {
    // Only a connect under way completes; a late success after a time-out
    // or a close is not news to anyone.
    if (m_connectedOnce == 2 || m_state != kQoSStateConnecting)
        return;
    SelfHold hold(this);
    StopConnectTimer();
    m_connectedOnce = 2;
    m_state = kQoSStateConnected;
    // Bottom up; a false answer stops the walk (a layer with a handshake of
    // its own tells the layers above later).
    for (int32_t i = m_layerCount - 1; i >= 0; --i) {
        ovSmartPtr keep = m_layers[i].face;
        nwIQoSNetStack* layer = m_layers[i].stack;
        if (layer && !layer->OnConnected())
            break;
        if (m_state == kQoSStateClosing || m_state == kQoSStateClosed)
            return;
    }
    if (!FlushSend())
        PostEvent(kQoSEventFatal);
}

// --- Layers -----------------------------------------------------------------------

int32_t cpCQoSContext::IndexOf(nwIQoSNetStack* layer) const {
    if (!layer)
        return -1;
    for (int32_t i = 0; i < m_layerCount; ++i) {
        if (m_layers[i].stack == layer)
            return i;
    }
    return -1;
}

nwIQoSNetStack* cpCQoSContext::StackAt(int32_t index) const {
    if (index < 0 || index >= m_layerCount)
        return nullptr;
    return m_layers[index].stack;
}

ResultCode cpCQoSContext::PushLayer(uint32_t classId, bool atBottom) {
    if (m_layerCount >= kMaxLayers)
        return OV_E_PLATFORM;
    ovSmartPtr face;
    if (!face.CreateInstance(classId))
        return OV_E_PLATFORM;
    return AttachLayer(face, classId, atBottom);
}

ResultCode cpCQoSContext::AttachLayer(const ovSmartPtr& face, uint32_t classId, bool atBottom) {
    if (m_layerCount >= kMaxLayers || face.IsEmpty())
        return OV_E_PLATFORM;
    void* stackFace = nullptr;
    if (!face.QueryInterface(OV_IID_NETSTACK, &stackFace) || !stackFace)
        return OV_E_PLATFORM;
    LayerEntry* grown = new (std::nothrow) LayerEntry[(size_t)m_layerCount + 1];
    if (!grown)
        return OV_E_PLATFORM;
    const int32_t at = atBottom ? m_layerCount : 0;
    for (int32_t i = 0, j = 0; i < m_layerCount + 1; ++i) {
        if (i == at)
            continue;
        grown[i] = m_layers[j++];
    }
    grown[at].face = face;
    grown[at].stack = static_cast<nwIQoSNetStack*>(stackFace);
    grown[at].classId = classId;
    grown[at].stack->SetContext(this);
    delete[] m_layers;
    m_layers = grown;
    ++m_layerCount;
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::FindLayer(uint32_t classId, ovIUnknown** face) {
    if (!face)
        return OV_E_PLATFORM;
    for (int32_t i = 0; i < m_layerCount; ++i) {
        if (m_layers[i].classId == classId) {
            *face = m_layers[i].face.Get();
            return OV_S_PLATFORM;
        }
    }
    return OV_E_PLATFORM;
}

ovIUnknown* cpCQoSContext::TopLayer() {
    return m_layerCount > 0 ? m_layers[0].face.Get() : nullptr;
}

ResultCode cpCQoSContext::SendFromLayer(nwIQoSNetStack* layer, const ovQoSBlock* block) {
    const int32_t index = IndexOf(layer);
    if (index < 0 || !block)
        return OV_E_PLATFORM;
    if (index == m_layerCount - 1)
        return QueueSend(block->data, block->length);
    ovSmartPtr keep = m_layers[index + 1].face;
    return m_layers[index + 1].stack->SendDown(block);
}

ResultCode cpCQoSContext::NotifyConnectedAbove(nwIQoSNetStack* layer) {
    const int32_t index = IndexOf(layer);
    if (index < 0)
        return OV_E_PLATFORM;
    if (index == 0)
        return OV_S_PLATFORM;
    SelfHold hold(this);
    ovSmartPtr keep = m_layers[index - 1].face;
    m_layers[index - 1].stack->OnConnected();
    return OV_S_PLATFORM;
}

int32_t cpCQoSContext::PassUp(nwIQoSNetStack* layer, const uint8_t* data, int32_t length) {
    const int32_t index = IndexOf(layer);
    if (index <= 0)
        return 0;
    SelfHold hold(this);
    ovSmartPtr keep = m_layers[index - 1].face;
    return m_layers[index - 1].stack->OnData(data, length);
}

ResultCode cpCQoSContext::RegisterHandler(uint16_t category, uint16_t message,
                                          ovQoSFrameHandler callback, void* user) {
    if (m_dispatcher.IsEmpty() && !m_dispatcher.CreateInstance(OV_CLSID_STREAM_DISPATCHER))
        return OV_E_PLATFORM;
    const ResultCode rc =
        m_dispatcher.As<nwCStreamDispatcher>()->AddHandler(category, message, callback, user);
    return OV_SUCCEEDED(rc) ? OV_S_PLATFORM : OV_E_PLATFORM;
}

// --- Addresses and names ----------------------------------------------------------------

ResultCode cpCQoSContext::SetPeerAddress(const NetAddress* address) {
    if (!address)
        return OV_E_PLATFORM;
    m_peer = *address;
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::GetPeerAddress(const NetAddress** address) {
    if (!address)
        return OV_E_PLATFORM;
    *address = &m_peer;
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::GetHostName(const char** name) {
    if (!name)
        return OV_E_PLATFORM;
    *name = m_hostName;
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::SetHostName(const char* name) {
    if (!name)
        return OV_E_PLATFORM;
    size_t n = strlen(name);
    if (n > (size_t)kHostNameSize - 1)
        n = (size_t)kHostNameSize - 1;
    memcpy(m_hostName, name, n);
    m_hostName[n] = '\0';
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::MarkAddressWorking() {
    if (m_hostName[0] == '\0' || m_peer.address == 0 || m_peer.port == 0)
        return OV_E_PLATFORM;
    AddressCache().MarkAddressWorking(m_hostName, m_peer.port, m_peer.address);
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::MarkAddressFailed() {
    if (m_hostName[0] == '\0' || m_peer.address == 0 || m_peer.port == 0)
        return OV_E_PLATFORM;
    AddressCache().MarkAddressFailed(m_hostName, m_peer.port, m_peer.address);
    return OV_S_PLATFORM;
}

// --- Events -----------------------------------------------------------------------

void cpCQoSContext::PostEvent(uint32_t code) {
    if (m_events.Count() >= kMaxQueuedEvents)
        return;
    if (!m_events.AddTail(CodeToElement(code)))
        return;
    if (m_socket && OV_SUCCEEDED(SockPostEvent(m_socket)))
        return;
    // No socket (or no window to post to): a timer of the library thread
    // delivers it instead.
    StartDeferredTimer();
}

void cpCQoSContext::StartDeferredTimer() {
    if (!m_deferredTimer.IsEmpty())
        return;
    if (!m_deferredTimer.CreateInstance(OV_CLSID_TIMER))
        return;
    // Due at the timer manager's next tick.
    m_deferredTimer.As<cpCTimer>()->Start(1, &cpCQoSContext::DeferredTimerCallback, this,
                                          kTimerTagDeferredEvent, ovSmartPtr());
}

void cpCQoSContext::DeferredTimerCallback(void* context) {
    cpCQoSContext* self = static_cast<cpCQoSContext*>(context);
    SelfHold hold(self);
    self->RunDeferredEvents();
}

void cpCQoSContext::RunDeferredEvents() {
    if (!m_deferredTimer.IsEmpty()) {
        ovSmartPtr timer = m_deferredTimer;
        m_deferredTimer.Reset();
        timer.As<cpCTimer>()->Stop();
    }
    // Only what is queued now; an event posted by a handler waits for the
    // next run (bounded by the queue's limit either way).
    int32_t pending = m_events.Count();
    while (pending-- > 0 && m_events.Count() > 0)
        HandleEvent(ElementToCode(m_events.RemoveAt(0)));
}

void cpCQoSContext::DispatchQueuedEvent(SockRecord* record) {
    if (!record || record != m_socket || m_events.Count() == 0)
        return;
    SelfHold hold(this);
    HandleEvent(ElementToCode(m_events.RemoveAt(0)));
}

void cpCQoSContext::HandleEvent(uint32_t code) {
    switch (code) {
        case kQoSEventReceiveIdle:
            if (m_idleTicks < m_idleLimit || (m_eventMask & kQoSEventReceiveIdle) == 0)
                return;
            MarkAddressFailed();
            DeliverEvent(code, 0);
            return;
        case kQoSEventConnectFailed:
            if ((m_eventMask & kQoSEventConnectFailed) == 0 || m_connectedOnce == 2)
                return;
            MarkAddressFailed();
            DeliverEvent(code, 0);
            CloseInternal();
            return;
        case kQoSEventFatal:
            DeliverEvent(code, 0);
            CloseInternal();
            return;
        default:
            DeliverEvent(code, 0);
            return;
    }
}

void cpCQoSContext::DeliverEvent(uint32_t code, uint32_t argument) {
    if ((m_eventMask & code) == 0)
        return;
    SelfHold hold(this);
    for (int32_t i = m_layerCount - 1; i >= 0; --i) {
        ovSmartPtr keep = m_layers[i].face;
        nwIQoSNetStack* layer = m_layers[i].stack;
        if (layer && !layer->OnEvent(code, argument))
            break;
    }
}

ResultCode cpCQoSContext::PostFatal() {
    PostEvent(kQoSEventFatal);
    return OV_S_PLATFORM;
}

// --- Sending ------------------------------------------------------------------------

ResultCode cpCQoSContext::SendRaw(const void* data, int32_t length) {
    return QueueSend(static_cast<const uint8_t*>(data), length);
}

ResultCode cpCQoSContext::QueueSend(const uint8_t* data, int32_t length) {
    if (m_state == kQoSStateFailed || m_state == kQoSStateClosing || m_state == kQoSStateClosed)
        return OV_E_PLATFORM;
    if (length < 0 || (length > 0 && !data))
        return OV_E_PLATFORM;
    cpQoSSendBlock* block = new (std::nothrow) cpQoSSendBlock;
    if (!block)
        return OV_E_PLATFORM;
    block->data = new (std::nothrow) uint8_t[length > 0 ? (size_t)length : 1];
    if (!block->data) {
        delete block;
        return OV_E_PLATFORM;
    }
    if (length > 0)
        memcpy(block->data, data, (size_t)length);
    block->sent = 0;
    block->length = length;
    if (!m_sendQueue.AddTail(block)) {
        delete[] block->data;
        delete block;
        return OV_E_PLATFORM;
    }
    SelfHold hold(this);
    LoadNextSend();
    if (!FlushSend())
        PostEvent(kQoSEventFatal);
    return OV_S_PLATFORM;
}

void cpCQoSContext::FreeCurrentBlock() {
    delete[] m_current.data;
    m_current.data = nullptr;
    m_current.sent = 0;
    m_current.length = 0;
}

void cpCQoSContext::LoadNextSend() {
    if (m_current.data)
        return;
    if (m_sendQueue.Count() == 0) {
        // Delivered at once, so a layer can top the queue up.
        DeliverEvent(kQoSEventSendDrained, 0);
        if (m_current.data || m_sendQueue.Count() == 0)
            return;
    }
    cpQoSSendBlock* head = static_cast<cpQoSSendBlock*>(m_sendQueue.RemoveAt(0));
    if (!head)
        return;
    m_current = *head;
    delete head;
}

bool cpCQoSContext::FlushSend() {
    if (!m_socket || !m_current.data || !m_action)
        return true;
    if (m_state != kQoSStateConnected && m_state != kQoSStateReceiving && m_state != kQoSStateIdle)
        return true;
    m_state = kQoSStateSending;
    bool ok = true;
    // Every pass sends the current block to its end or leaves; the queue
    // only shrinks unless a drained-event handler adds to it.
    while (m_current.data && m_socket) {
        int32_t sent = 0;
        ok = m_action->Send(&sent);
        if (sent > 0 && (m_eventMask & kQoSMeterSend))
            CountMeter(&m_sendWindowStart, &m_sendWindowBytes, sent);
        const bool complete = m_current.sent >= m_current.length;
        if (complete)
            FreeCurrentBlock();
        if (!ok || !complete)
            break;
        LoadNextSend();
        if (m_state != kQoSStateSending)
            return true;  // closed by a drained-event handler
    }
    if (m_state == kQoSStateSending)
        m_state = kQoSStateIdle;
    return ok;
}

void cpCQoSContext::OnWritable() {
    SelfHold hold(this);
    LoadNextSend();
    if (!FlushSend())
        PostEvent(kQoSEventFatal);
}

ResultCode cpCQoSContext::GetSendBlock(const uint8_t** data, int32_t* length) {
    if (!data || !length)
        return OV_E_PLATFORM;
    *data = m_current.data;
    *length = m_current.data ? m_current.length : 0;
    return OV_S_PLATFORM;
}

ResultCode cpCQoSContext::GetQueuedBytes(int64_t* bytes) {
    if (!bytes)
        return OV_E_PLATFORM;
    int64_t total = 0;
    for (ovCPtrList::Node* node = m_sendQueue.HeadNode(); node; node = node->next) {
        const cpQoSSendBlock* block = static_cast<const cpQoSSendBlock*>(node->element);
        if (block)
            total += block->length - block->sent;
    }
    *bytes = total;
    return OV_S_PLATFORM;
}

// --- Receiving ------------------------------------------------------------------------

void cpCQoSContext::OnReadable() {
    if (!m_socket || !m_action)
        return;
    if (m_state != kQoSStateConnected && m_state != kQoSStateSending && m_state != kQoSStateIdle)
        return;
    SelfHold hold(this);
    m_idleTicks = 0;
    m_state = kQoSStateReceiving;
    const int32_t n = m_action->Receive();
    if (n > 0 && (m_eventMask & kQoSMeterReceive))
        CountMeter(&m_receiveWindowStart, &m_receiveWindowBytes, n);
    if (m_state == kQoSStateReceiving)
        m_state = kQoSStateIdle;
    if (n > 0)
        DeliverReceived();
}

void cpCQoSContext::DeliverReceived() {
    if (m_state == kQoSStateClosing || m_state == kQoSStateClosed)
        return;
    if (!m_receive.data || m_receive.length <= 0)
        return;
    SelfHold hold(this);
    const int32_t length = m_receive.length;
    int32_t consumed;
    nwIQoSNetStack* bottom = StackAt(m_layerCount - 1);
    if (bottom) {
        ovSmartPtr keep = m_layers[m_layerCount - 1].face;
        consumed = bottom->OnData(m_receive.data, length);
    } else if (!m_dispatcher.IsEmpty()) {
        consumed = m_dispatcher.As<nwCStreamDispatcher>()->DispatchAll(m_receive.data, length);
    } else {
        consumed = length;  // nobody to read it
    }
    // The buffer may have changed under the call only by more reads, which
    // nothing does from inside a delivery; guard anyway.
    if (m_receive.length < length)
        return;
    if (consumed < 0 || consumed > length) {
        CloseInternal();
        return;
    }
    if (consumed == m_receive.length) {
        // The storage stays for the next reads: a streaming connection would
        // otherwise allocate (and fault in) up to a MiB per notice. It goes
        // with the connection.
        m_receive.length = 0;
    } else if (consumed > 0) {
        memmove(m_receive.data, m_receive.data + consumed, (size_t)(m_receive.length - consumed));
        m_receive.length -= consumed;
    }
    if (m_receive.length >= ReceiveBufferCap(m_receive) && m_state != kQoSStateClosing &&
        m_state != kQoSStateClosed) {
        ovLogPrintf("[SwarmFetchLib] Connection closed: %d received bytes left unconsumed\n",
                    (int)m_receive.length);
        CloseInternal();
    }
}

void cpCQoSContext::CountMeter(NetTimeStamp* start, uint64_t* bytes, int32_t n) {
    if (start->seconds == 0 && start->millis == 0) {
        NowMillis(start);
        *bytes = 0;
    }
    *bytes += (uint64_t)n;
}

namespace {

ResultCode ReadRate(NetTimeStamp* start, uint64_t* bytes, uint32_t* out) {
    uint32_t rate = 0;
    if (start->seconds != 0 || start->millis != 0) {
        const uint32_t elapsed = ElapsedMillis(start);
        if (elapsed > 0) {
            const uint64_t r = *bytes * 1000u / elapsed;
            rate = r > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)r;
        }
    }
    *out = rate;
    NowMillis(start);
    *bytes = 0;
    return OV_S_PLATFORM;
}

}  // namespace

ResultCode cpCQoSContext::GetReceiveRate(uint32_t* bytesPerSecond) {
    if (!bytesPerSecond || (m_eventMask & kQoSMeterReceive) == 0)
        return OV_E_PLATFORM;
    return ReadRate(&m_receiveWindowStart, &m_receiveWindowBytes, bytesPerSecond);
}

ResultCode cpCQoSContext::GetSendRate(uint32_t* bytesPerSecond) {
    if (!bytesPerSecond || (m_eventMask & kQoSMeterSend) == 0)
        return OV_E_PLATFORM;
    return ReadRate(&m_sendWindowStart, &m_sendWindowBytes, bytesPerSecond);
}

// --- Closing and the tick -----------------------------------------------------------------

ResultCode cpCQoSContext::Close() {
    CloseInternal();
    return OV_S_PLATFORM;
}

void cpCQoSContext::OnPeerClosed() {
    CloseInternal();
}

void cpCQoSContext::ReleaseSocket() {
    SockRecord* record = m_socket;
    m_socket = nullptr;
    if (m_action)
        m_action->AttachSocket(nullptr);
    if (!record)
        return;
    cpCQoS* manager = OpnSocketManager();
    if (manager)
        manager->Unregister(this, record);  // closes the record
    else
        SockClose(record);
}

void cpCQoSContext::CloseInternal() {
    if (m_state == kQoSStateNew || m_state == kQoSStateClosing || m_state == kQoSStateClosed)
        return;
    // Unregistering drops the slot's reference, which may be the last.
    SelfHold hold(this);
    StopConnectTimer();
    m_state = kQoSStateClosing;
    ReleaseSocket();
    for (int32_t i = m_layerCount - 1; i >= 0; --i) {
        ovSmartPtr keep = m_layers[i].face;
        if (m_layers[i].stack)
            m_layers[i].stack->OnClosed();
    }
    m_state = kQoSStateClosed;
}

ResultCode cpCQoSContext::Rearm() {
    if (!m_socket)
        return OV_E_PLATFORM;
    return OV_SUCCEEDED(SockSelectAll(m_socket)) ? OV_S_PLATFORM : OV_E_PLATFORM;
}

void cpCQoSContext::Tick(cpQoSTally* tally) {
    SelfHold hold(this);
    ++m_ageTicks;
    const uint32_t before = m_idleTicks++;
    if (before == m_idleLimit && (m_eventMask & kQoSEventReceiveIdle))
        PostEvent(kQoSEventReceiveIdle);
    if (!m_action)
        return;
    m_action->PerSecond(tally);
    // Both flags are taken, so a send held back in the same second as a
    // receive does not stay held for another one.
    const bool receiveHeld = m_action->TakeReceiveBlocked();
    const bool sendHeld = m_action->TakeSendBlocked();
    if (receiveHeld || sendHeld)
        Rearm();
}
