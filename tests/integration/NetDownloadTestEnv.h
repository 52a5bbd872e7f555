// Shared pieces of the in-memory download tests: running code on the
// library thread under the library lock, a timer clock the test moves, the
// fault server's log, and a host-unreachable notice injected where the
// socket manager would deliver the real one.
#pragma once

#include <stdint.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "integration/ApiTestEnv.h"
#include "opn/platform/cpCMutex.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/opeerqos/TimerManager.h"
#include "opn/opeerqos/cpAsyncSocketWindow.h"
#include "opn/opeerqos/cpCQoS.h"
#include "opn/opeerqos/cpCQoSContext.h"
#include "opn/platform/pfThread.h"
#include "sdk/api/CDownloadLibThread.h"
#include "sdk/api/CJobManager.h"
#include "support/Eventually.h"
#include "support/SteppedTimerClock.h"
#include "support/TestServers.h"

namespace netdl {

// Runs `fn` on the library thread, under the library lock, and waits for it
// (bounded). The library must have been started with the task window.
inline bool OnLibraryThread(const std::function<void()>& fn, uint32_t timeoutMs = 20000) {
    struct Call {
        std::function<void()> fn;
        PfEvent* done;
    };
    CDownloadLibThread* thread = SwarmFetchLibraryThread();
    if (!thread || !thread->JobManager())
        return false;
    // Shared with the task, which may run after a timed-out wait.
    auto* call = new std::shared_ptr<Call>(new Call{fn, PfEventCreate()});
    std::shared_ptr<Call> mine = *call;
    const bool posted = thread->PostTaskForTesting(
        [](void* arg) {
            std::shared_ptr<Call>* held = static_cast<std::shared_ptr<Call>*>(arg);
            {
                CJobManager* manager = SwarmFetchLibraryThread()->JobManager();
                ovCAutoLock hold(manager->LockObject());
                (*held)->fn();
            }
            PfEventSet((*held)->done);
            delete held;
        },
        call);
    if (!posted)
        delete call;
    const bool done = posted && PfEventWait(mine->done, timeoutMs);
    if (done)
        PfEventClose(mine->done);
    return done;
}

// Everything posted to the library thread before this call has run.
inline bool Drained() {
    return OnLibraryThread([] {});
}

// Holds the library's timer clock (cpCTimer.h) still from now on: time-outs,
// retries and ticks come only as the test moves the clock with Pass. One at
// a time; the system clock comes back when it goes.
class HeldTimerClock {
  public:
    // Lets `ms` pass as the 100 ms driver would: a step of one tick, then
    // a manager tick on the library thread, over and over (never a jump the
    // manager would re-base its timers on); then drains the library queue,
    // so whatever those ticks posted has been handled. False when the
    // library thread did not answer.
    bool Pass(uint32_t ms) {
        for (uint32_t passed = 0; passed < ms; passed += TimerManager::kTickMs) {
            m_clock.Shift(TimerManager::kTickMs);
            if (!OnLibraryThread([] {
                    if (OpnTimerManager())
                        OpnTimerManager()->ManagerTick();
                }))
                return false;
        }
        return Drained();
    }

  private:
    sftest::SteppedTimerClock m_clock{sftest::SteppedTimerClock::kFrozen};
};

// Sockets the library's socket manager holds (-1 when it cannot tell).
inline int32_t LibrarySockets() {
    int32_t n = -1;
    OnLibraryThread([&] { n = OpnSocketManager() ? OpnSocketManager()->RegisteredCount() : -1; });
    return n;
}

// Timers registered under `tag` with the library's timer manager (-1 when it
// cannot tell).
inline int32_t ArmedTimers(uint32_t tag) {
    int32_t n = -1;
    OnLibraryThread([&] {
        TimerManager* timers = OpnTimerManager();
        if (!timers)
            return;
        n = 0;
        uint32_t found = 0;
        for (int32_t i = 0; timers->RegistrationAt(i, nullptr, &found); ++i)
            n += found == tag ? 1 : 0;
    });
    return n;
}

#ifdef _WIN32
typedef SOCKET RawSocket;
const RawSocket kNoRawSocket = INVALID_SOCKET;
inline void CloseRaw(RawSocket s) {
    closesocket(s);
}
#else
typedef int RawSocket;
const RawSocket kNoRawSocket = -1;
inline void CloseRaw(RawSocket s) {
    close(s);
}
#endif

// A marker no other test program or run writes into the shared fault-server
// log.
inline std::string UniqueKey(const char* prefix) {
    static std::mt19937_64 random(
        std::random_device{}() ^
        (uint64_t)std::chrono::system_clock::now().time_since_epoch().count());
    return std::string(prefix) + std::to_string(random() % 1000000000000ull);
}

// Fault-server request lines that contain `marker`.
inline int RequestsWith(const std::string& marker) {
    int n = 0;
    for (const std::string& line : sftest::Servers().FaultRequestLines())
        n += line.find(marker) != std::string::npos ? 1 : 0;
    return n;
}

// Requests whose request line holds `marker` (the server's own notes, such
// as "answer <target> range <value>", not counted).
inline int GetsWith(const std::string& marker) {
    int n = 0;
    for (const std::string& line : sftest::Servers().FaultRequestLines())
        n += line.compare(0, 4, "GET ") == 0 && line.find(marker) != std::string::npos ? 1 : 0;
    return n;
}

// Waits (bounded) until the fault server logged a line with `text`: a
// request that arrived ("GET /hold/<tag> "), a client that closed its
// connection ("hold <tag> closed").
inline bool FaultServerLogged(const std::string& text, uint32_t timeoutMs = 10000) {
    return sftest::Eventually([&] { return RequestsWith(text) > 0; }, timeoutMs, 20);
}

// The body of a GET to the fault server (its counters, a release); empty on
// failure.
inline std::string FaultGet(const std::string& path) {
    RawSocket s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == kNoRawSocket)
        return "";
    sockaddr_in at;
    memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(sftest::Servers().FaultPort());
    std::string answer;
    if (connect(s, (const sockaddr*)&at, sizeof at) == 0) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        send(s, request.data(), (int)request.size(), 0);
        char buffer[4096];
        for (int reads = 0; reads < 1000; ++reads) {
            const int n = (int)recv(s, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            answer.append(buffer, (size_t)n);
        }
    }
    CloseRaw(s);
    const size_t body = answer.find("\r\n\r\n");
    return body == std::string::npos ? "" : answer.substr(body + 4);
}

// On the library thread: the socket manager hands the context of `context`
// the host-unreachable notice of its pending connect, as the notification
// window does for WSAEHOSTUNREACH. False when the context has no socket.
inline bool InjectHostUnreachable(ovIQoSContext* context) {
    cpCQoSContext* concrete = static_cast<cpCQoSContext*>(context);
    cpCQoS* manager = OpnSocketManager();
    if (!concrete || !manager || !concrete->Socket() || concrete->Socket()->slot < 0)
        return false;
    manager->OnSocketEvent(concrete->Socket()->slot, kSockEventHostUnreachable,
                           kSockErrHostUnreachable);
    return true;
}

// A test against the real servers through the flat interface: the service
// log in a scratch folder, the library with the host callback and the task
// window (for OnLibraryThread), and the servers' certificate trusted.
class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sftest::Servers().Ok()) << sftest::Servers().Error();
        m_log.reset(new apitest::LogScope());
        StartLibrary();
    }
    // A library that trusts the test certificate (again, after a test ended
    // the first one).
    void StartLibrary() {
        CDownloadLibThread::EnableTaskWindowForTesting(true);
        m_lib.reset(new apitest::Library(false, true));
        CDownloadLibThread::EnableTaskWindowForTesting(false);
        ASSERT_EQ(SF_RESULT_OK, m_lib->Result());
        // The trusted store belongs to the library thread.
        ResultCode added = OV_E_PLATFORM;
        ASSERT_TRUE(OnLibraryThread([&] {
            added = AddTrustedCertificate("swarmfetch-test", sftest::Servers().CertPem().c_str());
        }));
        ASSERT_TRUE(OV_SUCCEEDED(added));
    }
    void TearDown() override {
        m_lib.reset();
        m_log.reset();
    }

    apitest::EventRecorder& Events() { return m_lib->Recorder(); }

    std::unique_ptr<apitest::LogScope> m_log;
    std::unique_ptr<apitest::Library> m_lib;
};

}  // namespace netdl
