// Helpers for the socket tests: loopback addresses, a listener on a port the
// OS picks, plain OS calls for a peer that closes gracefully, and a bounded
// message pump.
#pragma once

#include <stdint.h>
#include <string.h>

#include <functional>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfSocket.h"

namespace socktest {

inline uint32_t Loopback() {
    const uint8_t bytes[4] = {127, 0, 0, 1};
    uint32_t address;
    memcpy(&address, bytes, sizeof(address));
    return address;
}

inline NetAddress LoopbackAt(uint16_t port) {
    NetAddress a;
    a.address = Loopback();
    a.port = port;
    return a;
}

// A blocking TCP listener on 127.0.0.1 with an OS-chosen port.
struct Listener {
    SockRecord* record = nullptr;
    uint16_t port = 0;

    bool Open() {
        if (OV_FAILED(SockCreate(&record, kSockKindTcp)))
            return false;
        NetAddress at = LoopbackAt(0);
        if (OV_FAILED(SockBind(record, &at)))
            return false;
        if (OV_FAILED(SockListen(record)))
            return false;
        port = SockLocalPort(record);
        return port != 0;
    }
    ~Listener() {
        if (record != nullptr)
            SockClose(record);
    }
};

// A loopback port with nobody listening (bound once, then released).
inline uint16_t ClosedPort() {
    Listener l;
    if (!l.Open())
        return 0;
    uint16_t port = l.port;
    SockClose(l.record);
    l.record = nullptr;
    return port;
}

// Accepts with the OS call, so the peer keeps the default (graceful) close.
inline PfSocketHandle PlainAccept(SockRecord* listener) {
#ifdef _WIN32
    SOCKET s = accept((SOCKET)listener->handle, nullptr, nullptr);
    return s == INVALID_SOCKET ? PF_INVALID_SOCKET : (PfSocketHandle)s;
#else
    int fd = accept((int)listener->handle, nullptr, nullptr);
    return fd < 0 ? PF_INVALID_SOCKET : (PfSocketHandle)fd;
#endif
}

inline bool PlainSend(PfSocketHandle s, const char* data, int size) {
#ifdef _WIN32
    return send((SOCKET)s, data, size, 0) == size;
#else
    return send((int)s, data, (size_t)size, MSG_NOSIGNAL) == size;
#endif
}

// Blocking receive of up to `size` bytes; the count, or <= 0.
inline int PlainRecv(PfSocketHandle s, char* buffer, int size) {
#ifdef _WIN32
    return recv((SOCKET)s, buffer, size, 0);
#else
    return (int)recv((int)s, buffer, (size_t)size, 0);
#endif
}

inline void PlainClose(PfSocketHandle s) {
#ifdef _WIN32
    closesocket((SOCKET)s);
#else
    close((int)s);
#endif
}

// Runs the calling thread's loop until `done` holds (checked on every timer
// tick and whenever Check() is called from inside a handler) or `maxTicks`
// ticks of `periodMs` have passed. Returns done().
class Pump {
  public:
    bool Run(std::function<bool()> done, int maxTicks = 250, uint32_t periodMs = 20) {
        m_done = std::move(done);
        m_ticks = 0;
        m_maxTicks = maxTicks;
        m_run = 1;
        if (!PfThreadTimerStart(periodMs, &Pump::OnTick, this))
            return false;
        PfRunMessageLoop(&m_run);
        PfThreadTimerStop();
        return m_done();
    }
    // Lets a handler end the run once the condition holds.
    void Check() {
        if (m_done && m_done())
            m_run = 0;
    }
    int Ticks() const { return m_ticks; }

  private:
    static void OnTick(void* user) {
        Pump* self = static_cast<Pump*>(user);
        ++self->m_ticks;
        if (self->m_done() || self->m_ticks >= self->m_maxTicks)
            self->m_run = 0;
    }

    std::function<bool()> m_done;
    volatile int32_t m_run = 0;
    int m_ticks = 0;
    int m_maxTicks = 0;
};

// Starts Winsock for a test (no-op on POSIX).
class NetFixture : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(NetStartup(), (ResultCode)0x40300000u); }
    void TearDown() override { NetCleanup(); }
};

}  // namespace socktest
