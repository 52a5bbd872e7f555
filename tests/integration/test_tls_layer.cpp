// The TLS layer byte by byte: a scripted connection context (it hands the
// layer exactly the bytes the test chooses and records what the layer
// sends) and a TLS server run over memory with a certificate made here.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "integration/TlsTestSupport.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/opeerqos/Lib_SSL/TlsSession.h"
#include "opn/opeerqos/Lib_SSL/nwCSecureSocketClientLayer.h"
#include "opn/opeerqos/Lib_SSL/ovISecureSocketClientLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"

using tlstest::Certificate;
using tlstest::LogCapture;
using tlstest::MemoryServer;
using tlstest::TopLayer;

namespace {

const uint32_t kTopClassId = 0x7E57;

NetAddress Loopback() {
    NetAddress a;
    const uint8_t bytes[4] = {127, 0, 0, 1};
    memcpy(&a.address, bytes, sizeof a.address);
    a.port = 443;
    return a;
}

// A connection context reduced to what layers see: the layer stack, the
// bytes the bottom layer sends ("the wire"), a receive buffer that keeps
// what the bottom layer leaves, and Close with OnClosed bottom up.
class ScriptedContext : public ovIQoSContext {
    OV_IMPLEMENT_REFCOUNT(ScriptedContext)

  public:
    struct Entry {
        ovSmartPtr face;
        nwIQoSNetStack* stack;
        uint32_t classId;
    };

    ScriptedContext() { m_host[0] = '\0'; }

    void Attach(ovIUnknown* face, uint32_t classId, bool atBottom) {
        Entry entry;
        entry.face = face;
        void* stack = nullptr;
        ASSERT_TRUE(entry.face.QueryInterface(OV_IID_NETSTACK, &stack));
        entry.stack = static_cast<nwIQoSNetStack*>(stack);
        entry.classId = classId;
        entry.stack->SetContext(this);
        if (atBottom)
            layers.push_back(entry);
        else
            layers.insert(layers.begin(), entry);
    }

    // The TCP connection is up: OnConnected bottom up until one says no.
    bool Connected() {
        for (size_t i = layers.size(); i-- > 0;) {
            if (closed)
                return false;
            if (!layers[i].stack->OnConnected())
                return false;
        }
        return true;
    }
    // Received bytes, handed over like the real context does.
    void Deliver(const std::string& bytes) {
        if (closed || layers.empty())
            return;
        buffer += bytes;
        ++deliveries;
        ovSmartPtr keep(this);
        const int32_t n = layers.back().stack->OnData(
            reinterpret_cast<const uint8_t*>(buffer.data()), (int32_t)buffer.size());
        if (n < 0 || n > (int32_t)buffer.size()) {
            Close();
            return;
        }
        buffer.erase(0, (size_t)n);
    }
    void Event(uint32_t code) {
        for (size_t i = layers.size(); i-- > 0;) {
            if (!layers[i].stack->OnEvent(code, 0))
                return;
        }
    }
    std::string TakeWire() {
        std::string bytes;
        bytes.swap(wire);
        return bytes;
    }

    // ovIQoSContext: what layers call.
    ResultCode SendFromLayer(nwIQoSNetStack* layer, const ovQoSBlock* block) override {
        const int index = IndexOf(layer);
        if (index < 0 || !block)
            return OV_E_PLATFORM;
        if (index + 1 < (int)layers.size())
            return layers[(size_t)index + 1].stack->SendDown(block);
        if (closed)
            return OV_S_PLATFORM;
        const std::string bytes(reinterpret_cast<const char*>(block->data), (size_t)block->length);
        wire += bytes;
        ++bottomSends;
        if (onBottomSend)
            onBottomSend(bytes);
        // Like a socket that takes everything at once: the queue runs empty
        // and the drained event is delivered right away.
        if (drainedOnSend && !closed)
            Event(kQoSEventSendDrained);
        return OV_S_PLATFORM;
    }
    int32_t PassUp(nwIQoSNetStack* layer, const uint8_t* data, int32_t length) override {
        const int index = IndexOf(layer);
        if (index <= 0)
            return 0;
        return layers[(size_t)index - 1].stack->OnData(data, length);
    }
    ResultCode NotifyConnectedAbove(nwIQoSNetStack* layer) override {
        const int index = IndexOf(layer);
        if (index > 0)
            layers[(size_t)index - 1].stack->OnConnected();
        return OV_S_PLATFORM;
    }
    ResultCode Close() override {
        if (closed)
            return OV_S_PLATFORM;
        closed = true;
        ++closeCount;
        ovSmartPtr keep(this);
        for (size_t i = layers.size(); i-- > 0;)
            layers[i].stack->OnClosed();
        return OV_S_PLATFORM;
    }
    ResultCode GetHostName(const char** name) override {
        *name = m_host;
        return OV_S_PLATFORM;
    }
    ResultCode SetHostName(const char* name) override {
        if (!name)
            return OV_E_PLATFORM;
        snprintf(m_host, sizeof m_host, "%s", name);
        return OV_S_PLATFORM;
    }
    ResultCode SetPeerAddress(const NetAddress* address) override {
        m_peer = *address;
        return OV_S_PLATFORM;
    }
    ResultCode GetPeerAddress(const NetAddress** address) override {
        *address = &m_peer;
        return OV_S_PLATFORM;
    }
    ResultCode FindLayer(uint32_t classId, ovIUnknown** face) override {
        for (Entry& e : layers) {
            if (e.classId == classId) {
                *face = e.face.Get();
                return OV_S_PLATFORM;
            }
        }
        return OV_E_PLATFORM;
    }
    ovIUnknown* TopLayer() override { return layers.empty() ? nullptr : layers[0].face.Get(); }

    // The rest is not used by the TLS layer.
    ResultCode Initialize(int32_t, uint32_t, SockRecord*) override { return OV_E_PLATFORM; }
    ResultCode SetActionLimit(int32_t, const uint32_t*) override { return OV_E_PLATFORM; }
    ResultCode SetAction(int32_t) override { return OV_E_PLATFORM; }
    ResultCode SetEventMask(uint32_t) override { return OV_S_PLATFORM; }
    ResultCode AddEvents(uint32_t) override { return OV_S_PLATFORM; }
    ResultCode RemoveEvents(uint32_t) override { return OV_S_PLATFORM; }
    ResultCode SetOption(int32_t, const uint32_t*) override { return OV_S_PLATFORM; }
    ResultCode GetState(int32_t* state) override {
        *state = closed ? kQoSStateClosed : kQoSStateConnected;
        return OV_S_PLATFORM;
    }
    ResultCode Connect(const NetAddress*) override { return OV_E_PLATFORM; }
    ResultCode Connect(uint32_t, uint16_t) override { return OV_E_PLATFORM; }
    ResultCode PushLayer(uint32_t, bool) override { return OV_E_PLATFORM; }
    ResultCode Rearm() override { return OV_E_PLATFORM; }
    ResultCode RegisterHandler(uint16_t, uint16_t, ovQoSFrameHandler, void*) override {
        return OV_E_PLATFORM;
    }
    ResultCode PostFatal() override { return Close(); }
    ResultCode GetSendBlock(const uint8_t** data, int32_t* length) override {
        *data = nullptr;
        *length = 0;
        return OV_S_PLATFORM;
    }
    ResultCode SendRaw(const void*, int32_t) override { return OV_E_PLATFORM; }
    ResultCode GetReceiveRate(uint32_t*) override { return OV_E_PLATFORM; }
    ResultCode GetSendRate(uint32_t*) override { return OV_E_PLATFORM; }
    ResultCode Reserved() override { return OV_S_PLATFORM; }
    ResultCode GetQueuedBytes(int64_t* bytes) override {
        *bytes = 0;
        return OV_S_PLATFORM;
    }
    ResultCode MarkAddressWorking() override { return OV_S_PLATFORM; }
    ResultCode MarkAddressFailed() override { return OV_S_PLATFORM; }
    ResultCode GetOption(int32_t, uint32_t*) override { return OV_E_PLATFORM; }

    std::vector<Entry> layers;  // index 0 is the top layer
    std::string wire;
    std::string buffer;
    bool closed = false;
    int closeCount = 0;
    int deliveries = 0;
    int bottomSends = 0;
    bool drainedOnSend = false;
    std::function<void(const std::string&)> onBottomSend;

  private:
    int IndexOf(nwIQoSNetStack* layer) const {
        for (size_t i = 0; i < layers.size(); ++i) {
            if (layers[i].stack == layer)
                return (int)i;
        }
        return -1;
    }

    char m_host[256];
    NetAddress m_peer = {0, 0};
};

class TlsLayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(log.Ok());
        ASSERT_EQ(OV_S_PLATFORM, TlsStartup());
        ASSERT_TRUE(identity.Make("good.example", "DNS:good.example,IP:127.0.0.1"));
        context = new ScriptedContext();
        holder = context;
        tls = new nwCSecureSocketClientLayer();
        context->Attach(tls->PublicUnknown(), OV_CLSID_SECURE_LAYER, true);
        top = new TopLayer();
        context->Attach(top, kTopClassId, false);
        const NetAddress peer = Loopback();
        context->SetPeerAddress(&peer);
    }
    void TearDown() override {
        holder.Reset();
        TlsCleanup();
    }

    void Trust() {
        ASSERT_EQ(OV_S_PLATFORM, AddTrustedCertificate("tls layer test", identity.pem.c_str()));
    }

    // Moves bytes both ways until both sides are quiet (bounded).
    void Exchange() {
        for (int round = 0; round < 20; ++round) {
            const std::string toServer = context->TakeWire();
            if (!toServer.empty())
                server.Feed(toServer);
            const std::string toClient = server.Take();
            if (toServer.empty() && toClient.empty())
                return;
            if (!toClient.empty())
                context->Deliver(toClient);
        }
    }

    // Trusts the server, connects as `host` and runs the handshake.
    void Establish(const char* host = "good.example") {
        Trust();
        ASSERT_TRUE(server.Init(identity));
        context->SetHostName(host);
        ASSERT_TRUE(context->Connected());
        Exchange();
        ASSERT_TRUE(tls->HandshakeDone());
        ASSERT_TRUE(server.Established());
    }

    LogCapture log;
    Certificate identity;
    MemoryServer server;
    ScriptedContext* context = nullptr;
    ovSmartPtr holder;
    nwCSecureSocketClientLayer* tls = nullptr;
    TopLayer* top = nullptr;
};

// --- Object and faces -----------------------------------------------------------------

TEST(TlsLayerObject, ClassIdGivesThePublicFaceWhoseStackFaceIsTheLayer) {
    ovSmartPtr face;
    ASSERT_TRUE(face.CreateInstance(OV_CLSID_SECURE_LAYER));
    void* stack = nullptr;
    ASSERT_TRUE(face.QueryInterface(OV_IID_NETSTACK, &stack));
    nwCSecureSocketClientLayer* layer =
        static_cast<nwCSecureSocketClientLayer*>(static_cast<nwIQoSNetStack*>(stack));
    EXPECT_EQ(static_cast<ovIUnknown*>(layer->PublicFace()), face.Get());
    EXPECT_EQ(1, layer->RefCount());
    void* other = &stack;
    EXPECT_EQ(OV_E_NETWORK, face.Get()->QueryInterface(OV_CLSID_CDN_LOCAL_LAYER, &other));
    EXPECT_EQ(&stack, other);
    EXPECT_FALSE(layer->HandshakeDone());
    EXPECT_EQ(nullptr, layer->Session());
}

TEST(TlsLayerObject, EveryLayerGetsTheNextInstanceNumber) {
    nwCSecureSocketClientLayer* first = new nwCSecureSocketClientLayer();
    nwCSecureSocketClientLayer* second = new nwCSecureSocketClientLayer();
    ovSmartPtr a(first->PublicUnknown());
    ovSmartPtr b(second->PublicUnknown());
    EXPECT_EQ(first->InstanceNumber() + 1, second->InstanceNumber());
}

TEST(TlsLayerObject, WithoutContextNothingIsSentAndBytesAreRefused) {
    nwCSecureSocketClientLayer* layer = new nwCSecureSocketClientLayer();
    ovSmartPtr hold(layer->PublicUnknown());
    // Bytes before any session: the context is told to close (negative).
    const uint8_t bytes[3] = {1, 2, 3};
    EXPECT_LT(layer->OnData(bytes, 3), 0);
    EXPECT_EQ(OV_E_NETWORK, layer->SendDown(nullptr));
    const ovQoSBlock bad = {nullptr, 5};
    EXPECT_EQ(OV_E_NETWORK, layer->SendDown(&bad));
}

// --- Handshake and the pending queue --------------------------------------------------

TEST_F(TlsLayerTest, RequestsSentBeforeTheHandshakeGoOutAfterItInOrder) {
    Trust();
    ASSERT_TRUE(server.Init(identity));
    context->SetHostName("good.example");
    // The layer above sends as soon as it hears of the connection.
    top->onConnected = [this] {
        EXPECT_EQ(OV_S_NETWORK, top->Send("GET /one HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(OV_S_NETWORK, top->Send("GET /two HTTP/1.1\r\n\r\n"));
    };
    ASSERT_TRUE(context->Connected());
    EXPECT_EQ(1, top->Count("connected"));
    EXPECT_FALSE(tls->HandshakeDone());
    EXPECT_EQ(2, tls->PendingCount());
    // Only the ClientHello went out: one handshake record, nothing else.
    const std::string hello = context->TakeWire();
    ASSERT_GE(hello.size(), 5u);
    EXPECT_EQ(0x16, (uint8_t)hello[0]);
    EXPECT_EQ(hello.size(), 5u + (((uint8_t)hello[3] << 8) | (uint8_t)hello[4]));

    server.Feed(hello);
    const std::string flight = server.Take();
    ASSERT_FALSE(flight.empty());
    context->Deliver(flight);
    EXPECT_TRUE(tls->HandshakeDone());
    EXPECT_EQ(0, tls->PendingCount());
    EXPECT_TRUE(context->buffer.empty());

    server.Feed(context->TakeWire());
    EXPECT_TRUE(server.Established());
    EXPECT_EQ("GET /one HTTP/1.1\r\n\r\nGET /two HTTP/1.1\r\n\r\n", server.Plain());
    // A request after the handshake is encrypted at once.
    EXPECT_EQ(OV_S_NETWORK, top->Send("GET /three HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(0, tls->PendingCount());
    server.Feed(context->TakeWire());
    EXPECT_EQ("GET /one HTTP/1.1\r\n\r\nGET /two HTTP/1.1\r\n\r\nGET /three HTTP/1.1\r\n\r\n",
              server.Plain());
    EXPECT_FALSE(context->closed);
}

TEST_F(TlsLayerTest, DrainedNoticeIsHeldBackWhileRequestsWaitForTheHandshake) {
    Trust();
    ASSERT_TRUE(server.Init(identity));
    context->SetHostName("good.example");
    top->onConnected = [this] { top->Send("GET / HTTP/1.1\r\n\r\n"); };
    ASSERT_TRUE(context->Connected());
    // The ClientHello drained; the request still waits here.
    context->Event(kQoSEventSendDrained);
    EXPECT_EQ(0, top->Count("drained"));
    Exchange();
    EXPECT_EQ(0, tls->PendingCount());
    context->Event(kQoSEventSendDrained);
    EXPECT_EQ(1, top->Count("drained"));
}

TEST_F(TlsLayerTest, HostNameIsSentAsServerNameAndVerified) {
    Establish("good.example");
    EXPECT_EQ("good.example", server.ServerName());
    EXPECT_EQ(0, log.Lines("TLS"));
}

TEST_F(TlsLayerTest, LiteralAddressIsVerifiedWithoutServerName) {
    Establish("127.0.0.1");
    EXPECT_EQ("", server.ServerName());
}

TEST_F(TlsLayerTest, WithoutHostNameThePeerAddressIsVerified) {
    Establish("");
    EXPECT_EQ("", server.ServerName());
    ASSERT_NE(nullptr, tls->Session());
    EXPECT_STREQ("127.0.0.1", tls->Session()->hostName);
}

// --- Refused servers ----------------------------------------------------------------------

TEST_F(TlsLayerTest, UntrustedCertificateIsRefusedLikeAFailedHandshake) {
    // The certificate is valid and names the host, but nobody trusts it.
    ASSERT_TRUE(server.Init(identity));
    context->SetHostName("good.example");
    top->onConnected = [this] { top->Send("GET / HTTP/1.1\r\n\r\n"); };
    ASSERT_TRUE(context->Connected());
    Exchange();
    EXPECT_TRUE(context->closed);
    EXPECT_FALSE(tls->HandshakeDone());
    EXPECT_EQ(nullptr, tls->Session());
    EXPECT_EQ(1, top->Count("closed"));
    EXPECT_TRUE(top->offers.empty());
    // Nothing of the request reached the server.
    EXPECT_EQ("", server.Plain());
    EXPECT_EQ(1, log.Lines("[SwarmFetchLib] TLS handshake with good.example failed: certificate "
                           "refused ("));
}

TEST_F(TlsLayerTest, CertificateForAnotherNameIsRefused) {
    Trust();
    ASSERT_TRUE(server.Init(identity));
    context->SetHostName("other.example");
    ASSERT_TRUE(context->Connected());
    Exchange();
    EXPECT_TRUE(context->closed);
    EXPECT_EQ(1, top->Count("closed"));
    EXPECT_EQ(1, log.Lines("TLS handshake with other.example failed: certificate refused "
                           "(hostname mismatch)"));
}

TEST_F(TlsLayerTest, CertificateForAnotherAddressIsRefused) {
    Trust();
    ASSERT_TRUE(server.Init(identity));
    context->SetHostName("127.0.0.2");
    ASSERT_TRUE(context->Connected());
    Exchange();
    EXPECT_TRUE(context->closed);
    EXPECT_EQ(1, log.Lines("TLS handshake with 127.0.0.2 failed: certificate refused (IP address "
                           "mismatch)"));
}

TEST_F(TlsLayerTest, AlertDuringTheHandshakeClosesWithoutData) {
    Trust();
    context->SetHostName("good.example");
    ASSERT_TRUE(context->Connected());
    ASSERT_FALSE(context->TakeWire().empty());
    context->Deliver(tlstest::AlertRecord(40));
    EXPECT_TRUE(context->closed);
    EXPECT_EQ(1, context->closeCount);
    EXPECT_EQ(1, top->Count("closed"));
    EXPECT_TRUE(top->offers.empty());
    EXPECT_EQ(nullptr, tls->Session());
    EXPECT_EQ(1, log.Lines("TLS handshake with good.example failed: alert handshake failure from "
                           "the server"));
}

TEST_F(TlsLayerTest, GarbageInsteadOfAServerHelloCloses) {
    Trust();
    context->SetHostName("good.example");
    ASSERT_TRUE(context->Connected());
    context->Deliver("HTTP/1.1 400 Bad Request\r\n\r\n");
    EXPECT_TRUE(context->closed);
    EXPECT_EQ(1, top->Count("closed"));
    EXPECT_EQ(1, log.Lines("TLS handshake with good.example failed: handshake failed ("));
}

// --- Data after the handshake -----------------------------------------------------------

TEST_F(TlsLayerTest, SeveralRecordsInOneReadArePassedUpRecordByRecordInOrder) {
    Establish();
    server.Write("alpha");
    server.Write("beta");
    server.Write(std::string(16384, 'g'));
    const std::string three = server.Take();
    const int before = context->deliveries;
    context->Deliver(three);
    EXPECT_EQ(before + 1, context->deliveries);
    ASSERT_EQ(3u, top->offers.size());
    EXPECT_EQ("alpha", top->offers[0]);
    EXPECT_EQ("beta", top->offers[1]);
    EXPECT_EQ(std::string(16384, 'g'), top->offers[2]);
    EXPECT_TRUE(context->buffer.empty());
    EXPECT_FALSE(context->closed);
}

TEST_F(TlsLayerTest, RecordSplitAcrossReadsIsKeptInsideAndCompletedByTheNextRead) {
    Establish();
    server.Write("first");
    server.Write("second record");
    const std::string bytes = server.Take();
    // The first record and 4 bytes of the second one's header and body.
    const size_t cut = bytes.size() - 9;
    context->Deliver(bytes.substr(0, cut));
    ASSERT_EQ(1u, top->offers.size());
    EXPECT_EQ("first", top->offers[0]);
    // OpenSSL took the partial record: nothing waits in the context.
    EXPECT_TRUE(context->buffer.empty());
    context->Deliver(bytes.substr(cut));
    ASSERT_EQ(2u, top->offers.size());
    EXPECT_EQ("second record", top->offers[1]);
}

TEST_F(TlsLayerTest, EveryByteSplitOfTwoRecordsGivesTheSamePlaintext) {
    Establish();
    size_t size = 0;
    for (size_t cut = 1; cut < 1000; ++cut) {
        top->taken.clear();
        server.Write("0123456789");
        server.Write("abcdefghij");
        const std::string bytes = server.Take();
        size = bytes.size();
        if (cut >= size)
            break;
        context->Deliver(bytes.substr(0, cut));
        context->Deliver(bytes.substr(cut));
        EXPECT_EQ("0123456789abcdefghij", top->taken) << "cut at " << cut;
        EXPECT_TRUE(context->buffer.empty()) << "cut at " << cut;
    }
    EXPECT_GT(size, 20u);
    EXPECT_FALSE(context->closed);
}

TEST_F(TlsLayerTest, PlaintextRemainderIsOfferedAgainAtOnceWhileTheLayerAboveTakesSome) {
    Establish();
    // Takes at most 3 bytes per call.
    top->oneBitePerCall = true;
    top->rule = [](int32_t length) { return length < 3 ? length : 3; };
    server.Write("hello world");
    context->Deliver(server.Take());
    // All of it arrived without any further bytes from the server.
    EXPECT_EQ("hello world", top->taken);
    EXPECT_EQ(0, tls->RemainderLength());
    ASSERT_EQ(4u, top->offers.size());
    EXPECT_EQ("hello world", top->offers[0]);
    EXPECT_EQ("ld", top->offers[3]);
}

TEST_F(TlsLayerTest, PlaintextRemainderWaitsOnlyWhenTheLayerAboveAsksForMore) {
    Establish();
    // Takes nothing until a whole 12-byte message is there.
    top->rule = [](int32_t length) { return length >= 12 ? 12 : 0; };
    server.Write("HEAD:");
    context->Deliver(server.Take());
    EXPECT_EQ("", top->taken);
    EXPECT_EQ(5, tls->RemainderLength());
    server.Write("1234567xyz");
    context->Deliver(server.Take());
    // Joined with the next record: "HEAD:1234567" taken, "xyz" kept.
    EXPECT_EQ("HEAD:1234567", top->taken);
    ASSERT_GE(top->offers.size(), 3u);
    EXPECT_EQ("HEAD:1234567xyz", top->offers[1]);
    EXPECT_EQ("xyz", top->offers.back());
    EXPECT_EQ(3, tls->RemainderLength());
}

TEST_F(TlsLayerTest, RemainderBeyondItsBoundClosesTheConnection) {
    Establish();
    top->rule = [](int32_t) { return 0; };
    top->recordOffers = false;
    const std::string record(16384, 'r');
    const int records = nwCSecureSocketClientLayer::kMaxRemainderBytes / 16384 + 1;
    for (int i = 0; i < records && !context->closed; ++i) {
        server.Write(record);
        context->Deliver(server.Take());
    }
    EXPECT_TRUE(context->closed);
    EXPECT_EQ(0, tls->RemainderLength());
    EXPECT_EQ(1, log.Lines("bytes not taken above"));
}

TEST_F(TlsLayerTest, LayerAboveFailingClosesTheConnection) {
    Establish();
    top->rule = [](int32_t) { return -1; };
    server.Write("x");
    context->Deliver(server.Take());
    EXPECT_TRUE(context->closed);
    EXPECT_EQ(1, top->Count("closed"));
}

TEST_F(TlsLayerTest, DecryptedBytesNeverWaitInsideOpenSsl) {
    Establish();
    // With 7 bytes per SSL_read a 100-byte record is read in 15 pieces; all
    // of them must come up with this one delivery.
    TlsSessionSetReadChunk(tls->Session(), 7);
    std::string text;
    for (int i = 0; i < 100; ++i)
        text += (char)('a' + i % 26);
    server.Write(text);
    context->Deliver(server.Take());
    EXPECT_EQ(text, top->taken);
    EXPECT_EQ(15u, top->offers.size());
    EXPECT_TRUE(context->buffer.empty());
}

TEST_F(TlsLayerTest, CloseNotifyClosesQuietly) {
    Establish();
    server.Write("last words");
    server.SendCloseNotify();
    context->Deliver(server.Take());
    EXPECT_EQ("last words", top->taken);
    EXPECT_TRUE(context->closed);
    EXPECT_EQ(1, top->Count("closed"));
    EXPECT_EQ(0, log.Lines("TLS"));
}

TEST_F(TlsLayerTest, CorruptRecordAfterTheHandshakeClosesAndIsLogged) {
    Establish();
    server.Write("intact");
    std::string bytes = server.Take();
    bytes[bytes.size() - 1] ^= 0x55;
    context->Deliver(bytes);
    EXPECT_TRUE(context->closed);
    EXPECT_EQ("", top->taken);
    EXPECT_EQ(1, log.Lines("TLS connection to good.example failed: read failed ("));
}

TEST_F(TlsLayerTest, BytesAfterTheCloseAreNotTaken) {
    Establish();
    context->Close();
    EXPECT_EQ(nullptr, tls->Session());
    server.Write("late");
    const std::string late = server.Take();
    EXPECT_LE(tls->OnData(reinterpret_cast<const uint8_t*>(late.data()), (int32_t)late.size()), 0);
    EXPECT_EQ(OV_E_NETWORK, top->Send("after close"));
    EXPECT_EQ("", top->taken);
}

// --- Re-entrancy: sends and closes from inside OpenSSL's callbacks --------------------

TEST_F(TlsLayerTest, SendFromTheDrainedNoticeInsideAWriteIsWrittenAfterIt) {
    Establish();
    // The socket takes every block at once and reports the queue drained
    // from inside the send, i.e. from inside SSL_write's BIO write.
    context->drainedOnSend = true;
    int more = 3;
    top->onDrained = [this, &more] {
        if (more > 0) {
            --more;
            EXPECT_EQ(OV_S_NETWORK, top->Send("next;"));
        }
    };
    EXPECT_EQ(OV_S_NETWORK, top->Send("first;"));
    EXPECT_EQ(0, more);
    EXPECT_EQ(0, tls->PendingCount());
    server.Feed(context->TakeWire());
    EXPECT_EQ("first;next;next;next;", server.Plain());
}

TEST_F(TlsLayerTest, CloseWhileOpenSslWritesDestroysTheSessionAfterTheWrite) {
    Establish();
    bool sessionDuringClose = false;
    bool closedInside = false;
    context->onBottomSend = [this, &sessionDuringClose, &closedInside](const std::string&) {
        if (closedInside)
            return;
        closedInside = true;
        context->Close();
        // OpenSSL is still inside SSL_write: the session must live on.
        sessionDuringClose = tls->Session() != nullptr;
    };
    const int sendsBefore = context->bottomSends;
    top->Send(std::string(40000, 'w'));  // several records, several BIO writes
    EXPECT_TRUE(closedInside);
    EXPECT_TRUE(sessionDuringClose);
    EXPECT_TRUE(tls->Closed());
    EXPECT_EQ(nullptr, tls->Session());
    EXPECT_EQ(1, top->Count("closed"));
    // Only the record written before the close left.
    EXPECT_EQ(sendsBefore + 1, context->bottomSends);
}

TEST_F(TlsLayerTest, CloseWhileTheClientFinishedIsWrittenEndsWithoutSendingTheQueue) {
    Trust();
    ASSERT_TRUE(server.Init(identity));
    context->SetHostName("good.example");
    top->onConnected = [this] { top->Send("GET / HTTP/1.1\r\n\r\n"); };
    ASSERT_TRUE(context->Connected());
    server.Feed(context->TakeWire());
    const std::string flight = server.Take();
    bool sessionDuringClose = false;
    context->onBottomSend = [this, &sessionDuringClose](const std::string&) {
        if (context->closed)
            return;
        context->Close();
        sessionDuringClose = tls->Session() != nullptr;
    };
    const int sendsBefore = context->bottomSends;
    context->Deliver(flight);  // SSL_connect writes the Finished and closes
    EXPECT_TRUE(sessionDuringClose);
    EXPECT_EQ(nullptr, tls->Session());
    EXPECT_EQ(0, tls->PendingCount());
    EXPECT_EQ(sendsBefore + 1, context->bottomSends);
    EXPECT_EQ(1, top->Count("closed"));
}

TEST_F(TlsLayerTest, CloseWhileTheClientHelloIsSentStopsTheConnectedWalk) {
    Trust();
    context->SetHostName("good.example");
    context->onBottomSend = [this](const std::string&) { context->Close(); };
    EXPECT_FALSE(context->Connected());
    EXPECT_EQ(0, top->Count("connected"));
    EXPECT_EQ(1, top->Count("closed"));
    EXPECT_EQ(nullptr, tls->Session());
}

TEST_F(TlsLayerTest, CloseFromAboveWhilePlaintextIsPassedUpDropsTheRest) {
    Establish();
    top->onData = [this](const std::string&) { context->Close(); };
    server.Write("one");
    server.Write("two");
    context->Deliver(server.Take());
    EXPECT_EQ("one", top->taken);
    EXPECT_EQ(nullptr, tls->Session());
    EXPECT_EQ(0, tls->RemainderLength());
}

TEST_F(TlsLayerTest, ReplyFromInsideThePlaintextCallbackIsWrittenInOrder) {
    Establish();
    top->onData = [this](const std::string& data) { top->Send("ack:" + data + ";"); };
    server.Write("ping");
    server.Write("pong");
    context->Deliver(server.Take());
    server.Feed(context->TakeWire());
    EXPECT_EQ("ack:ping;ack:pong;", server.Plain());
}

// --- TLS 1.2 servers -----------------------------------------------------------------------

TEST_F(TlsLayerTest, Tls12ServerWorksToo) {
    Trust();
    ASSERT_TRUE(server.Init(identity, TLS1_2_VERSION));
    context->SetHostName("good.example");
    top->onConnected = [this] { top->Send("GET / HTTP/1.1\r\n\r\n"); };
    ASSERT_TRUE(context->Connected());
    Exchange();
    ASSERT_TRUE(tls->HandshakeDone());
    EXPECT_EQ("GET / HTTP/1.1\r\n\r\n", server.Plain());
    EXPECT_EQ(TLS1_2_VERSION, SSL_version(server.Ssl()));
    server.Write("reply");
    context->Deliver(server.Take());
    EXPECT_EQ("reply", top->taken);
}

// --- Session functions on their own -------------------------------------------------------

TEST(TlsSessionFunctions, NullArgumentsAndMissingStartupFail) {
    TlsSession* session = reinterpret_cast<TlsSession*>(&session);
    const TlsSessionCallbacks callbacks = {nullptr, nullptr, nullptr, nullptr};
    const NetAddress peer = Loopback();
    // Before TlsStartup there is no BIO method.
    EXPECT_EQ(OV_E_PLATFORM, TlsSessionCreate(&session, &callbacks, &peer, "x.example"));
    EXPECT_EQ(nullptr, session);
    ASSERT_EQ(OV_S_PLATFORM, TlsStartup());
    EXPECT_EQ(OV_E_PLATFORM, TlsSessionCreate(nullptr, &callbacks, &peer, "x.example"));
    EXPECT_EQ(OV_E_PLATFORM, TlsSessionCreate(&session, nullptr, &peer, "x.example"));
    EXPECT_EQ(OV_E_PLATFORM, TlsSessionCreate(&session, &callbacks, nullptr, "x.example"));
    // Longer than DNS allows.
    const std::string longName = std::string(248, 'a') + ".example";
    EXPECT_EQ(OV_E_PLATFORM, TlsSessionCreate(&session, &callbacks, &peer, longName.c_str()));
    EXPECT_EQ(nullptr, session);
    EXPECT_EQ(OV_E_PLATFORM, TlsWrite(nullptr, "x", 1));
    int32_t consumed = 5;
    EXPECT_EQ(OV_E_PLATFORM, TlsReadFeed(nullptr, nullptr, 0, &consumed));
    EXPECT_EQ(0, consumed);
    EXPECT_EQ(OV_E_PLATFORM, TlsHandshakeStart(nullptr));
    TlsSessionDestroy(nullptr);
    TlsCleanup();
}

TEST(TlsSessionFunctions, WritesBeforeTheHandshakeAndBadWindowsAreRefused) {
    ASSERT_EQ(OV_S_PLATFORM, TlsStartup());
    std::string sent;
    const TlsSessionCallbacks callbacks = {[](const void* data, int32_t length, void* user) {
                                               static_cast<std::string*>(user)->append(
                                                   static_cast<const char*>(data), (size_t)length);
                                           },
                                           nullptr, nullptr, &sent};
    const NetAddress peer = Loopback();
    TlsSession* session = nullptr;
    ASSERT_EQ(OV_S_PLATFORM, TlsSessionCreate(&session, &callbacks, &peer, "x.example"));
    EXPECT_EQ(OV_E_PLATFORM, TlsWrite(session, "early", 5));
    EXPECT_EQ(OV_S_PLATFORM, TlsHandshakeStart(session));
    EXPECT_FALSE(sent.empty());
    int32_t consumed = 9;
    EXPECT_EQ(OV_E_PLATFORM, TlsHandshakeFeed(session, nullptr, 4, &consumed));
    EXPECT_EQ(0, consumed);
    EXPECT_EQ(OV_E_PLATFORM,
              TlsHandshakeFeed(session, reinterpret_cast<const uint8_t*>("x"), -1, &consumed));
    // An empty window takes nothing and waits.
    EXPECT_EQ(OV_S_PLATFORM, TlsHandshakeFeed(session, nullptr, 0, &consumed));
    EXPECT_EQ(0, consumed);
    TlsSessionDestroy(session);
    TlsCleanup();
}

TEST(TlsVerifyStore, HoldsTheSystemRootsAndTheTrustedCertificates) {
    ASSERT_EQ(OV_S_PLATFORM, TlsStartup());
    Certificate extra;
    ASSERT_TRUE(extra.Make("extra.example", "DNS:extra.example"));
    X509_STORE* store = TlsVerifyStore();
    ASSERT_NE(nullptr, store);
    RecordProperty("systemRoots", TlsSystemRootCount());
#ifndef _WIN32
    // The build machine has the distribution's bundle.
    EXPECT_GT(TlsSystemRootCount(), 0);
#else
    // Under Wine the root store may be nearly empty, but it can be read.
    EXPECT_GE(TlsSystemRootCount(), 0);
#endif
    // Added later, it still reaches the store already built.
    ASSERT_EQ(OV_S_PLATFORM, AddTrustedCertificate("extra", extra.pem.c_str()));
    X509_STORE_CTX* check = X509_STORE_CTX_new();
    ASSERT_NE(nullptr, check);
    ASSERT_EQ(1, X509_STORE_CTX_init(check, TlsVerifyStore(), extra.cert, nullptr));
    EXPECT_EQ(1, X509_verify_cert(check));
    X509_STORE_CTX_free(check);
    TlsCleanup();
    EXPECT_EQ(0, TlsSystemRootCount());
}

TEST(TlsVerifyStore, TextThatIsNoCertificateIsRefusedAndNothingIsStored) {
    ASSERT_EQ(OV_S_PLATFORM, TlsStartup());
    EXPECT_EQ(OV_E_PLATFORM, AddTrustedCertificate("junk",
                                                   "-----BEGIN CERTIFICATE-----\nAAAA\n"
                                                   "-----END CERTIFICATE-----\n"));
    EXPECT_FALSE(HasTrustedCertificate("junk"));
    EXPECT_EQ(0, TlsTrustedCertificateCount());
    TlsCleanup();
}

}  // namespace
