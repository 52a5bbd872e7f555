#include "opn/opeerqos/nwCHTTPDownloader.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "opn/core/ovCGarbageCollector.h"
#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCQoS.h"
#include "opn/opeerqos/nwRedirect.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"

namespace {

// The library lock of the running network module, held for a scope; nothing
// when no module runs.
class LibraryLock {
  public:
    LibraryLock() : m_manager(OpnSocketManager()) {
        if (m_manager)
            m_manager->Lock();
    }
    ~LibraryLock() {
        if (m_manager)
            m_manager->Unlock();
    }
    LibraryLock(const LibraryLock&) = delete;
    LibraryLock& operator=(const LibraryLock&) = delete;

  private:
    cpCQoS* m_manager;
};

// Keeps the downloader alive while it calls out to its client.
class SelfHold {
  public:
    explicit SelfHold(ovIUnknown* object) : m_object(object) { m_object->AddRef(); }
    ~SelfHold() { m_object->Release(); }
    SelfHold(const SelfHold&) = delete;
    SelfHold& operator=(const SelfHold&) = delete;

  private:
    ovIUnknown* m_object;
};

const int32_t kStatusOk = 200;
const int32_t kStatusPartial = 206;

}  // namespace

nwCHTTPDownloader::nwCHTTPDownloader() {}

nwCHTTPDownloader::~nwCHTTPDownloader() {
    m_listener = nullptr;
    CancelAll();
}

ResultCode nwCHTTPDownloader::SetListener(nwIHTTPDownloaderListener* listener) {
    LibraryLock hold;
    m_listener = listener;
    return OV_S_NETWORK;
}

ResultCode nwCHTTPDownloader::Download(uint32_t key, const char* url, uint32_t value) {
    LibraryLock hold;
    SelfHold self(this);
    StartNew(key, url, value, 0, 0);
    return OV_S_NETWORK;
}

ResultCode nwCHTTPDownloader::Cancel(uint32_t key) {
    LibraryLock hold;
    // From the last to the first; Finish reports nothing, so the list holds
    // still while it is walked.
    ovCPtrList::Node* node = m_requests.TailNode();
    while (node) {
        ovCPtrList::Node* previous = node->prev;
        Request* request = static_cast<Request*>(node->element);
        if (request->key == key)
            Finish(request);
        node = previous;
    }
    return OV_S_NETWORK;
}

ResultCode nwCHTTPDownloader::CancelAll() {
    LibraryLock hold;
    // Bounded by the count at the start: Finish never adds a request.
    for (int32_t left = m_requests.Count(); left > 0 && m_requests.TailNode(); --left)
        Finish(static_cast<Request*>(m_requests.TailNode()->element));
    return OV_S_NETWORK;
}

uint32_t nwCHTTPDownloader::NextId() {
    // Skips 0 and, after a wrap, serial numbers still in use; the list holds
    // far fewer requests than there are numbers.
    for (int32_t tries = 0; tries <= m_requests.Count() + 1; ++tries) {
        uint32_t id = ++m_lastId;
        if (id != 0 && !Find(id))
            return id;
    }
    return 0;
}

nwCHTTPDownloader::Request* nwCHTTPDownloader::Find(uint32_t id) const {
    if (id == 0)
        return nullptr;
    for (ovCPtrList::Node* node = m_requests.HeadNode(); node; node = node->next) {
        Request* request = static_cast<Request*>(node->element);
        if (request->id == id)
            return request;
    }
    return nullptr;
}

ovIHttpClientExLayer* nwCHTTPDownloader::HttpOf(const Request* request) {
    if (request->context.IsEmpty())
        return nullptr;
    return static_cast<ovIHttpClientExLayer*>(request->context.As<ovIQoSContext>()->TopLayer());
}

void nwCHTTPDownloader::StartNew(uint32_t key, const char* url, uint32_t value, int32_t attempt,
                                 int32_t redirects) {
    Request* request = new (std::nothrow) Request();
    if (!request) {
        if (m_listener)
            m_listener->OnDownloadFailed(key, value);
        return;
    }
    request->id = NextId();
    request->key = key;
    request->value = value;
    request->attempt = attempt;
    request->redirects = redirects;
    request->body = nullptr;
    request->bodyLength = 0;
    request->stored = 0;
    if (request->id == 0 || !request->url.Assign(url) || !m_requests.AddTail(request)) {
        delete request;
        if (m_listener)
            m_listener->OnDownloadFailed(key, value);
        return;
    }
    if (!StartRequest(request))
        Fail(request);
}

bool nwCHTTPDownloader::StartRequest(Request* request) {
    if (request->url.IsEmpty() || !request->context.CreateInstance(OV_CLSID_QOS_CONTEXT))
        return false;
    ovIQoSContext* context = request->context.As<ovIQoSContext>();
    const uint32_t idleLimit = kIdleLimitSec;
    if (OV_FAILED(context->Initialize(kQoSActionHigh, kQoSEventConnectFailed | kQoSEventReceiveIdle,
                                      nullptr)) ||
        OV_FAILED(context->PushLayer(OV_CLSID_HTTP_CLIENT_LAYER, false)) ||
        OV_FAILED(context->SetOption(kQoSOptionIdleLimit, &idleLimit)))
        return false;
    ovIHttpClientExLayer* http = HttpOf(request);
    if (!http)
        return false;
    http->SetEventListener(this, request->id);
    if (OV_FAILED(http->Open(request->url.CStr())))
        return false;
    return OV_SUCCEEDED(http->SendGet());
}

void nwCHTTPDownloader::Finish(Request* request) {
    LibraryLock hold;
    m_requests.Remove(request);
    if (!request->context.IsEmpty()) {
        ovIHttpClientExLayer* http = HttpOf(request);
        if (http)
            http->SetEventListener(nullptr, 0);
        request->context.As<ovIQoSContext>()->Close();
        // Never destroyed inside its own callback: the collector drops it.
        ovCGarbageCollector* collector = OpnGarbageCollector();
        if (collector)
            collector->DeferRelease(request->context);
        request->context.Reset();
    }
    free(request->body);
    delete request;
}

void nwCHTTPDownloader::Fail(Request* request) {
    const uint32_t key = request->key;
    const uint32_t value = request->value;
    Finish(request);
    if (m_listener)
        m_listener->OnDownloadFailed(key, value);
}

void nwCHTTPDownloader::OnConnected(uint32_t id) {
    (void)id;
}

void nwCHTTPDownloader::OnSendDrained(uint32_t id) {
    (void)id;
}

void nwCHTTPDownloader::OnResponse(uint32_t id) {
    Request* request = Find(id);
    ovIHttpClientExLayer* http = request ? HttpOf(request) : nullptr;
    if (!http)
        return;
    SelfHold self(this);
    int32_t status = 0;
    http->GetStatusCode(&status);
    if (status == kStatusOk || status == kStatusPartial) {
        int64_t length = 0;
        http->GetContentLength(&length);
        if (length <= 0 || length > kMaxBodySize) {
            Fail(request);
            return;
        }
        if (!request->body) {
            request->body = static_cast<uint8_t*>(calloc((size_t)length, 1));
            if (!request->body) {
                Fail(request);
                return;
            }
            request->bodyLength = length;
            request->stored = 0;
        }
        return;
    }
    if (IsRedirectStatus(status)) {
        HandleRedirect(request, http);
        return;
    }
    Fail(request);
}

void nwCHTTPDownloader::HandleRedirect(Request* request, ovIHttpClientExLayer* http) {
    // A relative Location is resolved against the URL this request asked for.
    ovCString target;
    if (JudgeRedirect(http, request->url.CStr(), request->redirects, &target) != kRedirectFollow) {
        Fail(request);
        return;
    }
    const uint32_t key = request->key;
    const uint32_t value = request->value;
    const int32_t redirects = request->redirects + 1;
    Finish(request);
    StartNew(key, target.CStr(), value, 0, redirects);
}

int32_t nwCHTTPDownloader::OnData(uint32_t id, const uint8_t* data, int32_t length) {
    Request* request = Find(id);
    if (!request || length <= 0)
        return length > 0 ? length : 0;
    if (!request->body) {
        SelfHold self(this);
        Fail(request);
        return length;
    }
    // Surplus bytes are consumed and dropped: the buffer has exactly the
    // announced size.
    int64_t room = request->bodyLength - request->stored;
    int64_t n = length < room ? length : room;
    if (n > 0 && data) {
        memcpy(request->body + request->stored, data, (size_t)n);
        request->stored += n;
    }
    return length;
}

void nwCHTTPDownloader::OnComplete(uint32_t id) {
    Request* request = Find(id);
    if (!request)
        return;
    SelfHold self(this);
    if (!request->body || request->stored != request->bodyLength) {
        Fail(request);
        return;
    }
    const uint32_t key = request->key;
    const uint32_t value = request->value;
    uint8_t* body = request->body;
    const int64_t length = request->bodyLength;
    request->body = nullptr;  // handed to the client below, freed after
    Finish(request);
    if (m_listener)
        m_listener->OnDownloaded(key, value, body, length);
    free(body);
}

void nwCHTTPDownloader::OnClosed(uint32_t id) {
    Request* request = Find(id);
    if (!request)
        return;
    SelfHold self(this);
    Fail(request);
}

void nwCHTTPDownloader::OnConnectTimeout(uint32_t id) {
    OnClosed(id);
}

void nwCHTTPDownloader::OnReceiveTimeout(uint32_t id) {
    OnClosed(id);
}

void nwCHTTPDownloader::OnHostUnreachable(uint32_t id) {
    Request* request = Find(id);
    if (!request)
        return;
    SelfHold self(this);
    const uint32_t key = request->key;
    const uint32_t value = request->value;
    const int32_t attempt = request->attempt + 1;
    const int32_t redirects = request->redirects;
    ovCString url(request->url);
    Finish(request);
    if (attempt < kMaxAttempts) {
        StartNew(key, url.CStr(), value, attempt, redirects);
        return;
    }
    if (m_listener)
        m_listener->OnDownloadGaveUp(key, value);
}

bool nwCHTTPDownloader::RequestAt(int32_t index, RequestView* out) const {
    if (!out || index < 0)
        return false;
    int32_t i = 0;
    for (ovCPtrList::Node* node = m_requests.HeadNode(); node; node = node->next, ++i) {
        if (i != index)
            continue;
        const Request* request = static_cast<const Request*>(node->element);
        out->key = request->key;
        out->value = request->value;
        out->attempt = request->attempt;
        out->redirects = request->redirects;
        out->url = request->url.CStr();
        out->context = request->context.IsEmpty() ? nullptr : request->context.As<ovIQoSContext>();
        return true;
    }
    return false;
}
