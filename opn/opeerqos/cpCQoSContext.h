// The connection context: one TCP connection, its stack of protocol layers,
// its send queue and receive buffer, and the bandwidth action that moves the
// bytes. Its public face is ovIQoSContext (see there for the operations);
// the socket manager holds it in a slot through cpISocketContext and routes
// the socket notifications, queued events and the per-second tick to it.
//
// Lifetime: the owner's pointer, the manager's slot (from Initialize until
// the socket is unregistered by Close or a peer close) and, while the
// context calls into its layers or runs a timer callback, a reference of its
// own. So a layer may drop its owner's last reference, or Close the context,
// from inside any callback; the object goes once the call has returned.
//
// Events are posted (the code joins the event queue and the socket posts the
// queued-event message); the manager hands each message back through
// DispatchQueuedEvent, which takes one code from the queue. A context without
// a socket (the manager's table was full) posts through a one-shot timer
// instead, so its connect still fails as an event on the library thread.
//
// Receive bound: bytes the layers leave unconsumed stay buffered, up to
// kReceiveBufferLimit (or the lower kQoSOptionReceiveLimit set for the
// connection). A delivery that leaves the buffer full closes the
// context (the layers get OnClosed) instead of reading on.
#pragma once

#include <stdint.h>

#include <atomic>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/cpCContextAction.h"
#include "opn/opeerqos/cpISocketContext.h"
#include "opn/opeerqos/ovIQoSContext.h"

class nwIQoSNetStack;

class cpCQoSContext : public ovIQoSContext, public cpISocketContext {
  public:
    static constexpr int32_t kReceiveBufferLimit = kQoSReceiveBufferLimit;
    static constexpr uint32_t kDefaultIdleLimit = 60;
    static constexpr uint32_t kDefaultConnectTimeoutSec = 5;
    static constexpr int32_t kHostNameSize = 256;
    // Layers one context carries at most.
    static constexpr int32_t kMaxLayers = 16;
    // Events waiting for delivery at most; later ones are dropped.
    static constexpr int32_t kMaxQueuedEvents = 256;
    // Timer tag of the deferred-event timer of a context without socket.
    static constexpr uint32_t kTimerTagDeferredEvent = 0x1000004;

    cpCQoSContext();
    ~cpCQoSContext() override;
    cpCQoSContext(const cpCQoSContext&) = delete;
    cpCQoSContext& operator=(const cpCQoSContext&) = delete;

    // The face the class factory hands out.
    ovIUnknown* Face() { return static_cast<ovIQoSContext*>(this); }

    // ovIUnknown (both faces share one interlocked count).
    ResultCode AddRef() override;
    ResultCode Release() override;
    ResultCode QueryInterface(uint32_t id, void** out) override;

    // ovIQoSContext.
    ResultCode Initialize(int32_t actionType, uint32_t eventMask,
                          SockRecord* acceptedRecord) override;
    ResultCode SetActionLimit(int32_t direction, const uint32_t* bytesPerSecond) override;
    ResultCode SetAction(int32_t type) override;
    ResultCode ShareReceiveBudget(cpCSharedBudget* budget) override;
    ResultCode SetEventMask(uint32_t mask) override;
    ResultCode AddEvents(uint32_t bits) override;
    ResultCode RemoveEvents(uint32_t bits) override;
    ResultCode SetOption(int32_t type, const uint32_t* value) override;
    ResultCode GetState(int32_t* state) override;
    ResultCode Connect(const NetAddress* address) override;
    ResultCode Connect(uint32_t address, uint16_t port) override;
    ResultCode SendFromLayer(nwIQoSNetStack* layer, const ovQoSBlock* block) override;
    ResultCode PushLayer(uint32_t classId, bool atBottom) override;
    ResultCode FindLayer(uint32_t classId, ovIUnknown** face) override;
    ResultCode Rearm() override;
    ResultCode RegisterHandler(uint16_t category, uint16_t message, ovQoSFrameHandler callback,
                               void* user) override;
    ResultCode SetPeerAddress(const NetAddress* address) override;
    ResultCode GetPeerAddress(const NetAddress** address) override;
    ResultCode Close() override;
    ResultCode PostFatal() override;
    ovIUnknown* TopLayer() override;
    ResultCode NotifyConnectedAbove(nwIQoSNetStack* layer) override;
    int32_t PassUp(nwIQoSNetStack* layer, const uint8_t* data, int32_t length) override;
    ResultCode GetSendBlock(const uint8_t** data, int32_t* length) override;
    ResultCode SendRaw(const void* data, int32_t length) override;
    ResultCode GetReceiveRate(uint32_t* bytesPerSecond) override;
    ResultCode GetSendRate(uint32_t* bytesPerSecond) override;
    ResultCode Reserved() override { return OV_S_PLATFORM; }
    ResultCode GetQueuedBytes(int64_t* bytes) override;
    ResultCode GetHostName(const char** name) override;
    ResultCode SetHostName(const char* name) override;
    ResultCode MarkAddressWorking() override;
    ResultCode MarkAddressFailed() override;
    ResultCode GetOption(int32_t type, uint32_t* value) override;

    // cpISocketContext: the socket manager's entries.
    void OnReadable() override;
    void OnWritable() override;
    void OnConnected() override;
    void OnAccept() override {}
    void OnPeerClosed() override;
    void OnConnectRefused() override;
    void OnHostUnreachable() override;
    void DispatchQueuedEvent(SockRecord* record) override;
    void Tick(cpQoSTally* tally) override;

    // PushLayer for a layer object that already exists (the factory path
    // ends here too): `face` must answer OV_IID_NETSTACK. The context takes
    // its own reference.
    ResultCode AttachLayer(const ovSmartPtr& face, uint32_t classId, bool atBottom);

    // Inspection for tests and diagnostics.
    int32_t RefCount() const { return m_refCount.load(); }
    SockRecord* Socket() const { return m_socket; }
    cpCQoSContextAction* Action() const { return m_action; }
    uint32_t EventMask() const { return m_eventMask; }
    int32_t State() const { return m_state; }
    uint32_t IdleTicks() const { return m_idleTicks; }
    uint32_t AgeTicks() const { return m_ageTicks; }
    uint32_t IdleLimit() const { return m_idleLimit; }
    uint32_t ConnectTimeoutSec() const { return m_connectTimeoutSec; }
    bool ConnectedOnce() const { return m_connectedOnce == 2; }
    int32_t ReceivedLength() const { return m_receive.length; }
    int32_t ReceiveCapacity() const { return m_receive.capacity; }
    int32_t LayerCount() const { return m_layerCount; }
    int32_t QueuedEventCount() const { return m_events.Count(); }
    int32_t QueuedBlockCount() const { return m_sendQueue.Count(); }
    bool ConnectTimerRunning() const { return !m_connectTimer.IsEmpty(); }

  private:
    struct LayerEntry {
        ovSmartPtr face;
        nwIQoSNetStack* stack;
        uint32_t classId;
    };

    // Holds the context for a scope (interlocked, like every reference).
    class SelfHold {
      public:
        explicit SelfHold(cpCQoSContext* context) : m_context(context) { m_context->AddRef(); }
        ~SelfHold() { m_context->Release(); }
        SelfHold(const SelfHold&) = delete;
        SelfHold& operator=(const SelfHold&) = delete;

      private:
        cpCQoSContext* m_context;
    };

    int32_t IndexOf(nwIQoSNetStack* layer) const;
    nwIQoSNetStack* StackAt(int32_t index) const;

    void PostEvent(uint32_t code);
    // The handling of one queued code (DispatchQueuedEvent without the
    // record check).
    void HandleEvent(uint32_t code);
    void DeliverEvent(uint32_t code, uint32_t argument);
    void StartDeferredTimer();
    static void DeferredTimerCallback(void* context);
    void RunDeferredEvents();

    void ConnectFailed();
    static void ConnectTimerCallback(void* context);
    void StopConnectTimer();

    ResultCode QueueSend(const uint8_t* data, int32_t length);
    void LoadNextSend();
    bool FlushSend();
    void FreeCurrentBlock();
    void DeliverReceived();
    void CloseInternal();
    void ReleaseSocket();
    void CountMeter(NetTimeStamp* start, uint64_t* bytes, int32_t n);

    std::atomic<int32_t> m_refCount;
    cpQoSSendBlock m_current;
    cpQoSReceiveBuffer m_receive;
    SockRecord* m_socket;
    uint32_t m_idleLimit;
    uint32_t m_connectTimeoutSec;
    uint32_t m_eventMask;
    int32_t m_state;
    ovCPtrList m_sendQueue;  // cpQoSSendBlock*, owned
    uint32_t m_idleTicks;
    uint32_t m_ageTicks;
    LayerEntry* m_layers;  // m_layerCount entries, index 0 the top layer
    int32_t m_layerCount;
    ovSmartPtr m_connectTimer;
    ovSmartPtr m_dispatcher;
    cpCQoSContextAction* m_action;
    NetAddress m_peer;
    NetTimeStamp m_sendWindowStart;  // seconds 0: not started
    uint64_t m_sendWindowBytes;
    NetTimeStamp m_receiveWindowStart;
    uint64_t m_receiveWindowBytes;
    int32_t m_connectedOnce;
    char m_hostName[kHostNameSize];
    ovCPtrList m_events;  // event codes stored as pointer-sized integers
    ovSmartPtr m_deferredTimer;
};
