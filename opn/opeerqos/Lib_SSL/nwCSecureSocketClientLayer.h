// The TLS client layer: runs a TlsSession under the layers above it and
// passes ciphertext to the layer below (the socket queue, as the bottom
// layer). One object, two faces on one count: the stack face (this object,
// for the context) and ovISecureSocketClientLayer (PublicFace(), what the
// class factory hands out for OV_CLSID_SECURE_LAYER).
//
// Life of a connection:
// - OnConnected (TCP is up): the session is made for the context's host name
//   and peer address and sends its ClientHello. The layers above are told at
//   once; what they send before the handshake is done waits in the pending
//   queue and goes out after it, in order.
// - OnData: the received ciphertext is fed record by record (the raw
//   dispatcher repeats while bytes are taken); each record's plaintext goes
//   up at once with PassUp. Plaintext the layer above leaves is offered again
//   right away while it takes some, else joined with the next plaintext.
// - A failed handshake, a server certificate that does not verify, or a TLS
//   error later is logged to the service log and closes the context: the
//   layers above see OnClosed, never a completion. A close_notify from the
//   server closes it quietly.
// - OnClosed destroys the session, but never while OpenSSL or one of its
//   callbacks is on the stack: then it goes when that call returns.
//
// Re-entrancy: the ciphertext of a write leaves from inside OpenSSL, and the
// context may deliver events (send drained) or close from inside that send.
// Bytes sent down while OpenSSL runs are queued and written after it
// returned, so OpenSSL is never entered twice.
//
// Bounds: the pending queue holds at most kMaxPendingBytes and the upward
// remainder at most kMaxRemainderBytes; more closes the context.
//
// Threads: the context calls the layer on the library thread under the library
// lock (cpISocketContext.h); OpenSSL's callbacks run inside those calls.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/opeerqos/Lib_SSL/TlsSession.h"
#include "opn/opeerqos/Lib_SSL/ovISecureSocketClientLayer.h"
#include "opn/opeerqos/nwCApplicationStack.h"

class nwCSecureSocketClientLayer : public nwCApplicationStack {
    OV_IMPLEMENT_REFCOUNT(nwCSecureSocketClientLayer)

  public:
    static constexpr int32_t kMaxPendingBytes = 16 * 1024 * 1024;
    static constexpr int32_t kMaxRemainderBytes = 4 * 1024 * 1024;

    nwCSecureSocketClientLayer();
    ~nwCSecureSocketClientLayer() override;
    nwCSecureSocketClientLayer(const nwCSecureSocketClientLayer&) = delete;
    nwCSecureSocketClientLayer& operator=(const nwCSecureSocketClientLayer&) = delete;

    // OV_IID_NETSTACK gives the stack face (no reference added) and
    // OV_S_NETWORK; any other id OV_E_NETWORK with `out` untouched.
    ResultCode QueryInterface(uint32_t id, void** out) override;

    // Queued before the handshake completes (and while OpenSSL runs),
    // encrypted and sent otherwise. OV_S_NETWORK; OV_E_NETWORK for a bad
    // block, after the close, or when the write fails (the context closes).
    ResultCode SendDown(const ovQoSBlock* block) override;
    bool OnConnected() override;
    void OnClosedHook() override;
    // Holds the drained notice back while blocks wait here (answers false
    // and writes them); passes it up otherwise.
    bool OnSendDrained() override;
    void RegisterHandlers() override;

    ovISecureSocketClientLayer* PublicFace() { return &m_face; }
    ovIUnknown* PublicUnknown() { return &m_face; }

    // Inspection for tests and diagnostics.
    TlsSession* Session() const { return m_session; }
    bool HandshakeDone() const { return m_handshakeDone != 0; }
    bool Closed() const { return m_closed != 0; }
    int32_t PendingCount() const { return m_pending.Count(); }
    int32_t RemainderLength() const { return m_remainderLength; }
    uint32_t InstanceNumber() const { return m_instance; }

  private:
    class Face : public ovISecureSocketClientLayer {
      public:
        explicit Face(nwCSecureSocketClientLayer* owner) : m_owner(owner) {}
        ResultCode AddRef() override { return m_owner->AddRef(); }
        ResultCode Release() override { return m_owner->Release(); }
        ResultCode QueryInterface(uint32_t id, void** out) override {
            return m_owner->QueryInterface(id, out);
        }

      private:
        nwCSecureSocketClientLayer* m_owner;
    };

    // Keeps the layer and its context alive while a call runs.
    class Hold {
      public:
        explicit Hold(nwCSecureSocketClientLayer* layer);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

      private:
        nwCSecureSocketClientLayer* m_layer;
        ovIQoSContext* m_context;
    };

    static int32_t FeedThunk(const uint8_t* data, int32_t length, void* user);
    static void SendCiphertextThunk(const void* data, int32_t length, void* user);
    static void HandshakeDoneThunk(void* user);
    static bool PlaintextThunk(const uint8_t* data, int32_t length, void* user);

    int32_t FeedCiphertext(const uint8_t* data, int32_t length);
    void OnHandshakeDone();
    bool OnPlaintext(const uint8_t* data, int32_t length);

    void BeginBusy() { ++m_busy; }
    void EndBusy();
    void DestroySession();
    // Logs the session's failure (`what` names the step) and closes.
    void FailAndClose(const char* what);
    bool QueuePending(const uint8_t* data, int32_t length);
    void FreePending();
    void FreeRemainder();
    // Writes the pending blocks in order while OpenSSL may be entered.
    void FlushPending();
    ResultCode WriteNow(const uint8_t* data, int32_t length);

    Face m_face;
    TlsSession* m_session = nullptr;
    uint8_t m_handshakeDone = 0;
    ovCPtrList m_pending;  // PendingBlock*, owned, in send order
    int32_t m_pendingBytes = 0;
    uint8_t* m_remainder = nullptr;  // plaintext not consumed above, owned
    int32_t m_remainderLength = 0;
    // Depth of the calls into the session in progress; the session is only
    // destroyed at depth 0.
    int32_t m_busy = 0;
    uint8_t m_closeRequested = 0;
    uint8_t m_closed = 0;
    uint8_t m_flushing = 0;
    uint32_t m_instance;
    NetTimeStamp m_handshakeStart = {0, 0};
};
