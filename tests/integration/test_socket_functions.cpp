// Socket functions against real peers on 127.0.0.1, without a message loop.
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <gtest/gtest.h>

#include "integration/SocketTestSupport.h"
#include "opn/platform/pfSocket.h"

using socktest::Listener;
using socktest::LoopbackAt;

namespace {

class SocketFunctions : public socktest::NetFixture {};

// A record as the socket functions allocate it, but without a socket.
SockRecord* EmptyRecord() {
    SockRecord* r = (SockRecord*)calloc(1, sizeof(SockRecord));
    r->handle = PF_INVALID_SOCKET;
    r->slot = -1;
    return r;
}

// A connected pair: a non-blocking client and the accepted server side.
struct Pair {
    Listener listener;
    SockRecord* client = nullptr;
    SockRecord* server = nullptr;

    bool Open() {
        if (!listener.Open())
            return false;
        if (OV_FAILED(SockCreate(&client, kSockKindTcp)))
            return false;
        NetAddress to = LoopbackAt(listener.port);
        if (OV_FAILED(SockConnect(client, &to)))
            return false;  // blocking connect
        NetAddress peer;
        if (OV_FAILED(SockAccept(listener.record, &peer, &server)))
            return false;
        return OV_SUCCEEDED(SockSetBlocking(client, 0));
    }
    ~Pair() {
        if (client != nullptr)
            SockClose(client);
        if (server != nullptr)
            SockClose(server);
    }
};

}  // namespace

TEST_F(SocketFunctions, CreateTcpGivesOpenUnregisteredRecord) {
    SockRecord* r = nullptr;
    ASSERT_EQ(SockCreate(&r, kSockKindTcp), OV_S_PLATFORM);
    ASSERT_NE(r, nullptr);
    EXPECT_NE(r->handle, PF_INVALID_SOCKET);
    EXPECT_EQ(r->kind, kSockKindTcp);
    EXPECT_EQ(r->slot, -1);
    EXPECT_EQ(r->window, nullptr);
    EXPECT_EQ(SockClose(r), OV_S_PLATFORM);
}

TEST_F(SocketFunctions, CreateOnRecordWithOpenSocketKeepsThatSocket) {
    SockRecord* r = nullptr;
    ASSERT_EQ(SockCreate(&r, kSockKindTcp), OV_S_PLATFORM);
    SockRecord* same = r;
    PfSocketHandle handle = r->handle;
    EXPECT_EQ(SockCreate(&r, kSockKindTcp), 0x80220007u);
    EXPECT_EQ(r, same);
    EXPECT_EQ(r->handle, handle);
    EXPECT_EQ(SockCreate(&r, kSockKindUdp), 0x80220007u);
    EXPECT_EQ(r->kind, kSockKindTcp);
    SockClose(r);
}

TEST_F(SocketFunctions, CreateOnRecordWithInvalidHandleOpensNewSocket) {
    SockRecord* r = EmptyRecord();
    SockRecord* same = r;
    ASSERT_EQ(SockCreate(&r, kSockKindUdp), OV_S_PLATFORM);
    EXPECT_EQ(r, same);
    EXPECT_NE(r->handle, PF_INVALID_SOCKET);
    EXPECT_EQ(r->kind, kSockKindUdp);
    SockClose(r);
}

TEST_F(SocketFunctions, CreateRejectsBadArguments) {
    EXPECT_EQ(SockCreate(nullptr, kSockKindTcp), 0x80210002u);
    SockRecord* r = nullptr;
    EXPECT_EQ(SockCreate(&r, 2), 0x80200000u);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(SockCreate(&r, -1), 0x80200000u);
    EXPECT_EQ(r, nullptr);
}

TEST_F(SocketFunctions, CheckedFunctionsRejectMissingRecordAndInvalidHandle) {
    char buffer[4] = {0};
    int32_t n = 7;
    NetAddress to = LoopbackAt(9);
    EXPECT_EQ(SockSend(nullptr, buffer, 1, &n), 0x80210002u);
    EXPECT_EQ(SockRecv(nullptr, buffer, 1, &n), 0x80210002u);
    EXPECT_EQ(SockConnect(nullptr, &to), 0x80210002u);
    EXPECT_EQ(SockSetBlocking(nullptr, 0), 0x80210002u);
    EXPECT_EQ(SockSendTo(nullptr, &to, buffer, 1, &n), 0x80210002u);
    EXPECT_EQ(SockRecvFrom(nullptr, buffer, 1, &n, nullptr), 0x80210002u);
    EXPECT_EQ(SockSelectAll(nullptr), 0x80210002u);
    EXPECT_EQ(SockClose(nullptr), 0x80210002u);
    EXPECT_EQ(SockPostEvent(nullptr), 0x80210002u);

    SockRecord* r = EmptyRecord();
    EXPECT_EQ(SockSend(r, buffer, 1, &n), 0x80220004u);
    EXPECT_EQ(SockRecv(r, buffer, 1, &n), 0x80220004u);
    EXPECT_EQ(SockConnect(r, &to), 0x80220004u);
    EXPECT_EQ(SockSetBlocking(r, 0), 0x80220004u);
    EXPECT_EQ(SockSendTo(r, &to, buffer, 1, &n), 0x80220004u);
    EXPECT_EQ(SockRecvFrom(r, buffer, 1, &n, nullptr), 0x80220004u);
    EXPECT_EQ(SockBind(r, &to), 0x80220004u);
    EXPECT_EQ(SockListen(r), 0x80220004u);
    EXPECT_EQ(SockEnableBroadcast(r, 0), 0x80220004u);
    EXPECT_EQ(SockSelectAll(r), 0x80220004u);
    EXPECT_EQ(SockLocalPort(r), 0);
    EXPECT_EQ(SockClose(r), OV_S_PLATFORM);  // frees the record all the same
}

TEST_F(SocketFunctions, NegativeOrMissingBuffersAreRejected) {
    Pair p;
    ASSERT_TRUE(p.Open());
    int32_t n = 5;
    char buffer[4];
    EXPECT_EQ(SockSend(p.client, buffer, -1, &n), 0x80200000u);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(SockRecv(p.client, nullptr, 4, &n), 0x80200000u);
    EXPECT_EQ(SockRecv(p.client, buffer, -4, &n), 0x80200000u);
}

TEST_F(SocketFunctions, NonBlockingConnectWouldBlockThenCompletes) {
    Listener l;
    ASSERT_TRUE(l.Open());
    SockRecord* c = nullptr;
    ASSERT_EQ(SockCreate(&c, kSockKindTcp), OV_S_PLATFORM);
    ASSERT_EQ(SockSetBlocking(c, 0), OV_S_PLATFORM);
    EXPECT_EQ(c->nonBlocking, 1u);
    NetAddress to = LoopbackAt(l.port);
    EXPECT_EQ(SockConnect(c, &to), 0x8022000Au);
    // The record keeps the address it connected to, port in network order.
    EXPECT_EQ(c->address.family, 2);
    EXPECT_EQ(c->address.address, socktest::Loopback());
    EXPECT_EQ((c->address.port >> 8 | c->address.port << 8) & 0xFFFF, l.port);
    SockRecord* s = nullptr;
    NetAddress peer = {0, 0};
    ASSERT_EQ(SockAccept(l.record, &peer, &s), OV_S_PLATFORM);
    EXPECT_EQ(peer.address, socktest::Loopback());
    EXPECT_NE(peer.port, 0);
    EXPECT_EQ(s->slot, -1);
    SockClose(s);
    SockClose(c);
}

TEST_F(SocketFunctions, BlockingConnectToClosedPortIsRefused) {
    uint16_t port = socktest::ClosedPort();
    ASSERT_NE(port, 0);
    SockRecord* c = nullptr;
    ASSERT_EQ(SockCreate(&c, kSockKindTcp), OV_S_PLATFORM);
    NetAddress to = LoopbackAt(port);
    EXPECT_EQ(SockConnect(c, &to), 0x80220005u);
    SockClose(c);
}

TEST_F(SocketFunctions, SendAndReceiveOverLoopback) {
    Pair p;
    ASSERT_TRUE(p.Open());
    int32_t sent = 0;
    ASSERT_EQ(SockSend(p.server, "hello", 5, &sent), OV_S_PLATFORM);
    EXPECT_EQ(sent, 5);
    ASSERT_EQ(SockSetBlocking(p.client, 1), OV_S_PLATFORM);
    EXPECT_EQ(p.client->nonBlocking, 0u);
    char buffer[16] = {0};
    int32_t got = 0;
    int32_t total = 0;
    for (int i = 0; i < 5 && total < 5; ++i) {
        ASSERT_EQ(SockRecv(p.client, buffer + total, 5 - total, &got), OV_S_PLATFORM);
        total += got;
    }
    EXPECT_EQ(memcmp(buffer, "hello", 5), 0);
}

TEST_F(SocketFunctions, ReceiveWithNothingThereWouldBlock) {
    Pair p;
    ASSERT_TRUE(p.Open());
    char buffer[8];
    int32_t got = 3;
    EXPECT_EQ(SockRecv(p.client, buffer, sizeof(buffer), &got), 0x8022000Au);
    EXPECT_EQ(got, 0);
}

TEST_F(SocketFunctions, ReceiveAfterGracefulPeerCloseIsAFailure) {
    Listener l;
    ASSERT_TRUE(l.Open());
    SockRecord* c = nullptr;
    ASSERT_EQ(SockCreate(&c, kSockKindTcp), OV_S_PLATFORM);
    NetAddress to = LoopbackAt(l.port);
    ASSERT_EQ(SockConnect(c, &to), OV_S_PLATFORM);
    PfSocketHandle peer = socktest::PlainAccept(l.record);
    ASSERT_NE(peer, PF_INVALID_SOCKET);
    ASSERT_TRUE(socktest::PlainSend(peer, "ab", 2));
    socktest::PlainClose(peer);
    char buffer[8];
    int32_t got = 0;
    int32_t total = 0;
    ResultCode rc = OV_S_PLATFORM;
    // Blocking receives: the data, then the end of the stream.
    for (int i = 0; i < 4 && OV_SUCCEEDED(rc); ++i) {
        rc = SockRecv(c, buffer, sizeof(buffer), &got);
        if (OV_SUCCEEDED(rc))
            total += got;
    }
    EXPECT_EQ(total, 2);
    EXPECT_TRUE(OV_FAILED(rc));
    EXPECT_EQ(got, 0);
    // A stale "would block" from before must not hide the close.
    EXPECT_NE(rc, 0x8022000Au);
    SockClose(c);
}

TEST_F(SocketFunctions, ReceiveAfterPeerResetIsAFailure) {
    Pair p;
    ASSERT_TRUE(p.Open());
    // SO_LINGER with time-out 0: the close resets the connection.
    SockClose(p.server);
    p.server = nullptr;
    ASSERT_EQ(SockSetBlocking(p.client, 1), OV_S_PLATFORM);
    char buffer[8];
    int32_t got = 9;
    EXPECT_TRUE(OV_FAILED(SockRecv(p.client, buffer, sizeof(buffer), &got)));
    EXPECT_EQ(got, 0);
}

TEST_F(SocketFunctions, AcceptIntoOpenRecordIsRefused) {
    Listener l;
    ASSERT_TRUE(l.Open());
    SockRecord* open = nullptr;
    ASSERT_EQ(SockCreate(&open, kSockKindTcp), OV_S_PLATFORM);
    EXPECT_EQ(SockAccept(l.record, nullptr, &open), 0x80220007u);
    EXPECT_EQ(SockAccept(l.record, nullptr, nullptr), 0x80210002u);
    SockClose(open);
}

TEST_F(SocketFunctions, DatagramRoundTripReportsSender) {
    SockRecord* a = nullptr;
    SockRecord* b = nullptr;
    ASSERT_EQ(SockCreate(&a, kSockKindUdp), OV_S_PLATFORM);
    ASSERT_EQ(SockCreate(&b, kSockKindUdp), OV_S_PLATFORM);
    NetAddress any = LoopbackAt(0);
    ASSERT_EQ(SockBind(a, &any), OV_S_PLATFORM);
    ASSERT_EQ(SockBind(b, &any), OV_S_PLATFORM);
    uint16_t portA = SockLocalPort(a);
    uint16_t portB = SockLocalPort(b);
    ASSERT_NE(portA, 0);
    NetAddress toB = LoopbackAt(portB);
    int32_t sent = 0;
    ASSERT_EQ(SockSendTo(a, &toB, "ping", 4, &sent), OV_S_PLATFORM);
    EXPECT_EQ(sent, 4);
    char buffer[8] = {0};
    int32_t got = 0;
    NetAddress from = {0, 0};
    ASSERT_EQ(SockRecvFrom(b, buffer, sizeof(buffer), &got, &from), OV_S_PLATFORM);
    EXPECT_EQ(got, 4);
    EXPECT_EQ(memcmp(buffer, "ping", 4), 0);
    EXPECT_EQ(from.address, socktest::Loopback());
    EXPECT_EQ(from.port, portA);
    SockClose(a);
    SockClose(b);
}

TEST_F(SocketFunctions, BroadcastOnlyForModeZero) {
    SockRecord* u = nullptr;
    ASSERT_EQ(SockCreate(&u, kSockKindUdp), OV_S_PLATFORM);
    EXPECT_EQ(SockEnableBroadcast(u, 0), OV_S_PLATFORM);
    EXPECT_EQ(SockEnableBroadcast(u, 1), 0x80200000u);
    EXPECT_EQ(SockEnableBroadcast(u, -1), 0x80200000u);
    SockClose(u);
}

TEST_F(SocketFunctions, RegistrationNeedsWindowAndSlot) {
    SockRecord* r = nullptr;
    ASSERT_EQ(SockCreate(&r, kSockKindTcp), OV_S_PLATFORM);
    int32_t slot = 12;
    EXPECT_EQ(SockUnregister(nullptr, r, &slot), 0x80200000u);
    EXPECT_EQ(slot, -1);
    EXPECT_EQ(SockSelectAll(r), 0x80200000u);  // never registered
    MsgWindowRecord window = {nullptr, 0};
    EXPECT_EQ(SockRegister(nullptr, r, 0), 0x80200000u);
    EXPECT_EQ(SockRegister(&window, r, 64), 0x80200000u);
    EXPECT_EQ(SockRegister(&window, r, -1), 0x80200000u);
    EXPECT_EQ(r->slot, -1);
    EXPECT_EQ(SockPostEvent(r), 0x80200000u);  // no window to post to
    EXPECT_EQ(SockRegister(&window, nullptr, 0), 0x80210002u);
    SockClose(r);
}

TEST_F(SocketFunctions, ResolverGivesIpv4InNetworkOrder) {
    uint32_t address = 0;
    ASSERT_EQ(ResolveFirst("127.0.0.1", &address), OV_S_PLATFORM);
    EXPECT_EQ(address, socktest::Loopback());
    NetAddressList list;
    ASSERT_EQ(ResolveAll("localhost", &list), OV_S_PLATFORM);
    ASSERT_GE(list.count, 1);
    EXPECT_LE(list.count, (int32_t)kNetMaxAddresses);
    EXPECT_EQ(ResolveAll("", &list), 0x80200000u);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(ResolveAll(nullptr, &list), 0x80200000u);
    EXPECT_EQ(ResolveAll("localhost", nullptr), 0x80200000u);
    EXPECT_EQ(ResolveFirst("", &address), 0x80200000u);
    EXPECT_EQ(ResolveFirst("127.0.0.1", nullptr), 0x80200000u);
}

TEST_F(SocketFunctions, StartupAndCleanupCodes) {
    // The fixture already started; starting again nests.
    EXPECT_EQ(NetStartup(), 0x40300000u);
    EXPECT_EQ(NetCleanup(), 0x40300000u);
}

TEST(NetClock, SecondsFollowTheWallClock) {
    uint32_t before = (uint32_t)(uint64_t)time(nullptr);
    uint32_t now = NowSeconds();
    uint32_t after = (uint32_t)(uint64_t)time(nullptr);
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

TEST(NetClock, MillisFollowTheWallClock) {
    const int64_t before = (int64_t)time(nullptr);
    NetTimeStamp stamp;
    NowMillis(&stamp);
    const int64_t after = (int64_t)time(nullptr);
    EXPECT_LE(before, stamp.seconds);
    EXPECT_LE(stamp.seconds, after);
    EXPECT_LT(stamp.millis, 1000u);
}

TEST(NetClock, ElapsedMillisCountsFromAStamp) {
    NetTimeStamp stamp;
    NowMillis(&stamp);
    EXPECT_LT(stamp.millis, 1000u);
    NetTimeStamp earlier = stamp;
    earlier.seconds -= 5;
    EXPECT_GE(ElapsedMillis(&earlier), 5000u);
    NetTimeStamp later = stamp;
    later.seconds += 60;
    EXPECT_EQ(ElapsedMillis(&later), 0u);  // a stamp from the future
    NetTimeStamp ancient = {0, 0};
    EXPECT_EQ(ElapsedMillis(&ancient), UINT32_MAX);
    EXPECT_EQ(ElapsedMillis(nullptr), 0u);
}
