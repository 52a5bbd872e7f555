// Receive throughput of a connection context next to curl.
//
// A context on its own library thread (network module, socket manager, timer
// manager, as in the library) receives N bytes (default 1 GiB) from a local
// sender: once with the unlimited action (type 1) and once with the own
// receive-only action at the full-speed budget (type 6, 104,857,600 bytes per
// second). curl fetches the same bytes from the same kind of sender in the
// same run. Two senders: the Flood test peer (raw for the context, HTTP for
// curl) and nginx of the test servers (BenchServers.h) serving a file of N
// bytes (skipped when nginx is missing).
//
// Reported per run: bytes per second from the connect to the last byte, and
// CPU seconds per GiB of the receiving side only (the context's loop thread;
// curl's process). The senders run on other threads or processes.
//
// Usage: bench_context [--bytes N] [--no-nginx] [--no-curl]
//
// Native Linux only (the bench folder is not built for Windows): it uses
// POSIX clocks and resource accounting directly.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <string>
#include <vector>

#include "opn/platform/cpCMutex.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCQoSContext.h"
#include "opn/opeerqos/nwIQoSNetStack.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfSocket.h"
#include "opn/platform/pfThread.h"
#include "bench/BenchServers.h"
#include "bench/BenchSupport.h"
#include "bench/LibraryThreadRun.h"
#include "support/TestPeers.h"

using namespace bench;

namespace {

const uint32_t kFullSpeed = 104857600;
const uint32_t kRunLimitMs = 180 * 1000;

// Top (and only) layer of the benchmark: consumes everything, optionally
// sends a request once connected and skips the response head, and stops
// the clocks when the body is complete.
class CountingLayer : public nwIQoSNetStack {
  public:
    CountingLayer(uint64_t expected, const std::string& request, volatile int32_t* run)
        : m_expected(expected), m_request(request), m_run(run), m_inHead(!request.empty()) {}

    ResultCode AddRef() override {
        ++m_refCount;
        return OV_S_OK;
    }
    ResultCode Release() override {
        if (--m_refCount == 0)
            delete this;
        return OV_S_OK;
    }
    ResultCode QueryInterface(uint32_t id, void** out) override {
        if (id != OV_IID_NETSTACK || out == nullptr)
            return OV_E_NETWORK;
        *out = static_cast<nwIQoSNetStack*>(this);
        return OV_S_OK;
    }

    void Start() {
        m_startWall = WallSeconds();
        m_startCpu = ThreadCpuSeconds();
    }

    bool OnConnected() override {
        if (!m_request.empty()) {
            ovQoSBlock block = {reinterpret_cast<const uint8_t*>(m_request.data()),
                                (int32_t)m_request.size()};
            SendFromLayer(&block);
        }
        return true;
    }
    int32_t OnData(const uint8_t* data, int32_t length) override {
        const uint8_t* p = data;
        int32_t n = length;
        if (m_inHead) {
            // The head is short; look for its end across deliveries.
            int32_t i = 0;
            for (; i < n && m_inHead; ++i) {
                m_headTail = (m_headTail << 8) | p[i];
                m_inHead = m_headTail != 0x0D0A0D0Au;
            }
            p += i;
            n -= i;
        }
        m_body += (uint64_t)n;
        if (!m_finished && m_body >= m_expected)
            Finish();
        return length;
    }
    void OnClosed() override {
        if (!m_finished)
            Finish();
    }

    Result Outcome() const {
        Result r;
        r.ok = m_body >= m_expected;
        r.bytes = m_body;
        r.seconds = m_endWall - m_startWall;
        r.cpuSeconds = m_endCpu - m_startCpu;
        return r;
    }

  private:
    void Finish() {
        m_finished = true;
        m_endWall = WallSeconds();
        m_endCpu = ThreadCpuSeconds();
        *m_run = 0;
    }

    int32_t m_refCount = 0;
    uint64_t m_expected;
    std::string m_request;
    volatile int32_t* m_run;
    bool m_inHead;
    uint32_t m_headTail = 0;
    uint64_t m_body = 0;
    bool m_finished = false;
    double m_startWall = 0, m_endWall = 0, m_startCpu = 0, m_endCpu = 0;
};

// One context run on a library thread of its own.
struct ContextRun {
    int32_t actionType = kQoSActionHigh;
    uint16_t port = 0;
    uint64_t bytes = 0;
    std::string request;  // empty: raw sender
    Result result;
    PfEvent* done = nullptr;

    void Run(ovSmartPtr& lock) {
        volatile int32_t run = 1;
        ovSmartPtr contextHolder;
        CountingLayer* layer = new CountingLayer(bytes, request, &run);
        ovSmartPtr layerHolder(layer);
        bool ok = contextHolder.CreateInstance(OV_CLSID_QOS_CONTEXT);
        ovIQoSContext* context = static_cast<ovIQoSContext*>(contextHolder.Get());
        if (ok) {
            ovCAutoLock hold(lock);
            ok = OV_SUCCEEDED(
                context->Initialize(actionType, kQoSEventConnectFailed | kQoSEventFatal, nullptr));
            if (ok && actionType == kQoSActionOwnReceiveOnly)
                ok = OV_SUCCEEDED(context->SetActionLimit(kQoSDirectionReceive, &kFullSpeed));
            if (ok)
                ok = OV_SUCCEEDED(
                    static_cast<cpCQoSContext*>(context)->AttachLayer(layerHolder, 0x7F01, true));
            layer->Start();
            if (ok)
                ok = OV_SUCCEEDED(context->Connect(testpeers::LoopbackAddress(), port));
        }
        if (ok)
            PfRunMessageLoop(&run);
        {
            ovCAutoLock hold(lock);
            if (context != nullptr)
                context->Close();
        }
        result = layer->Outcome();
        result.ok = ok && result.ok;
        contextHolder.Reset();
        layerHolder.Reset();
    }
};

Result RunContext(int32_t actionType, uint16_t port, uint64_t bytes, const std::string& request) {
    ContextRun run;
    run.actionType = actionType;
    run.port = port;
    run.bytes = bytes;
    run.request = request;
    return RunOnLibraryThread(run, kRunLimitMs, "context run");
}

// nginx of the test servers (BenchServers.h, the shared nginx settings)
// serving one file of `bytes` bytes.
class Nginx {
  public:
    bool Start(uint64_t bytes) {
        if (!m_servers.Start())
            return false;
        m_port = (uint16_t)atoi(m_servers.Value("HTTP_PORT").c_str());
        return m_port != 0 && WriteFile(m_servers.Value("DOCROOT") + kPath, bytes);
    }
    uint16_t Port() const { return m_port; }
    static constexpr const char* kPath = "/files/bench-context.bin";

  private:
    static bool WriteFile(const std::string& path, uint64_t bytes) {
        std::string folder = path.substr(0, path.rfind('/'));
        std::string mk = "mkdir -p '" + folder + "'";
        if (system(mk.c_str()) != 0)
            return false;
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr)
            return false;
        std::vector<char> chunk(1 << 20);
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = (char)(i * 131u >> 3);
        bool ok = true;
        for (uint64_t left = bytes; left > 0 && ok;) {
            size_t n = (size_t)(left < chunk.size() ? left : chunk.size());
            ok = fwrite(chunk.data(), 1, n, f) == n;
            left -= n;
        }
        return fclose(f) == 0 && ok;
    }

    Servers m_servers;
    uint16_t m_port = 0;
};

void Print(const char* sender, const char* receiver, const Result& r) {
    printf("%-7s %-28s %-4s %14llu %9.3f %12.1f %10.3f\n", sender, receiver, r.ok ? "ok" : "FAIL",
           (unsigned long long)r.bytes, r.seconds, r.BytesPerSecond() / (1024.0 * 1024.0),
           r.CpuSecondsPerGiB());
    fflush(stdout);
}

std::string GetRequest(uint16_t port, const char* path) {
    char text[256];
    snprintf(text, sizeof(text),
             "GET %s HTTP/1.1\r\nHost: 127.0.0.1:%u\r\nConnection: close\r\n\r\n", path,
             (unsigned)port);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t bytes = kGiB;
    bool useNginx = true;
    bool useCurl = true;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--bytes") == 0 && i + 1 < argc)
            bytes = strtoull(argv[++i], nullptr, 10);
        else if (strcmp(argv[i], "--no-nginx") == 0)
            useNginx = false;
        else if (strcmp(argv[i], "--no-curl") == 0)
            useCurl = false;
    }
    if (bytes == 0) {
        fprintf(stderr, "usage: bench_context [--bytes N] [--no-nginx] [--no-curl]\n");
        return 2;
    }
    if (useCurl && !HaveProgram("curl")) {
        fprintf(stderr, "curl not found: its runs are skipped\n");
        useCurl = false;
    }
    if (useNginx && !HaveProgram("nginx")) {
        fprintf(stderr, "nginx not found: its runs are skipped\n");
        useNginx = false;
    }
    NetStartup();
    printf("receiving %llu bytes; rate from connect to last byte; CPU of the receiver only\n",
           (unsigned long long)bytes);
    printf("%-7s %-28s %-4s %14s %9s %12s %10s\n", "sender", "receiver", "", "bytes", "seconds",
           "MiB/s", "CPU s/GiB");
    bool allOk = true;
    {
        testpeers::FloodOptions raw;
        raw.total = bytes;
        {
            testpeers::Flood flood(raw);
            Result r = RunContext(kQoSActionHigh, flood.Port(), bytes, std::string());
            Print("flood", "context type 1 (unlimited)", r);
            allOk = allOk && r.ok;
        }
        {
            testpeers::Flood flood(raw);
            Result r = RunContext(kQoSActionOwnReceiveOnly, flood.Port(), bytes, std::string());
            Print("flood", "context type 6 (100 MiB/s)", r);
            allOk = allOk && r.ok;
        }
        if (useCurl) {
            testpeers::FloodOptions http = raw;
            http.http = true;
            testpeers::Flood flood(http);
            char url[64];
            snprintf(url, sizeof(url), "http://127.0.0.1:%u/data.bin", (unsigned)flood.Port());
            Result r = RunCurl(url);
            Print("flood", "curl", r);
            allOk = allOk && r.ok && r.bytes == bytes;
        }
    }
    if (useNginx) {
        Nginx nginx;
        if (!nginx.Start(bytes)) {
            fprintf(stderr, "nginx did not start: its runs are skipped\n");
            allOk = false;
        } else {
            std::string request = GetRequest(nginx.Port(), Nginx::kPath);
            Result r = RunContext(kQoSActionHigh, nginx.Port(), bytes, request);
            Print("nginx", "context type 1 (unlimited)", r);
            allOk = allOk && r.ok;
            r = RunContext(kQoSActionOwnReceiveOnly, nginx.Port(), bytes, request);
            Print("nginx", "context type 6 (100 MiB/s)", r);
            allOk = allOk && r.ok;
            if (useCurl) {
                char url[64];
                snprintf(url, sizeof(url), "http://127.0.0.1:%u%s", (unsigned)nginx.Port(),
                         Nginx::kPath);
                r = RunCurl(url);
                Print("nginx", "curl", r);
                allOk = allOk && r.ok && r.bytes == bytes;
            }
        }
    }
    NetCleanup();
    return allOk ? 0 : 1;
}
