// The swarm benchmark's edge relay (bench/swarm_edge.h) in a process of its
// own between real sockets: every byte passes both ways in order, the origin
// sees the client's own address, and either side's end reaches the other.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "bench/swarm_edge.h"

namespace {

sockaddr_in At(const char* address, uint16_t port) {
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, address, &at.sin_addr);
    at.sin_port = htons(port);
    return at;
}

// Reads until the peer ends, at most `ms` without a byte; false on a time-out.
bool ReadToEnd(int fd, std::string* into, int ms = 10000) {
    char buffer[65536];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return n == 0;
        into->append(buffer, (size_t)n);
    }
}

bool WriteAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

std::string Pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = (char)(((i + seed) * 2654435761u) >> 24);
    return bytes;
}

class SwarmEdgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        origin = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at = At("127.0.0.1", 0);
        socklen_t size = sizeof at;
        ASSERT_EQ(0, bind(origin, (sockaddr*)&at, sizeof at));
        ASSERT_EQ(0, listen(origin, 8));
        ASSERT_EQ(0, getsockname(origin, (sockaddr*)&at, &size));
        bench::SwarmEdge edge;
        edgePort = edge.Listen();
        ASSERT_NE(0, edgePort);
        edgePid = fork();
        ASSERT_GE(edgePid, 0);
        if (edgePid == 0)
            edge.Run(ntohs(at.sin_port), 64 << 20);
    }
    void TearDown() override {
        if (edgePid > 0) {
            kill(edgePid, SIGKILL);
            waitpid(edgePid, nullptr, 0);
        }
        close(origin);
    }
    // A client of the edge leaving from `address`.
    int Connect(const char* address) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from = At(address, 0);
        const sockaddr_in to = At("127.0.0.1", edgePort);
        EXPECT_EQ(0, bind(fd, (sockaddr*)&from, sizeof from));
        EXPECT_EQ(0, connect(fd, (const sockaddr*)&to, sizeof to));
        return fd;
    }
    // The origin's side of the next connection and the client's address.
    int Accept(std::string* from) {
        pollfd p = {origin, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            return -1;
        sockaddr_in at = {};
        socklen_t size = sizeof at;
        const int fd = accept(origin, (sockaddr*)&at, &size);
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &at.sin_addr, text, sizeof text);
        *from = text;
        return fd;
    }

    int origin = -1;
    uint16_t edgePort = 0;
    pid_t edgePid = -1;
};

TEST_F(SwarmEdgeTest, BytesPassBothWaysInOrderFromTheClientsOwnAddress) {
    struct Case {
        const char* address;
        size_t request, answer;
    };
    const Case cases[] = {
        {"127.0.0.1", 100, 1}, {"127.0.0.7", 70000, 3u << 20}, {"127.0.0.9", 1, 65536}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        const std::string request = Pattern(c.request, 1), answer = Pattern(c.answer, 2);
        const int client = Connect(c.address);
        std::string from, got, asked;
        // The origin reads the whole request (the client then ends its
        // side), answers and closes.
        std::thread server([&] {
            const int fd = Accept(&from);
            if (fd < 0)
                return;
            while (asked.size() < request.size() && ReadToEnd(fd, &asked)) {
            }
            WriteAll(fd, answer);
            close(fd);
        });
        EXPECT_TRUE(WriteAll(client, request));
        shutdown(client, SHUT_WR);
        EXPECT_TRUE(ReadToEnd(client, &got));
        server.join();
        close(client);
        EXPECT_EQ(c.address, from);
        EXPECT_TRUE(asked == request) << asked.size() << " of " << request.size();
        EXPECT_TRUE(got == answer) << got.size() << " of " << answer.size();
    }
}

TEST_F(SwarmEdgeTest, AClientThatGoesEndsItsOriginConnection) {
    const int client = Connect("127.0.0.1");
    std::string from;
    const int fd = Accept(&from);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(client, "GET"));
    char head[3];
    ASSERT_EQ(3, read(fd, head, sizeof head));
    close(client);
    std::string rest;
    EXPECT_TRUE(ReadToEnd(fd, &rest));
    EXPECT_EQ("", rest);
    close(fd);
}

}  // namespace
