// The CDN edge of bench_swarm: a TCP relay in front of nginx that sends
// each connection's answers at most `rate` bytes per second, as an edge
// shares its uplink among the clients of a popular release. nginx's own
// limit_rate cannot stand in for it: it limits each request and lets the
// first second's worth through at once, so a web seed's many small range
// requests would never be held back.
//
// Each client's connection to nginx leaves from the client's own address,
// so nginx's access log still tells the players apart. Runs until killed
// (in a process of its own). Native Linux only.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace bench {

class SwarmEdge {
  public:
    // Listens on 127.0.0.1 (a free port); 0 when it cannot.
    uint16_t Listen() {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at = Loopback(0);
        socklen_t size = sizeof at;
        if (m_listen < 0 || bind(m_listen, (sockaddr*)&at, sizeof at) != 0 ||
            listen(m_listen, 64) != 0 || getsockname(m_listen, (sockaddr*)&at, &size) != 0)
            return 0;
        fcntl(m_listen, F_SETFL, O_NONBLOCK);
        return ntohs(at.sin_port);
    }

    // Relays to nginx on 127.0.0.1:`originPort`; never returns.
    [[noreturn]] void Run(uint16_t originPort, int64_t rate) {
        // A little over one read of credit at most: no burst after an idle
        // spell.
        const double most = (double)std::max<int64_t>(rate / 20, kChunk);
        double last = Now();
        for (;;) {
            const double now = Now();
            for (auto& link : m_links)
                link->credit = std::min(most, link->credit + rate * (now - last));
            last = now;
            std::vector<pollfd> fds = {{m_listen, POLLIN, 0}};
            bool starved = false;
            for (auto& link : m_links) {
                short fromOrigin = 0, fromClient = 0;
                if (link->down.empty() && !link->originDone) {
                    if (link->credit >= 1)
                        fromOrigin |= POLLIN;
                    else
                        starved = true;
                }
                if (!link->up.empty())
                    fromOrigin |= POLLOUT;
                if (link->up.empty() && !link->clientDone)
                    fromClient |= POLLIN;
                if (!link->down.empty())
                    fromClient |= POLLOUT;
                fds.push_back({link->origin, fromOrigin, 0});
                fds.push_back({link->client, fromClient, 0});
            }
            poll(fds.data(), fds.size(), starved ? 5 : 200);
            // The links polled first; a new one joins the next round.
            for (size_t i = 0; i < m_links.size(); ++i)
                Move(*m_links[i], fds[1 + 2 * i].revents, fds[2 + 2 * i].revents);
            if (fds[0].revents & POLLIN)
                Accept(originPort);
            m_links.erase(
                std::remove_if(m_links.begin(), m_links.end(),
                               [](const std::unique_ptr<Link>& link) { return link->Ended(); }),
                m_links.end());
        }
    }

  private:
    static const size_t kChunk = 16384;
    static const int kOriginBuffer = 65536;

    struct Link {
        int client = -1;
        int origin = -1;
        std::string down, up;  // waiting for the client, for the origin
        double credit = 0;
        bool originDone = false, clientDone = false, originShut = false, broken = false;
        // The origin's end, once its last bytes are with the client; a
        // client's end is handed on to the origin, which then ends.
        bool Ended() const { return broken || (originDone && down.empty()); }
        ~Link() {
            close(client);
            close(origin);
        }
    };

    static sockaddr_in Loopback(uint16_t port) {
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at.sin_port = htons(port);
        return at;
    }
    static double Now() {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        return t.tv_sec + t.tv_nsec / 1e9;
    }

    void Accept(uint16_t originPort) {
        sockaddr_in from = {};
        socklen_t size = sizeof from;
        const int client = accept(m_listen, (sockaddr*)&from, &size);
        if (client < 0)
            return;
        std::unique_ptr<Link> link(new Link());
        link->client = client;
        link->origin = socket(AF_INET, SOCK_STREAM, 0);
        from.sin_port = 0;
        // The origin's bytes wait at the edge's rate, not in a deep buffer:
        // nginx logs what it wrote to the socket.
        const int buffer = kOriginBuffer;
        setsockopt(link->origin, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        const sockaddr_in to = Loopback(originPort);
        if (link->origin < 0 || bind(link->origin, (sockaddr*)&from, sizeof from) != 0 ||
            connect(link->origin, (const sockaddr*)&to, sizeof to) != 0)
            return;
        fcntl(client, F_SETFL, O_NONBLOCK);
        fcntl(link->origin, F_SETFL, O_NONBLOCK);
        m_links.push_back(std::move(link));
    }

    // Reads at most `most` bytes of `from` into `into`; false at its end.
    static bool Take(int from, std::string* into, size_t most, bool* broken) {
        char buffer[kChunk];
        const ssize_t n = read(from, buffer, std::min(most, sizeof buffer));
        if (n > 0)
            into->append(buffer, (size_t)n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            *broken = true;
        return n != 0;
    }
    static void Give(int to, std::string* from, bool* broken) {
        const ssize_t n = write(to, from->data(), from->size());
        if (n > 0)
            from->erase(0, (size_t)n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            *broken = true;
    }

    static void Move(Link& link, short origin, short client) {
        // Without credit the origin is not read, not even for its end.
        if ((origin & (POLLIN | POLLHUP | POLLERR)) && link.credit >= 1) {
            const size_t before = link.down.size();
            if (!Take(link.origin, &link.down, (size_t)link.credit, &link.broken))
                link.originDone = true;
            link.credit -= (double)(link.down.size() - before);
        }
        if (client & (POLLIN | POLLHUP | POLLERR)) {
            if (!Take(link.client, &link.up, kChunk, &link.broken))
                link.clientDone = true;
        }
        if ((origin & POLLOUT) && !link.up.empty())
            Give(link.origin, &link.up, &link.broken);
        if (link.clientDone && link.up.empty() && !link.originShut) {
            shutdown(link.origin, SHUT_WR);
            link.originShut = true;
        }
        if ((client & POLLOUT) && !link.down.empty())
            Give(link.client, &link.down, &link.broken);
    }

    int m_listen = -1;
    std::vector<std::unique_ptr<Link>> m_links;
};

}  // namespace bench
