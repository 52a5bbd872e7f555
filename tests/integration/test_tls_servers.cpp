// The TLS layer on a real connection context over 127.0.0.1 against the
// test servers: nginx's https ports (the trusted certificate, one nobody
// trusts, one for another host) and the fault server's TLS alert port;
// first under a small test top layer that speaks HTTP by hand, then under
// the HTTP client layer. The test thread is the library thread: it runs the
// network module and its loop until a condition holds (bounded).
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "integration/TlsTestSupport.h"
#include "opn/core/ovCGarbageCollector.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/opeerqos/Lib_SSL/nwCSecureSocketClientLayer.h"
#include "opn/opeerqos/cpCQoSContext.h"
#include "opn/opeerqos/nwIHttpClientExEventListener.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfMessageLoop.h"
#include "support/LibraryLoop.h"
#include "support/TestServers.h"

using tlstest::LogCapture;
using tlstest::TopLayer;

namespace {

const uint32_t kTopClassId = 0x7E58;

NetAddress LoopbackAt(uint16_t port) {
    NetAddress a;
    const uint8_t bytes[4] = {127, 0, 0, 1};
    memcpy(&a.address, bytes, sizeof a.address);
    a.port = port;
    return a;
}

std::string Get(const std::string& path, const std::string& host) {
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
}

// The body of a whole HTTP/1.1 response ("" without a head).
std::string BodyOf(const std::string& response) {
    const size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

std::string AsText(const std::vector<unsigned char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class TlsServersNet : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sftest::Servers().Ok()) << sftest::Servers().Error();
        ASSERT_TRUE(log.Ok());
        ASSERT_TRUE(OV_SUCCEEDED(PfMessageLoopInit()));
        ASSERT_TRUE(lock.CreateInstance(OV_CLSID_MUTEX));
        module.reset(new COpn(lock));
        ASSERT_NE(nullptr, OpnSocketManager());
        ASSERT_EQ(OV_S_PLATFORM,
                  AddTrustedCertificate("test servers", sftest::Servers().CertPem().c_str()));
    }
    void TearDown() override {
        for (ovSmartPtr& context : contexts) {
            if (context.IsEmpty())
                continue;
            ovIUnknown* face = nullptr;
            if (OV_SUCCEEDED(Context(context)->FindLayer(OV_CLSID_HTTP_CLIENT_LAYER, &face)) &&
                face)
                static_cast<ovIHttpClientExLayer*>(face)->SetEventListener(nullptr, 0);
            Context(context)->Close();
            context.Reset();
        }
        tops.clear();
        module.reset();
        lock.Reset();
        PfMessageLoopDone();
        COpn::NetworkCleanup();
    }

    static ovIQoSContext* Context(const ovSmartPtr& holder) {
        return static_cast<ovIQoSContext*>(holder.Get());
    }

    // A new context (closed by TearDown) that reports failed connects, idle
    // receives and fatal errors.
    ovIQoSContext* NewContext() {
        contexts.emplace_back();
        ovSmartPtr& holder = contexts.back();
        EXPECT_TRUE(holder.CreateInstance(OV_CLSID_QOS_CONTEXT));
        ovIQoSContext* context = Context(holder);
        EXPECT_EQ(OV_S_PLATFORM,
                  context->Initialize(
                      kQoSActionHigh,
                      kQoSEventConnectFailed | kQoSEventReceiveIdle | kQoSEventFatal, nullptr));
        return context;
    }

    // A context with the TLS layer at the bottom and a test top layer,
    // verifying as `host` and connecting to 127.0.0.1:`port`. The top layer
    // sends `request` at once: it waits in the TLS layer for the handshake.
    TopLayer* OpenTop(uint16_t port, const std::string& host, const std::string& request) {
        ovIQoSContext* context = NewContext();
        const uint32_t seconds = 10;
        context->SetOption(kQoSOptionConnectTimeout, &seconds);
        context->SetOption(kQoSOptionIdleLimit, &seconds);
        EXPECT_EQ(OV_S_PLATFORM, context->PushLayer(OV_CLSID_SECURE_LAYER, true));
        TopLayer* top = new TopLayer();
        tops.emplace_back(top);
        EXPECT_EQ(OV_S_PLATFORM, static_cast<cpCQoSContext*>(context)->AttachLayer(
                                     tops.back(), kTopClassId, false));
        const NetAddress address = LoopbackAt(port);
        context->SetHostName(host.c_str());
        context->SetPeerAddress(&address);
        EXPECT_EQ(OV_S_PLATFORM, context->Connect(&address));
        if (!request.empty()) {
            // Answered by the TLS layer, which queues it.
            EXPECT_EQ(OV_S_NETWORK, top->Send(request));
        }
        return top;
    }

    nwCSecureSocketClientLayer* Tls(size_t index) {
        ovIUnknown* face = nullptr;
        if (OV_FAILED(Context(contexts[index])->FindLayer(OV_CLSID_SECURE_LAYER, &face)) || !face)
            return nullptr;
        void* stack = nullptr;
        if (OV_FAILED(face->QueryInterface(OV_IID_NETSTACK, &stack)))
            return nullptr;
        return static_cast<nwCSecureSocketClientLayer*>(static_cast<nwIQoSNetStack*>(stack));
    }

    // Runs the loop until `done` holds, checked every 50 ms, for at most
    // `maxMs`. Returns done().
    bool Run(const std::function<bool()>& done, uint32_t maxMs = 20000) {
        return libraryloop::RunUntil(done, maxMs, 50);
    }

    // Waits (at most `maxMs`) for the server to close after the body, which
    // must be the doc root's `file` byte for byte.
    void ExpectBodyIsFile(TopLayer* top, const std::string& file, uint32_t maxMs) {
        ASSERT_TRUE(Run([top] { return top->Count("closed") == 1; }, maxMs));
        bool ok = false;
        const std::vector<unsigned char> expected = sftest::Servers().DocRootFile(file, &ok);
        ASSERT_TRUE(ok) << file;
        const std::string body = BodyOf(top->taken);
        ASSERT_EQ(expected.size(), body.size());
        EXPECT_TRUE(memcmp(expected.data(), body.data(), body.size()) == 0);
    }

    // A refused connection: closed, nothing passed up, the request never
    // left in the clear, and one log line naming the reason.
    void ExpectRefused(TopLayer* top, const std::string& logText) {
        ASSERT_TRUE(Run([top] { return top->Count("closed") == 1; }));
        EXPECT_EQ(1, top->Count("connected"));
        EXPECT_TRUE(top->offers.empty());
        EXPECT_EQ(1, log.Lines(logText)) << log.Text();
        nwCSecureSocketClientLayer* tls = Tls(0);
        ASSERT_NE(nullptr, tls);
        EXPECT_FALSE(tls->HandshakeDone());
        EXPECT_EQ(nullptr, tls->Session());
    }

    LogCapture log;
    ovSmartPtr lock;
    std::unique_ptr<COpn> module;
    std::vector<ovSmartPtr> contexts;
    std::vector<ovSmartPtr> tops;
};

const sftest::TestServers& S() {
    return sftest::Servers();
}

// --- Test top layer over nginx ---------------------------------------------------

TEST_F(TlsServersNet, GetQueuedBeforeTheHandshakeFetchesTheFileList) {
    TopLayer* top = OpenTop(S().HttpsPort(), "127.0.0.1", Get("/files/list.txt", "127.0.0.1"));
    nwCSecureSocketClientLayer* tls = Tls(0);
    ASSERT_NE(nullptr, tls);
    EXPECT_EQ(1, tls->PendingCount());
    ASSERT_TRUE(Run([top] { return top->Count("closed") == 1; }));
    EXPECT_TRUE(tls->HandshakeDone());
    EXPECT_EQ(0, tls->PendingCount());
    EXPECT_EQ(1, top->Count("connected"));
    EXPECT_EQ(0u, top->taken.rfind("HTTP/1.1 200 OK\r\n", 0)) << top->taken.substr(0, 200);
    bool ok = false;
    const std::string expected = AsText(S().DocRootFile("files/list.txt", &ok));
    ASSERT_TRUE(ok);
    EXPECT_EQ(expected, BodyOf(top->taken));
    // The server's close_notify ends the connection quietly.
    EXPECT_EQ(0, log.Lines("TLS"));
}

TEST_F(TlsServersNet, ManyRecordsPerReadArriveByteIdentical) {
    // 16 MiB: reads of a loopback socket carry many records at once.
    TopLayer* top =
        OpenTop(S().HttpsPort(), "localhost", Get("/files/random-16m.bin", "localhost"));
    top->recordOffers = false;
    ExpectBodyIsFile(top, "files/random-16m.bin", 120000);
}

TEST_F(TlsServersNet, ListenerTakingSmallBitesStillGetsEverythingWithoutMoreBytes) {
    // Taking 1000 bytes per offer leaves a remainder after every record; the
    // last one must come up without anything more from the server.
    TopLayer* top = OpenTop(S().HttpsPort(), "127.0.0.1", Get("/files/random-1m.bin", "127.0.0.1"));
    top->recordOffers = false;
    top->oneBitePerCall = true;
    top->rule = [](int32_t length) { return length < 1000 ? length : 1000; };
    ExpectBodyIsFile(top, "files/random-1m.bin", 60000);
}

TEST_F(TlsServersNet, UntrustedCertificateIsRefused) {
    TopLayer* top =
        OpenTop(S().HttpsUntrustedPort(), "127.0.0.1", Get("/files/list.txt", "127.0.0.1"));
    ExpectRefused(top, "TLS handshake with 127.0.0.1 failed: certificate refused");
}

TEST_F(TlsServersNet, TrustedCertificateForAnotherHostNameIsRefused) {
    // The certificate is trusted and valid, but names 127.0.0.1 and
    // localhost only.
    TopLayer* top =
        OpenTop(S().HttpsPort(), "wrong-host.invalid", Get("/files/list.txt", "127.0.0.1"));
    ExpectRefused(top,
                  "TLS handshake with wrong-host.invalid failed: certificate refused "
                  "(hostname mismatch)");
}

TEST_F(TlsServersNet, TrustedCertificateWithoutTheAddressIsRefused) {
    ASSERT_EQ(OV_S_PLATFORM, AddTrustedCertificate("wrong host", S().WrongHostCertPem().c_str()));
    TopLayer* top =
        OpenTop(S().HttpsWrongHostPort(), "127.0.0.1", Get("/files/list.txt", "127.0.0.1"));
    ExpectRefused(top,
                  "TLS handshake with 127.0.0.1 failed: certificate refused (IP address "
                  "mismatch)");
}

TEST_F(TlsServersNet, AlertDuringTheHandshakeCloses) {
    TopLayer* top = OpenTop(S().TlsAlertPort(), "127.0.0.1", Get("/", "127.0.0.1"));
    ExpectRefused(top, "TLS handshake with 127.0.0.1 failed: alert handshake failure");
}

TEST_F(TlsServersNet, CloseFromAboveInTheMiddleOfABodyEndsCleanly) {
    TopLayer* top = OpenTop(S().HttpsPort(), "127.0.0.1", Get("/files/random-1m.bin", "127.0.0.1"));
    top->recordOffers = false;
    ovIQoSContext* context = Context(contexts[0]);
    top->onData = [top, context](const std::string&) {
        if (top->taken.size() > 100000)
            context->Close();
    };
    ASSERT_TRUE(Run([top] { return top->Count("closed") == 1; }));
    EXPECT_LT(top->taken.size(), 1048576u);
    nwCSecureSocketClientLayer* tls = Tls(0);
    ASSERT_NE(nullptr, tls);
    EXPECT_EQ(nullptr, tls->Session());
}

// --- Under the HTTP client layer ------------------------------------------------------

class Recorder : public nwIHttpClientExEventListener {
  public:
    void OnConnected(uint32_t) override { calls.push_back("connected"); }
    void OnResponse(uint32_t) override { calls.push_back("response"); }
    int32_t OnData(uint32_t, const uint8_t* data, int32_t length) override {
        body.append(reinterpret_cast<const char*>(data), (size_t)length);
        return length;
    }
    void OnComplete(uint32_t) override { calls.push_back("complete"); }
    void OnSendDrained(uint32_t) override {}
    void OnClosed(uint32_t) override { calls.push_back("closed"); }
    void OnConnectTimeout(uint32_t) override { calls.push_back("connect-timeout"); }
    void OnReceiveTimeout(uint32_t) override { calls.push_back("receive-timeout"); }
    void OnHostUnreachable(uint32_t) override { calls.push_back("unreachable"); }

    int Count(const std::string& what) const {
        int n = 0;
        for (const std::string& c : calls)
            n += c == what;
        return n;
    }

    std::vector<std::string> calls;
    std::string body;
};

class TlsHttpNet : public TlsServersNet {
  protected:
    ovIHttpClientExLayer* OpenHttp(const std::string& url, Recorder* recorder) {
        ovIQoSContext* context = NewContext();
        EXPECT_EQ(OV_S_PLATFORM, context->PushLayer(OV_CLSID_HTTP_CLIENT_LAYER, false));
        ovIHttpClientExLayer* http = static_cast<ovIHttpClientExLayer*>(context->TopLayer());
        EXPECT_NE(nullptr, http);
        if (!http)
            return nullptr;
        http->SetEventListener(recorder, 1);
        EXPECT_EQ(OV_S_NETWORK, http->Open(url.c_str()));
        EXPECT_EQ(OV_S_NETWORK, http->SendGet());
        return http;
    }
};

TEST_F(TlsHttpNet, HttpsGetCompletesWithTheWholeBody) {
    Recorder recorder;
    ovIHttpClientExLayer* http = OpenHttp(S().HttpsUrl("/files/skin.zip"), &recorder);
    ASSERT_NE(nullptr, http);
    ASSERT_TRUE(Run([&recorder] { return recorder.Count("complete") == 1; }));
    int32_t status = 0;
    http->GetStatusCode(&status);
    EXPECT_EQ(200, status);
    bool ok = false;
    EXPECT_EQ(AsText(S().DocRootFile("files/skin.zip", &ok)), recorder.body);
    EXPECT_TRUE(ok);
    EXPECT_NE(nullptr, Tls(0));
}

TEST_F(TlsHttpNet, HttpsGetOfAnUntrustedServerClosesWithoutCompletion) {
    Recorder recorder;
    ASSERT_NE(nullptr, OpenHttp(S().HttpsUntrustedUrl("/files/list.txt"), &recorder));
    ASSERT_TRUE(Run([&recorder] { return recorder.Count("closed") == 1; }));
    EXPECT_EQ(0, recorder.Count("response"));
    EXPECT_EQ(0, recorder.Count("complete"));
    EXPECT_TRUE(recorder.body.empty());
    EXPECT_EQ(1, log.Lines("certificate refused"));
}

}  // namespace
