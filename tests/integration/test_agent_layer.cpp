// The agent layer on a real connection context over 127.0.0.1, against
// stand-in agents: one that answers reports with message 131, one that sends
// frames it should not, one that announces a frame larger than any buffer.
// The test thread is the library thread: it runs the network module and its
// loop, and ends each run once a condition holds (or a bounded number of
// timer ticks has passed).
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "opn/core/ovCGarbageCollector.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCQoSContext.h"
#include "opn/opeerqos/nwCAgentLayer.h"
#include "opn/opeerqos/nwFrame.h"
#include "opn/opeerqos/ovIAgentLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfMessageLoop.h"
#include "support/LibraryLoop.h"
#include "support/TestPeers.h"
#include "unit/SupportTestEnv.h"

using testpeers::BuildFrame;
using testpeers::FrameAnswer;
using testpeers::FrameAnswerer;
using testpeers::FrameAnswererOptions;
using testpeers::Scripted;
using testpeers::Step;

namespace {

const uint32_t kKey = 0x5EED;

std::string Records(int32_t count, uint8_t seed) {
    std::string bytes((size_t)count * kAgentRecordSize, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = (char)(seed + i * 13 + i / 298);
    return bytes;
}

std::string Reply(uint8_t code) {
    return BuildFrame(kFrameCategoryAgent, kAgentMessageReply, std::string(1, (char)code));
}

// What the statistics reporter would be: records every call and may end the
// connection from inside one, the way an owner does (detach, close, hand the
// context to the collector, drop its own pointer).
class Probe : public nwIAgentListener {
  public:
    std::vector<std::string> calls;
    std::vector<uint8_t> replies;
    int wrongKeys = 0;
    // Set by the test: the owner's pointer, and when to let go of it.
    ovSmartPtr* owner = nullptr;
    bool dropOnReply = false;
    bool dropOnClosed = false;

    void OnConnected(uint32_t key) override { Note("connected", key); }
    void OnReply(uint32_t key, uint8_t code) override {
        Note("reply", key);
        replies.push_back(code);
        if (dropOnReply)
            Drop();
    }
    void OnClosed(uint32_t key) override {
        Note("closed", key);
        if (dropOnClosed)
            Drop();
    }
    void OnConnectTimeout(uint32_t key) override { Note("connect-timeout", key); }
    void OnReceiveTimeout(uint32_t key) override { Note("receive-timeout", key); }

    int Count(const std::string& what) const {
        int n = 0;
        for (const std::string& call : calls)
            n += call == what;
        return n;
    }

  private:
    void Note(const char* what, uint32_t key) {
        calls.push_back(what);
        if (key != kKey)
            ++wrongKeys;
    }
    void Drop() {
        if (!owner || owner->IsEmpty())
            return;
        ovSmartPtr copy(*owner);
        ovIQoSContext* context = static_cast<ovIQoSContext*>(copy.Get());
        ovIUnknown* face = nullptr;
        if (OV_SUCCEEDED(context->FindLayer(OV_CLSID_AGENT_LAYER, &face)) && face)
            static_cast<ovIAgentLayer*>(face)->SetEventListener(nullptr, 0);
        context->Close();
        ovCGarbageCollector::GlobalCollector()->DeferRelease(copy);
        owner->Reset();
    }
};

class AgentLayerNet : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.Ok());
        redirect.reset(new supporttest::AppDataRedirect(tmp.Win("appdata"), tmp.Native("appdata")));
        ASSERT_TRUE(OV_SUCCEEDED(PfMessageLoopInit()));
        ASSERT_TRUE(lock.CreateInstance(OV_CLSID_MUTEX));
        module.reset(new COpn(lock));
        ASSERT_NE(nullptr, OpnSocketManager());
    }
    void TearDown() override {
        // Owners detach before they close: the probes of the test body are
        // gone by now.
        for (ovSmartPtr& context : contexts) {
            if (context.IsEmpty())
                continue;
            if (ovIAgentLayer* agent = Agent(context))
                agent->SetEventListener(nullptr, 0);
            Context(context)->Close();
            context.Reset();
        }
        module.reset();  // the collector lets go of what it still holds
        lock.Reset();
        PfMessageLoopDone();
        COpn::NetworkCleanup();
        redirect.reset();
    }

    static ovIQoSContext* Context(const ovSmartPtr& holder) {
        return static_cast<ovIQoSContext*>(holder.Get());
    }
    static cpCQoSContext* Object(const ovSmartPtr& holder) {
        return static_cast<cpCQoSContext*>(Context(holder));
    }
    static ovIAgentLayer* Agent(const ovSmartPtr& holder) {
        ovIUnknown* face = nullptr;
        if (OV_FAILED(Context(holder)->FindLayer(OV_CLSID_AGENT_LAYER, &face)))
            return nullptr;
        return static_cast<ovIAgentLayer*>(face);
    }

    ResultCode SendReport(size_t index, const ovAgentReportBatch* batch) {
        ovIAgentLayer* agent = Agent(contexts[index]);
        return agent ? agent->SendReport(batch) : OV_E_NETWORK;
    }

    // A context carrying one agent layer with `probe` as its listener,
    // connecting to 127.0.0.1:`port`. Index into `contexts`.
    size_t OpenAgent(uint16_t port, Probe* probe,
                     uint32_t mask = kQoSEventConnectFailed | kQoSEventReceiveIdle |
                                     kQoSEventFatal) {
        contexts.emplace_back();
        ovSmartPtr& holder = contexts.back();
        EXPECT_TRUE(holder.CreateInstance(OV_CLSID_QOS_CONTEXT));
        ovIQoSContext* context = Context(holder);
        EXPECT_EQ(OV_S_PLATFORM, context->Initialize(kQoSActionHigh, mask, nullptr));
        const uint32_t connectSeconds = 5;
        EXPECT_EQ(OV_S_PLATFORM, context->SetOption(kQoSOptionConnectTimeout, &connectSeconds));
        EXPECT_EQ(OV_S_PLATFORM, context->PushLayer(OV_CLSID_AGENT_LAYER, false));
        ovIAgentLayer* agent = Agent(holder);
        EXPECT_NE(nullptr, agent);
        if (agent && probe)
            agent->SetEventListener(probe, kKey);
        const NetAddress address = testpeers::LoopbackAt(port);
        EXPECT_EQ(OV_S_PLATFORM, context->Connect(&address));
        return contexts.size() - 1;
    }

    // Runs the loop until `done` holds, checked on every 100 ms tick of the
    // timer manager, for at most about `maxMs`. Returns done().
    bool Run(const std::function<bool()>& done, uint32_t maxMs = 10000) {
        return libraryloop::RunUntil(done, maxMs, 100);
    }

    // Runs the loop for `ms` whatever happens (to see that nothing more does).
    void Settle(uint32_t ms) {
        Run([] { return false; }, ms);
    }

    int32_t StateOf(size_t index) {
        int32_t state = -1;
        if (!contexts[index].IsEmpty())
            Context(contexts[index])->GetState(&state);
        return state;
    }

    supporttest::TempFolder tmp;
    std::unique_ptr<supporttest::AppDataRedirect> redirect;
    ovSmartPtr lock;
    std::unique_ptr<COpn> module;
    std::vector<ovSmartPtr> contexts;
};

// --------------------------------------------------------- the normal round

TEST_F(AgentLayerNet, ReportArrivesByteForByteAndTheReplyReachesTheListener) {
    FrameAnswerer agent({{kFrameCategoryAgent, kAgentMessageReport, Reply(7)}});
    ASSERT_TRUE(agent.Ok());
    Probe probe;
    const size_t c = OpenAgent(agent.Port(), &probe);
    ASSERT_TRUE(Run([&] { return probe.Count("connected") == 1; }));

    const std::string records = Records(2, 3);
    const ovAgentReportBatch batch = {2, reinterpret_cast<const uint8_t*>(records.data())};
    ASSERT_EQ(OV_S_NETWORK, SendReport(c, &batch));
    ASSERT_TRUE(Run([&] { return probe.replies.size() == 1; }));
    EXPECT_EQ(7, probe.replies[0]);

    // The exact bytes at the agent: header, count, records, two zero bytes.
    std::string expected(14, '\0');
    expected[0] = 0x00;
    expected[1] = 0x03;  // 768
    expected[2] = (char)154;
    expected[10] = (char)0x5A;  // 602 = 0x025A
    expected[11] = 0x02;
    expected += std::string("\x02\x00\x00\x00", 4) + records + std::string(2, '\0');
    ASSERT_EQ(616u, expected.size());
    EXPECT_TRUE(agent.ReceivedOn(0) == expected);
    const std::vector<testpeers::Frame> frames = agent.Frames();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(768, frames[0].category);
    EXPECT_EQ(154, frames[0].message);
    EXPECT_EQ(602u, frames[0].length);

    // Still connected; closing tells the listener once and the agent sees it.
    EXPECT_EQ(kQoSStateIdle, StateOf(c));
    Context(contexts[c])->Close();
    EXPECT_EQ(kQoSStateClosed, StateOf(c));
    EXPECT_TRUE(agent.WaitClientCloses(1, 5000));
    const std::vector<std::string> order = {"connected", "reply", "closed"};
    EXPECT_EQ(order, probe.calls);
    EXPECT_EQ(0, probe.wrongKeys);
}

TEST_F(AgentLayerNet, ReportSentBeforeTheConnectionIsUpGoesOutAfterIt) {
    FrameAnswerer agent({{kFrameCategoryAgent, kAgentMessageReport, Reply(1)}});
    ASSERT_TRUE(agent.Ok());
    Probe probe;
    const size_t c = OpenAgent(agent.Port(), &probe);
    const ovAgentReportBatch empty = {0, nullptr};
    ASSERT_EQ(OV_S_NETWORK, SendReport(c, &empty));
    ASSERT_TRUE(Run([&] { return probe.replies.size() == 1; }));
    EXPECT_EQ("connected", probe.calls.front());
    EXPECT_TRUE(agent.ReceivedOn(0) ==
                BuildFrame(kFrameCategoryAgent, kAgentMessageReport, std::string(4, '\0')));
    EXPECT_EQ(24u, agent.ReceivedOn(0).size());
}

TEST_F(AgentLayerNet, PeerCloseAfterTheReplyEndsWithOnClosed) {
    FrameAnswererOptions options;
    options.closeAfterReply = true;
    FrameAnswerer agent({{kFrameCategoryAgent, kAgentMessageReport, Reply(200)}}, options);
    ASSERT_TRUE(agent.Ok());
    Probe probe;
    const size_t c = OpenAgent(agent.Port(), &probe);
    const std::string records = Records(1, 9);
    const ovAgentReportBatch batch = {1, reinterpret_cast<const uint8_t*>(records.data())};
    ASSERT_EQ(OV_S_NETWORK, SendReport(c, &batch));
    ASSERT_TRUE(Run([&] { return probe.Count("closed") == 1; }));
    const std::vector<std::string> order = {"connected", "reply", "closed"};
    EXPECT_EQ(order, probe.calls);
    EXPECT_EQ(200, probe.replies[0]);
    EXPECT_EQ(kQoSStateClosed, StateOf(c));
    Settle(300);
    EXPECT_EQ(1, probe.Count("closed"));
}

// ------------------------------------------------------- frames from the agent

TEST_F(AgentLayerNet, TwoAndAHalfFramesThenTheRest) {
    const std::string third = Reply(3);
    const size_t half = third.size() / 2;
    // The agent sends the rest only when told to, so the half frame is sure
    // to wait on its own first.
    Scripted agent({Step::Send(Reply(1) + Reply(2) + third.substr(0, half)),
                    Step::ExpectText("more"), Step::Send(third.substr(half))});
    ASSERT_TRUE(agent.Ok());
    Probe probe;
    const size_t c = OpenAgent(agent.Port(), &probe);
    ASSERT_TRUE(Run([&] { return probe.replies.size() >= 2; }));
    ASSERT_TRUE(Run([&] { return Object(contexts[c])->ReceivedLength() == (int32_t)half; }));
    EXPECT_EQ(2u, probe.replies.size());
    ASSERT_EQ(OV_S_PLATFORM, Context(contexts[c])->SendRaw("more", 4));
    ASSERT_TRUE(Run([&] { return probe.replies.size() == 3; }));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), probe.replies);
    EXPECT_EQ(0, Object(contexts[c])->ReceivedLength());
    EXPECT_EQ(kQoSStateIdle, StateOf(c));
    EXPECT_EQ(0, probe.Count("closed"));
}

TEST_F(AgentLayerNet, FrameArrivingOneByteAtATime) {
    const std::string frame =
        BuildFrame(kFrameCategoryAgent, kAgentMessageReply, std::string("\x2A\x01\x02\x03", 4));
    ASSERT_EQ(24u, frame.size());
    std::vector<Step> steps;
    for (char byte : frame) {
        steps.push_back(Step::Send(std::string(1, byte)));
        steps.push_back(Step::Pause(15));
    }
    Scripted agent(steps);
    ASSERT_TRUE(agent.Ok());
    Probe probe;
    OpenAgent(agent.Port(), &probe);
    ASSERT_TRUE(Run([&] { return probe.replies.size() == 1; }));
    EXPECT_EQ(0x2A, probe.replies[0]);
    Settle(200);
    EXPECT_EQ(1u, probe.replies.size());
    EXPECT_EQ(0, probe.Count("closed"));
}

TEST_F(AgentLayerNet, UnknownFrameClosesTheConnection) {
    FrameAnswererOptions options;
    options.greeting = BuildFrame(kFrameCategoryAgent, 200, std::string(4, '\x01')) + Reply(5);
    FrameAnswerer agent({}, options);
    ASSERT_TRUE(agent.Ok());
    Probe probe;
    const size_t c = OpenAgent(agent.Port(), &probe);
    ASSERT_TRUE(Run([&] { return probe.Count("closed") == 1; }));
    // The reply behind the unknown frame is never handled.
    EXPECT_TRUE(probe.replies.empty());
    EXPECT_EQ(kQoSStateClosed, StateOf(c));
    EXPECT_TRUE(agent.WaitClientCloses(1, 5000));
    EXPECT_EQ(0, probe.wrongKeys);
}

TEST_F(AgentLayerNet, HugeAnnouncedLengthEndsTheConnectionCleanly) {
    // A reply whose length field promises nearly 2 GiB, followed by more
    // bytes than the context may hold: nothing is allocated from the field,
    // the context closes at its receive bound.
    std::string header(kFrameHeaderSize, '\0');
    nwWriteFrameHeader(reinterpret_cast<uint8_t*>(&header[0]), kFrameCategoryAgent,
                       kAgentMessageReply, 0x7FFFFFF0u);
    const size_t flood = (size_t)cpCQoSContext::kReceiveBufferLimit + 512 * 1024;
    Scripted agent({Step::Send(header), Step::Send(std::string(flood, '\x11'))});
    ASSERT_TRUE(agent.Ok());
    Probe probe;
    const size_t c = OpenAgent(agent.Port(), &probe);
    ASSERT_TRUE(Run([&] { return probe.Count("closed") == 1; }, 20000))
        << "state " << StateOf(c) << ", buffered " << Object(contexts[c])->ReceivedLength()
        << " of capacity " << Object(contexts[c])->ReceiveCapacity();
    EXPECT_TRUE(probe.replies.empty());
    EXPECT_EQ(kQoSStateClosed, StateOf(c));
    EXPECT_LE(Object(contexts[c])->ReceiveCapacity(), cpCQoSContext::kReceiveBufferLimit);
    EXPECT_TRUE(agent.WaitClientCloses(1, 5000));
    const std::vector<std::string> order = {"connected", "closed"};
    EXPECT_EQ(order, probe.calls);
}

// --------------------------------------------- ends inside the listener's calls

TEST_F(AgentLayerNet, OwnerClosesAndDropsInsideOnReply) {
    // Two replies in one delivery: the first one ends everything, the second
    // is not handled.
    Scripted agent({Step::Send(Reply(8) + Reply(9))});
    ASSERT_TRUE(agent.Ok());
    Probe probe;
    const size_t c = OpenAgent(agent.Port(), &probe);
    probe.owner = &contexts[c];
    probe.dropOnReply = true;
    ASSERT_TRUE(Run([&] { return contexts[c].IsEmpty(); }));
    EXPECT_EQ((std::vector<uint8_t>{8}), probe.replies);
    // Detached before closing: the listener hears nothing of the close.
    const std::vector<std::string> order = {"connected", "reply"};
    EXPECT_EQ(order, probe.calls);
    EXPECT_TRUE(agent.WaitClientCloses(1, 5000));
    Settle(200);
    EXPECT_EQ(order, probe.calls);
}

TEST_F(AgentLayerNet, OwnerDropsInsideOnClosedAfterAPeerClose) {
    Scripted agent({Step::Send(Reply(4)), Step::Close()});
    ASSERT_TRUE(agent.Ok());
    Probe probe;
    const size_t c = OpenAgent(agent.Port(), &probe);
    probe.owner = &contexts[c];
    probe.dropOnClosed = true;
    ASSERT_TRUE(Run([&] { return contexts[c].IsEmpty(); }));
    const std::vector<std::string> order = {"connected", "reply", "closed"};
    EXPECT_EQ(order, probe.calls);
}

// ----------------------------------------------------------- the other events

TEST_F(AgentLayerNet, RefusedConnectIsAConnectTimeoutThenClosed) {
    const uint16_t port = testpeers::RefusedPort();
    ASSERT_NE(0, port);
    Probe probe;
    const size_t c = OpenAgent(port, &probe);
    ASSERT_TRUE(Run([&] { return probe.Count("closed") == 1; }));
    const std::vector<std::string> order = {"connect-timeout", "closed"};
    EXPECT_EQ(order, probe.calls);
    EXPECT_EQ(kQoSStateClosed, StateOf(c));
}

TEST_F(AgentLayerNet, RefusedConnectWithoutMaskBitTellsTheListenerNothing) {
    const uint16_t port = testpeers::RefusedPort();
    ASSERT_NE(0, port);
    Probe probe;
    const size_t c = OpenAgent(port, &probe, kQoSEventReceiveIdle);
    ASSERT_TRUE(Run([&] { return StateOf(c) == kQoSStateFailed; }));
    Settle(300);
    EXPECT_TRUE(probe.calls.empty());
    EXPECT_EQ(kQoSStateFailed, StateOf(c));
}

TEST_F(AgentLayerNet, SilentAgentGivesAReceiveTimeout) {
    testpeers::Staller agent;
    ASSERT_TRUE(agent.Ok());
    Probe probe;
    const size_t c = OpenAgent(agent.Port(), &probe);
    const uint32_t idleSeconds = 1;
    ASSERT_EQ(OV_S_PLATFORM, Context(contexts[c])->SetOption(kQoSOptionIdleLimit, &idleSeconds));
    ASSERT_TRUE(Run([&] { return probe.Count("receive-timeout") == 1; }, 15000));
    EXPECT_EQ("connected", probe.calls.front());
    // The time-out alone does not close the connection.
    EXPECT_EQ(0, probe.Count("closed"));
    EXPECT_NE(kQoSStateClosed, StateOf(c));
}

TEST_F(AgentLayerNet, WithoutListenerEventsAreSwallowedAndTheConnectionStays) {
    FrameAnswerer agent({{kFrameCategoryAgent, kAgentMessageReport, Reply(6)}});
    ASSERT_TRUE(agent.Ok());
    const size_t c = OpenAgent(agent.Port(), nullptr);
    ASSERT_TRUE(
        Run([&] { return StateOf(c) == kQoSStateConnected || StateOf(c) == kQoSStateIdle; }));
    const ovAgentReportBatch empty = {0, nullptr};
    ASSERT_EQ(OV_S_NETWORK, SendReport(c, &empty));
    ASSERT_TRUE(Run([&] { return agent.Replies() == 1; }));
    // The reply is consumed without anyone to hear it.
    ASSERT_TRUE(Run(
        [&] { return Object(contexts[c])->ReceivedLength() == 0 && StateOf(c) == kQoSStateIdle; }));
    Settle(200);
    EXPECT_EQ(kQoSStateIdle, StateOf(c));
    EXPECT_EQ(0, agent.ClientCloses());
}

// ------------------------------------------------------ faces through a context

TEST_F(AgentLayerNet, ContextQueryInterfaceReachesTheLayersStackFace) {
    testpeers::Sink sink;
    ASSERT_TRUE(sink.Ok());
    const size_t c = OpenAgent(sink.Port(), nullptr);
    ovIQoSContext* context = Context(contexts[c]);
    void* out = nullptr;
    EXPECT_EQ(OV_S_NETWORK, context->QueryInterface(OV_IID_NETSTACK, &out));
    ASSERT_NE(nullptr, out);
    nwIQoSNetStack* stack = static_cast<nwIQoSNetStack*>(out);
    EXPECT_EQ(static_cast<ovIQoSContext*>(Object(contexts[c])), stack->Context());
    int marker = 0;
    out = &marker;
    EXPECT_EQ(OV_E_NETWORK, context->QueryInterface(0x2015, &out));
    EXPECT_EQ(static_cast<void*>(&marker), out);

    // The layer array's reference is the only one; a second holder through
    // the public face counts on the same object.
    nwCAgentLayer* layer = static_cast<nwCAgentLayer*>(stack);
    EXPECT_EQ(1, layer->RefCount());
    {
        ovSmartPtr publicHold(Agent(contexts[c]));
        EXPECT_EQ(2, layer->RefCount());
    }
    EXPECT_EQ(1, layer->RefCount());
    EXPECT_EQ(static_cast<ovIUnknown*>(layer->PublicFace()), context->TopLayer());
}

}  // namespace
