// The connection context over real loopback sockets, with the network module
// on the test thread: its state machine, events and masks, the layer walks,
// the send queue and the receive buffer, the budgets per tick, the receive
// bound, and its lifetime when owners let go from inside callbacks.
//
// Time is the test's: the timers run on a clock the test sets and advances
// (connect time-out, deferred events), and the one-second ticks are called
// directly, so nothing depends on how fast the machine is.
#include <gtest/gtest.h>

#include <string.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "integration/SocketTestSupport.h"
#include "opn/platform/cpCMutex.h"
#include "opn/core/ovCGarbageCollector.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/TimerManager.h"
#include "opn/opeerqos/cpCAddressCache.h"
#include "opn/opeerqos/cpCQoS.h"
#include "opn/opeerqos/cpCQoSContext.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/opeerqos/nwIQoSNetStack.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "support/TestPeers.h"
#include "unit/SupportTestEnv.h"

namespace {

const uint32_t kTestLayerId = 0x7001;

// --- Clocks the test drives ----------------------------------------------------------

TimerTime g_now = {1600000000, 0};
uint32_t g_gcSeconds = 1600000000;

TimerTime FakeNow() {
    return g_now;
}
uint32_t FakeSeconds() {
    return g_gcSeconds;
}

// --- A test layer ------------------------------------------------------------------------

typedef std::vector<std::string> Journal;

class TestLayer : public nwIQoSNetStack {
    OV_IMPLEMENT_REFCOUNT(TestLayer)

  public:
    TestLayer(const std::string& name, Journal* journal, bool* destroyed)
        : m_name(name), m_journal(journal), m_destroyed(destroyed) {}
    ~TestLayer() override {
        if (m_destroyed)
            *m_destroyed = true;
    }

    ResultCode QueryInterface(uint32_t id, void** out) override {
        if (id != OV_IID_NETSTACK)
            return OV_E_NETWORK;
        *out = static_cast<nwIQoSNetStack*>(this);
        return OV_S_NETWORK;
    }
    bool OnConnected() override {
        Log("connected");
        if (onConnected)
            onConnected();
        return connectedAnswer;
    }
    bool OnHostUnreachable() override {
        Log("unreachable");
        return true;
    }
    bool OnEvent(uint32_t code, uint32_t argument) override {
        (void)argument;
        Log("event:" + std::to_string(code));
        if (onEvent)
            onEvent(code);
        return eventAnswer;
    }
    int32_t OnData(const uint8_t* data, int32_t length) override {
        std::string bytes((const char*)data, (size_t)length);
        ++deliveries;
        if (length > maxLength)
            maxLength = length;
        if (keepDeliveries)
            seen.push_back(bytes);
        int32_t consumed = consume ? consume(bytes) : length;
        if (consumed > 0 && consumed <= length)
            received += (uint64_t)consumed;
        return consumed;
    }
    void OnClosed() override {
        Log("closed");
        ++closedCount;
        if (onClosed)
            onClosed();
    }
    ResultCode SendDown(const ovQoSBlock* block) override {
        Log("down:" + std::string((const char*)block->data, (size_t)block->length));
        return SendFromLayer(block);
    }

    std::function<void()> onConnected;
    std::function<void(uint32_t)> onEvent;
    std::function<void()> onClosed;
    std::function<int32_t(const std::string&)> consume;  // default: all
    bool connectedAnswer = true;
    bool eventAnswer = true;
    bool keepDeliveries = true;
    std::vector<std::string> seen;
    int deliveries = 0;
    int32_t maxLength = 0;
    uint64_t received = 0;
    int closedCount = 0;

  private:
    void Log(const std::string& what) {
        if (m_journal)
            m_journal->push_back(m_name + ":" + what);
    }
    std::string m_name;
    Journal* m_journal;
    bool* m_destroyed;
};

cpCQoSContext* Ctx(const ovSmartPtr& p) {
    return static_cast<cpCQoSContext*>(static_cast<ovIQoSContext*>(p.Get()));
}

ovIQoSContext* Face(const ovSmartPtr& p) {
    return static_cast<ovIQoSContext*>(p.Get());
}

int Count(const Journal& journal, const std::string& entry) {
    int n = 0;
    for (const std::string& e : journal)
        n += e == entry ? 1 : 0;
    return n;
}

int IndexIn(const Journal& journal, const std::string& entry) {
    for (size_t i = 0; i < journal.size(); ++i) {
        if (journal[i] == entry)
            return (int)i;
    }
    return -1;
}

ResultCode TwoAddresses(const char* host, NetAddressList* list, void* user) {
    (void)host;
    (void)user;
    list->count = 2;
    list->addresses[0] = testpeers::LoopbackAddress();
    const uint8_t second[4] = {127, 0, 0, 2};
    memcpy(&list->addresses[1], second, 4);
    return OV_S_PLATFORM;
}

// --- Fixture: the network module on this thread ---------------------------------------------

class ContextTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.Ok());
        redirect.reset(new supporttest::AppDataRedirect(tmp.Win(), tmp.Native()));
        ASSERT_TRUE(OV_SUCCEEDED(PfMessageLoopInit()));
        g_now.seconds = 1600000000;
        g_now.milliseconds = 0;
        g_gcSeconds = 1600000000;
        TimerSetClock(&FakeNow);
        ASSERT_TRUE(lock.CreateInstance(OV_CLSID_MUTEX));
        module.reset(new COpn(lock));
        ASSERT_NE(nullptr, OpnSocketManager());
        ASSERT_NE(nullptr, OpnTimerManager());
        manager = OpnSocketManager();
        AddressCache().Clear();
    }
    void TearDown() override {
        for (ovSmartPtr& p : contexts) {
            if (!p.IsEmpty())
                Face(p)->Close();
        }
        contexts.clear();
        module.reset();
        COpn::NetworkCleanup();
        TimerSetClock(nullptr);
        AddressCache().SetResolver(nullptr, nullptr);
        AddressCache().Clear();
        lock.Reset();
        PfMessageLoopDone();
        redirect.reset();
    }

    // A new initialised context, kept in `contexts` (closed at the end).
    ovSmartPtr& NewContext(int32_t action, uint32_t mask) {
        contexts.emplace_back();
        ovSmartPtr& p = contexts.back();
        EXPECT_TRUE(p.CreateInstance(OV_CLSID_QOS_CONTEXT));
        if (!p.IsEmpty()) {
            EXPECT_EQ(OV_S_PLATFORM, Face(p)->Initialize(action, mask, nullptr));
        }
        return p;
    }

    TestLayer* AddLayer(const ovSmartPtr& context, const std::string& name, bool atBottom,
                        bool* destroyed = nullptr) {
        TestLayer* layer = new TestLayer(name, &journal, destroyed);
        ovSmartPtr face(layer);
        EXPECT_EQ(OV_S_PLATFORM, Ctx(context)->AttachLayer(face, kTestLayerId, atBottom));
        return layer;
    }

    // Advances the timers' clock in 100 ms steps, ticking the timer manager
    // after each (its 100 ms driver does the same in the library).
    void Advance(uint32_t ms) {
        for (uint32_t done = 0; done < ms; done += 100) {
            g_now.milliseconds += 100;
            if (g_now.milliseconds >= 1000) {
                g_now.milliseconds -= 1000;
                ++g_now.seconds;
            }
            OpnTimerManager()->ManagerTick();
        }
    }

    bool PumpUntil(std::function<bool()> done, int maxTicks = 250) {
        return pump.Run(std::move(done), maxTicks, 20);
    }
    // Runs the loop for a while with nothing to wait for.
    void PumpFor(int ticks) {
        pump.Run([] { return false; }, ticks, 20);
    }

    supporttest::TempFolder tmp;
    std::unique_ptr<supporttest::AppDataRedirect> redirect;
    ovSmartPtr lock;
    std::unique_ptr<COpn> module;
    cpCQoS* manager = nullptr;
    std::deque<ovSmartPtr> contexts;  // references stay valid as it grows
    Journal journal;
    socktest::Pump pump;
};

// --- Set-up and options --------------------------------------------------------------------

TEST_F(ContextTest, InitializeRegistersTheSocketAndMovesToReady) {
    ovSmartPtr p;
    ASSERT_TRUE(p.CreateInstance(OV_CLSID_QOS_CONTEXT));
    cpCQoSContext* c = Ctx(p);
    int32_t state = -1;
    EXPECT_EQ(OV_S_PLATFORM, c->GetState(&state));
    EXPECT_EQ(kQoSStateNew, state);
    EXPECT_EQ(OV_E_PLATFORM, c->GetState(nullptr));
    EXPECT_EQ(60u, c->IdleLimit());
    EXPECT_EQ(5u, c->ConnectTimeoutSec());
    c->Close();  // nothing to close in state new
    EXPECT_EQ(kQoSStateNew, c->State());

    EXPECT_EQ(OV_S_PLATFORM, c->Initialize(kQoSActionHigh, 0x21, nullptr));
    EXPECT_EQ(kQoSStateReady, c->State());
    EXPECT_EQ(0x21u, c->EventMask());
    ASSERT_NE(nullptr, c->Socket());
    EXPECT_EQ(0, c->Socket()->slot);
    EXPECT_EQ(static_cast<cpISocketContext*>(c), manager->ContextAt(0));
    EXPECT_EQ(2, c->RefCount());  // ours and the slot's
    ASSERT_NE(nullptr, c->Action());
    EXPECT_EQ(kQoSActionHigh, c->Action()->GetType());
    EXPECT_EQ(c->Socket(), c->Action()->Socket());
    EXPECT_EQ(OV_E_PLATFORM, c->Initialize(kQoSActionHigh, 0, nullptr));  // only once

    c->Close();
    EXPECT_EQ(kQoSStateClosed, c->State());
    EXPECT_EQ(nullptr, c->Socket());
    EXPECT_EQ(nullptr, c->Action()->Socket());
    EXPECT_EQ(nullptr, manager->ContextAt(0));
    EXPECT_EQ(1, c->RefCount());
}

TEST_F(ContextTest, OptionsAndMasks) {
    ovSmartPtr& p = NewContext(kQoSActionHigh, 2);
    cpCQoSContext* c = Ctx(p);
    uint32_t v = 7;
    EXPECT_EQ(OV_S_PLATFORM, c->SetOption(kQoSOptionConnectTimeout, &v));
    EXPECT_EQ(7u, c->ConnectTimeoutSec());
    v = 9;
    EXPECT_EQ(OV_S_PLATFORM, c->SetOption(kQoSOptionIdleLimit, &v));
    EXPECT_EQ(9u, c->IdleLimit());
    EXPECT_EQ(OV_S_PLATFORM, c->SetOption(kQoSOptionReserved, &v));
    for (int32_t type : {0, 2, 3, 6, 63, 65}) {
        EXPECT_EQ(OV_E_PLATFORM, c->SetOption(type, &v)) << type;
        EXPECT_EQ(OV_E_PLATFORM, c->GetOption(type, &v)) << type;
    }
    // What was set reads back; a receive limit at or above the default is
    // the default (0).
    uint32_t read = 0;
    EXPECT_EQ(OV_S_PLATFORM, c->GetOption(kQoSOptionConnectTimeout, &read));
    EXPECT_EQ(7u, read);
    EXPECT_EQ(OV_S_PLATFORM, c->GetOption(kQoSOptionIdleLimit, &read));
    EXPECT_EQ(9u, read);
    v = 4096;
    EXPECT_EQ(OV_S_PLATFORM, c->SetOption(kQoSOptionReceiveLimit, &v));
    EXPECT_EQ(OV_S_PLATFORM, c->GetOption(kQoSOptionReceiveLimit, &read));
    EXPECT_EQ(4096u, read);
    v = (uint32_t)cpCQoSContext::kReceiveBufferLimit;
    EXPECT_EQ(OV_S_PLATFORM, c->SetOption(kQoSOptionReceiveLimit, &v));
    EXPECT_EQ(OV_S_PLATFORM, c->GetOption(kQoSOptionReceiveLimit, &read));
    EXPECT_EQ(0u, read);
    EXPECT_EQ(OV_E_PLATFORM, c->GetOption(kQoSOptionIdleLimit, nullptr));
    EXPECT_EQ(OV_E_PLATFORM, c->SetOption(kQoSOptionIdleLimit, nullptr));
    EXPECT_EQ(9u, c->IdleLimit());

    // AddEvents adds only when none of the bits is set yet.
    EXPECT_EQ(OV_S_PLATFORM, c->AddEvents(2 | 8));
    EXPECT_EQ(2u, c->EventMask());
    c->AddEvents(1 | 4);
    EXPECT_EQ(7u, c->EventMask());
    c->RemoveEvents(4 | 0x10);
    EXPECT_EQ(3u, c->EventMask());
    c->SetEventMask(0x20);
    EXPECT_EQ(0x20u, c->EventMask());

    // The meters need their bits.
    uint32_t rate = 99;
    EXPECT_EQ(OV_E_PLATFORM, c->GetSendRate(&rate));
    EXPECT_EQ(OV_E_PLATFORM, c->GetReceiveRate(&rate));
    c->AddEvents(kQoSMeterSend);
    EXPECT_EQ(OV_S_PLATFORM, c->GetSendRate(&rate));
    EXPECT_EQ(0u, rate);  // nothing sent
    c->AddEvents(kQoSMeterReceive);
    EXPECT_EQ(OV_S_PLATFORM, c->GetReceiveRate(&rate));
    EXPECT_EQ(0u, rate);
    EXPECT_EQ(OV_S_PLATFORM, c->Reserved());
}

// Changing between the own types within one window hands the window over:
// switching back and forth and setting the limit again grants no second
// first share, and no second budget after a tick.
TEST_F(ContextTest, OwnActionTypeChangesGrantNoSecondShareWithinOneWindow) {
    Advance(500);  // half a window before the manager's tick
    ovSmartPtr& p = NewContext(kQoSActionOwn, 0);
    cpCQoSContext* c = Ctx(p);
    uint32_t limit = 1000;
    const struct {
        int32_t type;
        int32_t direction;
        uint32_t budget;  // after the limit is set again
    } steps[] = {
        {kQoSActionOwn, kQoSDirectionReceive, 500},  // the first share
        {kQoSActionOwnReceiveOnly, kQoSDirectionReceive, 0},
        {kQoSActionOwn, kQoSDirectionReceive, 0},
        {kQoSActionOwnSendOnly, kQoSDirectionSend, 500},  // send had moved nothing
        {kQoSActionOwn, kQoSDirectionSend, 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.type);
        ASSERT_EQ(OV_S_PLATFORM, c->SetAction(step.type));
        ASSERT_EQ(OV_S_PLATFORM, c->SetActionLimit(step.direction, &limit));
        auto* own = static_cast<cpCQoSOwnContextAction*>(c->Action());
        EXPECT_EQ(limit,
                  step.direction == kQoSDirectionReceive ? own->ReceiveLimit() : own->SendLimit());
        if (step.direction == kQoSDirectionReceive)
            EXPECT_EQ(step.budget, own->TakeReceiveBudget(UINT32_MAX));
        else
            EXPECT_EQ(step.budget, own->TakeSendBudget(UINT32_MAX));
    }
    Advance(500);  // the tick: whole windows from now on
    auto* own = static_cast<cpCQoSOwnContextAction*>(c->Action());
    EXPECT_EQ(1000u, own->TakeReceiveBudget(UINT32_MAX));
    ASSERT_EQ(OV_S_PLATFORM, c->SetAction(kQoSActionOwnReceiveOnly));
    ASSERT_EQ(OV_S_PLATFORM, c->SetActionLimit(kQoSDirectionReceive, &limit));
    own = static_cast<cpCQoSOwnContextAction*>(c->Action());
    EXPECT_EQ(0u, own->TakeReceiveBudget(UINT32_MAX));
    Advance(1000);
    EXPECT_EQ(1000u, own->TakeReceiveBudget(UINT32_MAX));
}

TEST_F(ContextTest, SetActionKeepsTheSameTypeAndRejectsUnknownTypes) {
    ovSmartPtr& p = NewContext(kQoSActionOwnReceiveOnly, 0);
    cpCQoSContext* c = Ctx(p);
    cpCQoSContextAction* six = c->Action();
    ASSERT_NE(nullptr, six);
    EXPECT_EQ(OV_S_PLATFORM, c->SetAction(kQoSActionOwnReceiveOnly));
    EXPECT_EQ(six, c->Action());
    EXPECT_EQ(OV_E_PLATFORM, c->SetAction(8));
    EXPECT_EQ(OV_E_PLATFORM, c->SetAction(0));
    EXPECT_EQ(six, c->Action());
    uint32_t limit = 5000;
    EXPECT_EQ(OV_S_PLATFORM, c->SetActionLimit(kQoSDirectionReceive, &limit));
    EXPECT_EQ(5000u, static_cast<cpCQoSOwnContextAction*>(six)->ReceiveLimit());
    EXPECT_EQ(OV_E_PLATFORM, c->SetActionLimit(kQoSDirectionReceive, nullptr));
    EXPECT_EQ(OV_S_PLATFORM, c->SetAction(kQoSActionServer));
    ASSERT_NE(nullptr, c->Action());
    EXPECT_EQ(kQoSActionServer, c->Action()->GetType());
    EXPECT_EQ(c->Socket(), c->Action()->Socket());

    // An unknown type at Initialize leaves the context without action.
    ovSmartPtr q;
    ASSERT_TRUE(q.CreateInstance(OV_CLSID_QOS_CONTEXT));
    contexts.push_back(q);
    EXPECT_EQ(OV_E_PLATFORM, Face(q)->Initialize(9, 0, nullptr));
    EXPECT_EQ(kQoSStateReady, Ctx(q)->State());
    EXPECT_EQ(nullptr, Ctx(q)->Action());
    EXPECT_EQ(OV_E_PLATFORM, Face(q)->SetActionLimit(kQoSDirectionSend, &limit));
}

TEST_F(ContextTest, HostNameAndPeerAddress) {
    ovSmartPtr& p = NewContext(kQoSActionHigh, 0);
    ovIQoSContext* c = Face(p);
    const char* name = nullptr;
    ASSERT_EQ(OV_S_PLATFORM, c->GetHostName(&name));
    EXPECT_STREQ("", name);
    EXPECT_EQ(OV_E_PLATFORM, c->SetHostName(nullptr));
    EXPECT_EQ(OV_E_PLATFORM, c->MarkAddressWorking());  // no host name
    std::string longName(300, 'h');
    EXPECT_EQ(OV_S_PLATFORM, c->SetHostName(longName.c_str()));
    c->GetHostName(&name);
    EXPECT_EQ(std::string(255, 'h'), name);

    EXPECT_EQ(OV_S_PLATFORM, c->SetHostName("peer.test"));
    EXPECT_EQ(OV_E_PLATFORM, c->MarkAddressFailed());  // no address yet
    NetAddress at = testpeers::LoopbackAt(0);
    c->SetPeerAddress(&at);
    EXPECT_EQ(OV_E_PLATFORM, c->MarkAddressFailed());  // no port
    at.port = 4321;
    EXPECT_EQ(OV_S_PLATFORM, c->SetPeerAddress(&at));
    const NetAddress* stored = nullptr;
    ASSERT_EQ(OV_S_PLATFORM, c->GetPeerAddress(&stored));
    EXPECT_EQ(at.address, stored->address);
    EXPECT_EQ(4321, stored->port);
    EXPECT_EQ(OV_E_PLATFORM, c->SetPeerAddress(nullptr));

    AddressCache().SetResolver(&TwoAddresses, nullptr);
    uint32_t picked = 0;
    ASSERT_TRUE(AddressCache().PickAddress("peer.test", 4321, &picked));
    EXPECT_EQ(at.address, picked);
    EXPECT_EQ(OV_S_PLATFORM, c->MarkAddressFailed());
    ASSERT_TRUE(AddressCache().PickAddress("peer.test", 4321, &picked));
    EXPECT_NE(at.address, picked);  // the other one is preferred now
    EXPECT_EQ(OV_S_PLATFORM, c->MarkAddressWorking());
    ASSERT_TRUE(AddressCache().PickAddress("peer.test", 4321, &picked));
    EXPECT_EQ(at.address, picked);
}

// --- Layers ---------------------------------------------------------------------------------

TEST_F(ContextTest, LayersAreOrderedTopToBottomAndFoundByClassId) {
    ovSmartPtr& p = NewContext(kQoSActionHigh, 0);
    cpCQoSContext* c = Ctx(p);
    void* out = nullptr;
    EXPECT_EQ(OV_E_NOINTERFACE, c->QueryInterface(OV_IID_NETSTACK, &out));
    EXPECT_EQ(nullptr, c->TopLayer());
    EXPECT_EQ(OV_E_PLATFORM, c->PushLayer(0x5009, false));          // unknown id
    EXPECT_EQ(OV_E_PLATFORM, c->PushLayer(OV_CLSID_TIMER, false));  // not a layer
    EXPECT_EQ(0, c->LayerCount());

    TestLayer* a = AddLayer(p, "A", false);
    TestLayer* b = AddLayer(p, "B", false);  // on top of A
    TestLayer* z = AddLayer(p, "Z", true);   // below A
    ASSERT_EQ(3, c->LayerCount());
    EXPECT_EQ(static_cast<ovIUnknown*>(b), c->TopLayer());
    EXPECT_EQ(static_cast<ovIQoSContext*>(c), a->Context());
    ovIUnknown* found = nullptr;
    EXPECT_EQ(OV_S_PLATFORM, c->FindLayer(kTestLayerId, &found));
    EXPECT_EQ(static_cast<ovIUnknown*>(b), found);  // the first, from the top
    EXPECT_EQ(OV_E_PLATFORM, c->FindLayer(0x2017, &found));
    // QueryInterface goes to the top layer.
    EXPECT_EQ(OV_S_NETWORK, c->QueryInterface(OV_IID_NETSTACK, &out));
    EXPECT_EQ(static_cast<nwIQoSNetStack*>(b), out);
    EXPECT_EQ(OV_E_NETWORK, c->QueryInterface(0x2015, &out));

    // Data goes up one layer at a time; the top passes to nobody.
    a->consume = [](const std::string& s) { return (int32_t)s.size() - 1; };
    EXPECT_EQ(4, z->PassUp((const uint8_t*)"abcde", 5));
    ASSERT_EQ(1u, a->seen.size());
    EXPECT_EQ("abcde", a->seen[0]);
    EXPECT_EQ(0, b->PassUp((const uint8_t*)"x", 1));
    EXPECT_EQ(0, c->PassUp(nullptr, (const uint8_t*)"x", 1));
    EXPECT_TRUE(b->seen.empty());

    // Connected news goes one layer up.
    EXPECT_EQ(OV_S_PLATFORM, c->NotifyConnectedAbove(a));
    EXPECT_EQ(Journal{"B:connected"}, journal);
    EXPECT_EQ(OV_S_PLATFORM, c->NotifyConnectedAbove(b));  // nobody above
    EXPECT_EQ(1u, journal.size());

    // A block of the top layer reaches SendDown of the layers below.
    ovQoSBlock block = {(const uint8_t*)"hi", 2};
    EXPECT_EQ(OV_S_PLATFORM, b->SendFromLayer(&block));
    EXPECT_EQ((Journal{"B:connected", "A:down:hi", "Z:down:hi"}), journal);
    // ...and the bottom layer's block waits in the queue (not connected).
    const uint8_t* data = nullptr;
    int32_t length = 0;
    ASSERT_EQ(OV_S_PLATFORM, c->GetSendBlock(&data, &length));
    ASSERT_EQ(2, length);
    EXPECT_EQ(0, memcmp(data, "hi", 2));
    EXPECT_EQ(OV_E_PLATFORM, c->SendFromLayer(nullptr, &block));

    // The real agent layer is pushed by class id.
    EXPECT_EQ(OV_S_PLATFORM, c->PushLayer(OV_CLSID_AGENT_LAYER, true));
    EXPECT_EQ(OV_S_PLATFORM, c->FindLayer(OV_CLSID_AGENT_LAYER, &found));
    EXPECT_NE(nullptr, found);
    EXPECT_EQ(4, c->LayerCount());
}

TEST_F(ContextTest, LayerCountIsBounded) {
    ovSmartPtr& p = NewContext(kQoSActionHigh, 0);
    for (int i = 0; i < cpCQoSContext::kMaxLayers; ++i)
        AddLayer(p, "L", true);
    TestLayer* extra = new TestLayer("X", &journal, nullptr);
    ovSmartPtr hold(extra);
    EXPECT_EQ(OV_E_PLATFORM, Ctx(p)->AttachLayer(hold, kTestLayerId, true));
    EXPECT_EQ(OV_E_PLATFORM, Ctx(p)->PushLayer(OV_CLSID_AGENT_LAYER, true));
    EXPECT_EQ(cpCQoSContext::kMaxLayers, Ctx(p)->LayerCount());
}

// --- Connecting -------------------------------------------------------------------------------

TEST_F(ContextTest, ConnectedGoesBottomUpAndStopsAtTheFirstFalse) {
    testpeers::Sink sink;
    ASSERT_TRUE(sink.Ok());
    ovSmartPtr& p = NewContext(kQoSActionHigh, kQoSEventConnectFailed | kQoSEventFatal);
    cpCQoSContext* c = Ctx(p);
    AddLayer(p, "top", false);
    TestLayer* mid = AddLayer(p, "mid", true);
    AddLayer(p, "bottom", true);
    mid->connectedAnswer = false;
    NetAddress at = sink.Address();
    EXPECT_EQ(OV_S_PLATFORM, c->Connect(&at));
    EXPECT_EQ(kQoSStateConnecting, c->State());
    EXPECT_TRUE(c->ConnectTimerRunning());
    EXPECT_EQ(OV_E_PLATFORM, c->Connect(&at));  // only from ready

    ASSERT_TRUE(PumpUntil([&] { return c->ConnectedOnce(); }));
    EXPECT_FALSE(c->ConnectTimerRunning());
    EXPECT_EQ((Journal{"bottom:connected", "mid:connected"}), journal);
    EXPECT_EQ(kQoSStateConnected, c->State());
    // A false from a layer is not a failure: nothing else happened.
    PumpFor(5);
    EXPECT_EQ(2u, journal.size());
    EXPECT_EQ(OV_S_PLATFORM, c->NotifyConnectedAbove(mid));
    EXPECT_EQ("top:connected", journal.back());
    EXPECT_TRUE(sink.WaitConnections(1, 5000));
}

TEST_F(ContextTest, BlockQueuedBeforeTheConnectionExistsIsSentRightAfterConnect) {
    testpeers::Sink sink;
    ASSERT_TRUE(sink.Ok());
    ovSmartPtr& p = NewContext(kQoSActionHigh, kQoSEventSendDrained);
    cpCQoSContext* c = Ctx(p);
    AddLayer(p, "L", false);
    EXPECT_EQ(OV_S_PLATFORM, c->SendRaw("queued early", 12));
    EXPECT_EQ(OV_S_PLATFORM, c->SendRaw("+second", 7));
    int64_t queued = -1;
    ASSERT_EQ(OV_S_PLATFORM, c->GetQueuedBytes(&queued));
    EXPECT_EQ(7, queued);  // the first one is the current block already
    const uint8_t* data = nullptr;
    int32_t length = 0;
    c->GetSendBlock(&data, &length);
    EXPECT_EQ(12, length);
    EXPECT_EQ(OV_E_PLATFORM, c->SendRaw(nullptr, 3));
    EXPECT_EQ(OV_E_PLATFORM, c->SendRaw("x", -1));
    EXPECT_TRUE(journal.empty());  // nothing drained yet

    NetAddress at = sink.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(at.address, at.port));
    ASSERT_TRUE(PumpUntil([&] { return sink.BytesReceived() >= 19; }));
    EXPECT_EQ("queued early+second", sink.Received());
    c->GetQueuedBytes(&queued);
    EXPECT_EQ(0, queued);
    c->GetSendBlock(&data, &length);
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0, length);
    EXPECT_GE(Count(journal, "L:event:2"), 1);  // the queue ran empty
    EXPECT_LT(IndexIn(journal, "L:connected"), IndexIn(journal, "L:event:2"));
}

TEST_F(ContextTest, DrainedEventLetsALayerTopUpTheQueue) {
    testpeers::Sink sink;
    ASSERT_TRUE(sink.Ok());
    ovSmartPtr& p = NewContext(kQoSActionHigh, kQoSEventSendDrained);
    cpCQoSContext* c = Ctx(p);
    TestLayer* layer = AddLayer(p, "L", false);
    int pieces = 0;
    layer->onEvent = [&](uint32_t code) {
        if (code == kQoSEventSendDrained && pieces < 20) {
            ++pieces;
            std::string piece(1000, (char)('a' + pieces % 26));
            c->SendRaw(piece.data(), (int32_t)piece.size());
        }
    };
    NetAddress at = sink.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    ASSERT_TRUE(PumpUntil([&] { return sink.BytesReceived() >= 20000; }));
    EXPECT_EQ(20, pieces);
    EXPECT_EQ(20000u, sink.BytesReceived());
    std::string got = sink.Received();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ((char)('a' + (i + 1) % 26), got[(size_t)i * 1000]) << i;
}

TEST_F(ContextTest, ConnectTimeOutFailsMarksTheAddressAndCloses) {
    testpeers::Staller staller;
    ASSERT_TRUE(staller.Ok());
    AddressCache().SetResolver(&TwoAddresses, nullptr);
    uint32_t picked = 0;
    ASSERT_TRUE(AddressCache().PickAddress("peer.test", staller.Port(), &picked));
    ASSERT_EQ(testpeers::LoopbackAddress(), picked);

    ovSmartPtr& p = NewContext(kQoSActionHigh, kQoSEventConnectFailed | kQoSEventFatal);
    cpCQoSContext* c = Ctx(p);
    AddLayer(p, "top", false);
    AddLayer(p, "bottom", true);
    c->SetHostName("peer.test");
    NetAddress at = staller.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    // The loop does not run: from here the connect neither succeeds nor
    // fails. Just before 5 s nothing has happened.
    Advance(4900);
    EXPECT_EQ(kQoSStateConnecting, c->State());
    EXPECT_TRUE(c->ConnectTimerRunning());
    EXPECT_EQ(0, c->QueuedEventCount());
    Advance(100);
    EXPECT_EQ(kQoSStateFailed, c->State());
    EXPECT_FALSE(c->ConnectTimerRunning());
    EXPECT_EQ(1, c->QueuedEventCount());
    EXPECT_TRUE(journal.empty());  // posted, not yet delivered

    ASSERT_TRUE(PumpUntil([&] { return c->State() == kQoSStateClosed; }));
    EXPECT_EQ((Journal{"bottom:event:1", "top:event:1", "bottom:closed", "top:closed"}), journal);
    EXPECT_FALSE(c->ConnectedOnce());  // the late connect is not news
    EXPECT_EQ(nullptr, c->Socket());
    ASSERT_TRUE(AddressCache().PickAddress("peer.test", staller.Port(), &picked));
    EXPECT_NE(testpeers::LoopbackAddress(), picked);  // marked failed
    cpCAddressCache::AddressEntry entries[4];
    ASSERT_EQ(2, AddressCache().GetEntries("peer.test", staller.Port(), entries, 4));
    EXPECT_EQ(testpeers::LoopbackAddress(), entries[1].address);
    EXPECT_NE(0u, entries[1].failedAt);
}

TEST_F(ContextTest, ConnectTimeOutFollowsTheOption) {
    testpeers::Staller staller;
    ASSERT_TRUE(staller.Ok());
    ovSmartPtr& p = NewContext(kQoSActionHigh, kQoSEventConnectFailed);
    cpCQoSContext* c = Ctx(p);
    uint32_t seconds = 2;
    c->SetOption(kQoSOptionConnectTimeout, &seconds);
    NetAddress at = staller.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    Advance(1900);
    EXPECT_EQ(kQoSStateConnecting, c->State());
    Advance(100);
    EXPECT_EQ(kQoSStateFailed, c->State());
}

TEST_F(ContextTest, RefusedConnectWithMaskBitOneFailsAndCloses) {
    const uint16_t port = testpeers::RefusedPort();
    ASSERT_NE(0, port);
    ovSmartPtr& p = NewContext(kQoSActionHigh, kQoSEventConnectFailed);
    cpCQoSContext* c = Ctx(p);
    AddLayer(p, "L", false);
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(testpeers::LoopbackAddress(), port));
    const int32_t slot = c->Socket()->slot;
    ASSERT_TRUE(PumpUntil([&] { return c->State() == kQoSStateClosed; }));
    EXPECT_EQ((Journal{"L:event:1", "L:closed"}), journal);
    EXPECT_EQ(nullptr, manager->ContextAt(slot));
    EXPECT_FALSE(c->ConnectTimerRunning());
    EXPECT_EQ(1, c->RefCount());
}

TEST_F(ContextTest, RefusedConnectWithoutMaskBitOneStaysFailedAndRegistered) {
    const uint16_t port = testpeers::RefusedPort();
    ASSERT_NE(0, port);
    ovSmartPtr& p = NewContext(kQoSActionHigh, 0);
    cpCQoSContext* c = Ctx(p);
    AddLayer(p, "L", false);
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(testpeers::LoopbackAddress(), port));
    const int32_t slot = c->Socket()->slot;
    ASSERT_TRUE(PumpUntil([&] { return c->State() == kQoSStateFailed; }));
    EXPECT_FALSE(c->ConnectTimerRunning());
    PumpFor(10);  // the queued event is dropped by the mask
    EXPECT_EQ(kQoSStateFailed, c->State());
    EXPECT_EQ(0, c->QueuedEventCount());
    EXPECT_TRUE(journal.empty());
    ASSERT_NE(nullptr, c->Socket());
    EXPECT_EQ(static_cast<cpISocketContext*>(c), manager->ContextAt(slot));
    // Sending is refused now.
    EXPECT_EQ(OV_E_PLATFORM, c->SendRaw("x", 1));

    c->Close();  // the owner's turn
    EXPECT_EQ(kQoSStateClosed, c->State());
    EXPECT_EQ(nullptr, manager->ContextAt(slot));
    EXPECT_EQ((Journal{"L:closed"}), journal);
}

TEST_F(ContextTest, SixtyFifthContextHasNoSocketAndItsConnectFails) {
    testpeers::Sink sink;
    ASSERT_TRUE(sink.Ok());
    for (int i = 0; i < 64; ++i) {
        ovSmartPtr& p = NewContext(kQoSActionHigh, 0);
        ASSERT_NE(nullptr, Ctx(p)->Socket()) << i;
    }
    EXPECT_EQ(64, manager->RegisteredCount());

    ovSmartPtr& last = NewContext(kQoSActionHigh, kQoSEventFatal | kQoSEventConnectFailed);
    cpCQoSContext* c = Ctx(last);
    TestLayer* layer = AddLayer(last, "L", false);
    EXPECT_EQ(nullptr, c->Socket());
    EXPECT_EQ(kQoSStateReady, c->State());
    EXPECT_EQ(1, c->RefCount());  // no slot holds it
    EXPECT_EQ(OV_E_PLATFORM, c->Rearm());
    NetAddress at = sink.Address();
    EXPECT_TRUE(OV_FAILED(c->Connect(&at)));
    EXPECT_EQ(kQoSStateFailed, c->State());
    EXPECT_TRUE(journal.empty());  // the failure is an event, delivered later
    EXPECT_EQ(1, c->QueuedEventCount());

    Advance(100);  // the next timer-manager tick delivers it
    EXPECT_EQ((Journal{"L:event:32", "L:closed"}), journal);
    EXPECT_EQ(kQoSStateClosed, c->State());
    EXPECT_EQ(1, layer->closedCount);
    EXPECT_EQ(64, manager->RegisteredCount());  // the others are untouched
}

TEST_F(ContextTest, SocketlessContextLetGoInsideItsDeferredEventIsSafe) {
    // No slot holds this context and the timer calls it: only its own
    // reference keeps it alive while the owner lets go inside the event.
    for (int i = 0; i < 64; ++i)
        NewContext(kQoSActionHigh, 0);
    bool destroyed = false;
    ovSmartPtr owner;
    ASSERT_TRUE(owner.CreateInstance(OV_CLSID_QOS_CONTEXT));
    Face(owner)->Initialize(kQoSActionHigh, kQoSEventFatal, nullptr);
    ASSERT_EQ(nullptr, Ctx(owner)->Socket());
    TestLayer* layer = AddLayer(owner, "L", false, &destroyed);
    layer->onEvent = [&owner](uint32_t) { owner.Reset(); };
    EXPECT_TRUE(OV_FAILED(Face(owner)->Connect(testpeers::LoopbackAddress(), 9)));
    EXPECT_FALSE(destroyed);
    Advance(100);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ((Journal{"L:event:32", "L:closed"}), journal);
}

TEST_F(ContextTest, AcceptedSocketStartsConnectedAndMovesDataBothWays) {
    SockRecord* listener = nullptr;
    ASSERT_TRUE(OV_SUCCEEDED(SockCreate(&listener, kSockKindTcp)));
    NetAddress any = testpeers::LoopbackAt(0);
    ASSERT_TRUE(OV_SUCCEEDED(SockBind(listener, &any)));
    ASSERT_TRUE(OV_SUCCEEDED(SockListen(listener)));
    testpeers::Client client;
    ASSERT_TRUE(client.Connect(SockLocalPort(listener)));
    SockRecord* accepted = nullptr;
    ResultCode rc = SockAccept(listener, nullptr, &accepted);
    SockClose(listener);
    ASSERT_TRUE(OV_SUCCEEDED(rc));

    contexts.emplace_back();
    ovSmartPtr& p = contexts.back();
    ASSERT_TRUE(p.CreateInstance(OV_CLSID_QOS_CONTEXT));
    cpCQoSContext* c = Ctx(p);
    TestLayer* layer = AddLayer(p, "L", false);
    EXPECT_EQ(OV_S_PLATFORM, c->Initialize(kQoSActionHigh, 0, accepted));  // takes the record
    EXPECT_EQ(kQoSStateConnected, c->State());
    EXPECT_TRUE(c->ConnectedOnce());
    EXPECT_EQ(accepted, c->Socket());
    EXPECT_EQ(OV_E_PLATFORM, c->Connect(testpeers::LoopbackAddress(), 9));

    ASSERT_TRUE(client.SendAll("hello"));
    ASSERT_TRUE(PumpUntil([&] { return layer->received >= 5; }));
    EXPECT_EQ("hello", layer->seen.back());
    EXPECT_EQ(OV_S_PLATFORM, c->SendRaw("back", 4));
    EXPECT_EQ("back", client.RecvExactly(4));
    EXPECT_TRUE(journal.empty());  // an accepted socket is not "connected" news
}

TEST_F(ContextTest, HostUnreachableFailsTheConnectAndTellsTheLayersBottomUp) {
    testpeers::Staller staller;
    ASSERT_TRUE(staller.Ok());
    ovSmartPtr& p = NewContext(kQoSActionHigh, kQoSEventConnectFailed);
    cpCQoSContext* c = Ctx(p);
    AddLayer(p, "top", false);
    AddLayer(p, "bottom", true);
    NetAddress at = staller.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    c->OnHostUnreachable();  // as the socket manager calls it for code 9
    EXPECT_EQ(kQoSStateFailed, c->State());
    EXPECT_FALSE(c->ConnectTimerRunning());
    EXPECT_EQ((Journal{"bottom:unreachable", "top:unreachable"}), journal);
    ASSERT_TRUE(PumpUntil([&] { return c->State() == kQoSStateClosed; }));
    EXPECT_EQ(1, Count(journal, "bottom:event:1"));
    EXPECT_EQ(1, Count(journal, "top:closed"));
}

TEST_F(ContextTest, QueuedEventForAnotherSocketIsIgnored) {
    ovSmartPtr& p = NewContext(kQoSActionHigh, kQoSEventFatal);
    ovSmartPtr& other = NewContext(kQoSActionHigh, 0);
    cpCQoSContext* c = Ctx(p);
    AddLayer(p, "L", false);
    c->PostFatal();
    ASSERT_EQ(1, c->QueuedEventCount());
    c->DispatchQueuedEvent(Ctx(other)->Socket());
    c->DispatchQueuedEvent(nullptr);
    EXPECT_EQ(1, c->QueuedEventCount());
    EXPECT_TRUE(journal.empty());
    c->DispatchQueuedEvent(c->Socket());
    EXPECT_EQ(0, c->QueuedEventCount());
    EXPECT_EQ((Journal{"L:event:32", "L:closed"}), journal);
    c->DispatchQueuedEvent(nullptr);  // empty queue, closed: nothing
    PumpFor(3);                       // the posted message finds the slot empty
    EXPECT_EQ(2u, journal.size());
}

// --- Events -----------------------------------------------------------------------------------

TEST_F(ContextTest, ReceiveIdleIsPostedOnceOnTheSixthTickUntilDataArrives) {
    // The peer answers one byte for every byte we send.
    std::vector<testpeers::Step> steps;
    for (int i = 0; i < 4; ++i) {
        steps.push_back(testpeers::Step::Expect(1));
        steps.push_back(testpeers::Step::Send("x"));
    }
    testpeers::Scripted peer(steps);
    ASSERT_TRUE(peer.Ok());
    ovSmartPtr& p = NewContext(kQoSActionHigh, kQoSEventReceiveIdle);
    cpCQoSContext* c = Ctx(p);
    TestLayer* layer = AddLayer(p, "L", false);
    uint32_t limit = 5;
    c->SetOption(kQoSOptionIdleLimit, &limit);
    NetAddress at = peer.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    ASSERT_TRUE(PumpUntil([&] { return c->ConnectedOnce(); }));

    cpQoSTally tally = {0, 0};
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        journal.clear();
        for (int tick = 1; tick <= 5; ++tick)
            c->Tick(&tally);
        EXPECT_EQ(0, c->QueuedEventCount());
        c->Tick(&tally);  // the sixth tick after the last receive
        EXPECT_EQ(1, c->QueuedEventCount());
        ASSERT_TRUE(PumpUntil([&] { return Count(journal, "L:event:4") == 1; }));
        for (int tick = 7; tick <= 15; ++tick)
            c->Tick(&tally);
        EXPECT_EQ(0, c->QueuedEventCount());
        PumpFor(3);
        EXPECT_EQ(1, Count(journal, "L:event:4"));
        // Idle does not close.
        EXPECT_TRUE(c->State() == kQoSStateConnected || c->State() == kQoSStateIdle);

        // Data arrives: the count starts again.
        const int before = layer->deliveries;
        c->SendRaw("?", 1);
        ASSERT_TRUE(PumpUntil([&] { return layer->deliveries > before; }));
        EXPECT_EQ(0u, c->IdleTicks());
    }
    EXPECT_EQ(15u * 2u, c->AgeTicks());
}

TEST_F(ContextTest, ReceiveIdleEventIsDroppedWhenTheLimitWasRaisedMeanwhile) {
    testpeers::Staller staller;
    ASSERT_TRUE(staller.Ok());
    ovSmartPtr& p = NewContext(kQoSActionHigh, kQoSEventReceiveIdle);
    cpCQoSContext* c = Ctx(p);
    AddLayer(p, "L", false);
    uint32_t limit = 2;
    c->SetOption(kQoSOptionIdleLimit, &limit);
    NetAddress at = staller.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    ASSERT_TRUE(PumpUntil([&] { return c->ConnectedOnce(); }));
    journal.clear();
    cpQoSTally tally = {0, 0};
    for (int tick = 0; tick < 3; ++tick)
        c->Tick(&tally);
    ASSERT_EQ(1, c->QueuedEventCount());
    limit = 100;
    c->SetOption(kQoSOptionIdleLimit, &limit);
    ASSERT_TRUE(PumpUntil([&] { return c->QueuedEventCount() == 0; }));
    PumpFor(2);
    EXPECT_TRUE(journal.empty());

    // Without bit 4 nothing is even posted.
    c->RemoveEvents(kQoSEventReceiveIdle);
    for (int tick = 0; tick < 200; ++tick)
        c->Tick(&tally);
    EXPECT_EQ(0, c->QueuedEventCount());
}

TEST_F(ContextTest, FatalEventIsDeliveredWhenMaskedInAndClosesEitherWay) {
    testpeers::Sink sink;
    ASSERT_TRUE(sink.Ok());
    for (uint32_t mask : {(uint32_t)kQoSEventFatal, 0u}) {
        SCOPED_TRACE(mask);
        journal.clear();
        ovSmartPtr& p = NewContext(kQoSActionHigh, mask);
        cpCQoSContext* c = Ctx(p);
        AddLayer(p, "L", false);
        NetAddress at = sink.Address();
        ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
        ASSERT_TRUE(PumpUntil([&] { return c->ConnectedOnce(); }));
        EXPECT_EQ(OV_S_PLATFORM, c->PostFatal());
        ASSERT_TRUE(PumpUntil([&] { return c->State() == kQoSStateClosed; }));
        const Journal expected = mask ? Journal{"L:connected", "L:event:32", "L:closed"}
                                      : Journal{"L:connected", "L:closed"};
        EXPECT_EQ(expected, journal);
    }
}

TEST_F(ContextTest, EventWalkStopsAtTheFirstLayerAnsweringFalse) {
    const uint16_t port = testpeers::RefusedPort();
    ovSmartPtr& p = NewContext(kQoSActionHigh, kQoSEventConnectFailed);
    cpCQoSContext* c = Ctx(p);
    AddLayer(p, "top", false);
    TestLayer* bottom = AddLayer(p, "bottom", true);
    bottom->eventAnswer = false;
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(testpeers::LoopbackAddress(), port));
    ASSERT_TRUE(PumpUntil([&] { return c->State() == kQoSStateClosed; }));
    // Closing, though, reaches every layer.
    EXPECT_EQ((Journal{"bottom:event:1", "bottom:closed", "top:closed"}), journal);
}

// --- Receiving --------------------------------------------------------------------------------

TEST_F(ContextTest, BottomLayerConsuming10Of25BytesSeesTheRestAgainWithNewData) {
    std::vector<testpeers::Step> steps = {testpeers::Step::Send("ABCDEFGHIJKLMNOPQRSTUVWXY"),
                                          testpeers::Step::Expect(1),
                                          testpeers::Step::Send("12345")};
    testpeers::Scripted peer(steps);
    ASSERT_TRUE(peer.Ok());
    ovSmartPtr& p = NewContext(kQoSActionHigh, 0);
    cpCQoSContext* c = Ctx(p);
    AddLayer(p, "top", false);
    TestLayer* bottom = AddLayer(p, "bottom", true);
    bool tookTen = false;
    // Waits until the 25 bytes are there, takes 10, then takes everything.
    bottom->consume = [&](const std::string& s) -> int32_t {
        if (!tookTen) {
            if (s.size() < 25)
                return 0;
            tookTen = true;
            return 10;
        }
        return (int32_t)s.size();
    };
    NetAddress at = peer.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    ASSERT_TRUE(PumpUntil([&] { return tookTen; }));
    EXPECT_EQ("ABCDEFGHIJKLMNOPQRSTUVWXY", bottom->seen.back());
    EXPECT_EQ(15, c->ReceivedLength());
    const size_t deliveries = bottom->seen.size();
    PumpFor(3);
    EXPECT_EQ(deliveries, bottom->seen.size());  // no new data, no delivery

    c->SendRaw("!", 1);
    ASSERT_TRUE(PumpUntil([&] { return bottom->received >= 30; }));
    EXPECT_EQ("KLMNOPQRSTUVWXY12345", bottom->seen.back());
    EXPECT_EQ(0, c->ReceivedLength());
    // The storage stays for the next reads (the first 1024 bytes sufficed).
    EXPECT_EQ(1024, c->ReceiveCapacity());
}

class BadConsumption : public ContextTest, public ::testing::WithParamInterface<int> {};

TEST_P(BadConsumption, ClosesTheContext) {
    std::vector<testpeers::Step> steps = {testpeers::Step::Send("some bytes")};
    testpeers::Scripted peer(steps);
    ASSERT_TRUE(peer.Ok());
    ovSmartPtr& p = NewContext(kQoSActionHigh, 0);
    cpCQoSContext* c = Ctx(p);
    TestLayer* layer = AddLayer(p, "L", false);
    const int mode = GetParam();
    layer->consume = [mode](const std::string& s) -> int32_t {
        return mode == 0 ? (int32_t)s.size() + 1 : -1;
    };
    NetAddress at = peer.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    ASSERT_TRUE(PumpUntil([&] { return c->State() == kQoSStateClosed; }));
    EXPECT_EQ(1, layer->closedCount);
    EXPECT_TRUE(peer.WaitClientCloses(1, 5000));
}

INSTANTIATE_TEST_SUITE_P(MoreThanGivenOrNegative, BadConsumption, ::testing::Values(0, 1));

TEST_F(ContextTest, PeerCloseClosesOnceAndFreesTheSlot) {
    testpeers::Closer closer;
    ASSERT_TRUE(closer.Ok());
    ovSmartPtr& p = NewContext(kQoSActionHigh, 0x3F);
    cpCQoSContext* c = Ctx(p);
    TestLayer* top = AddLayer(p, "top", false);
    TestLayer* bottom = AddLayer(p, "bottom", true);
    NetAddress at = closer.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    const int32_t slot = c->Socket()->slot;
    ASSERT_TRUE(PumpUntil([&] { return c->State() == kQoSStateClosed; }));
    EXPECT_EQ(1, top->closedCount);
    EXPECT_EQ(1, bottom->closedCount);
    EXPECT_LT(IndexIn(journal, "bottom:closed"), IndexIn(journal, "top:closed"));
    EXPECT_EQ(nullptr, manager->ContextAt(slot));
    EXPECT_EQ(1, c->RefCount());
    c->Close();
    EXPECT_EQ(1, top->closedCount);  // once only
    EXPECT_EQ(OV_E_PLATFORM, c->SendRaw("late", 4));
    EXPECT_EQ(OV_E_PLATFORM, c->Rearm());
}

TEST_F(ContextTest, LayerlessContextRunsFramedHandlersOfItsOwn) {
    testpeers::FrameAnswererOptions options;
    options.greeting = testpeers::BuildFrame(768, 131, std::string("\x07zz", 3)) +
                       testpeers::BuildFrame(768, 200, "unknown");
    testpeers::FrameAnswerer agent({}, options);
    ASSERT_TRUE(agent.Ok());
    ovSmartPtr& p = NewContext(kQoSActionHigh, 0);
    cpCQoSContext* c = Ctx(p);
    struct Seen {
        int calls = 0;
        int32_t length = 0;
        uint8_t first = 0;
    } seen;
    auto handler = [](const uint8_t* payload, int32_t length, void* user) {
        Seen* s = static_cast<Seen*>(user);
        ++s->calls;
        s->length = length;
        s->first = length > 0 ? payload[0] : 0;
    };
    EXPECT_EQ(OV_S_PLATFORM, c->RegisterHandler(768, 131, handler, &seen));
    NetAddress at = agent.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    // The known frame is handled; the unknown one closes the connection.
    ASSERT_TRUE(PumpUntil([&] { return c->State() == kQoSStateClosed; }));
    EXPECT_EQ(1, seen.calls);
    EXPECT_EQ(10, seen.length);  // 3 bytes padded so that 14 + L is 24
    EXPECT_EQ(7, seen.first);
}

// --- Budgets per tick ----------------------------------------------------------------------------

TEST_F(ContextTest, OwnReceiveBudgetPacesAFloodTickByTick) {
    testpeers::Flood flood;
    ASSERT_TRUE(flood.Ok());
    ovSmartPtr& p = NewContext(kQoSActionOwnReceiveOnly, 0);
    cpCQoSContext* c = Ctx(p);
    TestLayer* layer = AddLayer(p, "L", false);
    layer->keepDeliveries = false;
    const uint32_t limit = 393216;
    g_now.milliseconds = 600;  // the manager's tick is 400 ms away
    ASSERT_EQ(OV_S_PLATFORM, c->SetActionLimit(kQoSDirectionReceive, &limit));
    cpCQoSOwnContextAction* six = static_cast<cpCQoSOwnContextAction*>(c->Action());
    NetAddress at = flood.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    ASSERT_TRUE(PumpUntil([&] { return c->ConnectedOnce() && six->ReceiveBlockedFlag(); }));

    // Before the first tick only the share of the window left moves (40 %),
    // and the held-back socket does not keep the loop awake.
    const uint64_t first = limit * 4 / 10;
    uint32_t wakes = PfMessageLoopWakeCount();
    PumpFor(20);
    EXPECT_EQ(first, layer->received);
    EXPECT_LT(PfMessageLoopWakeCount() - wakes, 200u);

    for (uint64_t tick = 1; tick <= 4; ++tick) {
        SCOPED_TRACE(tick);
        manager->Tick();
        ASSERT_TRUE(PumpUntil([&] { return six->ReceiveBlockedFlag(); }));
        EXPECT_EQ(first + limit * tick, layer->received);
        wakes = PfMessageLoopWakeCount();
        PumpFor(10);
        EXPECT_EQ(first + limit * tick, layer->received);  // nothing beyond the budget
        EXPECT_LT(PfMessageLoopWakeCount() - wakes, 100u);
    }
    EXPECT_EQ(0, c->ReceivedLength());
}

// The socket layer reads ahead in blocks far larger than a second's budget
// here, so after most ticks bytes wait in user space while the kernel may
// already hold the peer's close. Every byte must still arrive, in order and
// paced by the budget, with the close after the last of them, and no pause
// may keep the loop awake.
TEST_F(ContextTest, ThrottledReceiveGetsEveryByteThroughTheReadAheadAndTheCloseLast) {
    testpeers::FloodOptions options;
    options.total = 700000;
    testpeers::Flood flood(options);
    ASSERT_TRUE(flood.Ok());
    ovSmartPtr& p = NewContext(kQoSActionOwnReceiveOnly, 0);
    cpCQoSContext* c = Ctx(p);
    TestLayer* layer = AddLayer(p, "L", false);
    layer->keepDeliveries = false;
    uint64_t offset = 0;
    bool inOrder = true;
    uint64_t receivedAtClose = 0;
    layer->consume = [&](const std::string& bytes) {
        for (size_t i = 0; i < bytes.size() && inOrder; ++i)
            inOrder = (uint8_t)bytes[i] == testpeers::FloodByte(offset + i);
        offset += bytes.size();
        return (int32_t)bytes.size();
    };
    layer->onClosed = [&] { receivedAtClose = layer->received; };
    // Not a multiple of the read piece nor of the read-ahead block.
    const uint32_t limit = 65000;
    g_now.milliseconds = 600;  // a first share of 26,000 before the tick
    const uint64_t first = 26000;
    ASSERT_EQ(OV_S_PLATFORM, c->SetActionLimit(kQoSDirectionReceive, &limit));
    cpCQoSOwnContextAction* six = static_cast<cpCQoSOwnContextAction*>(c->Action());
    NetAddress at = flood.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    ASSERT_TRUE(PumpUntil([&] { return c->ConnectedOnce() && six->ReceiveBlockedFlag(); }));
    EXPECT_EQ(first, layer->received);

    int pausesWithHeldBytes = 0;
    const uint64_t ticksNeeded = options.total / limit + 1;
    for (uint64_t tick = 1; tick <= ticksNeeded + 3 && layer->closedCount == 0; ++tick) {
        SCOPED_TRACE(tick);
        manager->Tick();
        ASSERT_TRUE(PumpUntil([&] { return six->ReceiveBlockedFlag() || layer->closedCount > 0; }));
        if (layer->closedCount > 0)
            break;
        EXPECT_EQ(first + limit * tick, layer->received);
        if (c->Socket() != nullptr && SockReadAheadBytes(c->Socket()) > 0)
            ++pausesWithHeldBytes;
        // Paused with bytes held: nothing moves and the loop sleeps.
        const uint32_t wakes = PfMessageLoopWakeCount();
        PumpFor(5);
        EXPECT_EQ(first + limit * tick, layer->received);
        EXPECT_EQ(0, layer->closedCount);
        EXPECT_LT(PfMessageLoopWakeCount() - wakes, 40u);
    }
    ASSERT_TRUE(PumpUntil([&] { return layer->closedCount > 0; }));
    EXPECT_EQ(1, layer->closedCount);
    EXPECT_EQ(options.total, layer->received);
    EXPECT_EQ(options.total, receivedAtClose);
    EXPECT_TRUE(inOrder);
    EXPECT_GT(pausesWithHeldBytes, 0);
}

TEST_F(ContextTest, OwnSendBudgetPacesAQueuedBlockTickByTick) {
    testpeers::Sink sink;
    ASSERT_TRUE(sink.Ok());
    ovSmartPtr& p = NewContext(kQoSActionOwnSendOnly, kQoSEventSendDrained);
    cpCQoSContext* c = Ctx(p);
    AddLayer(p, "L", false);
    const uint32_t limit = 10000;
    g_now.milliseconds = 600;  // the manager's tick is 400 ms away
    c->SetActionLimit(kQoSDirectionSend, &limit);
    std::string block(25000, 'b');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = (char)('a' + i % 26);
    ASSERT_EQ(OV_S_PLATFORM, c->SendRaw(block.data(), (int32_t)block.size()));
    NetAddress at = sink.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    ASSERT_TRUE(PumpUntil([&] { return c->ConnectedOnce() && sink.BytesReceived() >= 4000; }));
    PumpFor(10);
    EXPECT_EQ(4000u, sink.BytesReceived());  // before the first tick: 40 %
    EXPECT_EQ(0, Count(journal, "L:event:2"));

    const uint64_t expected[3] = {14000, 24000, 25000};
    for (int tick = 0; tick < 3; ++tick) {
        SCOPED_TRACE(tick);
        manager->Tick();
        ASSERT_TRUE(PumpUntil([&] { return sink.BytesReceived() >= expected[tick]; }));
        PumpFor(5);
        EXPECT_EQ(expected[tick], sink.BytesReceived());
    }
    EXPECT_EQ(block, sink.Received());
    EXPECT_GE(Count(journal, "L:event:2"), 1);
}

TEST_F(ContextTest, LibraryWideBudgetIsSharedByTheContexts) {
    // Two contexts on the manager's budget: together they never receive
    // more than what is left of the second.
    testpeers::Flood flood;
    ASSERT_TRUE(flood.Ok());
    ovSmartPtr& p1 = NewContext(kQoSActionServerReceiveOnly, 0);
    ovSmartPtr& p2 = NewContext(kQoSActionServer, 0);
    TestLayer* l1 = AddLayer(p1, "one", false);
    TestLayer* l2 = AddLayer(p2, "two", false);
    l1->keepDeliveries = false;
    l2->keepDeliveries = false;
    NetAddress at = flood.Address();
    ASSERT_EQ(OV_S_PLATFORM, Face(p1)->Connect(&at));
    ASSERT_EQ(OV_S_PLATFORM, Face(p2)->Connect(&at));
    ASSERT_TRUE(PumpUntil([&] { return Ctx(p1)->ConnectedOnce() && Ctx(p2)->ConnectedOnce(); }));
    PumpFor(5);
    EXPECT_EQ(0u, l1->received + l2->received);  // the manager has not ticked

    manager->Tick();
    // Leave 300,000 bytes of this second's budget.
    manager->TakeReceiveBudget(manager->ReceiveBudget() - 300000);
    auto a1 = static_cast<cpCQoSLowContextAction*>(Ctx(p1)->Action());
    auto a2 = static_cast<cpCQoSLowContextAction*>(Ctx(p2)->Action());
    ASSERT_TRUE(PumpUntil([&] { return a1->ReceiveBlockedFlag() && a2->ReceiveBlockedFlag(); }));
    PumpFor(5);
    EXPECT_EQ(300000u, l1->received + l2->received);
    EXPECT_EQ(manager->ReceiveBudget(), manager->ReceiveUsed());
}

// --- The receive bound
// ------------------------------------------------------------------------------

class ReceiveBound : public ContextTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(ReceiveBound, PeerThatNeverStopsSendingIsClosedAtTheBound) {
    testpeers::Flood flood;
    ASSERT_TRUE(flood.Ok());
    ovSmartPtr& p = NewContext(GetParam(), 0);
    cpCQoSContext* c = Ctx(p);
    TestLayer* layer = AddLayer(p, "L", false);
    layer->keepDeliveries = false;
    layer->consume = [](const std::string&) { return 0; };  // takes nothing, ever
    if (GetParam() == kQoSActionOwn) {
        const uint32_t lots = 1u << 30;
        c->SetActionLimit(kQoSDirectionReceive, &lots);
        cpQoSTally tally = {0, 0};
        c->Tick(&tally);
    }
    manager->Tick();
    NetAddress at = flood.Address();
    ASSERT_EQ(OV_S_PLATFORM, c->Connect(&at));
    ASSERT_TRUE(PumpUntil([&] { return c->State() == kQoSStateClosed; }, 1000));
    EXPECT_EQ(cpCQoSContext::kReceiveBufferLimit, layer->maxLength);
    EXPECT_LE(c->ReceiveCapacity(), cpCQoSContext::kReceiveBufferLimit);
    EXPECT_EQ(1, layer->closedCount);
    EXPECT_EQ(nullptr, c->Socket());
    EXPECT_TRUE(flood.WaitClientCloses(1, 5000));
}

INSTANTIATE_TEST_SUITE_P(Actions, ReceiveBound,
                         ::testing::Values(kQoSActionHigh, kQoSActionServer, kQoSActionOwn));

// --- Lifetime: owners letting go inside callbacks
// ----------------------------------------------------

TEST_F(ContextTest, LayerDropsTheOwnersLastReferenceInsideOnData) {
    std::vector<testpeers::Step> steps = {testpeers::Step::Send("bye")};
    testpeers::Scripted peer(steps);
    ASSERT_TRUE(peer.Ok());
    bool destroyed = false;
    ovSmartPtr owner;
    ASSERT_TRUE(owner.CreateInstance(OV_CLSID_QOS_CONTEXT));
    Face(owner)->Initialize(kQoSActionHigh, 0, nullptr);
    TestLayer* layer = AddLayer(owner, "L", false, &destroyed);
    layer->consume = [&](const std::string& s) -> int32_t {
        // Close (drops the slot's reference) and let go of ours: nobody
        // else holds the context now.
        Face(owner)->Close();
        owner.Reset();
        return (int32_t)s.size();
    };
    cpCQoSContext* raw = Ctx(owner);
    NetAddress at = peer.Address();
    ASSERT_EQ(OV_S_PLATFORM, raw->Connect(&at));
    ASSERT_TRUE(PumpUntil([&] { return destroyed; }));
    EXPECT_TRUE(owner.IsEmpty());
    EXPECT_EQ(0, manager->RegisteredCount());
}

TEST_F(ContextTest, ContextClosedInsideItsOwnCallbackLivesInTheCollector) {
    const uint16_t port = testpeers::RefusedPort();
    bool destroyed = false;
    ovSmartPtr owner;
    ASSERT_TRUE(owner.CreateInstance(OV_CLSID_QOS_CONTEXT));
    Face(owner)->Initialize(kQoSActionHigh, kQoSEventConnectFailed, nullptr);
    TestLayer* layer = AddLayer(owner, "L", false, &destroyed);
    ovCGarbageCollector* gc = OpnGarbageCollector();
    ASSERT_NE(nullptr, gc);
    gc->SetClock(&FakeSeconds);
    layer->onEvent = [&](uint32_t code) {
        if (code != kQoSEventConnectFailed)
            return;
        // The owner's pattern: copy, close, hand over, let go.
        ovSmartPtr copy = owner;
        Face(copy)->Close();
        gc->DeferRelease(copy);
        owner.Reset();
    };
    ASSERT_EQ(OV_S_PLATFORM, Face(owner)->Connect(testpeers::LoopbackAddress(), port));
    ASSERT_TRUE(PumpUntil([&] { return owner.IsEmpty(); }));
    EXPECT_EQ((Journal{"L:event:1", "L:closed"}), journal);  // closed once
    EXPECT_FALSE(destroyed);                                 // the collector holds it
    EXPECT_EQ(1, gc->PendingCount());
    g_gcSeconds += 3;
    gc->Collect();
    EXPECT_FALSE(destroyed);
    g_gcSeconds += 1;
    gc->Collect();
    EXPECT_TRUE(destroyed);
    gc->SetClock(nullptr);
}

TEST_F(ContextTest, OwnerLetsGoInsideOnConnectedOnClosedAndTheDrainedEvent) {
    testpeers::Sink sink;
    ASSERT_TRUE(sink.Ok());
    NetAddress at = sink.Address();
    for (int where = 0; where < 3; ++where) {
        SCOPED_TRACE(where);
        journal.clear();
        bool destroyed = false;
        ovSmartPtr owner;
        ASSERT_TRUE(owner.CreateInstance(OV_CLSID_QOS_CONTEXT));
        Face(owner)->Initialize(kQoSActionHigh, kQoSEventSendDrained, nullptr);
        TestLayer* below = AddLayer(owner, "below", true);
        TestLayer* layer = AddLayer(owner, "L", false, &destroyed);
        auto letGo = [&owner] {
            if (owner.IsEmpty())
                return;
            ovSmartPtr copy = owner;
            owner.Reset();
            Face(copy)->Close();  // the last reference goes with `copy`
        };
        if (where == 0) {
            layer->onConnected = letGo;
            Face(owner)->SendRaw("never sent", 10);
        } else if (where == 1) {
            below->onConnected = [&] { Face(owner)->SendRaw("data", 4); };
            layer->onEvent = [&](uint32_t code) {
                if (code == kQoSEventSendDrained)
                    letGo();
            };
        } else {
            layer->onClosed = [&owner] { owner.Reset(); };
        }
        ASSERT_EQ(OV_S_PLATFORM, Face(owner)->Connect(&at));
        if (where == 2) {
            ASSERT_TRUE(PumpUntil([&] { return Ctx(owner)->ConnectedOnce(); }));
            // Connected is not accepted yet: the sink drops only what it holds.
            ASSERT_TRUE(sink.WaitConnections(where + 1, 10000));
            sink.DropAll(false);
        }
        ASSERT_TRUE(PumpUntil([&] { return destroyed; }));
        EXPECT_EQ(1, Count(journal, "L:closed"));
        EXPECT_EQ(0, manager->RegisteredCount());
    }
}

}  // namespace
