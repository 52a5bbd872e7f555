// The HTTP client layer on a recording stand-in of a connection context:
// URL parsing, what Open asks of the context, the exact request bytes, the
// POST body flow and the mapping of context events to listener calls.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/cpCAddressCache.h"
#include "opn/opeerqos/nwCHttpClientExLayer.h"
#include "opn/opeerqos/nwCHttpRequest.h"
#include "support/HttpRecorder.h"

namespace {

// Records what a layer asks of its context; answers as configured.
class RecordingContext : public ovIQoSContext {
    OV_IMPLEMENT_REFCOUNT(RecordingContext)

  public:
    std::vector<std::string> calls;
    std::string sent;
    std::vector<std::string> blocks;
    std::vector<uint32_t> pushed;
    bool hasTls = false;
    bool pushFails = false;
    bool connectFails = false;
    NetAddress peer = {0, 0};
    NetAddress connectedTo = {0, 0};
    std::string hostName;
    uint32_t mask = 5;

    ResultCode Initialize(int32_t, uint32_t, SockRecord*) override { return OV_S_PLATFORM; }
    ResultCode SetActionLimit(int32_t, const uint32_t*) override { return OV_S_PLATFORM; }
    ResultCode SetAction(int32_t) override { return OV_S_PLATFORM; }
    ResultCode SetEventMask(uint32_t m) override {
        mask = m;
        return OV_S_PLATFORM;
    }
    ResultCode AddEvents(uint32_t bits) override {
        calls.push_back("add-events " + std::to_string(bits));
        if ((mask & bits) == 0)
            mask |= bits;
        return OV_S_PLATFORM;
    }
    ResultCode RemoveEvents(uint32_t bits) override {
        calls.push_back("remove-events " + std::to_string(bits));
        mask &= ~bits;
        return OV_S_PLATFORM;
    }
    ResultCode SetOption(int32_t, const uint32_t*) override { return OV_S_PLATFORM; }
    ResultCode GetState(int32_t* state) override {
        *state = kQoSStateReady;
        return OV_S_PLATFORM;
    }
    ResultCode Connect(const NetAddress* address) override {
        calls.push_back("connect");
        connectedTo = *address;
        return connectFails ? OV_E_PLATFORM : OV_S_PLATFORM;
    }
    ResultCode Connect(uint32_t address, uint16_t port) override {
        NetAddress a = {address, port};
        return Connect(&a);
    }
    ResultCode SendFromLayer(nwIQoSNetStack*, const ovQoSBlock* block) override {
        std::string bytes(reinterpret_cast<const char*>(block->data), (size_t)block->length);
        sent += bytes;
        blocks.push_back(bytes);
        return OV_S_PLATFORM;
    }
    ResultCode PushLayer(uint32_t classId, bool atBottom) override {
        calls.push_back("push " + std::to_string(classId) + (atBottom ? " bottom" : " top"));
        if (pushFails)
            return OV_E_PLATFORM;
        pushed.push_back(classId);
        if (classId == OV_CLSID_SECURE_LAYER)
            hasTls = true;
        return OV_S_PLATFORM;
    }
    ResultCode FindLayer(uint32_t classId, ovIUnknown** face) override {
        calls.push_back("find " + std::to_string(classId));
        if (classId == OV_CLSID_SECURE_LAYER && hasTls) {
            *face = this;
            return OV_S_PLATFORM;
        }
        return OV_E_PLATFORM;
    }
    ResultCode Rearm() override { return OV_S_PLATFORM; }
    ResultCode RegisterHandler(uint16_t, uint16_t, ovQoSFrameHandler, void*) override {
        return OV_S_PLATFORM;
    }
    ResultCode SetPeerAddress(const NetAddress* address) override {
        calls.push_back("peer");
        peer = *address;
        return OV_S_PLATFORM;
    }
    ResultCode GetPeerAddress(const NetAddress** address) override {
        *address = &peer;
        return OV_S_PLATFORM;
    }
    ResultCode Close() override { return OV_S_PLATFORM; }
    ResultCode PostFatal() override { return OV_S_PLATFORM; }
    ovIUnknown* TopLayer() override { return nullptr; }
    ResultCode NotifyConnectedAbove(nwIQoSNetStack*) override { return OV_S_PLATFORM; }
    int32_t PassUp(nwIQoSNetStack*, const uint8_t*, int32_t) override { return 0; }
    ResultCode GetSendBlock(const uint8_t** data, int32_t* length) override {
        *data = nullptr;
        *length = 0;
        return OV_S_PLATFORM;
    }
    ResultCode SendRaw(const void*, int32_t) override { return OV_S_PLATFORM; }
    ResultCode GetReceiveRate(uint32_t*) override { return OV_E_PLATFORM; }
    ResultCode GetSendRate(uint32_t*) override { return OV_E_PLATFORM; }
    ResultCode Reserved() override { return OV_S_PLATFORM; }
    ResultCode GetQueuedBytes(int64_t* bytes) override {
        *bytes = 0;
        return OV_S_PLATFORM;
    }
    ResultCode GetHostName(const char** name) override {
        *name = hostName.c_str();
        return OV_S_PLATFORM;
    }
    ResultCode SetHostName(const char* name) override {
        calls.push_back("host-name");
        hostName = name;
        return OV_S_PLATFORM;
    }
    ResultCode MarkAddressWorking() override { return OV_S_PLATFORM; }
    ResultCode MarkAddressFailed() override { return OV_S_PLATFORM; }
    ResultCode GetOption(int32_t, uint32_t*) override { return OV_E_PLATFORM; }
};

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t address;
    memcpy(&address, bytes, sizeof(address));
    return address;
}

// Resolves every name except "unknown.invalid" to 10.1.2.3.
ResultCode FakeResolver(const char* host, NetAddressList* list, void* user) {
    (void)user;
    if (strcmp(host, "unknown.invalid") == 0)
        return OV_E_PLATFORM;
    list->count = 1;
    list->addresses[0] = Ip(10, 1, 2, 3);
    return OV_S_PLATFORM;
}

class HttpClientLayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        AddressCache().Clear();
        AddressCache().SetResolver(&FakeResolver, nullptr);
        context = new RecordingContext();
        contextHolder = context;
        layer = new nwCHttpClientExLayer();
        layerHolder = layer->PublicUnknown();
        layer->SetContext(context);
        face = layer->PublicFace();
        recorder.layer = face;
        face->SetEventListener(&recorder, 9);
    }
    void TearDown() override {
        AddressCache().SetResolver(nullptr, nullptr);
        AddressCache().Clear();
    }

    std::string Defaults() const {
        return std::string("Accept: */*\r\nReferer: ") +
               nwCHttpRequestHeaderBuilder::kDefaultReferer +
               "\r\nAccept-Language: ko\r\nUser-Agent: OPeerClient\r\n";
    }

    RecordingContext* context = nullptr;
    ovSmartPtr contextHolder;
    nwCHttpClientExLayer* layer = nullptr;
    ovSmartPtr layerHolder;
    ovIHttpClientExLayer* face = nullptr;
    httptest::HttpRecorder recorder;
};

TEST(HttpUrl, ParsesSchemeHostPortAndPath) {
    struct Case {
        const char* url;
        bool ok;
        const char* host;
        const char* path;
        uint16_t port;
        int32_t scheme;
    } cases[] = {
        {"HTTPS://Example.org:8443/a/B.zip", true, "Example.org", "/a/B.zip", 8443, 3},
        // The fragment is never part of what is sent; the host ends at the
        // first '/', '?' or '#'.
        {"http://h/x?y=1#frag", true, "h", "/x?y=1", 80, 1},
        {"http://h/x#a?b", true, "h", "/x", 80, 1},
        {"http://h?q=1", true, "h", "?q=1", 80, 1},
        {"http://h:8080#top", true, "h", "", 8080, 1},
        {"https://h", true, "h", "", 443, 3},
        {"HtTp://h:81", true, "h", "", 81, 1},
        {"http://h:abc/x", true, "h", "/x", 0, 1},
        {"http://h:/x", true, "h", "/x", 0, 1},
        {"http://h:70000/x", true, "h", "/x", 0, 1},
        {"http://h:65535/", true, "h", "/", 65535, 1},
        {"http:///x", true, "", "/x", 80, 1},
        {"http://", false, "", "", 0, 0},
        {"ftp://x/y", false, "", "", 0, 0},
        {"http:/x", false, "", "", 0, 0},
        {"", false, "", "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        ovCString host("stale");
        ovCString path("stale");
        uint16_t port = 1;
        int32_t scheme = -1;
        ASSERT_EQ(c.ok, nwCHttpClientExLayer::ParseUrl(c.url, host, path, &port, &scheme));
        if (!c.ok)
            continue;
        EXPECT_STREQ(c.host, host.CStr());
        EXPECT_STREQ(c.path, path.CStr());
        EXPECT_EQ(c.port, port);
        EXPECT_EQ(c.scheme, scheme);
    }
    ovCString host;
    ovCString path;
    uint16_t port = 0;
    int32_t scheme = 0;
    EXPECT_FALSE(nwCHttpClientExLayer::ParseUrl(nullptr, host, path, &port, &scheme));
}

TEST_F(HttpClientLayerTest, OpenOfAnHttpsUrlPushesTlsBelowAndConnectsToItsPort) {
    ASSERT_EQ(OV_S_NETWORK, face->Open("HTTPS://Example.org:8443/a/B.zip"));
    ASSERT_EQ(1u, context->pushed.size());
    EXPECT_EQ((uint32_t)OV_CLSID_SECURE_LAYER, context->pushed[0]);
    const std::vector<std::string> expected = {
        "find 8215", "push 8215 bottom", "remove-events 2", "host-name", "peer", "connect",
    };
    EXPECT_EQ(expected, context->calls);
    EXPECT_EQ("Example.org", context->hostName);
    EXPECT_EQ(Ip(10, 1, 2, 3), context->connectedTo.address);
    EXPECT_EQ(8443, context->connectedTo.port);
    EXPECT_EQ(8443, context->peer.port);
    EXPECT_STREQ("/a/B.zip", layer->RequestPath().CStr());

    ASSERT_EQ(OV_S_NETWORK, face->SendGet());
    EXPECT_EQ("GET /a/B.zip HTTP/1.1\r\n" + Defaults() +
                  "Host: Example.org:8443\r\nConnection: Keep-Alive\r\n\r\n",
              context->sent);
}

TEST_F(HttpClientLayerTest, OpenKeepsAnExistingTlsLayer) {
    context->hasTls = true;
    ASSERT_EQ(OV_S_NETWORK, face->Open("https://h/x"));
    EXPECT_TRUE(context->pushed.empty());
    EXPECT_EQ(443, context->connectedTo.port);
}

TEST_F(HttpClientLayerTest, OpenOfPlainHttpPushesNothing) {
    ASSERT_EQ(OV_S_NETWORK, face->Open("http://h/x"));
    EXPECT_TRUE(context->pushed.empty());
    EXPECT_EQ(80, context->connectedTo.port);
}

TEST_F(HttpClientLayerTest, OpenFailuresConnectNothing) {
    const char* urls[] = {
        "ftp://x/y",
        "",
        "http://",
        "http://:80/x",
        "http://h:abc/x",
        "http://h:0/x",
        "http://unknown.invalid/x",
        "gopher://h/",
    };
    for (const char* url : urls) {
        SCOPED_TRACE(url);
        EXPECT_EQ(OV_E_NETWORK, face->Open(url));
    }
    EXPECT_EQ(OV_E_NETWORK, face->Open(nullptr));
    EXPECT_TRUE(context->pushed.empty());
    for (const std::string& call : context->calls)
        EXPECT_NE("connect", call);
}

TEST_F(HttpClientLayerTest, OpenFailsWhenTheTlsLayerCannotBePushedOrTheConnectFails) {
    context->pushFails = true;
    EXPECT_EQ(OV_E_NETWORK, face->Open("https://h/x"));
    context->pushFails = false;
    context->connectFails = true;
    EXPECT_EQ(OV_E_NETWORK, face->Open("http://h/x"));
}

TEST(HttpClientLayerAlone, WithoutContextOpenAndSendFail) {
    nwCHttpClientExLayer* layer = new nwCHttpClientExLayer();
    ovSmartPtr holder(layer->PublicUnknown());
    EXPECT_EQ(OV_E_NETWORK, layer->PublicFace()->Open("http://h/x"));
    EXPECT_EQ(OV_E_NETWORK, layer->PublicFace()->SendGet());
    EXPECT_EQ(OV_E_NETWORK, layer->PublicFace()->SendPost(10));
}

TEST_F(HttpClientLayerTest, GetCarriesStoredHeadersAndParametersInBuilderOrder) {
    EXPECT_EQ(OV_S_NETWORK, face->SetHeader("Range", "bytes=100-"));
    EXPECT_EQ(OV_S_NETWORK, face->SetHeader("X-Tag", "a b"));
    EXPECT_EQ(OV_S_NETWORK, face->SetQueryParam("k", "v 1"));
    ASSERT_EQ(OV_S_NETWORK, face->Open("http://files.example:8080/files/my file.zip?v=1&x"));
    ASSERT_EQ(OV_S_NETWORK, face->SendGet());
    EXPECT_EQ("GET /files/my%20file.zip?v=1&k=v%201 HTTP/1.1\r\n" + Defaults() +
                  "Range: bytes=100-\r\nHost: files.example:8080\r\nConnection: Keep-Alive\r\n"
                  "X-Tag: a%20b\r\n\r\n",
              context->sent);
    ASSERT_EQ(1u, context->blocks.size());
}

TEST_F(HttpClientLayerTest, UrlWithoutPathRequestsTheRoot) {
    ASSERT_EQ(OV_S_NETWORK, face->Open("http://h"));
    ASSERT_EQ(OV_S_NETWORK, face->SendGet());
    EXPECT_EQ(0u, context->sent.find("GET / HTTP/1.1\r\n"));
}

TEST_F(HttpClientLayerTest, SecondSendBuildsNothing) {
    ASSERT_EQ(OV_S_NETWORK, face->Open("http://h/x"));
    ASSERT_EQ(OV_S_NETWORK, face->SendGet());
    const std::string first = context->sent;
    EXPECT_EQ(OV_E_NETWORK, face->SendGet());
    EXPECT_EQ(OV_E_NETWORK, face->SendPost(5));
    EXPECT_EQ(first, context->sent);
}

TEST_F(HttpClientLayerTest, SetHeaderReplacesByNamePrefixCaseSensitively) {
    EXPECT_EQ(OV_S_NETWORK, face->SetHeader("Range", "bytes=1-"));
    EXPECT_EQ(OV_S_NETWORK, face->SetHeader("Ran", "bytes=2-"));
    EXPECT_STREQ("bytes=2-", layer->StoredHeader("Range"));
    EXPECT_EQ(OV_S_NETWORK, face->SetHeader("range", "bytes=3-"));
    EXPECT_STREQ("bytes=2-", layer->StoredHeader("Range"));
    EXPECT_STREQ("bytes=3-", layer->StoredHeader("range"));

    EXPECT_EQ(OV_E_NETWORK, face->SetHeader("", "v"));
    EXPECT_EQ(OV_E_NETWORK, face->SetHeader("X", ""));
    EXPECT_EQ(OV_E_NETWORK, face->SetHeader(nullptr, "v"));
    EXPECT_EQ(OV_E_NETWORK, face->SetHeader("X", nullptr));
    EXPECT_EQ(OV_E_NETWORK, face->SetQueryParam("n", ""));
    EXPECT_EQ(OV_E_NETWORK, face->SetQueryParam("n", nullptr));
    EXPECT_EQ(OV_E_NETWORK, face->SetQueryParam(nullptr, "v"));
    EXPECT_EQ(nullptr, layer->StoredHeader("X"));
}

TEST_F(HttpClientLayerTest, HostHeaderOfOpenReplacesAStoredHost) {
    EXPECT_EQ(OV_S_NETWORK, face->SetHeader("Host", "before"));
    ASSERT_EQ(OV_S_NETWORK, face->Open("http://after:99/x"));
    EXPECT_STREQ("after:99", layer->StoredHeader("Host"));
}

TEST_F(HttpClientLayerTest, HostNamesThePortOnlyWhenItIsNotTheSchemesOwn) {
    struct Case {
        const char* url;
        const char* host;
    } cases[] = {
        {"http://h/x", "h"},           {"http://h:80/x", "h"},        {"http://h:443/x", "h:443"},
        {"https://h/x", "h"},          {"https://h:443/x", "h"},      {"https://h:80/x", "h:80"},
        {"http://h:8080/x", "h:8080"}, {"HTTP://H:65535", "H:65535"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(OV_S_NETWORK, face->Open(c.url)) << c.url;
        EXPECT_STREQ(c.host, layer->StoredHeader("Host")) << c.url;
    }
}

TEST_F(HttpClientLayerTest, FragmentIsNeverSentAndEscapesAreKept) {
    ASSERT_EQ(OV_S_NETWORK, face->Open("http://h/d/a%2Fb%20c.zip?k=%26%3D#part"));
    ASSERT_EQ(OV_S_NETWORK, face->SendGet());
    EXPECT_EQ(0u, context->sent.find("GET /d/a%2Fb%20c.zip?k=%26%3D HTTP/1.1\r\n"))
        << context->sent;
    EXPECT_EQ(std::string::npos, context->sent.find("part"));
}

TEST_F(HttpClientLayerTest, UrlsAndHeadersWithControlBytesAreRefusedBeforeAnythingIsSent) {
    const char* const urls[] = {
        "http://h/a\r\nX-Injected: 1",
        "http://h\r\nX-Injected: 1/a",
        "http://h/a\nb",
        "http://h/a\rb",
        "http://h/a\tb",
        "http://h/a\x01",
        "http://h/a\x1f",
        "http://h/a\x7f",
        "http://h/?q=\x0b",
    };
    for (const char* url : urls) {
        EXPECT_EQ(OV_E_NETWORK, face->Open(url)) << url;
        EXPECT_TRUE(context->calls.empty()) << url;
    }
    EXPECT_EQ(OV_E_NETWORK, face->SetHeader("Range", "bytes=1-\r\nX-Injected: 1"));
    EXPECT_EQ(OV_E_NETWORK, face->SetHeader("X\nY", "v"));
    EXPECT_EQ(OV_E_NETWORK, face->SetHeader("Referer", "http://r/\x7f"));
    EXPECT_EQ(OV_S_NETWORK, face->SetHeader("X-Tab", "a\tb"));
    EXPECT_EQ(nullptr, layer->StoredHeader("Range"));
    // A clean URL on the same layer still works.
    EXPECT_EQ(OV_S_NETWORK, face->Open("http://h/a"));
}

TEST_F(HttpClientLayerTest, PostSendsHeadBodyPiecesAndTheClosingDelimiterOnce) {
    ASSERT_EQ(OV_S_NETWORK, face->Open("http://h/upload"));
    recorder.hook = [&](const std::string& event) {
        if (event != "drained")
            return;
        if (layer->BodySent() == 0)
            face->SendBody(reinterpret_cast<const uint8_t*>("abc"), 3);
        else
            face->SendBody(reinterpret_cast<const uint8_t*>("de"), 2);
    };
    ASSERT_EQ(OV_S_NETWORK, face->SendPost(5));
    EXPECT_EQ("add-events 2", context->calls.back());
    ASSERT_EQ(1u, context->blocks.size());
    const std::string head = context->blocks[0];
    EXPECT_EQ(0u, head.find("POST /upload HTTP/1.1\r\n"));
    const size_t b = head.find("boundary=");
    ASSERT_NE(std::string::npos, b);
    const std::string boundary = head.substr(b + 9, head.find("\r\n", b) - b - 9);
    EXPECT_EQ(43u, boundary.size());

    nwIQoSNetStack* stack = layer;
    EXPECT_TRUE(stack->OnEvent(kQoSEventSendDrained, 0));  // body piece 1
    EXPECT_TRUE(stack->OnEvent(kQoSEventSendDrained, 0));  // body piece 2
    EXPECT_EQ(5, layer->BodySent());
    EXPECT_TRUE(stack->OnEvent(kQoSEventSendDrained, 0));  // closing
    EXPECT_TRUE(stack->OnEvent(kQoSEventSendDrained, 0));  // nothing more
    ASSERT_EQ(4u, context->blocks.size());
    EXPECT_EQ("abc", context->blocks[1]);
    EXPECT_EQ("de", context->blocks[2]);
    EXPECT_EQ("\r\n--" + boundary + "--\r\n", context->blocks[3]);
    EXPECT_EQ("remove-events 2", context->calls.back());
    EXPECT_EQ(2, recorder.Count("drained"));

    EXPECT_EQ(OV_E_NETWORK, face->SendBody(nullptr, 3));
    EXPECT_EQ(OV_E_NETWORK, face->SendBody(reinterpret_cast<const uint8_t*>("x"), -1));
}

TEST_F(HttpClientLayerTest, PostOfAnEmptyBodyClosesAtTheFirstDrain) {
    ASSERT_EQ(OV_S_NETWORK, face->Open("http://h/upload"));
    ASSERT_EQ(OV_S_NETWORK, face->SendPost(0));
    nwIQoSNetStack* stack = layer;
    EXPECT_TRUE(stack->OnEvent(kQoSEventSendDrained, 0));
    ASSERT_EQ(2u, context->blocks.size());
    EXPECT_EQ(0u, context->blocks[1].find("\r\n--"));
    EXPECT_EQ(0, recorder.Count("drained"));
    EXPECT_EQ(OV_E_NETWORK, face->SendPost(-1));
}

TEST_F(HttpClientLayerTest, GetPassesDrainedEventsToTheListener) {
    ASSERT_EQ(OV_S_NETWORK, face->Open("http://h/x"));
    ASSERT_EQ(OV_S_NETWORK, face->SendGet());
    nwIQoSNetStack* stack = layer;
    EXPECT_TRUE(stack->OnEvent(kQoSEventSendDrained, 0));
    EXPECT_EQ(1, recorder.Count("drained"));
    EXPECT_EQ(1u, context->blocks.size());
}

TEST_F(HttpClientLayerTest, ContextEventsReachTheListenerWithItsKey) {
    nwIQoSNetStack* stack = layer;
    EXPECT_TRUE(stack->OnConnected());
    EXPECT_TRUE(stack->OnHostUnreachable());
    EXPECT_TRUE(stack->OnEvent(kQoSEventConnectFailed, 0));
    EXPECT_TRUE(stack->OnEvent(kQoSEventReceiveIdle, 0));
    EXPECT_TRUE(stack->OnEvent(kQoSEventFatal, 0));
    EXPECT_TRUE(stack->OnEvent(kQoSEventScheduled, 0));
    stack->OnClosed();
    // The listener is forgotten with the close.
    EXPECT_TRUE(stack->OnEvent(kQoSEventReceiveIdle, 0));
    EXPECT_TRUE(stack->OnConnected());
    EXPECT_EQ("connected unreachable connect-timeout receive-timeout closed", recorder.Sequence());
    for (uint32_t key : recorder.keys)
        EXPECT_EQ(9u, key);
}

TEST_F(HttpClientLayerTest, SilencedLayerSwallowsEverything) {
    face->SetEventListener(nullptr, 5);
    nwIQoSNetStack* stack = layer;
    EXPECT_TRUE(stack->OnConnected());
    EXPECT_TRUE(stack->OnHostUnreachable());
    EXPECT_TRUE(stack->OnEvent(kQoSEventConnectFailed, 0));
    EXPECT_TRUE(stack->OnEvent(kQoSEventReceiveIdle, 0));
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nab";
    EXPECT_EQ(
        (int32_t)response.size(),
        stack->OnData(reinterpret_cast<const uint8_t*>(response.data()), (int32_t)response.size()));
    stack->OnClosed();
    EXPECT_TRUE(recorder.events.empty());
}

TEST(HttpClientLayerFactory, ClassIdGivesThePublicFaceAndTheStackFace) {
    ovSmartPtr layer;
    ASSERT_TRUE(layer.CreateInstance(OV_CLSID_HTTP_CLIENT_LAYER));
    void* stack = nullptr;
    ASSERT_TRUE(layer.QueryInterface(OV_IID_NETSTACK, &stack));
    ASSERT_NE(nullptr, stack);
    void* other = &stack;
    EXPECT_FALSE(layer.QueryInterface(0x1234, &other));
    EXPECT_EQ((void*)&stack, other);
    ovIHttpClientExLayer* face = layer.As<ovIHttpClientExLayer>();
    int32_t status = -1;
    EXPECT_EQ(OV_S_NETWORK, face->GetStatusCode(&status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(OV_S_NETWORK, face->SetEventListener(nullptr, 0));
}

}  // namespace
