// The loopback test peers against plain OS client sockets: enough to catch a
// peer that accepts, reads, answers or closes the wrong way.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/Eventually.h"
#include "support/TestPeers.h"

using namespace testpeers;

namespace {

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = (char)('a' + i % 26);
    return s;
}

bool IsFloodBody(const std::string& bytes, uint64_t offset) {
    for (size_t i = 0; i < bytes.size(); ++i)
        if ((uint8_t)bytes[i] != FloodByte(offset + i))
            return false;
    return true;
}

// A reset where the OS sends one; under Wine an ordinary end of stream.
void ExpectReset(Client& c) {
    std::string got;
    int n = c.Recv(&got, 10, 5000);
    if (ResetsAreAbortive()) {
        EXPECT_EQ(n, -1);
        EXPECT_TRUE(c.ResetSeen());
    } else {
        EXPECT_EQ(n, 0);
    }
    EXPECT_TRUE(got.empty());
}

TEST(TestPeers, RefusedPortHasNoListener) {
    uint16_t port = RefusedPort();
    ASSERT_NE(port, 0);
    Client c;
    EXPECT_FALSE(c.Connect(port));
    EXPECT_TRUE(c.ConnectRefused());
}

TEST(TestPeers, BlackholeConnectNeitherSucceedsNorFails) {
    Blackhole hole;
    ASSERT_TRUE(hole.Ok());
    Client c;
    EXPECT_FALSE(c.Connect(hole.Port(), 300));
    EXPECT_FALSE(c.ConnectRefused());
    EXPECT_EQ(hole.Connections(), 0);
    // An open port still connects.
    Sink sink;
    ASSERT_TRUE(c.Connect(sink.Port()));
    EXPECT_FALSE(c.ConnectRefused());
}

TEST(TestPeers, LoopbackAddressIsNetworkOrder) {
    NetAddress a = LoopbackAt(1234);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&a.address);
    EXPECT_EQ(b[0], 127);
    EXPECT_EQ(b[3], 1);
    EXPECT_EQ(a.port, 1234);
}

// --- Sink -------------------------------------------------------------------

TEST(SinkPeer, CountsAndRecordsPerConnection) {
    Sink sink;
    ASSERT_TRUE(sink.Ok());
    EXPECT_EQ(sink.Address().port, sink.Port());
    Client a, b;
    ASSERT_TRUE(a.Connect(sink.Port()));
    ASSERT_TRUE(a.SendAll("first"));
    ASSERT_TRUE(sink.WaitBytes(5, 5000));
    ASSERT_TRUE(b.Connect(sink.Port()));
    ASSERT_TRUE(b.SendAll("second"));
    ASSERT_TRUE(sink.WaitBytes(11, 5000));
    EXPECT_EQ(sink.Connections(), 2);
    EXPECT_EQ(sink.OpenConnections(), 2);
    EXPECT_EQ(sink.Received(), "firstsecond");
    EXPECT_EQ(sink.ReceivedOn(0), "first");
    EXPECT_EQ(sink.ReceivedOn(1), "second");
    EXPECT_EQ(sink.ReceivedOn(2), "");
    EXPECT_EQ(sink.ReceivedOn(-1), "");
    a.Close();
    b.Reset();
    ASSERT_TRUE(sink.WaitClientCloses(2, 5000));
    EXPECT_EQ(sink.OpenConnections(), 0);
    EXPECT_EQ(sink.BytesSent(), 0u);
}

TEST(SinkPeer, LargeTransferArrivesWhole) {
    Sink sink;
    Client c;
    ASSERT_TRUE(c.Connect(sink.Port()));
    std::string data = Pattern(3 * 1024 * 1024 + 17);
    ASSERT_TRUE(c.SendAll(data, 10000));
    ASSERT_TRUE(sink.WaitBytes(data.size(), 10000));
    EXPECT_EQ(sink.BytesReceived(), data.size());
    EXPECT_TRUE(sink.Received() == data);
}

TEST(SinkPeer, HeldBackPushesBackUntilReleased) {
    SinkOptions options;
    options.holdBack = true;
    options.receiveBuffer = 4096;
    Sink sink(options);
    Client c;
    ASSERT_TRUE(c.Connect(sink.Port()));
    ASSERT_TRUE(sink.WaitConnections(1, 5000));
    // Far more than every buffer on the way can hold: the send must stall.
    std::string data = Pattern(48 * 1024 * 1024);
    EXPECT_FALSE(c.SendAll(data, 500));
    EXPECT_EQ(sink.BytesReceived(), 0u);
    sink.SetHoldBack(false);
    EXPECT_TRUE(sink.WaitBytes(1, 5000));
}

// --- Echo -------------------------------------------------------------------

TEST(EchoPeer, SendsEveryByteBack) {
    Echo echo;
    Client c;
    ASSERT_TRUE(c.Connect(echo.Port()));
    ASSERT_TRUE(c.SendAll("hello"));
    EXPECT_EQ(c.RecvExactly(5), "hello");
    std::string data = Pattern(200 * 1024);
    ASSERT_TRUE(c.SendAll(data, 5000));
    EXPECT_TRUE(c.RecvExactly(data.size(), 5000) == data);
    // The peer counts a send after it returns, which can be after the bytes
    // arrived here.
    sftest::Eventually([&] { return echo.BytesSent() == 5u + data.size(); }, 5000, 1);
    EXPECT_EQ(echo.BytesSent(), 5u + data.size());
}

// --- Closer -----------------------------------------------------------------

TEST(CloserPeer, ClosesAtOnce) {
    Closer closer;
    Client c;
    ASSERT_TRUE(c.Connect(closer.Port()));
    uint64_t discarded = 1;
    EXPECT_TRUE(c.WaitClosed(5000, &discarded));
    EXPECT_EQ(discarded, 0u);
    EXPECT_FALSE(c.ResetSeen());
    EXPECT_EQ(closer.Connections(), 1);
}

TEST(CloserPeer, ClosesAfterBytes) {
    CloserOptions options;
    options.afterBytes = 10;
    Closer closer(options);
    Client c;
    ASSERT_TRUE(c.Connect(closer.Port()));
    ASSERT_TRUE(c.SendAll("12345"));
    ASSERT_TRUE(closer.WaitBytes(5, 5000));
    EXPECT_EQ(closer.OpenConnections(), 1);
    ASSERT_TRUE(c.SendAll("67890"));
    EXPECT_TRUE(c.WaitClosed(5000));
    EXPECT_EQ(closer.BytesReceived(), 10u);
    EXPECT_EQ(closer.Received(), "1234567890");
}

TEST(CloserPeer, ResetsWhenAsked) {
    CloserOptions options;
    options.reset = true;
    Closer closer(options);
    Client c;
    if (!c.Connect(closer.Port())) {
        // The reset arrived before the connect was checked.
        EXPECT_TRUE(c.ResetSeen());
        EXPECT_FALSE(c.ConnectRefused());
        return;
    }
    ExpectReset(c);
}

// --- Staller ----------------------------------------------------------------

TEST(StallerPeer, NeitherReadsNorSends) {
    Staller staller;
    Client c;
    ASSERT_TRUE(c.Connect(staller.Port()));
    ASSERT_TRUE(staller.WaitConnections(1, 5000));
    ASSERT_TRUE(c.SendAll("ignored"));
    std::string got;
    EXPECT_EQ(c.Recv(&got, 100, 200), -1);
    EXPECT_FALSE(c.ResetSeen());
    EXPECT_EQ(staller.BytesReceived(), 0u);
    EXPECT_EQ(staller.OpenConnections(), 1);
}

// --- Flood ------------------------------------------------------------------

TEST(FloodPeer, UnboundedUntilClientCloses) {
    Flood flood;
    Client c;
    ASSERT_TRUE(c.Connect(flood.Port()));
    std::string first = c.RecvExactly(1024 * 1024, 5000);
    ASSERT_EQ(first.size(), 1024u * 1024u);
    EXPECT_TRUE(IsFloodBody(first, 0));
    c.Reset();
    EXPECT_TRUE(flood.WaitClientCloses(1, 5000));
    EXPECT_GE(flood.BytesSent(), 1024u * 1024u);
}

TEST(FloodPeer, BoundedSendsExactlyTotal) {
    FloodOptions options;
    options.total = 300001;
    Flood flood(options);
    Client c;
    ASSERT_TRUE(c.Connect(flood.Port()));
    std::string body = c.RecvExactly(options.total, 5000);
    ASSERT_EQ(body.size(), options.total);
    EXPECT_TRUE(IsFloodBody(body, 0));
    uint64_t extra = 1;
    EXPECT_TRUE(c.WaitClosed(5000, &extra));
    EXPECT_EQ(extra, 0u);
    EXPECT_EQ(flood.BytesSent(), options.total);
}

TEST(FloodPeer, HttpAnswersTheRequestHead) {
    FloodOptions options;
    options.total = 70000;
    options.http = true;
    Flood flood(options);
    Client c;
    ASSERT_TRUE(c.Connect(flood.Port()));
    // Nothing comes before the request head is complete.
    ASSERT_TRUE(c.SendAll("GET /x HTTP/1.1\r\nHost: a\r\n"));
    std::string got;
    EXPECT_EQ(c.Recv(&got, 100, 100), -1);
    ASSERT_TRUE(c.SendAll("\r\n"));
    std::string all;
    ASSERT_TRUE(c.Recv(&all, 1, 5000) == 1);
    all += c.RecvExactly(200000, 5000);  // ends early at the peer's close
    size_t headEnd = all.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);
    std::string head = all.substr(0, headEnd);
    EXPECT_EQ(head.find("HTTP/1.1 200 OK\r\n"), 0u);
    EXPECT_NE(head.find("Content-Length: 70000"), std::string::npos);
    std::string body = all.substr(headEnd + 4);
    EXPECT_EQ(body.size(), 70000u);
    EXPECT_TRUE(IsFloodBody(body, 0));
}

TEST(FloodPeer, HttpWithoutTotalHasNoContentLength) {
    FloodOptions options;
    options.http = true;
    Flood flood(options);
    Client c;
    ASSERT_TRUE(c.Connect(flood.Port()));
    ASSERT_TRUE(c.SendAll("GET / HTTP/1.1\r\n\r\n"));
    std::string all = c.RecvExactly(4096, 5000);
    size_t headEnd = all.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);
    EXPECT_EQ(all.substr(0, headEnd).find("Content-Length"), std::string::npos);
    EXPECT_TRUE(IsFloodBody(all.substr(headEnd + 4), 0));
}

// --- Scripted ---------------------------------------------------------------

TEST(ScriptedPeer, RunsStepsInOrder) {
    Scripted peer({Step::Send("hi"), Step::Expect(3), Step::Send("ok"), Step::ExpectText("END"),
                   Step::Pause(20), Step::Send("bye"), Step::Close()});
    Client c;
    ASSERT_TRUE(c.Connect(peer.Port()));
    EXPECT_EQ(c.RecvExactly(2), "hi");
    ASSERT_TRUE(c.SendAll("ab"));
    std::string got;
    EXPECT_EQ(c.Recv(&got, 10, 100), -1);  // two of three bytes: no answer yet
    ASSERT_TRUE(c.SendAll("c"));
    EXPECT_EQ(c.RecvExactly(2), "ok");
    ASSERT_TRUE(c.SendAll("xxEN"));
    ASSERT_TRUE(c.SendAll("Dyy"));
    EXPECT_EQ(c.RecvExactly(3), "bye");
    EXPECT_TRUE(c.WaitClosed(5000));
    EXPECT_EQ(peer.ScriptsCompleted(), 1);
    EXPECT_EQ(peer.StepTimeouts(), 0);
    EXPECT_EQ(peer.Received(), "abcxxENDyy");
}

TEST(ScriptedPeer, EveryConnectionRunsTheScript) {
    Scripted peer({Step::Send("x")});
    Client a, b;
    ASSERT_TRUE(a.Connect(peer.Port()));
    ASSERT_TRUE(b.Connect(peer.Port()));
    EXPECT_EQ(a.RecvExactly(1), "x");
    EXPECT_EQ(b.RecvExactly(1), "x");
    // After the script the connection stays open and keeps reading.
    ASSERT_TRUE(a.SendAll("more"));
    EXPECT_TRUE(peer.WaitBytes(4, 5000));
    EXPECT_EQ(peer.OpenConnections(), 2);
    EXPECT_EQ(peer.ScriptsCompleted(), 2);
}

TEST(ScriptedPeer, UnmetExpectationTimesOut) {
    ScriptedOptions options;
    options.stepTimeoutMs = 50;
    Scripted peer({Step::Expect(5), Step::Send("never")}, options);
    Client c;
    ASSERT_TRUE(c.Connect(peer.Port()));
    uint64_t discarded = 1;
    EXPECT_TRUE(c.WaitClosed(5000, &discarded));
    EXPECT_EQ(discarded, 0u);
    EXPECT_EQ(peer.StepTimeouts(), 1);
    EXPECT_EQ(peer.ScriptsCompleted(), 0);
}

TEST(ScriptedPeer, ResetStep) {
    Scripted peer({Step::Expect(1), Step::Reset()});
    Client c;
    ASSERT_TRUE(c.Connect(peer.Port()));
    ASSERT_TRUE(c.SendAll("!"));
    ExpectReset(c);
}

// --- Frames -----------------------------------------------------------------

TEST(Frames, PaddingToMultiplesOfEight) {
    std::string f4 = BuildFrame(768, 154, "abcd");
    EXPECT_EQ(f4.size(), 24u);
    EXPECT_EQ((uint8_t)f4[10], 10);
    std::string f0 = BuildFrame(768, 131, "");
    EXPECT_EQ(f0.size(), 16u);
    EXPECT_EQ((uint8_t)f0[10], 2);
    std::string f600 = BuildFrame(256, 1, std::string(600, 'x'));
    EXPECT_EQ(f600.size(), 616u);
    EXPECT_EQ((uint8_t)f600[10] | ((uint8_t)f600[11] << 8), 602);
    // Header: category and message little-endian, six zero bytes.
    EXPECT_EQ((uint8_t)f4[0], 0x00);
    EXPECT_EQ((uint8_t)f4[1], 0x03);
    EXPECT_EQ((uint8_t)f4[2], 154);
    EXPECT_EQ(f4.substr(4, 6), std::string(6, '\0'));
    EXPECT_EQ(f4.substr(14, 4), "abcd");
    EXPECT_EQ(f4.substr(18), std::string(6, '\0'));
}

TEST(Frames, ParseLeavesPartialFrame) {
    std::string two = BuildFrame(768, 1, "a") + BuildFrame(768, 2, "bbbbbbbbbb");
    std::string third = BuildFrame(258, 3, "ccc");
    std::string bytes = two + third.substr(0, 9);
    std::vector<Frame> frames;
    bool bad = true;
    EXPECT_EQ(ParseFrames(bytes, &frames, &bad), two.size());
    EXPECT_FALSE(bad);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].message, 1);
    EXPECT_EQ(frames[1].message, 2);
    EXPECT_EQ(frames[1].length, 10u);
    EXPECT_EQ(frames[1].payload, "bbbbbbbbbb");
    std::string huge = std::string("\x00\x03\x01\x00\0\0\0\0\0\0\xff\xff\xff\x7f", 14);
    frames.clear();
    EXPECT_EQ(ParseFrames(huge, &frames, &bad), 0u);
    EXPECT_TRUE(bad);
    EXPECT_TRUE(frames.empty());
}

TEST(FrameAnswererPeer, AnswersMatchingFramesOnly) {
    std::string reply = BuildFrame(768, 131, std::string(1, '\x07'));
    FrameAnswerer agent({{768, 154, reply}});
    Client c;
    ASSERT_TRUE(c.Connect(agent.Port()));
    // A report, an unknown frame and half a report in one write.
    std::string report = BuildFrame(768, 154, std::string(600, 'r'));
    std::string other = BuildFrame(768, 200, "?");
    ASSERT_TRUE(c.SendAll(report + other + report.substr(0, 300)));
    EXPECT_EQ(c.RecvExactly(reply.size()), reply);
    ASSERT_TRUE(agent.WaitBytes(report.size() + other.size() + 300, 5000));
    EXPECT_EQ(agent.FrameCount(), 2u);
    ASSERT_TRUE(c.SendAll(report.substr(300)));
    EXPECT_EQ(c.RecvExactly(reply.size()), reply);
    std::vector<Frame> frames = agent.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].message, 154);
    EXPECT_EQ(frames[0].length, 602u);
    EXPECT_EQ(frames[1].message, 200);
    EXPECT_EQ(frames[2].payload.substr(0, 600), std::string(600, 'r'));
    EXPECT_EQ(agent.Replies(), 2);
    EXPECT_EQ(agent.BadFrames(), 0);
}

TEST(FrameAnswererPeer, GreetingAndCloseAfterReply) {
    FrameAnswererOptions options;
    options.greeting = BuildFrame(768, 200, "");
    options.closeAfterReply = true;
    std::string reply = BuildFrame(768, 131, std::string(1, '\x01'));
    FrameAnswerer agent({{768, 154, reply}}, options);
    Client c;
    ASSERT_TRUE(c.Connect(agent.Port()));
    EXPECT_EQ(c.RecvExactly(16), options.greeting);
    ASSERT_TRUE(c.SendAll(BuildFrame(768, 154, "abcd")));
    EXPECT_EQ(c.RecvExactly(reply.size()), reply);
    EXPECT_TRUE(c.WaitClosed(5000));
}

TEST(FrameAnswererPeer, OversizedLengthCloses) {
    FrameAnswerer agent({});
    Client c;
    ASSERT_TRUE(c.Connect(agent.Port()));
    ASSERT_TRUE(c.SendAll(std::string("\x00\x03\x9a\x00\0\0\0\0\0\0\x00\x00\x00\x40", 14)));
    EXPECT_TRUE(c.WaitClosed(5000));
    EXPECT_EQ(agent.BadFrames(), 1);
    EXPECT_EQ(agent.FrameCount(), 0u);
}

// --- Life cycle -------------------------------------------------------------

TEST(PeerLifecycle, DropAllClosesOpenConnections) {
    Sink sink;
    Client a, b;
    ASSERT_TRUE(a.Connect(sink.Port()));
    ASSERT_TRUE(b.Connect(sink.Port()));
    ASSERT_TRUE(sink.WaitConnections(2, 5000));
    sink.DropAll(true);
    ExpectReset(a);
    ExpectReset(b);
    EXPECT_TRUE(sink.WaitOpenConnections(0, 5000));
    // The listener still accepts.
    Client late;
    ASSERT_TRUE(late.Connect(sink.Port()));
    EXPECT_TRUE(sink.WaitConnections(3, 5000));
}

TEST(PeerLifecycle, StopClosesConnectionsAndListener) {
    Client c;
    uint16_t port = 0;
    {
        Staller staller;
        port = staller.Port();
        ASSERT_TRUE(c.Connect(port));
        ASSERT_TRUE(staller.WaitConnections(1, 5000));
        staller.Stop();
        staller.Stop();  // idempotent
        EXPECT_EQ(staller.OpenConnections(), 0);
    }
    EXPECT_TRUE(c.WaitClosed(5000));
    Client again;
    EXPECT_FALSE(again.Connect(port));
}

}  // namespace
