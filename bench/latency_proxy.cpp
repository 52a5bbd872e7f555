// A latency proxy on loopback, for benchmarks over a "real network" where
// the kernel offers no netem: it listens on 127.0.0.1 (a free port), opens
// one connection to the origin for each connection it accepts, and hands
// every chunk on after half the round trip, in each direction, in order
// (DelayPipe.h). A request and its answer so pay the whole round trip.
//
// What it models besides the delay:
//   - the handshake: a client's first bytes reach the origin no earlier than
//     one round trip after the accept plus half a round trip, as after a
//     real TCP handshake (--no-handshake: plain delay only);
//   - the window: at most --window bytes (default 4 MiB) wait in each
//     direction of a connection, so one connection moves at most
//     window / half the round trip, and memory stays bounded (also 256 MiB
//     over all connections);
//   - a client that goes away: the origin keeps sending until the news
//     would reach it (half a round trip after the failed write or read),
//     then gets a reset; what it sends meanwhile is read and counted.
//
// Counted: connections accepted, bytes read from the origin and from the
// clients. On SIGTERM or SIGINT it stops accepting and lets the open
// connections end (at most 2 s plus a round trip), then writes the counts
// to --stats (lines "connections N", "origin_bytes N", "client_bytes N",
// "timed_out 0|1") and exits. --time-limit (default 900 s) ends it in any
// case. Its port goes to --ready once it listens.
//
// Usage: latency_proxy --origin PORT --rtt-ms N --ready FILE --stats FILE
//                      [--window BYTES] [--no-handshake] [--time-limit S]
// Native Linux only.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bench/DelayPipe.h"

using bench::DelayPipe;

namespace {

const size_t kReadSize = 64 * 1024;
const size_t kAllQueuedLimit = 256u * 1024 * 1024;
const size_t kMaxLinks = 1000;

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
}

int64_t NowUs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Closes with a reset instead of a FIN: the origin learns at once that the
// client is gone, as it would from the client's own reset.
void CloseWithReset(int fd) {
    linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
}

struct Options {
    int originPort = 0;
    int64_t rttUs = -1;
    size_t window = 4u * 1024 * 1024;
    bool handshake = true;
    double timeLimit = 900;
    std::string ready;
    std::string stats;
};

struct Counts {
    uint64_t connections = 0;
    uint64_t originBytes = 0;
    uint64_t clientBytes = 0;
};

// One side of a link: its socket, and whether it is gone (a failed read or
// write, or closed on purpose); what is due to a gone side is dropped.
struct Side {
    int fd = -1;
    bool gone = false;
};

// A client's connection and the proxy's connection to the origin.
struct Link {
    Side client, origin;
    DelayPipe up;                  // client -> origin
    DelayPipe down;                // origin -> client
    int64_t resetOriginAtUs = -1;  // the client went away: reset the origin then

    Link(int64_t oneWayUs, int64_t handshakeUntilUs, size_t window)
        : up(oneWayUs, handshakeUntilUs, window), down(oneWayUs, 0, window) {}
    bool Finished() const { return up.Finished() && down.Finished(); }
};

class Proxy {
  public:
    explicit Proxy(const Options& o) : m_options(o), m_oneWayUs(o.rttUs / 2) {}
    ~Proxy() {
        for (auto& link : m_links)
            CloseSides(*link);
        if (m_listener >= 0)
            close(m_listener);
    }

    bool Listen(uint16_t* port) {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        if (m_listener < 0)
            return false;
        sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(a);
        if (bind(m_listener, (sockaddr*)&a, sizeof(a)) != 0 || listen(m_listener, 512) != 0 ||
            !SetNonBlocking(m_listener) || getsockname(m_listener, (sockaddr*)&a, &length) != 0)
            return false;
        *port = ntohs(a.sin_port);
        return true;
    }

    // Runs until a stop signal (and the open links ended) or the time limit.
    void Run() {
        const int64_t startUs = NowUs();
        const int64_t limitUs = startUs + (int64_t)(m_options.timeLimit * 1e6);
        int64_t drainUntilUs = -1;
        std::vector<pollfd> fds;
        std::vector<std::pair<Link*, bool>> owners;  // the link and whether it is the client
        while (true) {
            const int64_t now = NowUs();
            if (now >= limitUs) {
                m_timedOut = true;
                return;
            }
            if (g_stop && drainUntilUs < 0) {
                drainUntilUs = now + 2000000 + m_options.rttUs;
                close(m_listener);
                m_listener = -1;
            }
            for (auto& link : m_links)
                Deliver(*link, now);
            m_links.erase(std::remove_if(m_links.begin(), m_links.end(),
                                         [this](const std::unique_ptr<Link>& l) {
                                             if (!l->Finished())
                                                 return false;
                                             CloseSides(*l);
                                             return true;
                                         }),
                          m_links.end());
            if (drainUntilUs >= 0 && (m_links.empty() || now >= drainUntilUs))
                return;

            int64_t wakeUs = std::min(limitUs, now + 1000000);
            if (drainUntilUs >= 0)
                wakeUs = std::min(wakeUs, drainUntilUs);
            fds.clear();
            owners.clear();
            if (m_listener >= 0 && m_links.size() < kMaxLinks) {
                fds.push_back(pollfd{m_listener, POLLIN, 0});
                owners.push_back({nullptr, false});
            }
            const bool roomOverall = AllQueued() < kAllQueuedLimit;
            for (auto& link : m_links) {
                Link& l = *link;
                AddSide(l, true, roomOverall && l.up.HasRoom(), Blocked(l.down, l.client, now),
                        &fds, &owners);
                AddSide(l, false, roomOverall && l.down.HasRoom(), Blocked(l.up, l.origin, now),
                        &fds, &owners);
                for (const DelayPipe* p : {&l.up, &l.down}) {
                    const int64_t due = p->NextDueUs();
                    if (due > now)
                        wakeUs = std::min(wakeUs, due);
                }
                if (l.resetOriginAtUs >= 0)
                    wakeUs = std::min(wakeUs, l.resetOriginAtUs);
            }
            const int timeoutMs = (int)std::max<int64_t>(0, (wakeUs - now + 999) / 1000);
            if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR)
                return;
            const int64_t after = NowUs();
            for (size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents == 0)
                    continue;
                Link* l = owners[i].first;
                if (l == nullptr)
                    Accept(after);
                else if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                    Read(*l, owners[i].second, after);
            }
        }
    }

    void WriteStats() const {
        FILE* f = fopen(m_options.stats.c_str(), "w");
        if (f == nullptr)
            return;
        fprintf(f, "connections %llu\norigin_bytes %llu\nclient_bytes %llu\ntimed_out %d\n",
                (unsigned long long)m_counts.connections, (unsigned long long)m_counts.originBytes,
                (unsigned long long)m_counts.clientBytes, m_timedOut ? 1 : 0);
        fclose(f);
    }

  private:
    size_t AllQueued() const {
        size_t total = 0;
        for (const auto& l : m_links)
            total += l->up.Queued() + l->down.Queued();
        return total;
    }

    // Due bytes wait for a writable socket.
    static bool Blocked(const DelayPipe& toward, const Side& side, int64_t now) {
        return !side.gone && !toward.DueBytes(now).empty();
    }

    static void AddSide(Link& l, bool client, bool wantRead, bool wantWrite,
                        std::vector<pollfd>* fds, std::vector<std::pair<Link*, bool>>* owners) {
        const Side& side = client ? l.client : l.origin;
        const DelayPipe& from = client ? l.up : l.down;
        short events = 0;
        if (wantRead && !side.gone && !from.SourceEnded())
            events |= POLLIN;
        if (wantWrite)
            events |= POLLOUT;
        if (events == 0)
            return;
        fds->push_back(pollfd{side.fd, events, 0});
        owners->push_back({&l, client});
    }

    void Accept(int64_t now) {
        while (m_links.size() < kMaxLinks) {
            const int fd = accept(m_listener, nullptr, nullptr);
            if (fd < 0)
                return;
            ++m_counts.connections;
            const int64_t handshakeUntil = m_options.handshake ? now + m_options.rttUs : 0;
            auto link = std::make_unique<Link>(m_oneWayUs, handshakeUntil, m_options.window);
            link->client.fd = fd;
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            link->origin.fd = SetNonBlocking(fd) ? ConnectOrigin() : -1;
            if (link->origin.fd < 0) {
                // As a refused connection reaches the client: after the delay.
                link->origin.gone = true;
                link->down.PushEnd(now);
            }
            m_links.push_back(std::move(link));
        }
    }

    int ConnectOrigin() const {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return -1;
        sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((uint16_t)m_options.originPort);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        // Loopback: the connect is done at once (or refused).
        if (connect(fd, (sockaddr*)&a, sizeof(a)) != 0 || !SetNonBlocking(fd)) {
            close(fd);
            return -1;
        }
        return fd;
    }

    void Read(Link& l, bool client, int64_t now) {
        Side& side = client ? l.client : l.origin;
        DelayPipe& pipe = client ? l.up : l.down;
        if (side.gone || pipe.SourceEnded())
            return;
        char buffer[kReadSize];
        const ssize_t n = recv(side.fd, buffer, sizeof(buffer), 0);
        if (n > 0) {
            (client ? m_counts.clientBytes : m_counts.originBytes) += (uint64_t)n;
            pipe.Push(now, buffer, (size_t)n);
        } else if (n == 0) {
            pipe.PushEnd(now);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            Lost(l, client, now);
        }
    }

    // A side failed (reset, broken pipe): nothing more comes from it and
    // what is due to it is dropped.
    void Lost(Link& l, bool client, int64_t now) {
        Side& side = client ? l.client : l.origin;
        side.gone = true;
        (client ? l.up : l.down).PushEnd(now);
        if (client && !l.origin.gone)
            l.resetOriginAtUs = now + m_oneWayUs;
    }

    // Hands on what is due in both directions; resets the origin once a
    // gone client's news reached it.
    void Deliver(Link& l, int64_t now) {
        if (l.resetOriginAtUs >= 0 && now >= l.resetOriginAtUs && !l.origin.gone) {
            l.origin.gone = true;
            CloseWithReset(l.origin.fd);
            l.origin.fd = -1;
            l.down.PushEnd(now);
        }
        Flush(l, l.up, l.origin, false, now);
        Flush(l, l.down, l.client, true, now);
    }

    void Flush(Link& l, DelayPipe& pipe, Side& to, bool toClient, int64_t now) {
        while (true) {
            const std::string_view due = pipe.DueBytes(now);
            if (!due.empty()) {
                if (to.gone) {
                    pipe.Take(due.size());
                    continue;
                }
                const ssize_t n = send(to.fd, due.data(), due.size(), MSG_NOSIGNAL);
                if (n > 0) {
                    pipe.Take((size_t)n);
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                    return;
                Lost(l, toClient, now);
                continue;
            }
            if (pipe.EndIsDue(now)) {
                if (!to.gone)
                    shutdown(to.fd, SHUT_WR);
                pipe.TakeEnd();
            }
            return;
        }
    }

    static void CloseSides(Link& l) {
        for (Side* s : {&l.client, &l.origin}) {
            if (s->fd >= 0)
                close(s->fd);
            s->fd = -1;
        }
    }

    const Options m_options;
    const int64_t m_oneWayUs;
    int m_listener = -1;
    std::vector<std::unique_ptr<Link>> m_links;
    Counts m_counts;
    bool m_timedOut = false;
};

bool WriteReady(const std::string& path, uint16_t port) {
    const std::string temporary = path + ".tmp";
    FILE* f = fopen(temporary.c_str(), "w");
    if (f == nullptr)
        return false;
    fprintf(f, "%u\n", (unsigned)port);
    return fclose(f) == 0 && rename(temporary.c_str(), path.c_str()) == 0;
}

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--no-handshake")
            o->handshake = false;
        else if (a == "--origin" && hasValue)
            o->originPort = atoi(argv[++i]);
        else if (a == "--rtt-ms" && hasValue)
            o->rttUs = (int64_t)(atof(argv[++i]) * 1000);
        else if (a == "--window" && hasValue)
            o->window = (size_t)strtoull(argv[++i], nullptr, 10);
        else if (a == "--time-limit" && hasValue)
            o->timeLimit = atof(argv[++i]);
        else if (a == "--ready" && hasValue)
            o->ready = argv[++i];
        else if (a == "--stats" && hasValue)
            o->stats = argv[++i];
        else
            return false;
    }
    return o->originPort > 0 && o->originPort < 65536 && o->rttUs >= 0 && o->window > 0 &&
           o->timeLimit > 0 && !o->ready.empty() && !o->stats.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr,
                "usage: latency_proxy --origin PORT --rtt-ms N --ready FILE --stats FILE\n"
                "                     [--window BYTES] [--no-handshake] [--time-limit S]\n");
        return 2;
    }
    struct sigaction stop;
    memset(&stop, 0, sizeof(stop));
    stop.sa_handler = &OnStopSignal;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    Proxy proxy(options);
    uint16_t port = 0;
    if (!proxy.Listen(&port) || !WriteReady(options.ready, port)) {
        fprintf(stderr, "latency_proxy: cannot listen on 127.0.0.1: %s\n", strerror(errno));
        return 1;
    }
    proxy.Run();
    proxy.WriteStats();
    return 0;
}
