// Shared pieces of the in-memory download tests: running code on the
// library thread under the library lock, a loopback listener whose connects
// never complete, and a host-unreachable notice injected where the socket
// manager would deliver the real one.
#pragma once

#include <stdint.h>
#include <string.h>

#include <functional>
#include <memory>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "integration/ApiTestEnv.h"
#include "opn/platform/cpCMutex.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/opeerqos/cpAsyncSocketWindow.h"
#include "opn/opeerqos/cpCQoS.h"
#include "opn/opeerqos/cpCQoSContext.h"
#include "opn/platform/pfThread.h"
#include "sdk/api/CDownloadLibThread.h"
#include "sdk/api/CJobManager.h"
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

// A pause of the test thread (no loop of its own runs there).
inline void Sleep(uint32_t ms) {
    PfEvent* pause = PfEventCreate();
    PfEventWait(pause, ms);
    PfEventClose(pause);
}

#ifdef _WIN32
typedef SOCKET RawSocket;
typedef int RawLength;
const RawSocket kNoRawSocket = INVALID_SOCKET;
inline void CloseRaw(RawSocket s) {
    closesocket(s);
}
#else
typedef int RawSocket;
typedef socklen_t RawLength;
const RawSocket kNoRawSocket = -1;
inline void CloseRaw(RawSocket s) {
    close(s);
}
#endif

// A loopback listener that never accepts, with a backlog of 0 filled by two
// connects of its own: the kernel drops every further SYN, so a connect to
// Port() neither succeeds nor fails until the client gives up.
class Blackhole {
  public:
    Blackhole() {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        if (m_listener == kNoRawSocket)
            return;
        sockaddr_in at;
        memset(&at, 0, sizeof at);
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at.sin_port = 0;
        RawLength length = sizeof at;
        if (bind(m_listener, (const sockaddr*)&at, sizeof at) != 0 || listen(m_listener, 0) != 0 ||
            getsockname(m_listener, (sockaddr*)&at, &length) != 0)
            return;
        m_port = ntohs(at.sin_port);
        for (RawSocket& filler : m_fillers) {
            filler = socket(AF_INET, SOCK_STREAM, 0);
            if (filler == kNoRawSocket)
                continue;
#ifdef _WIN32
            u_long on = 1;
            ioctlsocket(filler, FIONBIO, &on);
#else
            fcntl(filler, F_SETFL, fcntl(filler, F_GETFL, 0) | O_NONBLOCK);
#endif
            connect(filler, (const sockaddr*)&at, sizeof at);
        }
        // Let the first filler reach the accept queue.
        Sleep(200);
    }
    ~Blackhole() {
        for (RawSocket filler : m_fillers)
            if (filler != kNoRawSocket)
                CloseRaw(filler);
        if (m_listener != kNoRawSocket)
            CloseRaw(m_listener);
    }
    Blackhole(const Blackhole&) = delete;
    Blackhole& operator=(const Blackhole&) = delete;

    uint16_t Port() const {
        return m_port;
    }

  private:
    RawSocket m_listener = kNoRawSocket;
    RawSocket m_fillers[2] = {kNoRawSocket, kNoRawSocket};
    uint16_t m_port = 0;
};

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
