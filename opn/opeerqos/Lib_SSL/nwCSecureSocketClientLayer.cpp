#include "opn/opeerqos/Lib_SSL/nwCSecureSocketClientLayer.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "opn/core/ovClassIds.h"
#include "opn/core/ovLog.h"

namespace {

struct PendingBlock {
    int32_t length;
    uint8_t* data;  // follows the record in the same allocation
};

std::atomic<uint32_t> g_instances{0};

// Bound on one flush: a layer above that keeps sending from the drained
// notice leaves the rest for the next notice.
const int32_t kMaxWritesPerFlush = 1 << 20;

}  // namespace

nwCSecureSocketClientLayer::Hold::Hold(nwCSecureSocketClientLayer* layer)
    : m_layer(layer), m_context(layer->Context()) {
    m_layer->AddRef();
    if (m_context)
        m_context->AddRef();
}

nwCSecureSocketClientLayer::Hold::~Hold() {
    if (m_context)
        m_context->Release();
    m_layer->Release();
}

nwCSecureSocketClientLayer::nwCSecureSocketClientLayer()
    : m_face(this), m_instance(g_instances.fetch_add(1) + 1) {
    RegisterHandlers();
}

nwCSecureSocketClientLayer::~nwCSecureSocketClientLayer() {
    FreePending();
    FreeRemainder();
    TlsSessionDestroy(m_session);
    m_session = nullptr;
}

ResultCode nwCSecureSocketClientLayer::QueryInterface(uint32_t id, void** out) {
    if (id != OV_IID_NETSTACK || !out)
        return OV_E_NETWORK;
    *out = static_cast<nwIQoSNetStack*>(this);
    return OV_S_NETWORK;
}

void nwCSecureSocketClientLayer::RegisterHandlers() {
    m_dispatcher.AddRawHandler(&nwCSecureSocketClientLayer::FeedThunk, this);
}

// --- Connection events -------------------------------------------------------------

bool nwCSecureSocketClientLayer::OnConnected() {
    if (m_closed)
        return false;
    if (m_session)
        return true;
    Hold hold(this);
    const char* host = "";
    const NetAddress* peerPointer = nullptr;
    NetAddress peer = {0, 0};
    if (m_context) {
        if (OV_FAILED(m_context->GetHostName(&host)) || !host)
            host = "";
        if (OV_SUCCEEDED(m_context->GetPeerAddress(&peerPointer)) && peerPointer)
            peer = *peerPointer;
    }
    const TlsSessionCallbacks callbacks = {
        &nwCSecureSocketClientLayer::SendCiphertextThunk,
        &nwCSecureSocketClientLayer::HandshakeDoneThunk,
        &nwCSecureSocketClientLayer::PlaintextThunk,
        this,
    };
    if (OV_FAILED(TlsSessionCreate(&m_session, &callbacks, &peer, host))) {
        ovLogPrintf("[SwarmFetchLib] TLS session for %s could not be set up", host);
        CloseContext();
        return false;
    }
    NowMillis(&m_handshakeStart);
    BeginBusy();
    if (OV_FAILED(TlsHandshakeStart(m_session))) {
        FailAndClose("handshake with");
        EndBusy();
        return false;
    }
    EndBusy();
    // The ClientHello's send may have ended the connection already.
    return !m_closed;
}

void nwCSecureSocketClientLayer::OnClosedHook() {
    m_closed = 1;
    FreePending();
    FreeRemainder();
    if (m_busy > 0)
        m_closeRequested = 1;
    else
        DestroySession();
}

bool nwCSecureSocketClientLayer::OnSendDrained() {
    if (m_pending.Count() == 0)
        return true;
    Hold hold(this);
    FlushPending();
    return false;
}

// --- Downwards ---------------------------------------------------------------------

ResultCode nwCSecureSocketClientLayer::SendDown(const ovQoSBlock* block) {
    if (!block || block->length < 0 || (!block->data && block->length > 0))
        return OV_E_NETWORK;
    if (m_closed)
        return OV_E_NETWORK;
    if (block->length == 0)
        return OV_S_NETWORK;
    Hold hold(this);
    const bool writeNow = m_handshakeDone && m_session && !TlsSessionInCall(m_session) &&
                          m_pending.Count() == 0 && !m_flushing;
    if (writeNow)
        return WriteNow(block->data, block->length);
    // Before the handshake, while OpenSSL runs, or behind blocks still
    // waiting: keep the order.
    if (!QueuePending(block->data, block->length)) {
        ovLogPrintf("[SwarmFetchLib] TLS send queue full (%d bytes waiting)", (int)m_pendingBytes);
        CloseContext();
        return OV_E_NETWORK;
    }
    FlushPending();
    return OV_S_NETWORK;
}

ResultCode nwCSecureSocketClientLayer::WriteNow(const uint8_t* data, int32_t length) {
    if (!m_session || m_closed)
        return OV_E_NETWORK;
    BeginBusy();
    if (OV_FAILED(TlsWrite(m_session, data, length))) {
        FailAndClose("connection to");
        EndBusy();
        return OV_E_NETWORK;
    }
    EndBusy();
    return OV_S_NETWORK;
}

void nwCSecureSocketClientLayer::FlushPending() {
    if (m_flushing || !m_handshakeDone || m_closed || !m_session || TlsSessionInCall(m_session))
        return;
    m_flushing = 1;
    for (int32_t i = 0; i < kMaxWritesPerFlush && m_pending.Count() > 0; ++i) {
        if (m_closed || !m_session)
            break;
        // Taken off the queue first: a close from inside the write frees
        // the queue, not this block.
        PendingBlock* block = static_cast<PendingBlock*>(m_pending.RemoveAt(0));
        if (!block)
            break;
        m_pendingBytes -= block->length;
        const ResultCode written = WriteNow(block->data, block->length);
        free(block);
        if (OV_FAILED(written))
            break;
    }
    m_flushing = 0;
}

bool nwCSecureSocketClientLayer::QueuePending(const uint8_t* data, int32_t length) {
    if (length > kMaxPendingBytes - m_pendingBytes)
        return false;
    PendingBlock* block = static_cast<PendingBlock*>(malloc(sizeof(PendingBlock) + (size_t)length));
    if (!block)
        return false;
    block->length = length;
    block->data = reinterpret_cast<uint8_t*>(block + 1);
    memcpy(block->data, data, (size_t)length);
    if (!m_pending.AddTail(block)) {
        free(block);
        return false;
    }
    m_pendingBytes += length;
    return true;
}

void nwCSecureSocketClientLayer::FreePending() {
    for (ovCPtrList::Node* node = m_pending.HeadNode(); node; node = node->next)
        free(node->element);
    m_pending.RemoveAll();
    m_pendingBytes = 0;
}

// --- Upwards -----------------------------------------------------------------------

int32_t nwCSecureSocketClientLayer::FeedThunk(const uint8_t* data, int32_t length, void* user) {
    return static_cast<nwCSecureSocketClientLayer*>(user)->FeedCiphertext(data, length);
}

int32_t nwCSecureSocketClientLayer::FeedCiphertext(const uint8_t* data, int32_t length) {
    if (!m_session || m_closed)
        return -1;
    // A feed while another runs would enter OpenSSL twice; the bytes wait.
    if (TlsSessionInCall(m_session) || m_busy > 0)
        return 0;
    Hold hold(this);
    int32_t consumed = 0;
    BeginBusy();
    const ResultCode result = m_handshakeDone
                                  ? TlsReadFeed(m_session, data, length, &consumed)
                                  : TlsHandshakeFeed(m_session, data, length, &consumed);
    if (OV_FAILED(result)) {
        FailAndClose(m_handshakeDone ? "connection to" : "handshake with");
        EndBusy();
        return 0;
    }
    EndBusy();
    if (consumed < 0 || consumed > length)
        return -1;
    return consumed;
}

void nwCSecureSocketClientLayer::HandshakeDoneThunk(void* user) {
    static_cast<nwCSecureSocketClientLayer*>(user)->OnHandshakeDone();
}

void nwCSecureSocketClientLayer::OnHandshakeDone() {
    m_handshakeDone = 1;
    ovLogDebugTrace(SF_LOG_DEBUG_PREFIX " TLS layer %u: handshake done after %u ms", m_instance,
                    ElapsedMillis(&m_handshakeStart));
    FlushPending();
}

bool nwCSecureSocketClientLayer::PlaintextThunk(const uint8_t* data, int32_t length, void* user) {
    return static_cast<nwCSecureSocketClientLayer*>(user)->OnPlaintext(data, length);
}

bool nwCSecureSocketClientLayer::OnPlaintext(const uint8_t* data, int32_t length) {
    if (m_closed)
        return false;
    if (length <= 0)
        return true;
    // The remainder is taken out of the layer for the call: a close from
    // above frees the layer's buffers, never the bytes being offered.
    uint8_t* joined = m_remainder;
    int32_t total = m_remainderLength;
    m_remainder = nullptr;
    m_remainderLength = 0;
    const uint8_t* offer = data;
    if (joined) {
        if (length > kMaxRemainderBytes - total) {
            free(joined);
            ovLogPrintf("[SwarmFetchLib] TLS connection to %s closed: %d bytes not taken above",
                        m_session ? m_session->hostName : "", (int)total);
            CloseContext();
            return false;
        }
        uint8_t* grown = static_cast<uint8_t*>(realloc(joined, (size_t)total + (size_t)length));
        if (!grown) {
            free(joined);
            CloseContext();
            return false;
        }
        joined = grown;
        memcpy(joined + total, data, (size_t)length);
        total += length;
        offer = joined;
    } else {
        total = length;
    }

    // Offered again at once while the layer above takes some: nothing else
    // would bring these bytes back once the server has sent its last record.
    int32_t done = 0;
    bool failed = false;
    for (int32_t i = 0; i <= total && done < total; ++i) {
        const int32_t n = PassUp(offer + done, total - done);
        if (m_closed)
            break;
        if (n < 0 || n > total - done) {
            failed = true;
            break;
        }
        if (n == 0)
            break;
        done += n;
    }
    if (m_closed || failed) {
        free(joined);
        if (failed && !m_closed)
            CloseContext();
        return false;
    }
    const int32_t rest = total - done;
    if (rest == 0) {
        free(joined);
        return true;
    }
    if (rest > kMaxRemainderBytes) {
        free(joined);
        CloseContext();
        return false;
    }
    if (joined) {
        memmove(joined, joined + done, (size_t)rest);
    } else {
        joined = static_cast<uint8_t*>(malloc((size_t)rest));
        if (!joined) {
            CloseContext();
            return false;
        }
        memcpy(joined, data + done, (size_t)rest);
    }
    m_remainder = joined;
    m_remainderLength = rest;
    return true;
}

void nwCSecureSocketClientLayer::SendCiphertextThunk(const void* data, int32_t length, void* user) {
    nwCSecureSocketClientLayer* self = static_cast<nwCSecureSocketClientLayer*>(user);
    if (self->m_closed || length <= 0)
        return;
    const ovQoSBlock block = {static_cast<const uint8_t*>(data), length};
    self->SendFromLayer(&block);
}

void nwCSecureSocketClientLayer::FreeRemainder() {
    free(m_remainder);
    m_remainder = nullptr;
    m_remainderLength = 0;
}

// --- Session lifetime ----------------------------------------------------------------

void nwCSecureSocketClientLayer::EndBusy() {
    if (m_busy > 0)
        --m_busy;
    if (m_busy == 0 && m_closeRequested) {
        m_closeRequested = 0;
        DestroySession();
        return;
    }
    // Blocks sent down while OpenSSL ran (from a drained notice raised by its
    // own ciphertext, say) go out now: no later notice may come for them.
    if (m_pending.Count() > 0)
        FlushPending();
}

void nwCSecureSocketClientLayer::DestroySession() {
    TlsSession* session = m_session;
    m_session = nullptr;
    TlsSessionDestroy(session);
}

void nwCSecureSocketClientLayer::FailAndClose(const char* what) {
    if (m_closed)
        return;
    if (m_session && m_session->failure != kTlsFailClosed) {
        char text[kTlsFailureTextSize];
        TlsSessionFailureText(m_session, text, (int32_t)sizeof text);
        ovLogPrintf("[SwarmFetchLib] TLS %s %s failed: %s", what, m_session->hostName, text);
    }
    CloseContext();
}
