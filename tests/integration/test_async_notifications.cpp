// The socket-notification window and the message loop under it: the window
// procedure's dispatch, notifications from real loopback sockets, the
// re-enabling rules, quit, the run flag and the thread timer.
#include <string.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "integration/SocketTestSupport.h"
#include "opn/platform/cpCMutex.h"
#include "opn/opeerqos/cpAsyncSocketWindow.h"
#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfSocket.h"

using socktest::Listener;
using socktest::LoopbackAt;
using socktest::Pump;

namespace {

struct Event {
    int32_t slot;
    int32_t code;
    uint32_t error;
};

// Records what the window hands to the socket manager. `onSocket` may act on
// an event (read, close) before the pump looks at the condition again.
class RecordingSink : public cpISocketEventSink {
  public:
    void OnSocketEvent(int32_t slot, int32_t code, uint32_t error) override {
        Event e = {slot, code, error};
        events.push_back(e);
        if (onSocket)
            onSocket(e);
        if (pump != nullptr)
            pump->Check();
    }
    void OnQueuedEvent(int32_t slot, void* record) override {
        queuedSlots.push_back(slot);
        queuedRecords.push_back(record);
        if (pump != nullptr)
            pump->Check();
    }
    int Count(int32_t code) const {
        int n = 0;
        for (const Event& e : events)
            n += e.code == code ? 1 : 0;
        return n;
    }
    const Event* First(int32_t code) const {
        for (const Event& e : events) {
            if (e.code == code)
                return &e;
        }
        return nullptr;
    }
    std::vector<Event> events;
    std::vector<int32_t> queuedSlots;
    std::vector<void*> queuedRecords;
    std::function<void(const Event&)> onSocket;
    Pump* pump = nullptr;
};

const uint32_t kSocketMessage0 = PF_WM_USER + 10;

intptr_t Param(uint32_t event, uint32_t error) {
    return (intptr_t)(uintptr_t)(event | (error << 16));
}

// A client registered on a slot, connected to the fixture's listener, and
// the peer accepted with the plain OS call (so it closes gracefully).
struct Connection {
    SockRecord* client = nullptr;
    PfSocketHandle peer = PF_INVALID_SOCKET;
};

class AsyncWindow : public socktest::NetFixture {
  protected:
    void SetUp() override {
        socktest::NetFixture::SetUp();
        ASSERT_TRUE(OV_SUCCEEDED(PfMessageLoopInit()));
        m_lock = new cpCMutex();
        sink.pump = &pump;
        ASSERT_EQ(WindowCreate(&window, m_lock, &sink), OV_S_PLATFORM);
        ASSERT_NE(window, nullptr);
        ASSERT_NE(window->window, nullptr);
    }
    void TearDown() override {
        for (PfSocketHandle peer : m_peers)
            socktest::PlainClose(peer);
        for (SockRecord* r : m_records)
            SockClose(r);
        // The listener goes before the network is cleaned up.
        if (listener.record != nullptr)
            SockClose(listener.record);
        listener.record = nullptr;
        WindowDestroy(window);
        m_lock.Reset();
        PfMessageLoopDone();
        socktest::NetFixture::TearDown();
    }
    SockRecord* Track(SockRecord* r) {
        m_records.push_back(r);
        return r;
    }
    // A socket of `kind` closed by TearDown; null when it cannot be made.
    SockRecord* NewSocket(int32_t kind) {
        SockRecord* r = nullptr;
        if (SockCreate(&r, kind) != OV_S_PLATFORM)
            return nullptr;
        return Track(r);
    }
    // A datagram socket bound to a loopback port the OS picks.
    SockRecord* BoundDatagramSocket() {
        SockRecord* u = NewSocket(kSockKindUdp);
        NetAddress any = LoopbackAt(0);
        if (u == nullptr || SockBind(u, &any) != OV_S_PLATFORM)
            return nullptr;
        return u;
    }
    // The fixture's listener, opened on first use.
    uint16_t ListenerPort() {
        if (listener.record == nullptr) {
            EXPECT_TRUE(listener.Open());
        }
        return listener.port;
    }
    // A non-blocking client registered on `slot` and connecting to `port`.
    SockRecord* ConnectingClient(int32_t slot, uint16_t port, ResultCode* connectResult) {
        SockRecord* c = NewSocket(kSockKindTcp);
        if (c == nullptr)
            return nullptr;
        SockSetBlocking(c, 0);
        if (OV_FAILED(SockRegister(window, c, slot)))
            return nullptr;
        NetAddress to = LoopbackAt(port);
        *connectResult = SockConnect(c, &to);
        return c;
    }
    // A client on `slot` connected to the listener; the connect notice has
    // been seen, nothing is accepted yet.
    void ConnectedClient(int32_t slot, SockRecord** client) {
        ResultCode rc = 0;
        *client = ConnectingClient(slot, ListenerPort(), &rc);
        ASSERT_NE(*client, nullptr);
        ASSERT_TRUE(PumpUntilCode(4));
    }
    // The client and its accepted peer (closed by TearDown unless ClosePeer
    // came first).
    void ConnectedPair(int32_t slot, Connection* out) {
        ASSERT_NO_FATAL_FAILURE(ConnectedClient(slot, &out->client));
        out->peer = socktest::PlainAccept(listener.record);
        ASSERT_NE(out->peer, PF_INVALID_SOCKET);
        m_peers.push_back(out->peer);
    }
    // A pair whose peer has sent `bytes`, reported readable once.
    void ReadablePair(int32_t slot, const std::string& bytes, Connection* out) {
        ASSERT_NO_FATAL_FAILURE(ConnectedPair(slot, out));
        ASSERT_TRUE(socktest::PlainSend(out->peer, bytes.data(), (int)bytes.size()));
        ASSERT_TRUE(PumpUntilCode(2));
    }
    void ClosePeer(Connection* pair) {
        m_peers.erase(std::remove(m_peers.begin(), m_peers.end(), pair->peer), m_peers.end());
        socktest::PlainClose(pair->peer);
        pair->peer = PF_INVALID_SOCKET;
    }
    bool PumpUntilCode(int32_t code, int count = 1) {
        return pump.Run([this, code, count] { return sink.Count(code) >= count; });
    }
    // Lets `ticks` turns of the loop pass with nothing to wait for.
    void Idle(int ticks) {
        pump.Run([] { return false; }, ticks);
    }

    RecordingSink sink;
    Pump pump;
    MsgWindowRecord* window = nullptr;
    Listener listener;

  private:
    ovSmartPtr m_lock;
    std::vector<SockRecord*> m_records;
    std::vector<PfSocketHandle> m_peers;
};

}  // namespace

TEST(SocketNotificationTable, TranslatesEveryRow) {
    const struct {
        uint32_t event;
        uint32_t error;
        int32_t code;
    } rows[] = {
        {PF_FD_READ, 0, 2},
        {PF_FD_READ, 10054, 2},
        {PF_FD_WRITE, 0, 3},
        {PF_FD_ACCEPT, 0, 6},
        {PF_FD_CONNECT, 0, 4},
        {PF_FD_CONNECT, 10061, 8},
        {PF_FD_CONNECT, 10065, 9},
        {PF_FD_CONNECT, 10060, 0},
        {PF_FD_CONNECT, 10051, 0},
        {PF_FD_CLOSE, 0, 7},
        {PF_FD_CLOSE, 10054, 7},
        {PF_FD_OOB, 0, 0},
        {0, 0, 0},
        {PF_FD_READ | PF_FD_WRITE, 0, 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(TranslateSocketNotification(row.event, row.error), row.code)
            << row.event << " " << row.error;
}

TEST_F(AsyncWindow, CountsLiveWindows) {
    EXPECT_EQ(WindowLiveCount(), 1);
    MsgWindowRecord* second = nullptr;
    ASSERT_EQ(WindowCreate(&second, ovSmartPtr(), &sink), OV_S_PLATFORM);
    EXPECT_EQ(WindowLiveCount(), 2);
    WindowDestroy(second);
    EXPECT_EQ(WindowLiveCount(), 1);
    WindowDestroy(nullptr);
    EXPECT_EQ(WindowLiveCount(), 1);
    EXPECT_EQ(WindowCreate(nullptr, ovSmartPtr(), &sink), 0x80200000u);
    EXPECT_STREQ(kAsyncSocketWindowName, "CAsyncSocket SwarmFetchSDK Window");
}

TEST_F(AsyncWindow, ProcedureDispatchesSocketMessagesBySlot) {
    PfWindowHandle w = window->window;
    AsyncSocketWindowProc(w, kSocketMessage0 + 3, 5, Param(PF_FD_READ, 0));
    AsyncSocketWindowProc(w, kSocketMessage0 + 0, 5, Param(PF_FD_WRITE, 0));
    AsyncSocketWindowProc(w, kSocketMessage0 + 63, 5, Param(PF_FD_CONNECT, 10061));
    AsyncSocketWindowProc(w, kSocketMessage0 + 7, 5, Param(PF_FD_CLOSE, 10054));
    AsyncSocketWindowProc(w, kSocketMessage0 + 8, 5, Param(PF_FD_ACCEPT, 0));
    AsyncSocketWindowProc(w, kSocketMessage0 + 9, 5, Param(PF_FD_CONNECT, 10065));
    ASSERT_EQ(sink.events.size(), 6u);
    EXPECT_EQ(sink.events[0].slot, 3);
    EXPECT_EQ(sink.events[0].code, 2);
    EXPECT_EQ(sink.events[1].slot, 0);
    EXPECT_EQ(sink.events[1].code, 3);
    EXPECT_EQ(sink.events[2].slot, 63);
    EXPECT_EQ(sink.events[2].code, 8);
    EXPECT_EQ(sink.events[2].error, 10061u);
    EXPECT_EQ(sink.events[3].code, 7);
    EXPECT_EQ(sink.events[3].error, 10054u);
    EXPECT_EQ(sink.events[4].code, 6);
    EXPECT_EQ(sink.events[5].code, 9);
}

TEST_F(AsyncWindow, ProcedureIgnoresWhatProducesNoEvent) {
    PfWindowHandle w = window->window;
    // Slot 64 and above are not socket messages: the default procedure.
    AsyncSocketWindowProc(w, kSocketMessage0 + 64, 5, Param(PF_FD_READ, 0));
    AsyncSocketWindowProc(w, kSocketMessage0 + 200, 5, Param(PF_FD_READ, 0));
    AsyncSocketWindowProc(w, PF_WM_USER + 8, 5, Param(PF_FD_READ, 0));
    // An invalid socket handle in the first parameter.
    AsyncSocketWindowProc(w, kSocketMessage0 + 1, (uintptr_t)PF_INVALID_SOCKET,
                          Param(PF_FD_READ, 0));
    // A timed-out connect is left to the connection's own timer.
    AsyncSocketWindowProc(w, kSocketMessage0 + 1, 5, Param(PF_FD_CONNECT, 10060));
    AsyncSocketWindowProc(w, kSocketMessage0 + 1, 5, Param(PF_FD_OOB, 0));
    EXPECT_TRUE(sink.events.empty());
    EXPECT_TRUE(sink.queuedSlots.empty());
}

TEST_F(AsyncWindow, QueuedEventMessageReachesTheQueuedEntry) {
    int marker = 0;
    AsyncSocketWindowProc(window->window, PF_WM_USER + 9, 17, (intptr_t)&marker);
    ASSERT_EQ(sink.queuedSlots.size(), 1u);
    EXPECT_EQ(sink.queuedSlots[0], 17);
    EXPECT_EQ(sink.queuedRecords[0], &marker);
    EXPECT_TRUE(sink.events.empty());
}

TEST_F(AsyncWindow, NothingIsDispatchedWhileNoWindowIsLive) {
    PfWindowHandle w = window->window;
    WindowDestroy(window);
    window = nullptr;
    EXPECT_EQ(WindowLiveCount(), 0);
    AsyncSocketWindowProc(w, kSocketMessage0 + 1, 5, Param(PF_FD_READ, 0));
    AsyncSocketWindowProc(w, PF_WM_USER + 9, 1, 0);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_TRUE(sink.queuedSlots.empty());
}

TEST_F(AsyncWindow, PostedEventComesBackThroughTheLoop) {
    SockRecord* r = NewSocket(kSockKindTcp);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(SockRegister(window, r, 21), OV_S_PLATFORM);
    EXPECT_EQ(r->slot, 21);
    EXPECT_EQ(r->window, window);
    ASSERT_EQ(SockPostEvent(r), OV_S_PLATFORM);
    ASSERT_TRUE(pump.Run([this] { return !sink.queuedSlots.empty(); }));
    EXPECT_EQ(sink.queuedSlots[0], 21);
    EXPECT_EQ(sink.queuedRecords[0], (void*)r);
    int32_t slot = -1;
    EXPECT_EQ(SockUnregister(window, r, &slot), OV_S_PLATFORM);
    EXPECT_EQ(slot, 21);
    EXPECT_EQ(r->slot, -1);
    EXPECT_EQ(SockUnregister(window, r, &slot), 0x80200000u);
    EXPECT_EQ(slot, -1);
}

TEST_F(AsyncWindow, ConnectReportsConnectedThenWritableOnce) {
    ResultCode rc = 0;
    SockRecord* c = ConnectingClient(4, ListenerPort(), &rc);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(rc, 0x8022000Au);
    ASSERT_TRUE(PumpUntilCode(4));
    const Event* connected = sink.First(4);
    EXPECT_EQ(connected->slot, 4);
    EXPECT_EQ(connected->error, 0u);
    // A few more turns of the loop bring one writable notice and no more.
    Idle(5);
    EXPECT_EQ(sink.Count(3), 1);
    EXPECT_EQ(sink.Count(4), 1);
    EXPECT_EQ(sink.Count(7), 0);
    for (const Event& e : sink.events)
        EXPECT_EQ(e.slot, 4);
}

TEST_F(AsyncWindow, WouldBlockSendBringsOneMoreWritable) {
    Connection p;
    ASSERT_NO_FATAL_FAILURE(ConnectedPair(10, &p));
    SockRecord* c = p.client;
    ASSERT_TRUE(PumpUntilCode(3));
    // Fill the connection while the peer reads nothing.
    std::vector<char> chunk(16384, 'z');
    int64_t total = 0;
    ResultCode last = OV_S_PLATFORM;
    for (int i = 0; i < 4096 && OV_SUCCEEDED(last); ++i) {
        int32_t sent = 0;
        last = SockSend(c, chunk.data(), (int32_t)chunk.size(), &sent);
        if (OV_SUCCEEDED(last))
            total += sent;
    }
    ASSERT_EQ(last, 0x8022000Au);
    Idle(3);
    EXPECT_EQ(sink.Count(3), 1);  // nothing new while the buffers are full
    // The peer drains everything: room again, one more writable notice.
    std::vector<char> drain(65536);
    int64_t drained = 0;
    for (int i = 0; i < 100000 && drained < total; ++i) {
        int want = (int)std::min<int64_t>((int64_t)drain.size(), total - drained);
        int got = socktest::PlainRecv(p.peer, drain.data(), want);
        if (got <= 0)
            break;
        drained += got;
    }
    ASSERT_EQ(drained, total);
    ASSERT_TRUE(PumpUntilCode(3, 2));
    Idle(3);
    EXPECT_EQ(sink.Count(3), 2);
}

TEST_F(AsyncWindow, RefusedConnectReportsCodeEight) {
    uint16_t port = socktest::ClosedPort();
    ASSERT_NE(port, 0);
    ResultCode rc = 0;
    SockRecord* c = ConnectingClient(9, port, &rc);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(rc, 0x8022000Au);
    ASSERT_TRUE(PumpUntilCode(8));
    EXPECT_EQ(sink.First(8)->slot, 9);
    EXPECT_EQ(sink.First(8)->error, 10061u);
    EXPECT_EQ(sink.Count(4), 0);
}

TEST_F(AsyncWindow, DataIsReportedReadableAndReceived) {
    Connection p;
    ASSERT_NO_FATAL_FAILURE(ReadablePair(2, "data", &p));
    EXPECT_EQ(sink.First(2)->slot, 2);
    char buffer[8] = {0};
    int32_t got = 0;
    ASSERT_EQ(SockRecv(p.client, buffer, sizeof(buffer), &got), OV_S_PLATFORM);
    EXPECT_EQ(got, 4);
    EXPECT_EQ(memcmp(buffer, "data", 4), 0);
}

TEST_F(AsyncWindow, PeerCloseAfterDataIsReportedOnceDrained) {
    Connection p;
    ASSERT_NO_FATAL_FAILURE(ConnectedPair(6, &p));
    SockRecord* c = p.client;
    ASSERT_TRUE(socktest::PlainSend(p.peer, "last words", 10));
    ClosePeer(&p);
    int total = 0;
    ResultCode lastRecv = OV_S_PLATFORM;
    sink.onSocket = [&](const Event& e) {
        if (e.code != 2)
            return;
        char buffer[4];
        int32_t got = 0;
        lastRecv = SockRecv(c, buffer, sizeof(buffer), &got);
        total += got;
    };
    ASSERT_TRUE(PumpUntilCode(7));
    EXPECT_EQ(sink.First(7)->slot, 6);
    // Whatever was left unread is still there: the loop never consumed it.
    char buffer[16];
    int32_t got = 0;
    for (int i = 0; i < 8 && total < 10; ++i) {
        if (OV_FAILED(SockRecv(c, buffer, sizeof(buffer), &got)))
            break;
        total += got;
    }
    EXPECT_EQ(total, 10);
    // Past the end of the stream a receive is a failure, not 0 bytes.
    EXPECT_TRUE(OV_FAILED(SockRecv(c, buffer, sizeof(buffer), &got)));
    EXPECT_EQ(got, 0);
    Idle(3);
    EXPECT_EQ(sink.Count(7), 1);
}

TEST_F(AsyncWindow, PeerResetIsReportedClosed) {
    SockRecord* c = nullptr;
    ASSERT_NO_FATAL_FAILURE(ConnectedClient(1, &c));
    SockRecord* server = nullptr;
    ASSERT_EQ(SockAccept(listener.record, nullptr, &server), OV_S_PLATFORM);
    SockClose(server);  // time-out 0 linger: a reset
    ASSERT_TRUE(PumpUntilCode(7));
    EXPECT_EQ(sink.First(7)->slot, 1);
    char buffer[4];
    int32_t got = 0;
    EXPECT_TRUE(OV_FAILED(SockRecv(c, buffer, sizeof(buffer), &got)));
}

TEST_F(AsyncWindow, HeldBackReadsDoNotWakeTheLoopUntilTheNextReceive) {
    Connection p;
    ASSERT_NO_FATAL_FAILURE(ReadablePair(3, "abcd", &p));

    // No receive: the unread bytes must not bring the loop back. Every
    // wake-up is one timer tick (a busy loop would count thousands).
    const int kTicks = 10;
    uint32_t before = PfMessageLoopWakeCount();
    Idle(kTicks);
    uint32_t wakeUps = PfMessageLoopWakeCount() - before;
    EXPECT_EQ(pump.Ticks(), kTicks);
    EXPECT_LE(wakeUps, (uint32_t)kTicks + 3u);
    EXPECT_EQ(sink.Count(2), 1);

    // A receive that leaves data behind re-arms the notice.
    char buffer[1];
    int32_t got = 0;
    ASSERT_EQ(SockRecv(p.client, buffer, 1, &got), OV_S_PLATFORM);
    EXPECT_EQ(buffer[0], 'a');
    ASSERT_TRUE(PumpUntilCode(2, 2));
}

// A large receive that empties the socket (it gets less than it asked for)
// re-arms the notice: the next bytes are reported readable again, as often
// as they come.
TEST_F(AsyncWindow, DrainingLargeReceiveReArmsTheNoticeForTheNextBytes) {
    Connection p;
    ASSERT_NO_FATAL_FAILURE(ReadablePair(4, "first", &p));
    std::vector<char> buffer((size_t)kSockReadAheadSize * 4);
    const std::string parts[] = {"first", "second", std::string(100000, 'z'), "last"};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        if (i > 0) {
            ASSERT_TRUE(socktest::PlainSend(p.peer, parts[i].data(), (int)parts[i].size()));
            ASSERT_TRUE(PumpUntilCode(2, i + 1));
        }
        std::string got;
        int32_t n = 0;
        for (int k = 0; k < 100 && got.size() < parts[i].size(); ++k) {
            ResultCode rc = SockRecv(p.client, buffer.data(), (int32_t)buffer.size(), &n);
            if (OV_FAILED(rc)) {
                ASSERT_EQ(rc, OV_E_WOULD_BLOCK);
                ASSERT_TRUE(PumpUntilCode(2, sink.Count(2) + 1));  // the rest comes
                continue;
            }
            got.append(buffer.data(), (size_t)n);
        }
        EXPECT_EQ(got, parts[i]);
        EXPECT_EQ(SockReadAheadBytes(p.client), 0);
    }
}

TEST_F(AsyncWindow, SelectAllReportsPendingDataAgain) {
    Connection p;
    ASSERT_NO_FATAL_FAILURE(ReadablePair(5, "xy", &p));
    ASSERT_EQ(SockSelectAll(p.client), OV_S_PLATFORM);
    ASSERT_TRUE(PumpUntilCode(2, 2));
}

// `size` bytes of a known pattern.
static std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = (char)('a' + i % 23);
    return bytes;
}

TEST_F(AsyncWindow, SmallReadsAreServedFromOneBlockReadAhead) {
    const std::string sent = Pattern(20000);
    Connection p;
    ASSERT_NO_FATAL_FAILURE(ReadablePair(11, sent, &p));
    SockRecord* c = p.client;
    std::string got;
    char piece[100];
    int32_t n = 0;
    ASSERT_EQ(SockRecv(c, piece, sizeof(piece), &n), OV_S_PLATFORM);
    got.append(piece, (size_t)n);
    // What the system had went into the block at once; the rest is held.
    const int32_t held = SockReadAheadBytes(c);
    EXPECT_GT(held, 0);
    EXPECT_LE(held, (int32_t)kSockReadAheadSize);
    for (int i = 0; i < 1000 && got.size() < sent.size(); ++i) {
        if (SockReadAheadBytes(c) == 0)
            Idle(1);
        const ResultCode rc = SockRecv(c, piece, sizeof(piece), &n);
        if (OV_SUCCEEDED(rc))
            got.append(piece, (size_t)n);
    }
    EXPECT_EQ(got, sent);
    EXPECT_EQ(SockReadAheadBytes(c), 0);
}

// The bytes held in user space must be reported like the system's own: once
// after a receive that leaves some, again after SockSelectAll, never as a
// stream of notices while nobody reads, and the peer's close only after the
// last of them was read.
TEST_F(AsyncWindow, HeldBytesAreReadableAndTheCloseWaitsForThem) {
    Connection p;
    ASSERT_NO_FATAL_FAILURE(ConnectedPair(12, &p));
    SockRecord* c = p.client;
    const std::string sent = Pattern(6000);
    ASSERT_TRUE(socktest::PlainSend(p.peer, sent.data(), (int)sent.size()));
    ClosePeer(&p);
    ASSERT_TRUE(PumpUntilCode(2));

    // Read one byte, then wait until the rest of the stream is in the block
    // (bounded; on loopback it normally is at once).
    const int readsBefore = sink.Count(2);
    std::string got;
    char piece[1000];
    int32_t n = 0;
    ASSERT_EQ(SockRecv(c, piece, 1, &n), OV_S_PLATFORM);
    got.append(piece, (size_t)n);
    int receives = 1;
    for (int i = 0; i < 50 && got.size() + (size_t)SockReadAheadBytes(c) < sent.size(); ++i) {
        if (SockReadAheadBytes(c) > 0 || OV_FAILED(SockRecv(c, piece, 1, &n))) {
            Idle(1);
            continue;
        }
        got.append(piece, (size_t)n);
        ++receives;
    }
    ASSERT_EQ(got.size() + (size_t)SockReadAheadBytes(c), sent.size());
    ASSERT_GT(SockReadAheadBytes(c), 0);

    // Each receive that left bytes behind brings one notice for them, and no
    // close comes, however long nobody reads.
    const uint32_t wakes = PfMessageLoopWakeCount();
    const int kTicks = 10;
    Idle(kTicks);
    EXPECT_GE(sink.Count(2), readsBefore + 1);
    EXPECT_LE(sink.Count(2), readsBefore + receives);
    EXPECT_EQ(sink.Count(7), 0);
    EXPECT_LE(PfMessageLoopWakeCount() - wakes, (uint32_t)kTicks + 4u);

    // A new selection reports them again (the context's re-arm after a
    // budget pause).
    const int afterIdle = sink.Count(2);
    ASSERT_EQ(SockSelectAll(c), OV_S_PLATFORM);
    ASSERT_TRUE(PumpUntilCode(2, afterIdle + 1));
    EXPECT_EQ(sink.Count(7), 0);

    // Reading on each notice drains the block; the close follows, once.
    sink.onSocket = [&](const Event& e) {
        if (e.code != 2)
            return;
        if (OV_SUCCEEDED(SockRecv(c, piece, sizeof(piece), &n)))
            got.append(piece, (size_t)n);
    };
    ASSERT_TRUE(SockRecv(c, piece, sizeof(piece), &n) == OV_S_PLATFORM);
    got.append(piece, (size_t)n);
    ASSERT_TRUE(PumpUntilCode(7));
    EXPECT_EQ(got, sent);
    EXPECT_EQ(SockReadAheadBytes(c), 0);
    EXPECT_TRUE(OV_FAILED(SockRecv(c, piece, sizeof(piece), &n)));
    Idle(3);
    EXPECT_EQ(sink.Count(7), 1);
}

// A datagram socket keeps its message bounds: nothing is read ahead.
TEST_F(AsyncWindow, DatagramsAreNeverReadAhead) {
    SockRecord* u = BoundDatagramSocket();
    ASSERT_NE(u, nullptr);
    NetAddress self = LoopbackAt(SockLocalPort(u));
    int32_t sent = 0;
    ASSERT_EQ(SockSendTo(u, &self, "one", 3, &sent), OV_S_PLATFORM);
    ASSERT_EQ(SockSendTo(u, &self, "two!", 4, &sent), OV_S_PLATFORM);
    char buffer[16];
    int32_t got = 0;
    ASSERT_EQ(SockRecv(u, buffer, sizeof(buffer), &got), OV_S_PLATFORM);
    EXPECT_EQ(got, 3);
    EXPECT_EQ(SockReadAheadBytes(u), 0);
    ASSERT_EQ(SockRecv(u, buffer, sizeof(buffer), &got), OV_S_PLATFORM);
    EXPECT_EQ(got, 4);
}

TEST_F(AsyncWindow, UnregisteredSocketReportsNothing) {
    // A notice Winsock posted before the cancel may still be queued, so the
    // connect is drained first; what the peer does afterwards must be silent.
    Connection p;
    ASSERT_NO_FATAL_FAILURE(ConnectedPair(8, &p));
    Idle(2);
    int32_t slot = -1;
    ASSERT_EQ(SockUnregister(window, p.client, &slot), OV_S_PLATFORM);
    EXPECT_EQ(slot, 8);
    sink.events.clear();
    ASSERT_TRUE(socktest::PlainSend(p.peer, "late", 4));
    ClosePeer(&p);
    Idle(5);
    EXPECT_TRUE(sink.events.empty());
}

TEST_F(AsyncWindow, RegisteredButUnconnectedSocketStaysQuiet) {
    SockRecord* r = NewSocket(kSockKindTcp);
    ASSERT_NE(r, nullptr);
    SockSetBlocking(r, 0);
    ASSERT_EQ(SockRegister(window, r, 13), OV_S_PLATFORM);
    uint32_t before = PfMessageLoopWakeCount();
    Idle(5);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_LE(PfMessageLoopWakeCount() - before, 5u + 3u);
}

TEST_F(AsyncWindow, DatagramArrivalIsReadable) {
    SockRecord* u = BoundDatagramSocket();
    ASSERT_NE(u, nullptr);
    SockSetBlocking(u, 0);
    ASSERT_EQ(SockRegister(window, u, 14), OV_S_PLATFORM);
    SockRecord* sender = NewSocket(kSockKindUdp);
    ASSERT_NE(sender, nullptr);
    NetAddress to = LoopbackAt(SockLocalPort(u));
    int32_t sent = 0;
    ASSERT_EQ(SockSendTo(sender, &to, "dg", 2, &sent), OV_S_PLATFORM);
    ASSERT_TRUE(PumpUntilCode(2));
    EXPECT_EQ(sink.First(2)->slot, 14);
    char buffer[4];
    int32_t got = 0;
    EXPECT_EQ(SockRecvFrom(u, buffer, sizeof(buffer), &got, nullptr), OV_S_PLATFORM);
    EXPECT_EQ(got, 2);
}

TEST_F(AsyncWindow, ListenerReportsIncomingConnection) {
    const uint16_t port = ListenerPort();
    ASSERT_NE(port, 0);
    ASSERT_EQ(SockSetBlocking(listener.record, 0), OV_S_PLATFORM);
    ASSERT_EQ(SockRegister(window, listener.record, 11), OV_S_PLATFORM);
    SockRecord* c = NewSocket(kSockKindTcp);
    ASSERT_NE(c, nullptr);
    SockSetBlocking(c, 0);
    NetAddress to = LoopbackAt(port);
    SockConnect(c, &to);
    ASSERT_TRUE(PumpUntilCode(6));
    EXPECT_EQ(sink.First(6)->slot, 11);
    SockRecord* accepted = nullptr;
    NetAddress peer = {0, 0};
    ASSERT_EQ(SockAccept(listener.record, &peer, &accepted), OV_S_PLATFORM);
    Track(accepted);
    EXPECT_EQ(peer.address, socktest::Loopback());
    int32_t slot = -1;
    SockUnregister(window, listener.record, &slot);
}

// The loop itself, with a plain window of the test's own.
namespace {

std::vector<uint32_t> g_seen;
uint32_t g_seenThread = 0;

intptr_t RecordingProc(PfWindowHandle window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (message == PF_WM_USER + 1) {
        g_seen.push_back((uint32_t)wparam);
        g_seenThread = PfCurrentThreadId();
        return 0;
    }
    return PfDefWindowProc(window, message, wparam, lparam);
}

struct TimerProbe {
    int ticks = 0;
    uint32_t thread = 0;
    volatile int32_t run = 1;
    int stopAfter = 3;
};

void ProbeTick(void* user) {
    TimerProbe* p = static_cast<TimerProbe*>(user);
    ++p->ticks;
    p->thread = PfCurrentThreadId();
    if (p->ticks >= p->stopAfter)
        p->run = 0;
}

void OtherTick(void* user) {
    ++static_cast<TimerProbe*>(user)->ticks;
}

class MessageLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(OV_SUCCEEDED(PfMessageLoopInit()));
        g_seen.clear();
        g_seenThread = 0;
    }
    void TearDown() override {
        PfThreadTimerStop();
        PfMessageLoopDone();
    }
};

}  // namespace

TEST_F(MessageLoop, ThreadTimerFiresOnTheLoopThread) {
    TimerProbe probe;
    ASSERT_TRUE(PfThreadTimerStart(10, ProbeTick, &probe));
    PfRunMessageLoop(&probe.run);
    EXPECT_EQ(probe.ticks, 3);
    EXPECT_EQ(probe.thread, PfCurrentThreadId());
}

TEST_F(MessageLoop, StartingTheTimerAgainReplacesIt) {
    TimerProbe first;
    TimerProbe second;
    ASSERT_TRUE(PfThreadTimerStart(10, OtherTick, &first));
    ASSERT_TRUE(PfThreadTimerStart(10, ProbeTick, &second));
    PfRunMessageLoop(&second.run);
    EXPECT_EQ(first.ticks, 0);
    EXPECT_EQ(second.ticks, 3);
    EXPECT_FALSE(PfThreadTimerStart(10, nullptr, nullptr));
}

TEST_F(MessageLoop, QuitFromAnotherThreadEndsTheLoop) {
    TimerProbe guard;  // ends the test's loop if the quit never arrives
    guard.stopAfter = 500;
    ASSERT_TRUE(PfThreadTimerStart(10, ProbeTick, &guard));
    uint32_t self = PfCurrentThreadId();
    std::atomic<bool> posted{false};
    std::thread other([&] { posted = PfPostQuit(self); });
    other.join();
    EXPECT_TRUE(posted);
    PfRunMessageLoop(&guard.run);
    EXPECT_LT(guard.ticks, guard.stopAfter);
}

TEST_F(MessageLoop, QuitToAThreadWithoutLoopFails) {
    uint32_t id = 0;
    std::thread other([&] { id = PfCurrentThreadId(); });
    other.join();
    ASSERT_NE(id, 0u);
    EXPECT_NE(id, PfCurrentThreadId());
    EXPECT_FALSE(PfPostQuit(id));
}

TEST_F(MessageLoop, RunFlagStopsTheLoop) {
    volatile int32_t stopped = 0;
    PfRunMessageLoop(&stopped);  // returns at once
    TimerProbe probe;
    probe.stopAfter = 2;
    ASSERT_TRUE(PfThreadTimerStart(10, ProbeTick, &probe));
    PfRunMessageLoop(&probe.run);
    EXPECT_EQ(probe.ticks, 2);
}

TEST_F(MessageLoop, MessagesFromOtherThreadsAreDispatchedInOrder) {
    PfWindowHandle w = PfCreateMessageWindow("SwarmFetch Test Window", RecordingProc);
    ASSERT_NE(w, nullptr);
    std::thread other([w] {
        for (uint32_t i = 1; i <= 3; ++i)
            PfPostMessage(w, PF_WM_USER + 1, i, 0);
    });
    other.join();
    TimerProbe guard;
    guard.stopAfter = 500;
    ASSERT_TRUE(PfThreadTimerStart(10, ProbeTick, &guard));
    uint32_t self = PfCurrentThreadId();
    ASSERT_TRUE(PfPostQuit(self));  // queued behind the three messages
    PfRunMessageLoop(&guard.run);
    ASSERT_EQ(g_seen.size(), 3u);
    EXPECT_EQ(g_seen[0], 1u);
    EXPECT_EQ(g_seen[2], 3u);
    EXPECT_EQ(g_seenThread, self);
    PfDestroyMessageWindow(w);
    EXPECT_FALSE(PfPostMessage(w, PF_WM_USER + 1, 9, 0));
    EXPECT_FALSE(PfPostMessage(nullptr, PF_WM_USER + 1, 9, 0));
}
