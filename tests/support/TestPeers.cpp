// Loopback test peers: one thread per peer running a select loop over its
// listener and connections. The per-kind behaviour is a small object owned by
// the peer's core, so the thread never touches a half-destroyed Peer.
#include "support/TestPeers.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "support/Eventually.h"

namespace testpeers {

// ---------------------------------------------------------------------------
// Socket shim: the few OS calls the peers need, Winsock or POSIX.
namespace {

#ifdef _WIN32
typedef SOCKET RawSocket;
const RawSocket kNoSocket = INVALID_SOCKET;
#else
typedef int RawSocket;
const RawSocket kNoSocket = -1;
#endif

void NetUp() {
#ifdef _WIN32
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
}

void NetDown() {
#ifdef _WIN32
    WSACleanup();
#endif
}

int LastError() {
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

bool WouldBlock(int error) {
#ifdef _WIN32
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
#else
    return error == EWOULDBLOCK || error == EAGAIN || error == EINPROGRESS || error == EINTR;
#endif
}

bool IsReset(int error) {
#ifdef _WIN32
    return error == WSAECONNRESET || error == WSAECONNABORTED;
#else
    return error == ECONNRESET || error == EPIPE;
#endif
}

bool IsRefused(int error) {
#ifdef _WIN32
    return error == WSAECONNREFUSED;
#else
    return error == ECONNREFUSED;
#endif
}

void SetNonBlocking(RawSocket s) {
#ifdef _WIN32
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
#else
    int flags = fcntl(s, F_GETFL, 0);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
#endif
}

void CloseRaw(RawSocket s, bool reset) {
    if (s == kNoSocket)
        return;
    if (reset) {
        struct linger l;
        l.l_onoff = 1;
        l.l_linger = 0;
        setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof(l));
    }
#ifdef _WIN32
    closesocket(s);
#else
    close(s);
#endif
}

// Bytes sent (>= 0), or -1 with `*error` set.
int SendRaw(RawSocket s, const char* data, size_t size, int* error) {
    int chunk = (int)std::min<size_t>(size, 1u << 20);
#ifdef _WIN32
    int n = send(s, data, chunk, 0);
#else
    int n = (int)send(s, data, (size_t)chunk, MSG_NOSIGNAL);
#endif
    if (n < 0)
        *error = LastError();
    return n;
}

// Bytes received (> 0), 0 at end of stream, or -1 with `*error` set.
int RecvRaw(RawSocket s, char* buffer, size_t size, int* error) {
    int chunk = (int)std::min<size_t>(size, 1u << 20);
#ifdef _WIN32
    int n = recv(s, buffer, chunk, 0);
#else
    int n = (int)recv(s, buffer, (size_t)chunk, 0);
#endif
    if (n < 0)
        *error = LastError();
    return n;
}

sockaddr_in LoopbackSockAddr(uint16_t port) {
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t BoundPort(RawSocket s) {
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
#ifdef _WIN32
    int size = (int)sizeof(a);
#else
    socklen_t size = (socklen_t)sizeof(a);
#endif
    if (getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) != 0)
        return 0;
    return ntohs(a.sin_port);
}

// A socket bound to 127.0.0.1 with an OS-chosen port (kNoSocket on failure).
RawSocket BindLoopback(const PeerOptions& options) {
    RawSocket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoSocket)
        return kNoSocket;
    if (options.receiveBuffer > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&options.receiveBuffer),
                   sizeof(options.receiveBuffer));
    if (options.sendBuffer > 0)
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&options.sendBuffer),
                   sizeof(options.sendBuffer));
    sockaddr_in a = LoopbackSockAddr(options.port);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        CloseRaw(s, false);
        return kNoSocket;
    }
    return s;
}

// Waits until `s` is readable (or writable); false on time-out or error.
bool WaitSocket(RawSocket s, bool write, uint32_t timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set errors;
    FD_ZERO(&errors);
    FD_SET(s, &errors);
    timeval tv;
    tv.tv_sec = (long)(timeoutMs / 1000);
    tv.tv_usec = (long)((timeoutMs % 1000) * 1000);
    int n = select((int)s + 1, write ? nullptr : &set, write ? &set : nullptr, &errors, &tv);
    return n > 0;
}

uint64_t NowMs() {
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Polls `done` every few milliseconds for at most `timeoutMs`.
bool WaitUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
    return sftest::Eventually(done, timeoutMs, 2);
}

void PutLe16(char* p, uint16_t v) {
    p[0] = (char)(v & 0xFF);
    p[1] = (char)(v >> 8);
}

void PutLe32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = (char)((v >> (8 * i)) & 0xFF);
}

uint32_t GetLe(const std::string& s, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | (uint8_t)s[at + (size_t)i];
    return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Connections and behaviours.
namespace {

enum CloseKind { kKeepOpen, kCloseGraceful, kCloseReset };

struct Conn {
    RawSocket socket = kNoSocket;
    int index = 0;
    uint64_t received = 0;
    std::string out;  // queued bytes not yet sent
    size_t outPos = 0;
    CloseKind closeAfterFlush = kKeepOpen;  // close once `out` is sent
    bool dead = false;
    // Behaviour state.
    std::string buffer;  // frames not yet cut, or everything received (scripts)
    size_t step = 0;     // scripted: current step
    uint64_t stepStartMs = 0;
    size_t consumed = 0;  // scripted: bytes accounted for by expectations
    uint64_t produced = 0;
    bool streaming = false;
    bool done = false;

    bool OutPending() const { return outPos < out.size(); }
};

class Behaviour {
  public:
    virtual ~Behaviour() {}
    virtual void OnAccept(Conn&, uint64_t) {}
    // Most bytes the peer may read now (0: read nothing).
    virtual size_t ReadLimit(const Conn&) { return (size_t)-1; }
    virtual void OnData(Conn&, const char*, size_t) {}
    // Body bytes to send once `out` is empty; false when there are none.
    virtual bool Produce(Conn&, const char**, size_t*) { return false; }
    virtual void Produced(Conn&, size_t) {}
    virtual void OnPass(Conn&, uint64_t) {}
};

}  // namespace

struct PeerCore {
    std::mutex lock;  // guards records, connections and behaviour state
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<int> drop{0};  // 1 graceful, 2 reset
    bool running = false;
    RawSocket listener = kNoSocket;
    uint16_t port = 0;
    Behaviour* behaviour = nullptr;
    bool acceptNothing = false;
    std::vector<RawSocket> fillers;  // a blackhole's own connects

    std::atomic<int> connections{0};
    std::atomic<int> open{0};
    std::atomic<int> clientCloses{0};
    std::atomic<uint64_t> bytesReceived{0};
    std::atomic<uint64_t> bytesSent{0};
    std::string received;
    std::vector<std::string> perConnection;
    std::vector<Conn*> conns;

    ~PeerCore() { delete behaviour; }
    void Run();
    void Accept(uint64_t now);
    void ReadFrom(Conn& c);
    void WriteTo(Conn& c);
    void CloseConn(Conn& c, bool reset);
};

namespace {

const size_t kReadChunk = 64 * 1024;
const int kPassOps = 32;  // reads or sends per connection and pass
const uint32_t kPassMs = 10;
// Safety net for a peer that was never stopped.
const uint64_t kMaxLifetimeMs = 600 * 1000;

void Keep(std::string& into, const char* data, size_t size) {
    if (into.size() < kKeepBytes)
        into.append(data, std::min(size, kKeepBytes - into.size()));
}

}  // namespace

void PeerCore::CloseConn(Conn& c, bool reset) {
    if (c.dead)
        return;
    CloseRaw(c.socket, reset);
    c.socket = kNoSocket;
    c.dead = true;
    --open;
}

void PeerCore::Accept(uint64_t now) {
    for (int i = 0; i < kPassOps; ++i) {
        RawSocket s = accept(listener, nullptr, nullptr);
        if (s == kNoSocket)
            return;
#ifndef _WIN32
        if (s >= FD_SETSIZE) {
            CloseRaw(s, false);
            continue;
        }
#endif
        if (conns.size() >= (size_t)kMaxConnections) {
            CloseRaw(s, false);
            continue;
        }
        SetNonBlocking(s);
        Conn* c = new Conn;
        c->socket = s;
        c->index = connections.load();
        c->stepStartMs = now;
        perConnection.emplace_back();
        conns.push_back(c);
        ++connections;
        ++open;
        behaviour->OnAccept(*c, now);
    }
}

void PeerCore::ReadFrom(Conn& c) {
    static thread_local char buffer[kReadChunk];
    for (int i = 0; i < kPassOps && !c.dead; ++i) {
        size_t limit = std::min(behaviour->ReadLimit(c), kReadChunk);
        if (limit == 0)
            return;
        int error = 0;
        int n = RecvRaw(c.socket, buffer, limit, &error);
        if (n > 0) {
            c.received += (uint64_t)n;
            bytesReceived += (uint64_t)n;
            Keep(received, buffer, (size_t)n);
            Keep(perConnection[(size_t)c.index], buffer, (size_t)n);
            behaviour->OnData(c, buffer, (size_t)n);
            continue;
        }
        if (n < 0 && WouldBlock(error))
            return;
        // End of stream or an error: the client is gone.
        ++clientCloses;
        CloseConn(c, false);
        return;
    }
}

void PeerCore::WriteTo(Conn& c) {
    for (int i = 0; i < kPassOps && !c.dead; ++i) {
        const char* data = nullptr;
        size_t size = 0;
        bool body = false;
        if (c.OutPending()) {
            data = c.out.data() + c.outPos;
            size = c.out.size() - c.outPos;
        } else if (behaviour->Produce(c, &data, &size) && size > 0) {
            body = true;
        } else {
            return;
        }
        int error = 0;
        int n = SendRaw(c.socket, data, size, &error);
        if (n < 0) {
            if (WouldBlock(error))
                return;
            ++clientCloses;
            CloseConn(c, false);
            return;
        }
        bytesSent += (uint64_t)n;
        if (body) {
            behaviour->Produced(c, (size_t)n);
        } else {
            c.outPos += (size_t)n;
            if (c.outPos == c.out.size()) {
                c.out.clear();
                c.outPos = 0;
            }
        }
        if ((size_t)n < size)
            return;
    }
}

void PeerCore::Run() {
    const uint64_t started = NowMs();
    while (!stop.load() && NowMs() - started < kMaxLifetimeMs) {
        fd_set readSet, writeSet;
        FD_ZERO(&readSet);
        FD_ZERO(&writeSet);
        RawSocket highest = listener;
        if (!acceptNothing)
            FD_SET(listener, &readSet);
        {
            std::lock_guard<std::mutex> guard(lock);
            int dropKind = drop.exchange(0);
            for (Conn* c : conns) {
                if (dropKind != 0)
                    CloseConn(*c, dropKind == 2);
                if (c->dead)
                    continue;
                const char* data = nullptr;
                size_t size = 0;
                if (behaviour->ReadLimit(*c) > 0)
                    FD_SET(c->socket, &readSet);
                if (c->OutPending() || behaviour->Produce(*c, &data, &size))
                    FD_SET(c->socket, &writeSet);
                highest = std::max(highest, c->socket);
            }
        }
        timeval tv;
        tv.tv_sec = 0;
        tv.tv_usec = (long)kPassMs * 1000;
        int ready = select((int)highest + 1, &readSet, &writeSet, nullptr, &tv);
        if (ready < 0) {
            SleepMs(kPassMs);  // e.g. EINTR; the sets are rebuilt
            FD_ZERO(&readSet);
            FD_ZERO(&writeSet);
        }
        std::lock_guard<std::mutex> guard(lock);
        const uint64_t now = NowMs();
        if (FD_ISSET(listener, &readSet))
            Accept(now);
        for (Conn* c : conns) {
            if (!c->dead && FD_ISSET(c->socket, &readSet))
                ReadFrom(*c);
            if (!c->dead && FD_ISSET(c->socket, &writeSet))
                WriteTo(*c);
            if (!c->dead)
                behaviour->OnPass(*c, now);
            if (!c->dead && c->closeAfterFlush != kKeepOpen && !c->OutPending())
                CloseConn(*c, c->closeAfterFlush == kCloseReset);
        }
        conns.erase(std::remove_if(conns.begin(), conns.end(),
                                   [](Conn* c) {
                                       bool dead = c->dead;
                                       if (dead)
                                           delete c;
                                       return dead;
                                   }),
                    conns.end());
    }
    std::lock_guard<std::mutex> guard(lock);
    for (Conn* c : conns) {
        CloseConn(*c, false);
        delete c;
    }
    conns.clear();
}

namespace {

// Two connects of its own to a listener with a backlog of 0: once the first
// has completed it sits in the accept queue, which is then full, and the
// kernel drops every further SYN. False when the first did not complete.
bool FillBacklog(uint16_t port, std::vector<RawSocket>* fillers) {
    for (int i = 0; i < 2; ++i) {
        RawSocket f = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (f == kNoSocket)
            return false;
        SetNonBlocking(f);
        fillers->push_back(f);
        sockaddr_in a = LoopbackSockAddr(port);
        if (connect(f, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 && !WouldBlock(LastError()))
            return false;
    }
    RawSocket first = (*fillers)[0];
    int error = -1;
    socklen_t length = sizeof error;
    return WaitSocket(first, true, 5000) &&
           getsockopt(first, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 &&
           error == 0;
}

bool StartPeer(PeerCore* core, Behaviour* behaviour, const PeerOptions& options,
               bool acceptNothing = false) {
    core->behaviour = behaviour;
    NetUp();
    RawSocket s = BindLoopback(options);
    if (s == kNoSocket || listen(s, acceptNothing ? 0 : 64) != 0) {
        CloseRaw(s, false);
        NetDown();
        return false;
    }
    SetNonBlocking(s);
    uint16_t port = BoundPort(s);
    if (acceptNothing && !FillBacklog(port, &core->fillers)) {
        for (RawSocket f : core->fillers)
            CloseRaw(f, true);
        core->fillers.clear();
        CloseRaw(s, false);
        NetDown();
        return false;
    }
    core->acceptNothing = acceptNothing;
    core->listener = s;
    core->port = port;
    core->running = true;
    core->thread = std::thread([core] { core->Run(); });
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Peer

Peer::Peer() : m_core(new PeerCore) {}

Peer::~Peer() {
    Stop();
    delete m_core;
}

void Peer::Stop() {
    if (!m_core->running)
        return;
    m_core->stop = true;
    m_core->thread.join();
    for (RawSocket s : m_core->fillers)
        CloseRaw(s, true);
    m_core->fillers.clear();
    CloseRaw(m_core->listener, false);
    m_core->listener = kNoSocket;
    m_core->running = false;
    NetDown();
}

bool Peer::Ok() const {
    return m_core->port != 0;
}

uint16_t Peer::Port() const {
    return m_core->port;
}

NetAddress Peer::Address() const {
    return LoopbackAt(m_core->port);
}

int Peer::Connections() const {
    return m_core->connections.load();
}

int Peer::OpenConnections() const {
    return m_core->open.load();
}

int Peer::ClientCloses() const {
    return m_core->clientCloses.load();
}

uint64_t Peer::BytesReceived() const {
    return m_core->bytesReceived.load();
}

uint64_t Peer::BytesSent() const {
    return m_core->bytesSent.load();
}

std::string Peer::Received() const {
    std::lock_guard<std::mutex> guard(m_core->lock);
    return m_core->received;
}

std::string Peer::ReceivedOn(int index) const {
    std::lock_guard<std::mutex> guard(m_core->lock);
    if (index < 0 || (size_t)index >= m_core->perConnection.size())
        return std::string();
    return m_core->perConnection[(size_t)index];
}

bool Peer::WaitConnections(int count, uint32_t timeoutMs) const {
    return WaitUntil([&] { return Connections() >= count; }, timeoutMs);
}

bool Peer::WaitBytes(uint64_t count, uint32_t timeoutMs) const {
    return WaitUntil([&] { return BytesReceived() >= count; }, timeoutMs);
}

bool Peer::WaitClientCloses(int count, uint32_t timeoutMs) const {
    return WaitUntil([&] { return ClientCloses() >= count; }, timeoutMs);
}

bool Peer::WaitOpenConnections(int count, uint32_t timeoutMs) const {
    return WaitUntil([&] { return OpenConnections() == count; }, timeoutMs);
}

void Peer::DropAll(bool reset) {
    m_core->drop = reset ? 2 : 1;
}

// ---------------------------------------------------------------------------
// Helpers

uint32_t LoopbackAddress() {
    return htonl(INADDR_LOOPBACK);
}

NetAddress LoopbackAt(uint16_t port) {
    NetAddress a;
    a.address = LoopbackAddress();
    a.port = port;
    return a;
}

uint16_t RefusedPort() {
    NetUp();
    RawSocket s = BindLoopback(PeerOptions());
    uint16_t port = s == kNoSocket ? 0 : BoundPort(s);
    CloseRaw(s, false);
    NetDown();
    return port;
}

bool ResetsAreAbortive() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr;
#else
    return true;
#endif
}

// ---------------------------------------------------------------------------
// Sink, Echo, Closer, Staller

namespace {

class SinkBehaviour : public Behaviour {
  public:
    explicit SinkBehaviour(bool holdBack) : m_holdBack(holdBack) {}
    size_t ReadLimit(const Conn&) override { return m_holdBack.load() ? 0 : (size_t)-1; }
    std::atomic<bool> m_holdBack;
};

class EchoBehaviour : public Behaviour {
  public:
    // Stops reading while a megabyte waits to go back.
    size_t ReadLimit(const Conn& c) override {
        return c.out.size() - c.outPos < (1u << 20) ? (size_t)-1 : 0;
    }
    void OnData(Conn& c, const char* data, size_t size) override { c.out.append(data, size); }
};

class CloserBehaviour : public Behaviour {
  public:
    explicit CloserBehaviour(const CloserOptions& options) : m_options(options) {}
    void OnAccept(Conn& c, uint64_t) override {
        if (m_options.afterBytes == 0)
            c.closeAfterFlush = m_options.reset ? kCloseReset : kCloseGraceful;
    }
    size_t ReadLimit(const Conn& c) override {
        if (c.closeAfterFlush != kKeepOpen)
            return 0;
        return (size_t)(m_options.afterBytes - c.received);
    }
    void OnData(Conn& c, const char*, size_t) override {
        if (c.received >= m_options.afterBytes)
            c.closeAfterFlush = m_options.reset ? kCloseReset : kCloseGraceful;
    }
    CloserOptions m_options;
};

class StallerBehaviour : public Behaviour {
  public:
    size_t ReadLimit(const Conn&) override { return 0; }
};

}  // namespace

Sink::Sink(const SinkOptions& options) {
    StartPeer(m_core, new SinkBehaviour(options.holdBack), options);
}

void Sink::SetHoldBack(bool holdBack) {
    static_cast<SinkBehaviour*>(m_core->behaviour)->m_holdBack = holdBack;
}

Echo::Echo(const PeerOptions& options) {
    StartPeer(m_core, new EchoBehaviour, options);
}

Closer::Closer(const CloserOptions& options) {
    StartPeer(m_core, new CloserBehaviour(options), options);
}

Staller::Staller(const PeerOptions& options) {
    StartPeer(m_core, new StallerBehaviour, options);
}

Blackhole::Blackhole() {
    StartPeer(m_core, new StallerBehaviour, PeerOptions(), true);
}

// ---------------------------------------------------------------------------
// Flood

namespace {

const size_t kFloodChunk = 64 * 1024;

class FloodBehaviour : public Behaviour {
  public:
    explicit FloodBehaviour(const FloodOptions& options) : m_options(options) {
        // Two chunks plus one period, so any offset's chunk is one slice.
        m_pattern.resize(2 * kFloodChunk + 251);
        for (size_t i = 0; i < m_pattern.size(); ++i)
            m_pattern[i] = (char)FloodByte(i);
    }
    void OnAccept(Conn& c, uint64_t) override { c.streaming = !m_options.http; }
    void OnData(Conn& c, const char* data, size_t size) override {
        if (!m_options.http || c.streaming || c.done)
            return;
        // Only the request head matters; keep its tail for the search.
        if (c.buffer.size() < 64 * 1024)
            c.buffer.append(data, std::min(size, (size_t)64 * 1024));
        if (c.buffer.find("\r\n\r\n") == std::string::npos)
            return;
        char length[64] = "";
        if (m_options.total != 0)
            snprintf(length, sizeof(length), "Content-Length: %llu\r\n",
                     (unsigned long long)m_options.total);
        c.out.append("HTTP/1.1 200 OK\r\n");
        c.out.append(length);
        c.out.append("Content-Type: application/octet-stream\r\nConnection: close\r\n\r\n");
        c.buffer.clear();
        c.streaming = true;
    }
    bool Produce(Conn& c, const char** data, size_t* size) override {
        if (!c.streaming || c.closeAfterFlush != kKeepOpen)
            return false;
        size_t n = kFloodChunk;
        if (m_options.total != 0)
            n = (size_t)std::min<uint64_t>(n, m_options.total - c.produced);
        *data = m_pattern.data() + (size_t)(c.produced % 251u);
        *size = n;
        return n > 0;
    }
    void Produced(Conn& c, size_t n) override {
        c.produced += n;
        if (m_options.total != 0 && c.produced >= m_options.total) {
            c.streaming = false;
            c.done = true;
            c.closeAfterFlush = kCloseGraceful;
        }
    }
    FloodOptions m_options;
    std::string m_pattern;
};

}  // namespace

Flood::Flood(const FloodOptions& options) {
    StartPeer(m_core, new FloodBehaviour(options), options);
}

// ---------------------------------------------------------------------------
// Scripted

Step Step::Send(const std::string& bytes) {
    Step s;
    s.kind = kSend;
    s.bytes = bytes;
    return s;
}

Step Step::Expect(size_t count) {
    Step s;
    s.kind = kExpect;
    s.count = count;
    return s;
}

Step Step::ExpectText(const std::string& text) {
    Step s;
    s.kind = kExpectText;
    s.bytes = text;
    return s;
}

Step Step::Pause(uint32_t ms) {
    Step s;
    s.kind = kPause;
    s.ms = ms;
    return s;
}

Step Step::Close() {
    Step s;
    s.kind = kClose;
    return s;
}

Step Step::Reset() {
    Step s;
    s.kind = kReset;
    return s;
}

namespace {

class ScriptBehaviour : public Behaviour {
  public:
    ScriptBehaviour(const std::vector<Step>& steps, const ScriptedOptions& options)
        : m_steps(steps), m_options(options) {}
    void OnAccept(Conn& c, uint64_t now) override { Advance(c, now); }
    size_t ReadLimit(const Conn& c) override {
        return c.closeAfterFlush != kKeepOpen ? 0 : (size_t)-1;
    }
    void OnData(Conn& c, const char* data, size_t size) override {
        if (!c.done)
            Keep(c.buffer, data, size);
    }
    void OnPass(Conn& c, uint64_t now) override { Advance(c, now); }

    void Advance(Conn& c, uint64_t now) {
        // Bounded by the step count: each pass either advances or returns.
        while (!c.done && c.closeAfterFlush == kKeepOpen) {
            if (c.step >= m_steps.size()) {
                c.done = true;
                ++m_completed;
                c.buffer.clear();
                return;
            }
            const Step& s = m_steps[c.step];
            bool finished = true;
            switch (s.kind) {
                case Step::kSend:
                    c.out.append(s.bytes);
                    break;
                case Step::kExpect:
                    finished = c.received >= c.consumed + s.count;
                    if (finished)
                        c.consumed += s.count;
                    break;
                case Step::kExpectText: {
                    size_t at = c.buffer.find(s.bytes, std::min(c.consumed, c.buffer.size()));
                    finished = at != std::string::npos;
                    if (finished)
                        c.consumed = at + s.bytes.size();
                    break;
                }
                case Step::kPause:
                    finished = now - c.stepStartMs >= s.ms;
                    break;
                case Step::kClose:
                case Step::kReset:
                    c.closeAfterFlush = s.kind == Step::kReset ? kCloseReset : kCloseGraceful;
                    ++m_completed;
                    c.done = true;
                    return;
            }
            if (!finished) {
                bool waiting = s.kind == Step::kExpect || s.kind == Step::kExpectText;
                if (waiting && now - c.stepStartMs >= m_options.stepTimeoutMs) {
                    ++m_timeouts;
                    c.done = true;
                    c.closeAfterFlush = kCloseGraceful;
                }
                return;
            }
            ++c.step;
            c.stepStartMs = now;
        }
    }

    std::vector<Step> m_steps;
    ScriptedOptions m_options;
    std::atomic<int> m_timeouts{0};
    std::atomic<int> m_completed{0};
};

}  // namespace

Scripted::Scripted(const std::vector<Step>& steps, const ScriptedOptions& options) {
    StartPeer(m_core, new ScriptBehaviour(steps, options), options);
}

int Scripted::StepTimeouts() const {
    return static_cast<ScriptBehaviour*>(m_core->behaviour)->m_timeouts.load();
}

int Scripted::ScriptsCompleted() const {
    return static_cast<ScriptBehaviour*>(m_core->behaviour)->m_completed.load();
}

// ---------------------------------------------------------------------------
// Frames and the frame answerer

std::string BuildFrame(uint16_t category, uint16_t message, const std::string& payload) {
    size_t length = payload.size();
    while ((14 + length) % 8 != 0)
        ++length;
    std::string frame(14 + length, '\0');
    PutLe16(&frame[0], category);
    PutLe16(&frame[2], message);
    PutLe32(&frame[10], (uint32_t)length);
    if (!payload.empty())
        memcpy(&frame[14], payload.data(), payload.size());
    return frame;
}

size_t ParseFrames(const std::string& bytes, std::vector<Frame>* frames, bool* bad) {
    if (bad != nullptr)
        *bad = false;
    size_t at = 0;
    while (bytes.size() - at >= 14) {
        uint32_t length = GetLe(bytes, at + 10, 4);
        if (length > kMaxFrameLength) {
            if (bad != nullptr)
                *bad = true;
            break;
        }
        if (bytes.size() - at - 14 < length)
            break;
        Frame f;
        f.category = (uint16_t)GetLe(bytes, at, 2);
        f.message = (uint16_t)GetLe(bytes, at + 2, 2);
        f.length = length;
        f.payload = bytes.substr(at + 14, length);
        frames->push_back(f);
        at += 14 + length;
    }
    return at;
}

namespace {

class FrameBehaviour : public Behaviour {
  public:
    FrameBehaviour(const std::vector<FrameAnswer>& answers, const FrameAnswererOptions& options)
        : m_answers(answers), m_options(options) {}
    void OnAccept(Conn& c, uint64_t) override { c.out.append(m_options.greeting); }
    size_t ReadLimit(const Conn& c) override {
        return c.closeAfterFlush != kKeepOpen ? 0 : (size_t)-1;
    }
    void OnData(Conn& c, const char* data, size_t size) override {
        c.buffer.append(data, size);
        std::vector<Frame> got;
        bool isBad = false;
        size_t used = ParseFrames(c.buffer, &got, &isBad);
        c.buffer.erase(0, used);
        for (const Frame& f : got) {
            m_frames.push_back(f);
            if (c.closeAfterFlush != kKeepOpen)
                continue;
            for (const FrameAnswer& a : m_answers) {
                if (a.category == f.category && a.message == f.message) {
                    c.out.append(a.reply);
                    ++m_replies;
                    if (m_options.closeAfterReply)
                        c.closeAfterFlush = kCloseGraceful;
                    break;
                }
            }
        }
        if (isBad) {
            ++m_bad;
            c.buffer.clear();
            c.closeAfterFlush = kCloseGraceful;
        }
    }

    std::vector<FrameAnswer> m_answers;
    FrameAnswererOptions m_options;
    std::vector<Frame> m_frames;  // guarded by the core's lock
    std::atomic<int> m_replies{0};
    std::atomic<int> m_bad{0};
};

}  // namespace

FrameAnswerer::FrameAnswerer(const std::vector<FrameAnswer>& answers,
                             const FrameAnswererOptions& options) {
    StartPeer(m_core, new FrameBehaviour(answers, options), options);
}

std::vector<Frame> FrameAnswerer::Frames() const {
    std::lock_guard<std::mutex> guard(m_core->lock);
    return static_cast<FrameBehaviour*>(m_core->behaviour)->m_frames;
}

size_t FrameAnswerer::FrameCount() const {
    std::lock_guard<std::mutex> guard(m_core->lock);
    return static_cast<FrameBehaviour*>(m_core->behaviour)->m_frames.size();
}

int FrameAnswerer::Replies() const {
    return static_cast<FrameBehaviour*>(m_core->behaviour)->m_replies.load();
}

int FrameAnswerer::BadFrames() const {
    return static_cast<FrameBehaviour*>(m_core->behaviour)->m_bad.load();
}

// ---------------------------------------------------------------------------
// Client

Client::Client() : m_socket((intptr_t)kNoSocket) {
    NetUp();
}

Client::~Client() {
    Close();
    NetDown();
}

bool Client::IsOpen() const {
    return (RawSocket)m_socket != kNoSocket;
}

bool Client::Connect(uint16_t port, uint32_t timeoutMs) {
    Close();
    m_resetSeen = false;
    m_refused = false;
    RawSocket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoSocket)
        return false;
    SetNonBlocking(s);
    sockaddr_in a = LoopbackSockAddr(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        int early = LastError();
        if (!WouldBlock(early) || !WaitSocket(s, true, timeoutMs)) {
            m_refused = IsRefused(early);
            CloseRaw(s, false);
            return false;
        }
        int error = 0;
#ifdef _WIN32
        int size = (int)sizeof(error);
#else
        socklen_t size = (socklen_t)sizeof(error);
#endif
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        if (error != 0) {
            // A peer that resets right after accepting can beat this check.
            m_refused = IsRefused(error);
            m_resetSeen = IsReset(error);
            CloseRaw(s, false);
            return false;
        }
    }
    m_socket = (intptr_t)s;
    return true;
}

bool Client::SendAll(const std::string& bytes, uint32_t timeoutMs) {
    if (!IsOpen())
        return false;
    const uint64_t end = NowMs() + timeoutMs;
    size_t at = 0;
    while (at < bytes.size()) {
        int error = 0;
        int n = SendRaw((RawSocket)m_socket, bytes.data() + at, bytes.size() - at, &error);
        if (n > 0) {
            at += (size_t)n;
            continue;
        }
        if (n < 0 && !WouldBlock(error)) {
            m_resetSeen = IsReset(error);
            return false;
        }
        uint64_t now = NowMs();
        if (now >= end || !WaitSocket((RawSocket)m_socket, true, (uint32_t)(end - now)))
            return false;
    }
    return true;
}

int Client::Recv(std::string* out, size_t max, uint32_t timeoutMs) {
    if (!IsOpen() || max == 0)
        return -1;
    char buffer[16 * 1024];
    if (!WaitSocket((RawSocket)m_socket, false, timeoutMs))
        return -1;
    int error = 0;
    int n = RecvRaw((RawSocket)m_socket, buffer, std::min(max, sizeof(buffer)), &error);
    if (n > 0)
        out->append(buffer, (size_t)n);
    if (n < 0) {
        m_resetSeen = IsReset(error);
        return -1;
    }
    return n;
}

std::string Client::RecvExactly(size_t count, uint32_t timeoutMs) {
    std::string out;
    const uint64_t end = NowMs() + timeoutMs;
    while (out.size() < count) {
        uint64_t now = NowMs();
        if (now >= end)
            break;
        if (Recv(&out, count - out.size(), (uint32_t)(end - now)) <= 0)
            break;
    }
    return out;
}

bool Client::WaitClosed(uint32_t timeoutMs, uint64_t* discarded) {
    uint64_t total = 0;
    const uint64_t end = NowMs() + timeoutMs;
    bool closed = false;
    std::string chunk;
    while (!closed) {
        uint64_t now = NowMs();
        if (now >= end)
            break;
        chunk.clear();
        int n = Recv(&chunk, 16 * 1024, (uint32_t)(end - now));
        if (n > 0)
            total += (uint64_t)n;
        else if (n == 0 || m_resetSeen)
            closed = true;
        else
            break;
    }
    if (discarded != nullptr)
        *discarded = total;
    return closed;
}

void Client::Close() {
    CloseRaw((RawSocket)m_socket, false);
    m_socket = (intptr_t)kNoSocket;
}

void Client::Reset() {
    CloseRaw((RawSocket)m_socket, true);
    m_socket = (intptr_t)kNoSocket;
}

}  // namespace testpeers
