#include "sdk/download/HttpConnectionPool.h"

#include <stdio.h>

#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCQoS.h"
#include "opn/opeerqos/nwCHttpClientExLayer.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"

namespace {

// Whether the context still has its connection.
bool IsConnected(const ovSmartPtr& connection) {
    int32_t state = kQoSStateClosed;
    if (connection.IsEmpty() || OV_FAILED(connection.As<ovIQoSContext>()->GetState(&state)))
        return false;
    return state == kQoSStateConnected || state == kQoSStateIdle || state == kQoSStateReceiving ||
           state == kQoSStateSending;
}

}  // namespace

HttpConnectionPool::HttpConnectionPool() {}

HttpConnectionPool::~HttpConnectionPool() {
    Clear();
}

bool HttpConnectionPool::KeyOf(const char* url, ovCString& key) {
    ovCString host;
    ovCString path;
    uint16_t port = 0;
    int32_t scheme = 0;
    if (!nwCHttpClientExLayer::ParseUrl(url, host, path, &port, &scheme) || host.IsEmpty() ||
        port == 0)
        return false;
    char head[32];
    snprintf(head, sizeof head, "%d://", (int)scheme);
    char tail[8];
    snprintf(tail, sizeof tail, ":%u", (unsigned)port);
    if (!key.Assign(head) || !key.Append(host) || !key.Append(tail))
        return false;
    // Host names compare without ASCII case.
    char* text = const_cast<char*>(key.CStr());
    for (uint32_t i = 0; i < key.Length(); ++i) {
        if (text[i] >= 'A' && text[i] <= 'Z')
            text[i] = (char)(text[i] - 'A' + 'a');
    }
    return true;
}

HttpConnectionPool::Slot* HttpConnectionPool::SlotOf(uint32_t serial) {
    for (Slot& slot : m_slots) {
        if (!slot.connection.IsEmpty() && slot.serial == serial)
            return &slot;
    }
    return nullptr;
}

void HttpConnectionPool::Drop(Slot& slot) {
    ReleaseHttpConnection(slot.connection);
    slot.key.Clear();
    slot.serial = 0;
    slot.draining = false;
}

void HttpConnectionPool::Clear() {
    for (Slot& slot : m_slots) {
        if (!slot.connection.IsEmpty())
            Drop(slot);
    }
}

int32_t HttpConnectionPool::KeptCount() const {
    int32_t count = 0;
    for (const Slot& slot : m_slots) {
        if (!slot.connection.IsEmpty())
            ++count;
    }
    return count;
}

HttpConnectionPool::Slot* HttpConnectionPool::FreeSlotFor(const ovCString& key) {
    Slot* free = nullptr;
    Slot* oldest = nullptr;
    Slot* oldestOfHost = nullptr;
    int32_t ofHost = 0;
    for (Slot& slot : m_slots) {
        if (slot.connection.IsEmpty()) {
            if (!free)
                free = &slot;
            continue;
        }
        if (slot.draining)
            continue;
        if (!oldest || slot.serial < oldest->serial)
            oldest = &slot;
        if (slot.key.Equals(key)) {
            ++ofHost;
            if (!oldestOfHost || slot.serial < oldestOfHost->serial)
                oldestOfHost = &slot;
        }
    }
    Slot* evict = ofHost >= kMaxIdlePerHost ? oldestOfHost : (free ? nullptr : oldest);
    if (evict) {
        Drop(*evict);
        return evict;
    }
    return free;
}

void HttpConnectionPool::Park(ovSmartPtr& connection, const char* url) {
    ovIHttpClientExLayer* http = HttpLayerOf(connection);
    int64_t remaining = 0;
    ovCString key;
    Slot* slot = nullptr;
    if (http && IsConnected(connection) && OV_SUCCEEDED(http->GetKeepAlive(&remaining)) &&
        remaining <= kMaxDrainBytes && KeyOf(url, key))
        slot = FreeSlotFor(key);
    if (!slot) {
        ReleaseHttpConnection(connection);
        return;
    }
    if (++m_serial == 0)
        m_serial = 1;
    slot->key.Swap(key);
    slot->serial = m_serial;
    slot->draining = remaining > 0;
    slot->connection = connection;
    connection.Reset();
    ovIQoSContext* context = slot->connection.As<ovIQoSContext>();
    // Idle, it draws on no job's budget.
    context->ShareReceiveBudget(nullptr);
    const uint32_t idle = kIdleSeconds;
    context->SetOption(kQoSOptionIdleLimit, &idle);
    http->SetEventListener(this, slot->serial);
}

bool HttpConnectionPool::Open(ovSmartPtr& connection, const HttpConnectionOptions& options,
                              nwIHttpClientExEventListener* listener, uint32_t key, const char* url,
                              PooledRequest* request, bool fresh, const char* ifRange) {
    if (request)
        *request = PooledRequest();
    ovCString wanted;
    if (!fresh && KeyOf(url, wanted)) {
        // The newest first: the least likely to have been closed meanwhile.
        Slot* best = nullptr;
        for (Slot& slot : m_slots) {
            if (!slot.connection.IsEmpty() && slot.key.Equals(wanted) &&
                (!best || slot.serial > best->serial))
                best = &slot;
        }
        if (best) {
            ovSmartPtr kept = best->connection;
            best->connection.Reset();
            best->key.Clear();
            best->serial = 0;
            if (IsConnected(kept) && Reuse(kept, options, listener, key, url, ifRange)) {
                connection = kept;
                ++m_reuses;
                if (request)
                    request->m_reused = true;
                return true;
            }
            ReleaseHttpConnection(kept);
        }
    }
    return OpenHttpConnection(connection, options, listener, key, url, ifRange);
}

bool HttpConnectionPool::Reuse(ovSmartPtr& connection, const HttpConnectionOptions& options,
                               nwIHttpClientExEventListener* listener, uint32_t key,
                               const char* url, const char* ifRange) {
    cpCQoS* manager = OpnSocketManager();
    ovIHttpClientExLayer* http = HttpLayerOf(connection);
    if (!manager || !http)
        return false;
    manager->Lock();
    ovIQoSContext* context = connection.As<ovIQoSContext>();
    // 0 gives the default back: a size probe's small limit does not stay.
    bool ok = OV_SUCCEEDED(context->SetOption(kQoSOptionIdleLimit, &options.receiveTimeoutSec)) &&
              OV_SUCCEEDED(context->SetOption(kQoSOptionReceiveLimit, &options.receiveLimit)) &&
              OV_SUCCEEDED(context->SetAction(options.ownAction != 0 ? options.ownAction
                                                                     : options.actionType));
    if (ok && options.ownAction != 0)
        ok = OV_SUCCEEDED(context->SetActionLimit(kQoSDirectionReceive, &options.receiveBudget));
    // A budget shared by the last user's job does not stay with the connection.
    if (ok && options.ownAction != 0)
        ok = OV_SUCCEEDED(context->ShareReceiveBudget(options.sharedBudget));
    if (ok) {
        http->SetEventListener(listener, key);
        ok = OV_SUCCEEDED(http->Reuse(url)) &&
             (!options.range || OV_SUCCEEDED(http->SetHeader("Range", options.range))) &&
             (!options.range || !ifRange || !ifRange[0] ||
              OV_SUCCEEDED(http->SetHeader("If-Range", ifRange))) &&
             OV_SUCCEEDED(http->SendGet());
    }
    manager->Unlock();
    return ok;
}

void HttpConnectionPool::OnConnected(uint32_t key) {
    (void)key;
}

void HttpConnectionPool::OnResponse(uint32_t key) {
    // Nothing was asked on an idle connection.
    Slot* slot = SlotOf(key);
    if (slot)
        Drop(*slot);
}

int32_t HttpConnectionPool::OnData(uint32_t key, const uint8_t* data, int32_t length) {
    (void)data;
    Slot* slot = SlotOf(key);
    if (slot && !slot->draining)
        Drop(*slot);
    // The rest of the last answer's body: read and dropped.
    return length > 0 ? length : 0;
}

void HttpConnectionPool::OnComplete(uint32_t key) {
    Slot* slot = SlotOf(key);
    if (slot)
        slot->draining = false;
}

void HttpConnectionPool::OnSendDrained(uint32_t key) {
    (void)key;
}

void HttpConnectionPool::OnClosed(uint32_t key) {
    Slot* slot = SlotOf(key);
    if (slot)
        Drop(*slot);
}

void HttpConnectionPool::OnConnectTimeout(uint32_t key) {
    OnClosed(key);
}

void HttpConnectionPool::OnReceiveTimeout(uint32_t key) {
    // Idle for kIdleSeconds (or a drain that stalled).
    OnClosed(key);
}

void HttpConnectionPool::OnHostUnreachable(uint32_t key) {
    (void)key;
}
