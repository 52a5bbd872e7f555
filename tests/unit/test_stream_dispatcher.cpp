// Frames, the stream dispatcher, the layer base and the agent layer without
// sockets: bytes are fed by hand and a scripted context records what the
// layers pass down.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/nwCAgentLayer.h"
#include "opn/opeerqos/nwCApplicationStack.h"
#include "opn/opeerqos/nwCStreamDispatcher.h"
#include "opn/opeerqos/nwFrame.h"
#include "opn/opeerqos/ovIAgentLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"

namespace {

typedef std::basic_string<uint8_t> Bytes;

Bytes Frame(uint16_t category, uint16_t message, const Bytes& payload) {
    const int32_t size = (int32_t)payload.size();
    Bytes frame((size_t)nwFrameSize(size), 0);
    nwWriteFrameHeader(&frame[0], category, message, (uint32_t)nwFramePaddedPayload(size));
    if (size > 0)
        memcpy(&frame[kFrameHeaderSize], payload.data(), payload.size());
    return frame;
}

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size, 0);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = (uint8_t)(seed + i * 7);
    return bytes;
}

// What a framed handler saw.
struct Seen {
    int tag;
    Bytes payload;
};

struct Recorder {
    std::vector<Seen> seen;
    nwCStreamDispatcher* stopOnCall = nullptr;
    nwCStreamDispatcher* addOnCall = nullptr;
};

struct HandlerUser {
    Recorder* recorder;
    int tag;
};

void RecordFrame(const uint8_t* payload, int32_t length, void* user) {
    HandlerUser* u = static_cast<HandlerUser*>(user);
    u->recorder->seen.push_back({u->tag, Bytes(payload, payload + length)});
    if (u->recorder->stopOnCall)
        u->recorder->stopOnCall->Stop();
}

// Feeds `stream` in pieces the way a context does: the unconsumed tail of
// every delivery goes in front of the next piece. Returns the bytes still
// held at the end, or -1 when a delivery failed.
int64_t Feed(nwCStreamDispatcher* dispatcher, const Bytes& stream,
             const std::vector<size_t>& cuts) {
    Bytes held;
    size_t at = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(stream.size());
    for (size_t end : ends) {
        held.append(stream, at, end - at);
        at = end;
        if (held.empty())
            continue;
        const int32_t consumed = dispatcher->DispatchAll(held.data(), (int32_t)held.size());
        if (consumed < 0 || consumed > (int32_t)held.size())
            return -1;
        held.erase(0, (size_t)consumed);
    }
    return (int64_t)held.size();
}

}  // namespace

// ---------------------------------------------------------------- frames

TEST(FrameFormat, PaddingSizes) {
    EXPECT_EQ(10, nwFramePaddedPayload(4));
    EXPECT_EQ(24, nwFrameSize(4));
    EXPECT_EQ(2, nwFramePaddedPayload(0));
    EXPECT_EQ(16, nwFrameSize(0));
    EXPECT_EQ(602, nwFramePaddedPayload(298 * 2 + 4));
    EXPECT_EQ(616, nwFrameSize(298 * 2 + 4));
    EXPECT_EQ(nwFrameSize(kFrameMaxPayload) % 8, 0);
}

TEST(FrameFormat, EveryFrameIsTheSmallestMultipleOfEight) {
    for (int32_t size = 0; size <= 200; ++size) {
        const int32_t padded = nwFramePaddedPayload(size);
        EXPECT_EQ(0, (kFrameHeaderSize + padded) % 8) << size;
        EXPECT_GE(padded, size) << size;
        EXPECT_LT(padded - size, 8) << size;
    }
}

TEST(FrameFormat, HeaderIsLittleEndianWithZeroFiller) {
    uint8_t header[kFrameHeaderSize];
    memset(header, 0xEE, sizeof(header));
    nwWriteFrameHeader(header, 0x0300, 0x009A, 0x01020304u);
    const uint8_t expected[kFrameHeaderSize] = {0x00, 0x03, 0x9A, 0x00, 0,    0,    0,
                                                0,    0,    0,    0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(0, memcmp(expected, header, sizeof(header)));
    const nwFrameHeader read = nwReadFrameHeader(header);
    EXPECT_EQ(768, read.category);
    EXPECT_EQ(154, read.message);
    EXPECT_EQ(0x01020304u, read.payloadLength);
}

TEST(FrameHelpers, AllocFrameIsZeroedAndBounded) {
    uint8_t* payload = nwCApplicationStack::AllocFrame(600);
    ASSERT_NE(nullptr, payload);
    for (int32_t i = -kFrameHeaderSize; i < 602; ++i)
        ASSERT_EQ(0, payload[i]) << i;
    nwCApplicationStack::FreeFrame(payload);
    EXPECT_EQ(nullptr, nwCApplicationStack::AllocFrame(-1));
    EXPECT_EQ(nullptr, nwCApplicationStack::AllocFrame(kFrameMaxPayload + 1));
    nwCApplicationStack::FreeFrame(nullptr);
}

// ------------------------------------------------------------ dispatcher

class DispatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(OV_S_NETWORK, d.AddHandler(768, 131, &RecordFrame, &replyUser));
        ASSERT_EQ(OV_S_NETWORK, d.AddHandler(256, 7, &RecordFrame, &engineUser));
    }
    nwCStreamDispatcher d;
    Recorder rec;
    HandlerUser replyUser{&rec, 1};
    HandlerUser engineUser{&rec, 2};
};

TEST_F(DispatcherTest, WaitsForAWholeFrame) {
    const Bytes frame = Frame(768, 131, Pattern(4, 1));
    EXPECT_EQ(0, d.DispatchOne(frame.data(), 0));
    EXPECT_EQ(0, d.DispatchOne(nullptr, 10));
    EXPECT_EQ(0, d.DispatchOne(frame.data(), 13));
    EXPECT_EQ(0, d.DispatchOne(frame.data(), 14));
    EXPECT_EQ(0, d.DispatchOne(frame.data(), 23));
    EXPECT_TRUE(rec.seen.empty());
    EXPECT_EQ(24, d.DispatchOne(frame.data(), 24));
    ASSERT_EQ(1u, rec.seen.size());
    EXPECT_EQ(1, rec.seen[0].tag);
    // The handler gets L, padding included, not the real size.
    EXPECT_EQ(10u, rec.seen[0].payload.size());
    EXPECT_EQ(Pattern(4, 1), rec.seen[0].payload.substr(0, 4));
    EXPECT_EQ(Bytes(6, 0), rec.seen[0].payload.substr(4));
}

TEST_F(DispatcherTest, MatchesCategoryAndMessageTogether) {
    Bytes stream = Frame(256, 7, Bytes()) + Frame(768, 131, Bytes());
    EXPECT_EQ(32, d.DispatchAll(stream.data(), (int32_t)stream.size()));
    ASSERT_EQ(2u, rec.seen.size());
    EXPECT_EQ(2, rec.seen[0].tag);
    EXPECT_EQ(1, rec.seen[1].tag);
    // Right message in the wrong category, and the other way round.
    const Bytes wrongCategory = Frame(256, 131, Bytes());
    const Bytes wrongMessage = Frame(768, 7, Bytes());
    EXPECT_EQ(-1, d.DispatchOne(wrongCategory.data(), (int32_t)wrongCategory.size()));
    EXPECT_EQ(-1, d.DispatchOne(wrongMessage.data(), (int32_t)wrongMessage.size()));
    EXPECT_EQ(2u, rec.seen.size());
}

TEST_F(DispatcherTest, FirstRegisteredHandlerWins) {
    HandlerUser second{&rec, 3};
    ASSERT_EQ(OV_S_NETWORK, d.AddHandler(768, 131, &RecordFrame, &second));
    const Bytes frame = Frame(768, 131, Bytes());
    EXPECT_EQ(16, d.DispatchAll(frame.data(), (int32_t)frame.size()));
    ASSERT_EQ(1u, rec.seen.size());
    EXPECT_EQ(1, rec.seen[0].tag);
    EXPECT_EQ(3, d.HandlerCount());
}

TEST_F(DispatcherTest, TwoAndAHalfFramesInOneDelivery) {
    const Bytes a = Frame(768, 131, Pattern(4, 10));
    const Bytes b = Frame(256, 7, Pattern(600, 20));
    const Bytes c = Frame(768, 131, Pattern(30, 30));
    const size_t half = c.size() / 2;
    Bytes first = a + b + c.substr(0, half);
    EXPECT_EQ((int32_t)(a.size() + b.size()), d.DispatchAll(first.data(), (int32_t)first.size()));
    ASSERT_EQ(2u, rec.seen.size());
    EXPECT_EQ(Pattern(600, 20), rec.seen[1].payload.substr(0, 600));
    // The half frame is offered again together with the rest.
    Bytes second = c.substr(0, half);
    EXPECT_EQ(0, d.DispatchAll(second.data(), (int32_t)second.size()));
    second += c.substr(half);
    EXPECT_EQ((int32_t)c.size(), d.DispatchAll(second.data(), (int32_t)second.size()));
    ASSERT_EQ(3u, rec.seen.size());
    EXPECT_EQ(Pattern(30, 30), rec.seen[2].payload.substr(0, 30));
}

TEST_F(DispatcherTest, EveryCutOfEveryFrameGivesTheSameMessages) {
    const Bytes stream =
        Frame(768, 131, Pattern(4, 1)) + Frame(256, 7, Bytes()) + Frame(256, 7, Pattern(600, 2));
    std::vector<Seen> whole;
    {
        ASSERT_EQ(0, Feed(&d, stream, {}));
        whole = rec.seen;
        ASSERT_EQ(3u, whole.size());
    }
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        rec.seen.clear();
        ASSERT_EQ(0, Feed(&d, stream, {cut})) << cut;
        ASSERT_EQ(whole.size(), rec.seen.size()) << cut;
        for (size_t i = 0; i < whole.size(); ++i) {
            EXPECT_EQ(whole[i].tag, rec.seen[i].tag) << cut;
            EXPECT_EQ(whole[i].payload, rec.seen[i].payload) << cut;
        }
    }
    // And one byte at a time.
    std::vector<size_t> everyByte;
    for (size_t cut = 1; cut < stream.size(); ++cut)
        everyByte.push_back(cut);
    rec.seen.clear();
    EXPECT_EQ(0, Feed(&d, stream, everyByte));
    EXPECT_EQ(3u, rec.seen.size());
}

TEST_F(DispatcherTest, UnknownFrameFailsTheWholeDelivery) {
    const Bytes stream = Frame(768, 131, Bytes()) + Frame(768, 200, Pattern(8, 3));
    EXPECT_EQ(-1, d.DispatchAll(stream.data(), (int32_t)stream.size()));
    // The known frame in front still ran.
    EXPECT_EQ(1u, rec.seen.size());
    EXPECT_EQ(-1, Feed(&d, Frame(768, 200, Bytes()), {}));
}

TEST_F(DispatcherTest, HugeAnnouncedLengthOnlyWaits) {
    for (uint32_t announced : {0xFFFFFFFFu, 0xFFFFFFF2u, 0x7FFFFFFFu, 0x80000000u, 1u << 20}) {
        Bytes frame(64, 0x55);
        nwWriteFrameHeader(&frame[0], 768, 131, announced);
        EXPECT_EQ(0, d.DispatchOne(frame.data(), (int32_t)frame.size())) << announced;
        EXPECT_EQ(0, d.DispatchAll(frame.data(), (int32_t)frame.size())) << announced;
        EXPECT_EQ(announced, d.LastHeader().payloadLength);
    }
    EXPECT_TRUE(rec.seen.empty());
}

TEST_F(DispatcherTest, StopEndsDispatching) {
    const Bytes stream = Frame(768, 131, Bytes()) + Frame(256, 7, Bytes());
    rec.stopOnCall = &d;  // the first handler stops the dispatcher
    EXPECT_EQ(16, d.DispatchAll(stream.data(), (int32_t)stream.size()));
    EXPECT_EQ(1u, rec.seen.size());
    EXPECT_TRUE(d.IsStopped());
    EXPECT_EQ(0, d.DispatchAll(stream.data(), (int32_t)stream.size()));
    EXPECT_EQ(0, d.DispatchOne(stream.data(), (int32_t)stream.size()));
    const Bytes unknown = Frame(1, 1, Bytes());
    EXPECT_EQ(0, d.DispatchAll(unknown.data(), (int32_t)unknown.size()));
    EXPECT_EQ(1u, rec.seen.size());
}

TEST_F(DispatcherTest, DispatchSlotStoresTheResult) {
    const Bytes stream = Frame(768, 131, Bytes()) + Bytes(5, 0);
    int32_t consumed = 99;
    EXPECT_EQ(OV_S_NETWORK, d.Dispatch(stream.data(), (int32_t)stream.size(), &consumed));
    EXPECT_EQ(16, consumed);
    const Bytes unknown = Frame(9, 9, Bytes());
    EXPECT_EQ(OV_S_NETWORK, d.Dispatch(unknown.data(), (int32_t)unknown.size(), &consumed));
    EXPECT_EQ(-1, consumed);
    EXPECT_EQ(OV_S_NETWORK, d.Dispatch(unknown.data(), (int32_t)unknown.size(), nullptr));
}

TEST(Dispatcher, NoHandlersRejectsEveryFrame) {
    nwCStreamDispatcher d;
    const Bytes frame = Frame(768, 131, Bytes());
    EXPECT_EQ(-1, d.DispatchAll(frame.data(), (int32_t)frame.size()));
    EXPECT_EQ(0, d.DispatchAll(frame.data(), 10));
    EXPECT_EQ(OV_E_NETWORK, d.AddHandler(768, 131, nullptr, nullptr));
    EXPECT_EQ(OV_E_NETWORK, d.AddRawHandler(nullptr, nullptr));
    EXPECT_EQ(0, d.HandlerCount());
    EXPECT_FALSE(d.IsRawMode());
}

TEST(Dispatcher, HandlerMayAddHandlersWhileDispatching) {
    nwCStreamDispatcher d;
    Recorder rec;
    HandlerUser late{&rec, 5};
    struct Adder {
        nwCStreamDispatcher* d;
        HandlerUser* late;
        int calls;
    } adder{&d, &late, 0};
    ASSERT_EQ(OV_S_NETWORK, d.AddHandler(
                                1, 1,
                                [](const uint8_t*, int32_t, void* user) {
                                    Adder* a = static_cast<Adder*>(user);
                                    ++a->calls;
                                    a->d->AddHandler(1, 2, &RecordFrame, a->late);
                                },
                                &adder));
    const Bytes stream = Frame(1, 1, Bytes()) + Frame(1, 2, Bytes());
    EXPECT_EQ(32, d.DispatchAll(stream.data(), (int32_t)stream.size()));
    EXPECT_EQ(1, adder.calls);
    ASSERT_EQ(1u, rec.seen.size());
    EXPECT_EQ(5, rec.seen[0].tag);
}

namespace {

struct RawUser {
    Bytes seen;
    int calls = 0;
    bool takeAll = false;
    int32_t answer = 0;  // when not takeAll
};

int32_t RawTake(const uint8_t* data, int32_t length, void* user) {
    RawUser* u = static_cast<RawUser*>(user);
    ++u->calls;
    u->seen.append(data, (size_t)length);
    return u->takeAll ? length : u->answer;
}

}  // namespace

TEST(DispatcherRaw, HandsEveryByteToTheRawHandler) {
    nwCStreamDispatcher d;
    Recorder rec;
    HandlerUser framed{&rec, 1};
    RawUser raw;
    raw.takeAll = true;
    ASSERT_EQ(OV_S_NETWORK, d.AddHandler(0, 0, &RecordFrame, &framed));
    ASSERT_EQ(OV_S_NETWORK, d.AddRawHandler(&RawTake, &raw));
    EXPECT_TRUE(d.IsRawMode());
    // Not framed at all: fewer than 14 bytes, and a zero header that would
    // match the framed handler.
    const Bytes bytes = Pattern(5, 9);
    EXPECT_EQ(5, d.DispatchAll(bytes.data(), 5));
    const Bytes zeros(40, 0);
    EXPECT_EQ(40, d.DispatchAll(zeros.data(), 40));
    EXPECT_EQ(bytes + zeros, raw.seen);
    EXPECT_EQ(2, raw.calls);
    EXPECT_TRUE(rec.seen.empty());
}

TEST(DispatcherRaw, PartialFailingAndOverClaimingAnswers) {
    nwCStreamDispatcher d;
    RawUser raw;
    ASSERT_EQ(OV_S_NETWORK, d.AddRawHandler(&RawTake, &raw));
    const Bytes bytes = Pattern(10, 4);
    raw.answer = 0;  // wait for more: one call only
    EXPECT_EQ(0, d.DispatchAll(bytes.data(), 10));
    EXPECT_EQ(1, raw.calls);
    raw.answer = 3;  // 3 at a time: the loop runs over the rest
    raw.calls = 0;
    EXPECT_EQ(9, d.DispatchAll(bytes.data(), 9));
    EXPECT_EQ(3, raw.calls);
    // 10 bytes: 10, 7 and 4 give 3 each, then 1 byte is offered and 3 claimed.
    EXPECT_EQ(-1, d.DispatchAll(bytes.data(), 10));
    raw.answer = -5;  // the handler's own failure comes through
    EXPECT_EQ(-5, d.DispatchAll(bytes.data(), 10));
    raw.takeAll = true;
    d.Stop();
    raw.calls = 0;
    EXPECT_EQ(0, d.DispatchAll(bytes.data(), 10));
    EXPECT_EQ(0, raw.calls);
}

// ------------------------------------------------- layer base and agent layer

namespace {

// Records what a layer asks of its context; answers every call.
class ScriptedContext : public ovIQoSContext {
    OV_IMPLEMENT_REFCOUNT(ScriptedContext)

  public:
    struct Sent {
        nwIQoSNetStack* layer;
        Bytes bytes;
    };
    std::vector<Sent> sent;
    std::vector<std::string> calls;
    nwIQoSNetStack* lastLayer = nullptr;
    ResultCode sendAnswer = OV_S_PLATFORM;
    int32_t passUpAnswer = 0;

    ResultCode Initialize(int32_t, uint32_t, SockRecord*) override { return Note("Initialize"); }
    ResultCode SetActionLimit(int32_t, const uint32_t*) override { return Note("SetActionLimit"); }
    ResultCode SetAction(int32_t) override { return Note("SetAction"); }
    ResultCode SetEventMask(uint32_t mask) override {
        return Note("SetEventMask " + std::to_string(mask));
    }
    ResultCode AddEvents(uint32_t bits) override {
        return Note("AddEvents " + std::to_string(bits));
    }
    ResultCode RemoveEvents(uint32_t bits) override {
        return Note("RemoveEvents " + std::to_string(bits));
    }
    ResultCode SetOption(int32_t, const uint32_t*) override { return Note("SetOption"); }
    ResultCode GetState(int32_t*) override { return Note("GetState"); }
    ResultCode Connect(const NetAddress* address) override {
        return Note("Connect " + std::to_string(address ? address->port : 0));
    }
    ResultCode Connect(uint32_t, uint16_t) override { return Note("Connect2"); }
    ResultCode SendFromLayer(nwIQoSNetStack* layer, const ovQoSBlock* block) override {
        lastLayer = layer;
        sent.push_back({layer, Bytes(block->data, block->data + block->length)});
        Note("SendFromLayer");
        return sendAnswer;
    }
    ResultCode PushLayer(uint32_t, bool) override { return Note("PushLayer"); }
    ResultCode FindLayer(uint32_t, ovIUnknown**) override { return Note("FindLayer"); }
    ResultCode Rearm() override { return Note("Rearm"); }
    ResultCode RegisterHandler(uint16_t, uint16_t, ovQoSFrameHandler, void*) override {
        return Note("RegisterHandler");
    }
    ResultCode SetPeerAddress(const NetAddress*) override { return Note("SetPeerAddress"); }
    ResultCode GetPeerAddress(const NetAddress**) override { return Note("GetPeerAddress"); }
    ResultCode Close() override { return Note("Close"); }
    ResultCode PostFatal() override { return Note("PostFatal"); }
    ovIUnknown* TopLayer() override { return nullptr; }
    ResultCode NotifyConnectedAbove(nwIQoSNetStack* layer) override {
        lastLayer = layer;
        return Note("NotifyConnectedAbove");
    }
    int32_t PassUp(nwIQoSNetStack* layer, const uint8_t*, int32_t length) override {
        lastLayer = layer;
        Note("PassUp " + std::to_string(length));
        return passUpAnswer;
    }
    ResultCode GetSendBlock(const uint8_t**, int32_t*) override { return Note("GetSendBlock"); }
    ResultCode SendRaw(const void*, int32_t) override { return Note("SendRaw"); }
    ResultCode GetReceiveRate(uint32_t* rate) override {
        *rate = 111;
        return Note("GetReceiveRate");
    }
    ResultCode GetSendRate(uint32_t* rate) override {
        *rate = 222;
        return Note("GetSendRate");
    }
    ResultCode Reserved() override { return Note("Reserved"); }
    ResultCode GetQueuedBytes(int64_t*) override { return Note("GetQueuedBytes"); }
    ResultCode GetHostName(const char**) override { return Note("GetHostName"); }
    ResultCode SetHostName(const char*) override { return Note("SetHostName"); }
    ResultCode MarkAddressWorking() override { return Note("MarkAddressWorking"); }
    ResultCode MarkAddressFailed() override { return Note("MarkAddressFailed"); }
    ResultCode GetOption(int32_t, uint32_t*) override { return Note("GetOption"); }

  private:
    ResultCode Note(const std::string& call) {
        calls.push_back(call);
        return OV_S_PLATFORM;
    }
};

// Records every listener call as text.
class RecordingListener : public nwIAgentListener {
  public:
    std::vector<std::string> calls;
    // Dropped from inside OnReply / OnClosed when set: the owner's last
    // reference goes away in the middle of the layer's call.
    ovSmartPtr* dropOnReply = nullptr;
    ovSmartPtr* dropOnClosed = nullptr;

    void OnConnected(uint32_t key) override { Note("OnConnected", key); }
    void OnReply(uint32_t key, uint8_t code) override {
        Note("OnReply " + std::to_string(code), key);
        if (dropOnReply)
            dropOnReply->Reset();
    }
    void OnClosed(uint32_t key) override {
        Note("OnClosed", key);
        if (dropOnClosed)
            dropOnClosed->Reset();
    }
    void OnConnectTimeout(uint32_t key) override { Note("OnConnectTimeout", key); }
    void OnReceiveTimeout(uint32_t key) override { Note("OnReceiveTimeout", key); }

  private:
    void Note(const std::string& what, uint32_t key) {
        calls.push_back(what + " key=" + std::to_string(key));
    }
};

nwIQoSNetStack* StackFace(const ovSmartPtr& layer) {
    void* out = nullptr;
    if (!layer.QueryInterface(OV_IID_NETSTACK, &out))
        return nullptr;
    return static_cast<nwIQoSNetStack*>(out);
}

// A new agent layer held by `holder`: its stack face, or null.
nwIQoSNetStack* NewAgentLayer(ovSmartPtr* holder) {
    if (!holder->CreateInstance(OV_CLSID_AGENT_LAYER))
        return nullptr;
    return StackFace(*holder);
}

// One agent layer through both its faces, and a scripted context for it.
class AgentLayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        stack = NewAgentLayer(&layer);
        ASSERT_NE(nullptr, stack);
        agent = static_cast<ovIAgentLayer*>(layer.Get());
    }
    void TearDown() override {
        if (m_contextAttached && !layer.IsEmpty())
            stack->SetContext(nullptr);
    }
    void AttachContext() {
        context.AddRef();  // lives on the fixture, never freed by a release
        stack->SetContext(&context);
        m_contextAttached = true;
    }

    ScriptedContext context;
    ovSmartPtr layer;
    nwIQoSNetStack* stack = nullptr;
    ovIAgentLayer* agent = nullptr;

  private:
    bool m_contextAttached = false;
};
class LayerBase : public AgentLayerTest {};
class AgentLayer : public AgentLayerTest {};

}  // namespace

TEST(LayerFaces, FactoryBuildsTheDispatcherAndTheAgentLayer) {
    ovSmartPtr dispatcher;
    ASSERT_TRUE(dispatcher.CreateInstance(OV_CLSID_STREAM_DISPATCHER));
    nwCStreamDispatcher* d = dispatcher.As<nwCStreamDispatcher>();
    EXPECT_EQ(1, d->RefCount());
    EXPECT_EQ(0, d->HandlerCount());
    EXPECT_FALSE(d->IsRawMode());
    EXPECT_FALSE(d->IsStopped());

    ovSmartPtr layer;
    nwIQoSNetStack* stack = NewAgentLayer(&layer);
    ASSERT_NE(nullptr, stack);
    nwCAgentLayer* object = static_cast<nwCAgentLayer*>(stack);
    // The smart pointer holds the public face, not the stack face.
    EXPECT_EQ(static_cast<ovIUnknown*>(object->PublicFace()), layer.Get());
    EXPECT_NE(static_cast<void*>(stack), static_cast<void*>(layer.Get()));
    // The agent layer's constructor registered its one handler.
    EXPECT_EQ(1, object->Dispatcher()->HandlerCount());
    EXPECT_EQ(nullptr, stack->Context());
}

TEST(LayerFaces, QueryInterfaceKnowsTheStackFaceOnly) {
    ovSmartPtr layer;
    ASSERT_TRUE(layer.CreateInstance(OV_CLSID_AGENT_LAYER));
    void* out = nullptr;
    EXPECT_EQ(OV_S_NETWORK, layer.Get()->QueryInterface(OV_IID_NETSTACK, &out));
    nwIQoSNetStack* stack = static_cast<nwIQoSNetStack*>(out);
    ASSERT_NE(nullptr, stack);
    int marker = 0;
    out = &marker;
    EXPECT_EQ(OV_E_NETWORK, layer.Get()->QueryInterface(0x2015, &out));
    EXPECT_EQ(static_cast<void*>(&marker), out);
    EXPECT_EQ(OV_E_NETWORK, stack->QueryInterface(0x2015, &out));
    EXPECT_EQ(OV_E_NETWORK, stack->QueryInterface(0, &out));
    EXPECT_EQ(static_cast<void*>(&marker), out);
    EXPECT_FALSE(layer.QueryInterface(0x2015, &out));
    // Asked through the stack face, the answer is the same face.
    out = nullptr;
    EXPECT_EQ(OV_S_NETWORK, stack->QueryInterface(OV_IID_NETSTACK, &out));
    EXPECT_EQ(static_cast<void*>(stack), out);
}

TEST(LayerFaces, BothFacesShareOneCount) {
    ovSmartPtr publicFace;
    nwIQoSNetStack* stack = NewAgentLayer(&publicFace);
    ASSERT_NE(nullptr, stack);
    nwCAgentLayer* object = static_cast<nwCAgentLayer*>(stack);
    EXPECT_EQ(1, object->RefCount());  // QueryInterface adds no reference
    {
        ovSmartPtr stackHold(stack);
        EXPECT_EQ(2, object->RefCount());
        ovSmartPtr publicCopy(publicFace);
        EXPECT_EQ(3, object->RefCount());
        EXPECT_EQ(OV_S_OK, object->PublicFace()->AddRef());
        EXPECT_EQ(4, object->RefCount());
        EXPECT_EQ(OV_S_OK, object->PublicFace()->Release());
    }
    EXPECT_EQ(1, object->RefCount());
    // The last reference may be dropped through the stack face; the
    // sanitizer build checks that the whole object goes.
    ovSmartPtr viaStack(stack);
    publicFace.Reset();
    EXPECT_EQ(1, object->RefCount());
    viaStack.Reset();
}

TEST_F(LayerBase, ForwardsToTheContextOrFailsWithoutOne) {
    uint32_t rate = 5;
    const NetAddress address = {0x0100007Fu, 4242};
    const uint8_t bytes[3] = {1, 2, 3};
    const ovQoSBlock block = {bytes, 3};

    EXPECT_EQ(OV_E_PLATFORM, stack->GetReceiveRate(&rate));
    EXPECT_EQ(OV_E_PLATFORM, stack->GetSendRate(&rate));
    EXPECT_EQ(5u, rate);
    EXPECT_EQ(OV_E_PLATFORM, stack->CloseContext());
    EXPECT_EQ(OV_E_PLATFORM, stack->SetEventMask(7));
    EXPECT_EQ(OV_E_PLATFORM, stack->AddEvents(8));
    EXPECT_EQ(OV_E_PLATFORM, stack->RemoveEvents(8));
    EXPECT_EQ(OV_E_PLATFORM, stack->Connect(&address));
    EXPECT_EQ(OV_E_PLATFORM, stack->NotifyConnectedAbove());
    EXPECT_EQ(0, stack->PassUp(bytes, 3));
    EXPECT_EQ(OV_E_PLATFORM, stack->SendFromLayer(&block));
    EXPECT_TRUE(stack->OnHostUnreachable());

    context.passUpAnswer = 2;
    AttachContext();
    EXPECT_EQ(OV_S_PLATFORM, stack->GetReceiveRate(&rate));
    EXPECT_EQ(111u, rate);
    EXPECT_EQ(OV_S_PLATFORM, stack->GetSendRate(&rate));
    EXPECT_EQ(222u, rate);
    EXPECT_EQ(OV_S_PLATFORM, stack->CloseContext());
    EXPECT_EQ(OV_S_PLATFORM, stack->SetEventMask(7));
    EXPECT_EQ(OV_S_PLATFORM, stack->AddEvents(8));
    EXPECT_EQ(OV_S_PLATFORM, stack->RemoveEvents(16));
    EXPECT_EQ(OV_S_PLATFORM, stack->Connect(&address));
    EXPECT_EQ(OV_S_PLATFORM, stack->NotifyConnectedAbove());
    EXPECT_EQ(stack, context.lastLayer);
    context.lastLayer = nullptr;
    EXPECT_EQ(2, stack->PassUp(bytes, 3));
    EXPECT_EQ(stack, context.lastLayer);
    context.lastLayer = nullptr;
    EXPECT_EQ(OV_S_PLATFORM, stack->SendFromLayer(&block));
    EXPECT_EQ(stack, context.lastLayer);
    ASSERT_EQ(1u, context.sent.size());
    EXPECT_EQ(Bytes(bytes, bytes + 3), context.sent[0].bytes);
    // The base drops a block from above instead of passing it on.
    EXPECT_EQ(OV_S_NETWORK, stack->SendDown(&block));
    EXPECT_EQ(1u, context.sent.size());

    const std::vector<std::string> expected = {
        "GetReceiveRate", "GetSendRate",     "Close",        "SetEventMask 7",
        "AddEvents 8",    "RemoveEvents 16", "Connect 4242", "NotifyConnectedAbove",
        "PassUp 3",       "SendFromLayer"};
    EXPECT_EQ(expected, context.calls);
}

TEST_F(AgentLayer, ListenerCallsCarryTheKey) {
    RecordingListener listener;
    EXPECT_EQ(OV_S_NETWORK, agent->SetEventListener(&listener, 77));

    EXPECT_TRUE(stack->OnConnected());
    EXPECT_TRUE(stack->OnEvent(kQoSEventConnectFailed, 0));
    EXPECT_TRUE(stack->OnEvent(kQoSEventReceiveIdle, 0));
    EXPECT_TRUE(stack->OnEvent(kQoSEventSendDrained, 0));  // no listener call
    EXPECT_TRUE(stack->OnEvent(kQoSEventScheduled, 0));
    EXPECT_TRUE(stack->OnEvent(kQoSEventFatal, 0));
    EXPECT_TRUE(stack->OnEvent(12345, 9));
    Bytes reply = Frame(768, 131, Bytes(1, 0xA5));
    EXPECT_EQ(16, stack->OnData(reply.data(), (int32_t)reply.size()));
    stack->OnClosed();
    const std::vector<std::string> expected = {"OnConnected key=77", "OnConnectTimeout key=77",
                                               "OnReceiveTimeout key=77", "OnReply 165 key=77",
                                               "OnClosed key=77"};
    EXPECT_EQ(expected, listener.calls);
    // After OnClosed nothing more is consumed.
    EXPECT_EQ(0, stack->OnData(reply.data(), (int32_t)reply.size()));
    EXPECT_EQ(expected.size(), listener.calls.size());
}

TEST_F(AgentLayer, WithoutListenerEventsAreSwallowed) {
    EXPECT_TRUE(stack->OnConnected());
    EXPECT_TRUE(stack->OnHostUnreachable());
    for (uint32_t code : {1u, 2u, 4u, 32u, 64u})
        EXPECT_TRUE(stack->OnEvent(code, 0)) << code;
    const Bytes reply = Frame(768, 131, Bytes(1, 3));
    EXPECT_EQ(16, stack->OnData(reply.data(), (int32_t)reply.size()));
    stack->OnClosed();

    // A listener set and then cleared is silent again.
    ovSmartPtr other;
    nwIQoSNetStack* otherStack = NewAgentLayer(&other);
    ASSERT_NE(nullptr, otherStack);
    RecordingListener listener;
    ovIAgentLayer* otherAgent = static_cast<ovIAgentLayer*>(other.Get());
    otherAgent->SetEventListener(&listener, 1);
    otherAgent->SetEventListener(nullptr, 0);
    EXPECT_TRUE(otherStack->OnConnected());
    otherStack->OnClosed();
    EXPECT_TRUE(listener.calls.empty());
}

TEST_F(AgentLayer, UnknownFrameMakesOnDataFail) {
    RecordingListener listener;
    agent->SetEventListener(&listener, 2);
    const Bytes unknown = Frame(768, 200, Pattern(4, 1));
    EXPECT_LT(stack->OnData(unknown.data(), (int32_t)unknown.size()), 0);
    const Bytes report = Frame(768, 154, Bytes(4, 0));  // the agent's own message
    EXPECT_LT(stack->OnData(report.data(), (int32_t)report.size()), 0);
    EXPECT_TRUE(listener.calls.empty());
}

TEST_F(AgentLayer, OwnerMayDropTheLayerInsideItsCallbacks) {
    RecordingListener listener;
    listener.dropOnReply = &layer;
    agent->SetEventListener(&listener, 3);
    // Two replies: the first drops the only reference; the layer lives on
    // until its call returns and handles the second as well.
    const Bytes two = Frame(768, 131, Bytes(1, 1)) + Frame(768, 131, Bytes(1, 2));
    EXPECT_EQ(32, stack->OnData(two.data(), (int32_t)two.size()));
    EXPECT_TRUE(layer.IsEmpty());
    EXPECT_EQ(2u, listener.calls.size());

    ovSmartPtr second;
    nwIQoSNetStack* secondStack = NewAgentLayer(&second);
    ASSERT_NE(nullptr, secondStack);
    RecordingListener closing;
    closing.dropOnClosed = &second;
    static_cast<ovIAgentLayer*>(second.Get())->SetEventListener(&closing, 4);
    secondStack->OnClosed();
    EXPECT_TRUE(second.IsEmpty());
    EXPECT_EQ(std::vector<std::string>{"OnClosed key=4"}, closing.calls);
}

TEST_F(AgentLayer, SendReportPayloadLayout) {
    AttachContext();

    const Bytes records = Pattern(2 * kAgentRecordSize, 40);
    const ovAgentReportBatch batch = {2, records.data()};
    EXPECT_EQ(OV_S_NETWORK, agent->SendReport(&batch));
    ASSERT_EQ(1u, context.sent.size());
    EXPECT_EQ(stack, context.sent[0].layer);
    const Bytes& frame = context.sent[0].bytes;
    ASSERT_EQ(616u, frame.size());
    const nwFrameHeader header = nwReadFrameHeader(frame.data());
    EXPECT_EQ(768, header.category);
    EXPECT_EQ(154, header.message);
    EXPECT_EQ(602u, header.payloadLength);
    EXPECT_EQ(Bytes(6, 0), frame.substr(4, 6));
    EXPECT_EQ((Bytes{2, 0, 0, 0}), frame.substr(14, 4));
    EXPECT_EQ(records, frame.substr(18, records.size()));
    EXPECT_EQ(Bytes(2, 0), frame.substr(18 + records.size()));

    // An empty batch is the count alone: a 24-byte frame with L 10.
    const ovAgentReportBatch empty = {0, nullptr};
    EXPECT_EQ(OV_S_NETWORK, agent->SendReport(&empty));
    ASSERT_EQ(2u, context.sent.size());
    EXPECT_EQ(24u, context.sent[1].bytes.size());
    EXPECT_EQ(10u, nwReadFrameHeader(context.sent[1].bytes.data()).payloadLength);
    EXPECT_EQ(Bytes(10, 0), context.sent[1].bytes.substr(14));

    // A record count above 255 uses the upper bytes of the count.
    const Bytes many = Pattern(300 * kAgentRecordSize, 1);
    const ovAgentReportBatch big = {300, many.data()};
    EXPECT_EQ(OV_S_NETWORK, agent->SendReport(&big));
    ASSERT_EQ(3u, context.sent.size());
    EXPECT_EQ((Bytes{0x2C, 0x01, 0, 0}), context.sent[2].bytes.substr(14, 4));
    EXPECT_EQ(0u, context.sent[2].bytes.size() % 8);

    // The context's failure comes back.
    context.sendAnswer = OV_E_PLATFORM;
    EXPECT_EQ(OV_E_PLATFORM, agent->SendReport(&batch));
}

TEST_F(AgentLayer, SendReportRejectsBadBatches) {
    AttachContext();
    const uint8_t record[kAgentRecordSize] = {0};
    const ovAgentReportBatch negative = {-1, record};
    const ovAgentReportBatch tooMany = {kAgentMaxRecords + 1, record};
    const ovAgentReportBatch huge = {0x7FFFFFFF, record};
    const ovAgentReportBatch noRecords = {1, nullptr};
    EXPECT_EQ(OV_E_NETWORK, agent->SendReport(nullptr));
    EXPECT_EQ(OV_E_NETWORK, agent->SendReport(&negative));
    EXPECT_EQ(OV_E_NETWORK, agent->SendReport(&tooMany));
    EXPECT_EQ(OV_E_NETWORK, agent->SendReport(&huge));
    EXPECT_EQ(OV_E_NETWORK, agent->SendReport(&noRecords));
    EXPECT_TRUE(context.sent.empty());
    stack->SetContext(nullptr);
    // Without a context the frame is built, not sent, and freed.
    const ovAgentReportBatch one = {1, record};
    EXPECT_EQ(OV_E_PLATFORM, agent->SendReport(&one));
}
