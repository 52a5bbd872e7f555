#include "opn/opeerqos/nwCHttpClientExLayer.h"

#include <stdio.h>
#include <string.h>

#include <new>

#include "opn/core/ovAscii.h"
#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/cpCAddressCache.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/opeerqos/cpCQoSContext.h"
#include "opn/opeerqos/nwCHttpRequest.h"
#include "opn/opeerqos/utCUriCodec.h"
#include "opn/core/ovLog.h"

nwCHttpClientExLayer::nwCHttpClientExLayer() : m_face(this) {
    RegisterHandlers();
}

nwCHttpClientExLayer::~nwCHttpClientExLayer() {
    EndAddressWait();
    delete m_builder;
    FreeFields(m_headers);
    FreeFields(m_queryParams);
}

ResultCode nwCHttpClientExLayer::QueryInterface(uint32_t id, void** out) {
    if (id != OV_IID_NETSTACK || !out)
        return OV_E_NETWORK;
    *out = static_cast<nwIQoSNetStack*>(this);
    return OV_S_NETWORK;
}

void nwCHttpClientExLayer::RegisterHandlers() {
    m_dispatcher.AddRawHandler(&nwCHttpClientExLayer::OnResponseBytes, this);
}

// --- events ------------------------------------------------------------------------

bool nwCHttpClientExLayer::OnConnected() {
    if (m_listener)
        m_listener->OnConnected(m_key);
    return true;
}

bool nwCHttpClientExLayer::OnHostUnreachable() {
    if (m_listener)
        m_listener->OnHostUnreachable(m_key);
    return true;
}

void nwCHttpClientExLayer::OnClosedHook() {
    EndAddressWait();
    nwIHttpClientExEventListener* listener = m_listener;
    const uint32_t key = m_key;
    // Forgotten first: the listener may set itself again or drop the layer.
    m_listener = nullptr;
    m_key = 0;
    if (listener)
        listener->OnClosed(key);
}

bool nwCHttpClientExLayer::OnConnectFailed() {
    if (m_listener)
        m_listener->OnConnectTimeout(m_key);
    return true;
}

bool nwCHttpClientExLayer::OnReceiveIdle() {
    if (m_listener)
        m_listener->OnReceiveTimeout(m_key);
    return true;
}

bool nwCHttpClientExLayer::OnSendDrained() {
    if (m_isPost && m_bodySent >= m_postBodySize) {
        if (!m_closingSent && m_builder) {
            m_closingSent = 1;
            ovCString closing;
            RemoveEvents(kQoSEventSendDrained);
            if (m_builder->BuildClosing(closing))
                SendText(closing);
        }
        return true;
    }
    if (m_listener)
        m_listener->OnSendDrained(m_key);
    return true;
}

// --- response reader ---------------------------------------------------------------

int32_t nwCHttpClientExLayer::OnResponseBytes(const uint8_t* data, int32_t length, void* user) {
    nwCHttpClientExLayer* self = static_cast<nwCHttpClientExLayer*>(user);
    if (length <= 0)
        return 0;
    if (self->m_skip > 0) {
        const int32_t skipped = self->m_skip < length ? (int32_t)self->m_skip : length;
        self->m_skip -= skipped;
        return skipped;
    }
    return self->m_headerReceived ? self->ReadBody(data, length) : self->ReadHead(data, length);
}

int32_t nwCHttpClientExLayer::ReadHead(const uint8_t* data, int32_t length) {
    // The pending head stays at the front of the buffered bytes, so what was
    // searched once need not be searched again.
    if (m_headScanned > length)
        m_headScanned = 0;
    const int32_t end = nwCHttpHeaderParser::FindHeadEnd(data, length, m_headScanned);
    if (end < 0 ? length > kMaxHeadBytes : end > kMaxHeadBytes) {
        ovLogPrintf("[SwarmFetchLib] HTTP response head longer than %d bytes, connection closed\n",
                    (int)kMaxHeadBytes);
        return -1;
    }
    if (end < 0) {
        m_headScanned = length;
        return 0;
    }
    m_headScanned = 0;
    if (!m_parser.Parse(reinterpret_cast<const char*>(data), end))
        return -1;
    const int32_t status = m_parser.StatusCode();
    if (status >= 100 && status <= 199) {
        // An interim answer (100 Continue and the like): the real one follows.
        m_parser.Clear();
        return end;
    }
    const char* refusal = m_parser.BodyRefusal();
    if (refusal && status >= 200 && status <= 299) {
        // The body cannot be told apart from the resource: fail the response
        // rather than hand on bytes that are not the file.
        ovLogPrintf("[SwarmFetchLib] HTTP response refused (%s), connection closed\n", refusal);
        return -1;
    }
    m_headerReceived = 1;
    // Other statuses still tell the owner where to go or what went wrong;
    // their body is never delivered.
    m_bodyDiscarded = refusal != nullptr;
    m_contentLength = m_parser.ContentLength(&m_lengthKnown);
    // Bytes already here beyond this answer were not asked for: the
    // connection must not carry another request, where they would be read
    // as its answer (the listener may hand it on from inside OnResponse).
    if (m_lengthKnown && (int64_t)(length - end) > m_contentLength)
        m_surplus = true;
    if (m_listener)
        m_listener->OnResponse(m_key);
    return end;
}

int32_t nwCHttpClientExLayer::ReadBody(const uint8_t* data, int32_t length) {
    // Bytes beyond the announced length (after the end, or behind an empty
    // answer, which never completes here) were not asked for: never handed
    // on, and left unread, so a connection kept after its answer closes at
    // its receive bound instead of reading them for as long as they come.
    const bool beyond =
        m_completed || (m_headerReceived && m_lengthKnown && m_bodyReceived >= m_contentLength);
    if (beyond && !m_bodyDiscarded) {
        m_surplus = true;
        return 0;
    }
    if (m_bodyDiscarded || !m_listener)
        return length;
    int32_t offered = length;
    if (m_lengthKnown) {
        const int64_t remaining = m_contentLength - m_bodyReceived;
        if (remaining < offered)
            offered = (int32_t)remaining;
    }
    int32_t consumed = m_listener->OnData(m_key, data, offered);
    if (consumed < 0)
        consumed = 0;
    if (consumed > offered)
        consumed = offered;
    m_bodyReceived += consumed;
    if (m_lengthKnown && m_contentLength > 0 && m_bodyReceived >= m_contentLength) {
        m_completed = 1;
        // Nothing was asked after this answer: more bytes are not HTTP.
        if (length > offered)
            m_surplus = true;
        if (m_listener)
            m_listener->OnComplete(m_key);
        return consumed;
    }
    return consumed;
}

// --- configuration -----------------------------------------------------------------

bool nwCHttpClientExLayer::StoreField(ovCPtrList& list, const char* name, const char* value) {
    const size_t nameLength = strlen(name);
    for (ovCPtrList::Node* node = list.HeadNode(); node; node = node->next) {
        Field* field = static_cast<Field*>(node->element);
        if (strncmp(field->name.CStr(), name, nameLength) == 0)
            return field->value.Assign(value);
    }
    Field* field = new (std::nothrow) Field();
    if (!field)
        return false;
    field->emitted = 0;
    if (!field->name.Assign(name) || !field->value.Assign(value) || !list.AddTail(field)) {
        delete field;
        return false;
    }
    return true;
}

void nwCHttpClientExLayer::FreeFields(ovCPtrList& list) {
    for (ovCPtrList::Node* node = list.HeadNode(); node; node = node->next)
        delete static_cast<Field*>(node->element);
    list.RemoveAll();
}

const char* nwCHttpClientExLayer::StoredHeader(const char* name) const {
    if (!name)
        return nullptr;
    const size_t nameLength = strlen(name);
    for (ovCPtrList::Node* node = m_headers.HeadNode(); node; node = node->next) {
        const Field* field = static_cast<const Field*>(node->element);
        if (strncmp(field->name.CStr(), name, nameLength) == 0)
            return field->value.CStr();
    }
    return nullptr;
}

ResultCode nwCHttpClientExLayer::SetEventListener(nwIHttpClientExEventListener* listener,
                                                  uint32_t key) {
    m_listener = listener;
    m_key = listener ? key : 0;
    return OV_S_NETWORK;
}

ResultCode nwCHttpClientExLayer::SetHeader(const char* name, const char* value) {
    if (!name || !name[0] || !value || !value[0])
        return OV_E_NETWORK;
    // Fixed headers (Range, Referer...) go out as given: a line break in one
    // would start a header of the caller's choosing.
    if (utCUriCodec::HasControlBytes(name, '\t') || utCUriCodec::HasControlBytes(value, '\t'))
        return OV_E_NETWORK;
    return StoreField(m_headers, name, value) ? OV_S_NETWORK : OV_E_NETWORK;
}

ResultCode nwCHttpClientExLayer::SetQueryParam(const char* name, const char* value) {
    if (!name || !value || !value[0])
        return OV_E_NETWORK;
    return StoreField(m_queryParams, name, value) ? OV_S_NETWORK : OV_E_NETWORK;
}

// --- URL and connect ---------------------------------------------------------------

bool nwCHttpClientExLayer::ParseUrl(const char* url, ovCString& host, ovCString& path,
                                    uint16_t* port, int32_t* scheme) {
    if (!url || !port || !scheme)
        return false;
    size_t skip = 0;
    if (AsciiStartsWithNoCase(url, "http://")) {
        *scheme = kSchemeHttp;
        *port = 80;
        skip = 7;
    } else if (AsciiStartsWithNoCase(url, "https://")) {
        *scheme = kSchemeHttps;
        *port = 443;
        skip = 8;
    } else {
        return false;
    }
    const char* rest = url + skip;
    if (rest[0] == '\0')
        return false;
    const size_t authorityLength = strcspn(rest, "/?#");
    // The fragment belongs to the client alone and is never sent.
    const char* target = rest + authorityLength;
    if (!path.Assign(target, (uint32_t)strcspn(target, "#")))
        return false;
    const char* colon = static_cast<const char*>(memchr(rest, ':', authorityLength));
    const size_t hostLength = colon ? (size_t)(colon - rest) : authorityLength;
    if (!host.Assign(rest, (uint32_t)hostLength))
        return false;
    if (colon) {
        // Decimal digits up to the end of the authority; anything else, or a
        // value outside the port range, gives 0.
        uint32_t value = 0;
        const char* digit = colon + 1;
        const char* end = rest + authorityLength;
        if (digit == end)
            value = 0x10000;
        for (; digit < end; ++digit) {
            if (*digit < '0' || *digit > '9' || value > 0xFFFF) {
                value = 0x10000;
                break;
            }
            value = value * 10 + (uint32_t)(*digit - '0');
        }
        *port = value > 0xFFFF ? 0 : (uint16_t)value;
    }
    return true;
}

bool nwCHttpClientExLayer::TakeTarget(const char* url, ovCString* host, uint16_t* port,
                                      int32_t* scheme) {
    if (!url || !url[0])
        return false;
    if (utCUriCodec::HasControlBytes(url)) {
        ovLogPrintf("[SwarmFetchLib] URL with a control character refused\n");
        return false;
    }
    ovCString path;
    if (!ParseUrl(url, *host, path, port, scheme) || host->IsEmpty() || *port == 0)
        return false;
    m_path.Swap(path);
    // A server on another port than the scheme's own needs it in Host.
    ovCString hostField(*host);
    const uint16_t defaultPort = *scheme == kSchemeHttps ? 443 : 80;
    if (*port != defaultPort) {
        char digits[8];
        snprintf(digits, sizeof digits, ":%u", (unsigned)*port);
        if (!hostField.Append(digits))
            return false;
    }
    return StoreField(m_headers, "Host", hostField.CStr());
}

ResultCode nwCHttpClientExLayer::Open(const char* url) {
    if (!url || !url[0] || !m_context)
        return OV_E_NETWORK;
    if (utCUriCodec::HasControlBytes(url)) {
        ovLogPrintf("[SwarmFetchLib] URL with a control character refused\n");
        return OV_E_NETWORK;
    }
    ovCString host;
    ovCString path;
    uint16_t port = 0;
    int32_t scheme = 0;
    if (!ParseUrl(url, host, path, &port, &scheme) || host.IsEmpty() || port == 0)
        return OV_E_NETWORK;
    if (m_waitingForAddress)
        return OV_E_NETWORK;
    uint32_t address = 0;
    const int32_t pick = AddressCache().PickAddressOrWait(host.CStr(), port, &address, this);
    if (pick == kPickFailed)
        return OV_E_NETWORK;
    if (pick == kPickWaiting && !WaitForAddress(host, port)) {
        EndAddressWait();
        return OV_E_NETWORK;
    }
    if (scheme == kSchemeHttps) {
        ovIUnknown* tls = nullptr;
        if (OV_FAILED(m_context->FindLayer(OV_CLSID_SECURE_LAYER, &tls)) &&
            OV_FAILED(m_context->PushLayer(OV_CLSID_SECURE_LAYER, true))) {
            EndAddressWait();
            return OV_E_NETWORK;
        }
    }
    if (!TakeTarget(url, &host, &port, &scheme)) {
        EndAddressWait();
        return OV_E_NETWORK;
    }
    m_context->RemoveEvents(kQoSEventSendDrained);
    // Waiting: the connect starts with the answer.
    if (m_waitingForAddress)
        return OV_S_NETWORK;
    return ConnectTo(host.CStr(), port, address);
}

ResultCode nwCHttpClientExLayer::ConnectTo(const char* host, uint16_t port, uint32_t address) {
    NetAddress peer;
    peer.address = address;
    peer.port = port;
    if (!m_context || OV_FAILED(m_context->SetHostName(host)) ||
        OV_FAILED(m_context->SetPeerAddress(&peer)) || OV_FAILED(m_context->Connect(&peer)))
        return OV_E_NETWORK;
    return OV_S_NETWORK;
}

// --- name lookup -------------------------------------------------------------------

bool nwCHttpClientExLayer::WaitForAddress(const ovCString& host, uint16_t port) {
    // From here on the cache knows this layer as a waiter.
    m_waitingForAddress = true;
    if (!m_connectHost.Assign(host))
        return false;
    m_connectPort = port;
    // The lookup may never answer: bounded like a connect that never completes.
    uint32_t seconds = cpCQoSContext::kDefaultConnectTimeoutSec;
    if (OV_FAILED(m_context->GetOption(kQoSOptionConnectTimeout, &seconds)))
        seconds = cpCQoSContext::kDefaultConnectTimeoutSec;
    const uint64_t ms = (uint64_t)seconds * 1000u;
    return m_lookupTimer.CreateInstance(OV_CLSID_TIMER) &&
           OV_SUCCEEDED(
               m_lookupTimer.As<cpCTimer>()->Start(ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)ms,
                                                   &nwCHttpClientExLayer::OnLookupTooLong, this,
                                                   kTimerTagConnectTimeout, ovSmartPtr()));
}

void nwCHttpClientExLayer::EndAddressWait() {
    if (m_waitingForAddress) {
        m_waitingForAddress = false;
        AddressCache().ForgetWaiter(this);
    }
    if (!m_lookupTimer.IsEmpty()) {
        // Kept alive while it may be firing this very call.
        ovSmartPtr timer = m_lookupTimer;
        m_lookupTimer.Reset();
        timer.As<cpCTimer>()->Stop();
    }
}

void nwCHttpClientExLayer::OnAddressLookupDone() {
    // The cache has forgotten this waiter already.
    if (!m_waitingForAddress)
        return;
    AddRef();
    m_waitingForAddress = false;
    uint32_t address = 0;
    const int32_t pick =
        AddressCache().PickAddressOrWait(m_connectHost.CStr(), m_connectPort, &address, this);
    if (pick == kPickWaiting) {
        // The entry went meanwhile and is looked up again; the timer runs on.
        m_waitingForAddress = true;
    } else {
        EndAddressWait();
        if (pick == kPickFailed ||
            OV_FAILED(ConnectTo(m_connectHost.CStr(), m_connectPort, address)))
            FailConnect();
    }
    Release();
}

void nwCHttpClientExLayer::OnLookupTooLong(void* self) {
    nwCHttpClientExLayer* layer = static_cast<nwCHttpClientExLayer*>(self);
    layer->AddRef();
    if (layer->m_waitingForAddress) {
        layer->EndAddressWait();
        layer->FailConnect();
    } else {
        layer->EndAddressWait();
    }
    layer->Release();
}

void nwCHttpClientExLayer::FailConnect() {
    ovIQoSContext* context = m_context;
    if (context)
        context->AddRef();
    OnConnectFailed();
    // The listener usually closed it already; then this does nothing.
    if (context) {
        context->Close();
        context->Release();
    }
}

ResultCode nwCHttpClientExLayer::GetKeepAlive(int64_t* remaining) {
    if (!remaining || !m_headerReceived || m_isPost || m_bodyDiscarded || m_surplus ||
        !m_lengthKnown)
        return OV_E_NETWORK;
    // HTTP/1.0 closes after the answer unless it says otherwise; this client
    // keeps only what HTTP/1.1 keeps by default.
    const ovCString* version = m_parser.NameAt(0);
    if (!version || !version->Equals("HTTP/1.1"))
        return OV_E_NETWORK;
    const ovCString* connection = m_parser.Find("Connection");
    if (connection) {
        // "close" anywhere in the list, ASCII case ignored.
        const char* text = connection->CStr();
        for (uint32_t i = 0; i + 5 <= connection->Length(); ++i) {
            if (AsciiStartsWithNoCase(text + i, "close"))
                return OV_E_NETWORK;
        }
    }
    const int64_t left = m_contentLength - m_bodyReceived;
    *remaining = left > 0 ? left : 0;
    return OV_S_NETWORK;
}

ResultCode nwCHttpClientExLayer::Reuse(const char* url) {
    int64_t remaining = 0;
    if (!m_context || OV_FAILED(GetKeepAlive(&remaining)))
        return OV_E_NETWORK;
    delete m_builder;
    m_builder = nullptr;
    FreeFields(m_headers);
    FreeFields(m_queryParams);
    m_parser.Clear();
    m_headerReceived = 0;
    m_closingSent = 0;
    m_completed = 0;
    m_lengthKnown = false;
    m_bodyDiscarded = false;
    m_surplus = false;
    m_contentLength = 0;
    m_bodyReceived = 0;
    m_bodySent = 0;
    m_bodySize = 0;
    m_postBodySize = 0;
    m_headScanned = 0;
    // The rest of the last body comes before the next answer.
    m_skip = remaining;
    ovCString host;
    uint16_t port = 0;
    int32_t scheme = 0;
    return TakeTarget(url, &host, &port, &scheme) ? OV_S_NETWORK : OV_E_NETWORK;
}

// --- requests ----------------------------------------------------------------------

bool nwCHttpClientExLayer::BuildRequest(int32_t type, const char* pseudoHeader, ovCString& out) {
    // A URL without a path asks for the root.
    if (!StoreField(m_headers, pseudoHeader, m_path.IsEmpty() ? "/" : m_path.CStr()))
        return false;
    m_builder = nwCHttpRequestHeaderBuilder::Create(type);
    if (!m_builder)
        return false;
    for (ovCPtrList::Node* node = m_headers.HeadNode(); node; node = node->next) {
        const Field* field = static_cast<const Field*>(node->element);
        if (!m_builder->SetHeader(field->name.CStr(), field->value.CStr()))
            return false;
    }
    for (ovCPtrList::Node* node = m_queryParams.HeadNode(); node; node = node->next) {
        const Field* field = static_cast<const Field*>(node->element);
        if (!m_builder->SetQueryParam(field->name.CStr(), field->value.CStr()))
            return false;
    }
    m_builder->SetBodySize(m_bodySize);
    return m_builder->Build(out);
}

ResultCode nwCHttpClientExLayer::SendText(const ovCString& text) {
    if (text.IsEmpty())
        return OV_S_NETWORK;
    const ovQoSBlock block = {reinterpret_cast<const uint8_t*>(text.CStr()),
                              (int32_t)text.Length()};
    return OV_FAILED(SendFromLayer(&block)) ? OV_E_NETWORK : OV_S_NETWORK;
}

ResultCode nwCHttpClientExLayer::SendGet() {
    if (m_builder || !m_context)
        return OV_E_NETWORK;
    ovCString text;
    if (!BuildRequest(nwCHttpRequestHeaderBuilder::kTypeGet, "GET", text))
        return OV_E_NETWORK;
    return SendText(text);
}

ResultCode nwCHttpClientExLayer::SendPost(int64_t bodySize) {
    if (m_builder || !m_context || bodySize < 0)
        return OV_E_NETWORK;
    m_postBodySize = bodySize;
    m_bodySize = bodySize;
    m_isPost = 1;
    ovCString text;
    if (!BuildRequest(nwCHttpRequestHeaderBuilder::kTypePost, "POST", text))
        return OV_E_NETWORK;
    AddEvents(kQoSEventSendDrained);
    return SendText(text);
}

ResultCode nwCHttpClientExLayer::SendBody(const uint8_t* data, int32_t length) {
    if (!data || length < 0)
        return OV_E_NETWORK;
    m_bodySent += length;
    if (length == 0)
        return OV_S_NETWORK;
    const ovQoSBlock block = {data, length};
    return OV_FAILED(SendFromLayer(&block)) ? OV_E_NETWORK : OV_S_NETWORK;
}

// --- response queries --------------------------------------------------------------

ResultCode nwCHttpClientExLayer::GetStatusCode(int32_t* code) {
    if (!code)
        return OV_E_NETWORK;
    *code = m_headerReceived ? m_parser.StatusCode() : 0;
    return OV_S_NETWORK;
}

ResultCode nwCHttpClientExLayer::GetContentLength(int64_t* length) {
    if (!length)
        return OV_E_NETWORK;
    *length = m_headerReceived ? m_parser.ContentLength() : 0;
    return OV_S_NETWORK;
}

ResultCode nwCHttpClientExLayer::GetHeader(const char* name, ovCString* value) {
    if (!value)
        return OV_E_NETWORK;
    const ovCString* found = m_headerReceived ? m_parser.Find(name) : nullptr;
    if (!found || !value->Assign(*found)) {
        value->Clear();
        return OV_E_NETWORK;
    }
    return OV_S_NETWORK;
}

ResultCode nwCHttpClientExLayer::GetRawHeader(ovCString* text) {
    if (!text || !m_headerReceived)
        return OV_E_NETWORK;
    return text->Assign(m_parser.RawText()) ? OV_S_NETWORK : OV_E_NETWORK;
}
