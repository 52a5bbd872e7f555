// Loopback peers for the network tests: small servers on 127.0.0.1 that
// accept, read, answer, stall or close in a known way.
//
// Every peer listens on an OS-chosen port, runs on its own thread and records
// what it received. All waits inside a peer are bounded; the destructor stops
// the thread and closes every socket within a second. Counters and records
// may be read from any thread at any time (a test usually polls them from its
// library loop, e.g. `pump.Run([&] { return sink.BytesReceived() >= 25; })`).
//
// A peer that could not open its listener reports Ok() false and Port() 0.
// Connections are served concurrently (at most kMaxConnections at once; more
// are accepted and closed at once).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "opn/platform/pfSocket.h"

namespace testpeers {

enum : int { kMaxConnections = 32 };
// Received bytes kept per peer and per connection; later bytes are counted
// only.
enum : size_t { kKeepBytes = 4u << 20 };

// 127.0.0.1 in network byte order, and as a NetAddress with `port`.
uint32_t LoopbackAddress();
NetAddress LoopbackAt(uint16_t port);

// A loopback port that nothing listens on (bound once by the OS, released).
uint16_t RefusedPort();

// Whether a reset close really sends a RST. Wine (8.x) closes gracefully even
// with a zero linger time-out, so under Wine every "reset" below arrives as an
// ordinary end of stream; tests of reset paths check this first.
bool ResetsAreAbortive();

// Buffer sizes applied to the listener (and so to every accepted socket);
// 0 keeps the OS default. A small receive buffer makes a held-back peer push
// back on the sender sooner.
struct PeerOptions {
    int receiveBuffer = 0;
    int sendBuffer = 0;
    // The port to listen on; 0 lets the OS choose.
    uint16_t port = 0;
};

struct PeerCore;  // the thread, the sockets and the records

class Peer {
  public:
    virtual ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool Ok() const;
    uint16_t Port() const;
    NetAddress Address() const;  // 127.0.0.1 and Port()

    int Connections() const;      // accepted so far
    int OpenConnections() const;  // accepted and not yet closed by either side
    int ClientCloses() const;     // connections whose client closed or reset
    uint64_t BytesReceived() const;
    uint64_t BytesSent() const;
    // Received bytes of every connection in arrival order (first kKeepBytes).
    std::string Received() const;
    // Received bytes of the `index`-th accepted connection (0-based); empty
    // when there is no such connection.
    std::string ReceivedOn(int index) const;

    // Blocking waits for callers that run no loop; true when reached in time.
    bool WaitConnections(int count, uint32_t timeoutMs) const;
    bool WaitBytes(uint64_t count, uint32_t timeoutMs) const;
    bool WaitClientCloses(int count, uint32_t timeoutMs) const;
    // Until exactly `count` connections are open (the peer's thread counts a
    // dropped one after the client may already have seen it go).
    bool WaitOpenConnections(int count, uint32_t timeoutMs) const;

    // The peer closes every open connection (reset: with RST instead of FIN);
    // returns without waiting for the peer thread.
    void DropAll(bool reset);
    // Stops the thread and closes the listener and every connection.
    // Idempotent; the destructor calls it.
    void Stop();

  protected:
    Peer();
    PeerCore* m_core;
};

// Accepts and reads everything. Held back, it accepts but reads nothing until
// SetHoldBack(false), so the sender's buffers fill up.
struct SinkOptions : PeerOptions {
    bool holdBack = false;
};
class Sink : public Peer {
  public:
    explicit Sink(const SinkOptions& options = SinkOptions());
    void SetHoldBack(bool holdBack);
};

// Sends back every byte it receives.
class Echo : public Peer {
  public:
    explicit Echo(const PeerOptions& options = PeerOptions());
};

// Accepts and closes: at once (afterBytes 0) or once `afterBytes` bytes
// arrived; with a reset (RST) instead of a graceful close when asked.
struct CloserOptions : PeerOptions {
    size_t afterBytes = 0;
    bool reset = false;
};
class Closer : public Peer {
  public:
    explicit Closer(const CloserOptions& options = CloserOptions());
};

// Accepts and then neither reads nor sends; the connection stays open until
// the client closes it or the peer stops.
class Staller : public Peer {
  public:
    explicit Staller(const PeerOptions& options = PeerOptions());
};

// Sends a fixed byte pattern (FloodByte) at full speed and discards what it
// receives. total 0: sends until the client closes; otherwise sends `total`
// bytes and closes gracefully. With http, it first waits for a request head
// ("\r\n\r\n") and answers "HTTP/1.1 200 OK" with "Content-Length: `total`"
// (left out when total is 0: the body then ends with the connection) and
// "Connection: close" before the body.
struct FloodOptions : PeerOptions {
    uint64_t total = 0;
    bool http = false;
};
class Flood : public Peer {
  public:
    explicit Flood(const FloodOptions& options = FloodOptions());
};
// The byte a Flood body holds at stream offset `offset`.
inline uint8_t FloodByte(uint64_t offset) {
    return (uint8_t)(offset % 251u);
}

// Listens with a full backlog (a backlog of 0 and a connect of its own in
// the accept queue) and never accepts: a further connect to it neither
// succeeds nor fails (the kernel drops its SYN), which is what a connect
// time-out test needs. Connections() stays 0; not Ok() when the queue could
// not be filled.
class Blackhole : public Peer {
  public:
    Blackhole();
};

// One step of a Scripted peer's conversation.
struct Step {
    enum Kind {
        kSend,        // send `bytes`
        kExpect,      // wait for `count` more received bytes
        kExpectText,  // wait until `bytes` was received (after earlier expectations)
        kPause,       // wait `ms` milliseconds (still reading)
        kClose,       // graceful close
        kReset,       // close with RST
    };
    Kind kind = kPause;
    std::string bytes;
    size_t count = 0;
    uint32_t ms = 0;

    static Step Send(const std::string& bytes);
    static Step Expect(size_t count);
    static Step ExpectText(const std::string& text);
    static Step Pause(uint32_t ms);
    static Step Close();
    static Step Reset();
};

// Runs the steps on every accepted connection, reading all the time. After
// the last step the connection stays open (read and discarded) until the
// client closes. An expectation not met within stepTimeoutMs closes the
// connection and counts in StepTimeouts().
struct ScriptedOptions : PeerOptions {
    uint32_t stepTimeoutMs = 10000;
};
class Scripted : public Peer {
  public:
    explicit Scripted(const std::vector<Step>& steps,
                      const ScriptedOptions& options = ScriptedOptions());
    int StepTimeouts() const;
    // Connections that ran every step.
    int ScriptsCompleted() const;
};

// A frame: 14-byte little-endian header (category, message, six zero bytes,
// payload length L) and L payload bytes, zero-padded so that 14 + L is a
// multiple of 8.
struct Frame {
    uint16_t category = 0;
    uint16_t message = 0;
    uint32_t length = 0;  // the header's L, padding included
    std::string payload;  // L bytes
};
// The whole frame for `payload` (padded).
std::string BuildFrame(uint16_t category, uint16_t message, const std::string& payload);
// Cuts complete frames off the front of `bytes` into `frames`; returns the
// bytes consumed (a trailing partial frame is left). A length field above
// kMaxFrameLength stops the cut and sets `*bad` (when given).
enum : uint32_t { kMaxFrameLength = 1u << 20 };
size_t ParseFrames(const std::string& bytes, std::vector<Frame>* frames, bool* bad = nullptr);

// Replies `reply` (whole frame bytes, e.g. from BuildFrame) to every frame of
// `category` and `message`.
struct FrameAnswer {
    uint16_t category = 0;
    uint16_t message = 0;
    std::string reply;
};
// Reads frames and answers them by the first matching rule; frames without a
// rule are recorded and left unanswered. `greeting` is sent on accept
// (e.g. an unexpected frame). With closeAfterReply the connection is closed
// gracefully after the first reply was sent. A length field above
// kMaxFrameLength closes the connection.
struct FrameAnswererOptions : PeerOptions {
    std::string greeting;
    bool closeAfterReply = false;
};
class FrameAnswerer : public Peer {
  public:
    explicit FrameAnswerer(const std::vector<FrameAnswer>& answers,
                           const FrameAnswererOptions& options = FrameAnswererOptions());
    // Every frame received, in arrival order over all connections.
    std::vector<Frame> Frames() const;
    size_t FrameCount() const;
    int Replies() const;
    int BadFrames() const;
};

// A blocking OS client socket for tests that need a plain peer on the other
// side. Every call is bounded by its time-out.
class Client {
  public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connect(uint16_t port, uint32_t timeoutMs = 2000);
    bool SendAll(const std::string& bytes, uint32_t timeoutMs = 2000);
    // Up to `max` bytes: the count, 0 when the peer closed, -1 on time-out or
    // error (ResetSeen tells a reset apart).
    int Recv(std::string* out, size_t max, uint32_t timeoutMs = 2000);
    // Exactly `count` bytes (fewer when the peer closed or time ran out).
    std::string RecvExactly(size_t count, uint32_t timeoutMs = 2000);
    // Reads and discards until the peer closes; true when it did in time.
    // `*discarded` (when given) gets the byte count.
    bool WaitClosed(uint32_t timeoutMs = 2000, uint64_t* discarded = nullptr);
    bool ResetSeen() const { return m_resetSeen; }
    // The last Connect failed because the port refused (not a time-out).
    bool ConnectRefused() const { return m_refused; }
    void Close();  // graceful
    void Reset();  // RST
    bool IsOpen() const;

  private:
    intptr_t m_socket;
    bool m_resetSeen = false;
    bool m_refused = false;
};

}  // namespace testpeers
