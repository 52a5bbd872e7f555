// The engine layer on a real connection context over 127.0.0.1, against
// stand-in engines: every request arrives byte for byte, every report sent by
// the engine reaches the listener, and a malformed report closes the
// connection. The test thread is the library thread.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/nwFrame.h"
#include "opn/opeerqos/ovICDNLocalClientLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfMessageLoop.h"
#include "support/EngineProbe.h"
#include "support/LibraryLoop.h"
#include "support/TestPeers.h"
#include "unit/SupportTestEnv.h"

using engineprobe::Fixed;
using engineprobe::Probe;
using engineprobe::ProgressBlock;
using engineprobe::Tail;
using engineprobe::U32;
using engineprobe::U64;
using engineprobe::Z;
using testpeers::BuildFrame;
using testpeers::FrameAnswer;
using testpeers::FrameAnswerer;
using testpeers::FrameAnswererOptions;

namespace {

const uint32_t kKey = 0;

std::string Hex(const char* hex) {
    std::string out;
    for (const char* at = hex; at[0] && at[1];) {
        if (*at == ' ') {
            ++at;
            continue;
        }
        out += (char)strtol(std::string(at, 2).c_str(), nullptr, 16);
        at += 2;
    }
    return out;
}

// Header of a frame in category 256 with message `message` and payload
// length `length` (padding included).
std::string Head(uint16_t message, uint32_t length, uint16_t category = kFrameCategoryEngine) {
    std::string head(kFrameHeaderSize, '\0');
    nwWriteFrameHeader(reinterpret_cast<uint8_t*>(&head[0]), category, message, length);
    return head;
}

class EngineLayerNet : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.Ok());
        redirect.reset(new supporttest::AppDataRedirect(tmp.Win("appdata"), tmp.Native("appdata")));
        ASSERT_TRUE(OV_SUCCEEDED(PfMessageLoopInit()));
        ASSERT_TRUE(lock.CreateInstance(OV_CLSID_MUTEX));
        module.reset(new COpn(lock));
    }
    void TearDown() override {
        if (!context.IsEmpty()) {
            if (ovICDNLocalClientLayer* engine = Engine())
                engine->SetEventListener(nullptr, 0);
            Context()->Close();
            context.Reset();
        }
        module.reset();
        lock.Reset();
        PfMessageLoopDone();
        COpn::NetworkCleanup();
        redirect.reset();
    }

    ovIQoSContext* Context() { return static_cast<ovIQoSContext*>(context.Get()); }
    ovICDNLocalClientLayer* Engine() {
        ovIUnknown* face = nullptr;
        if (OV_FAILED(Context()->FindLayer(OV_CLSID_CDN_LOCAL_LAYER, &face)))
            return nullptr;
        return static_cast<ovICDNLocalClientLayer*>(face);
    }

    // The engine downloader's set-up: one-second connect time-out, the layer
    // on top, the listener with key 0, the parameter queued before connecting.
    void Open(uint16_t port, const char* parameter) {
        ASSERT_TRUE(context.CreateInstance(OV_CLSID_QOS_CONTEXT));
        ASSERT_EQ(OV_S_PLATFORM,
                  Context()->Initialize(kQoSActionHigh, kQoSEventConnectFailed, nullptr));
        const uint32_t connectSeconds = 1;
        ASSERT_EQ(OV_S_PLATFORM, Context()->SetOption(kQoSOptionConnectTimeout, &connectSeconds));
        ASSERT_EQ(OV_S_PLATFORM, Context()->PushLayer(OV_CLSID_CDN_LOCAL_LAYER, false));
        ovICDNLocalClientLayer* engine = Engine();
        ASSERT_NE(nullptr, engine);
        ASSERT_EQ(OV_S_NETWORK, engine->SetEventListener(&probe, kKey));
        ASSERT_EQ(OV_S_NETWORK, engine->SendParameter(parameter));
        const NetAddress address = testpeers::LoopbackAt(port);
        ASSERT_EQ(OV_S_PLATFORM, Context()->Connect(&address));
    }

    bool Run(const std::function<bool()>& done) { return libraryloop::RunUntil(done, 10000); }

    supporttest::TempFolder tmp;
    std::unique_ptr<supporttest::AppDataRedirect> redirect;
    ovSmartPtr lock;
    std::unique_ptr<COpn> module;
    ovSmartPtr context;
    Probe probe;
};

}  // namespace

TEST_F(EngineLayerNet, EveryRequestArrivesByteForByte) {
    // The engine answers the hello with its state, so the test knows when
    // everything sent before it has arrived.
    FrameAnswerer engine({{kFrameCategoryEngine, kEngineMsgHello,
                           BuildFrame(kFrameCategoryEngine, kEngineMsgEngineState, U32(3))}});
    ASSERT_TRUE(engine.Ok());
    const std::string longParameter(300, 'q');
    Open(engine.Port(), longParameter.c_str());
    ASSERT_TRUE(Run([&] { return probe.Count("connected") == 1; }));
    ovICDNLocalClientLayer* e = Engine();
    ASSERT_NE(nullptr, e);

    const std::string url = "http://h/x.pak";
    const ovEngineJobEntry entries[2] = {
        {0x1FF, 0x102, 1234, "C:\\Game", "x.pak", url.c_str()},
        {3, 4, -1, "C:\\Game\\sub", "y.pak", ""},
    };
    const ovEngineJob job = {7, "Game", 2, entries};

    struct Request {
        std::function<ResultCode()> send;
        std::string bytes;
    };
    const std::string jobHeader = U32(7) + U32(2) + Fixed("Game", 33);
    const std::string record0 =
        Hex("FF 02") + U64(1234) + Fixed("C:\\Game", 260) + Fixed("x.pak", 260) + Z(url);
    const std::string record1 =
        Hex("03 04") + U64(~0ull) + Fixed("C:\\Game\\sub", 260) + Fixed("y.pak", 260) + Z("");
    const std::string wholeJob = jobHeader + record0 + record1;  // 41 + 545 + 531 = 1117
    const std::string entry0 = U32(7) + U32(0) + Hex("FF 02") + U64(1234) + Fixed("C:\\Game", 260) +
                               Fixed("x.pak", 260) + Hex("0E 00") + url;
    const std::vector<Request> requests = {
        {[&] { return e->SendJobMode(true); },
         Head(0, 18) + Hex("02") + std::string(16, '\0') + std::string(1, '\0')},
        {[&] { return e->SendJobMode(false); }, Head(0, 18) + Hex("01") + std::string(17, '\0')},
        {[&] { return e->SendServiceCode("SVC0123456789ABCDEFGHIJ"); },
         Head(1, 26) + "SVC0123456789ABCDEF" + std::string(7, '\0')},
        {[&] { return e->SendJob(&job); },
         Head(14, 1122, kFrameCategoryEngineEvent) + wholeJob + std::string(5, '\0')},
        {[&] { return e->SendJobBegin(7, 2, "Game"); }, Head(19, 42) + jobHeader + Hex("00")},
        {[&] { return e->SendJobEntry(7, 0, &entries[0]); },
         Head(20, 554) + entry0 + std::string(0, '\0')},
        {[&] { return e->SendJobEnd(7); }, Head(21, 10) + Hex("07000000 000000000000")},
        {[&] { return e->SendCancel(7, 3); },
         Hex("0001 0300 000000000000 0A000000 07000000 03000000 0000")},
        {[&] { return e->SendParameter(nullptr); }, Head(12, 266) + std::string(266, '\0')},
        {[&] { return e->SendJobOption(7, 3, 0x5A); },
         Head(13, 10) + Hex("07000000 03000000 5A 00")},
        {[&] { return e->SendJobFlag(9); }, Head(17, 10) + Hex("09000000 000000000000")},
        {[&] { return e->SendResumeReply(3, 7, true, false); },
         Head(18, 10) + Hex("03000000 07000000 01 00")},
        {[&] { return e->SendHello(); }, Hex("0001 1600 000000000000 02000000 0000")},
    };
    std::string expected = Head(12, 266) + std::string(259, 'q') + std::string(7, '\0');
    for (const Request& request : requests) {
        ASSERT_EQ(OV_S_NETWORK, request.send());
        expected += request.bytes;
    }
    ASSERT_EQ(14u + 554u, requests[5].bytes.size());
    ASSERT_TRUE(Run([&] { return probe.Count("state") == 1; }));
    const std::string received = engine.ReceivedOn(0);
    for (size_t i = 0; i < expected.size() && i < received.size(); ++i)
        ASSERT_EQ((int)(uint8_t)expected[i], (int)(uint8_t)received[i]) << "offset " << i;
    ASSERT_EQ(expected.size(), received.size());
    EXPECT_EQ((std::vector<std::string>{"connected", "state 3"}), probe.calls);

    // Requests that cannot be encoded send nothing.
    const std::string tooLong(0x10000, 'u');
    const ovEngineJobEntry bad = {1, 2, 3, "f", "n", tooLong.c_str()};
    EXPECT_EQ(OV_E_NETWORK, e->SendJobEntry(7, 1, &bad));
    EXPECT_EQ(OV_E_NETWORK, e->SendJobEntry(7, 1, nullptr));
    EXPECT_EQ(OV_E_NETWORK, e->SendJob(nullptr));
    EXPECT_EQ(OV_E_NETWORK, e->SendJobBegin(7, -1, "x"));
}

TEST_F(EngineLayerNet, ReportsFromTheEngineReachTheListener) {
    FrameAnswererOptions options;
    options.greeting =
        BuildFrame(256, 4, U32(7) + U32(3) + U32(2) + U64(1000)) +
        BuildFrame(256, 5, ProgressBlock(7, 3, 1, 0, 1000, 10, 5, 42, 0)) +
        BuildFrame(256, 7, U32(7) + U32(3) + std::string(33, 'x') + Fixed("C:\\a", 260) + Z("u")) +
        BuildFrame(256, 16, U32(7)) + BuildFrame(256, 9, Tail(0)) +
        BuildFrame(256, 6, U32(7) + U32(3) + U32(0) + U32(2) + U32(0));
    FrameAnswerer engine({}, options);
    ASSERT_TRUE(engine.Ok());
    Open(engine.Port(), "param");
    ASSERT_TRUE(Run([&] { return probe.Count("finished") == 1; }));
    const std::vector<std::string> expected = {"connected",
                                               "accepted 7 3 2 1000",
                                               "progress 7 3 c1 i0 10/1000 5 t42 n0",
                                               "done 7 3 'C:\\a' 'u'",
                                               "resume? 7",
                                               "network-lost",
                                               "finished 7 3 0 2 0"};
    EXPECT_EQ(expected, probe.calls);
    EXPECT_EQ(0, probe.Count("closed"));
}

TEST_F(EngineLayerNet, MalformedReportClosesTheConnection) {
    FrameAnswererOptions options;
    // A progress report whose count promises more reports than it carries,
    // then a report that must not be delivered.
    options.greeting = BuildFrame(256, 5, ProgressBlock(7, 3, 1, 0, 1, 1, 1, 1, 0x7FFFFFFF)) +
                       BuildFrame(256, 22, U32(1));
    FrameAnswerer engine({}, options);
    ASSERT_TRUE(engine.Ok());
    Open(engine.Port(), "");
    ASSERT_TRUE(Run([&] { return probe.Count("closed") == 1; }));
    EXPECT_EQ((std::vector<std::string>{"connected", "closed"}), probe.calls);
    EXPECT_TRUE(engine.WaitClientCloses(1, 5000));
}

TEST_F(EngineLayerNet, RefusedConnectIsConnectFailedThenClosed) {
    const uint16_t port = testpeers::RefusedPort();
    ASSERT_NE(0, port);
    Open(port, "param");
    ASSERT_TRUE(Run([&] { return probe.Count("closed") == 1; }));
    EXPECT_EQ((std::vector<std::string>{"connect-failed", "closed"}), probe.calls);
}
