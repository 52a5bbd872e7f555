// Fetch throughput of the HTTP client layer next to curl.
//
// Starts the test servers with tests/support/servers/start-servers in a
// temporary folder (nginx over loopback, http and https with a self-signed
// certificate) and fetches their 1 GiB file /files/zero-1g.bin:
//   - with a connection context carrying the HTTP client layer (and, for
//     https, the TLS layer below it) on a library thread of its own, with
//     the unlimited action, into a listener that counts and drops the bytes;
//   - with `curl -o /dev/null` on the same URL.
// The servers are stopped with stop-servers at the end.
//
// Reported per run: bytes per second from Open to the last body byte, and
// CPU seconds per GiB of the receiving side only (the library thread; curl's
// process). nginx runs in other processes and is not counted.
//
// Usage: bench_http_fetch [--no-https] [--no-curl] [--path /files/...]
//
// Native Linux only (the bench folder is not built for Windows).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "opn/core/cpCMutex.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfThread.h"
#include "bench/BenchSupport.h"

#ifndef SF_SOURCE_DIR
#error "SF_SOURCE_DIR must name the source tree"
#endif

using namespace bench;

namespace {

const uint32_t kRunLimitMs = 300 * 1000;

// Counts the body and stops the loop at the end of the request.
class Sink : public nwIHttpClientExEventListener {
  public:
    explicit Sink(volatile int32_t* run) : m_run(run) {}

    void Start() {
        m_startWall = WallSeconds();
        m_startCpu = ThreadCpuSeconds();
    }
    void OnConnected(uint32_t) override {}
    void OnResponse(uint32_t) override {}
    int32_t OnData(uint32_t, const uint8_t*, int32_t length) override {
        m_bytes += (uint64_t)length;
        return length;
    }
    void OnComplete(uint32_t) override { Finish(true, "complete"); }
    void OnSendDrained(uint32_t) override {}
    void OnClosed(uint32_t) override { Finish(false, "closed"); }
    void OnConnectTimeout(uint32_t) override { Finish(false, "connect time-out"); }
    void OnReceiveTimeout(uint32_t) override { Finish(false, "receive time-out"); }
    void OnHostUnreachable(uint32_t) override { Finish(false, "host unreachable"); }

    Result Outcome() const {
        Result r;
        r.ok = m_ok;
        r.bytes = m_bytes;
        r.seconds = m_endWall - m_startWall;
        r.cpuSeconds = m_endCpu - m_startCpu;
        r.note = m_note;
        return r;
    }

  private:
    void Finish(bool ok, const char* note) {
        if (m_finished)
            return;
        m_finished = true;
        m_ok = ok;
        m_note = note;
        m_endWall = WallSeconds();
        m_endCpu = ThreadCpuSeconds();
        *m_run = 0;
    }

    volatile int32_t* m_run;
    uint64_t m_bytes = 0;
    bool m_finished = false;
    bool m_ok = false;
    std::string m_note = "did not end";
    double m_startWall = 0, m_endWall = 0, m_startCpu = 0, m_endCpu = 0;
};

// One fetch on a library thread of its own (network module, socket manager
// and timer manager as in the library).
struct FetchRun {
    std::string url;
    std::string certPem;
    Result result;
    PfEvent* done = nullptr;

    static unsigned Main(void* arg) {
        FetchRun* self = static_cast<FetchRun*>(arg);
        self->Run();
        PfEventSet(self->done);
        return 0;
    }

    void Run() {
        if (OV_FAILED(PfMessageLoopInit()))
            return;
        ovSmartPtr lock;
        lock.CreateInstance(OV_CLSID_MUTEX);
        {
            COpn module(lock);
            if (!certPem.empty())
                AddTrustedCertificate("bench-servers", certPem.c_str());
            volatile int32_t run = 1;
            Sink sink(&run);
            ovSmartPtr holder;
            bool ok = holder.CreateInstance(OV_CLSID_QOS_CONTEXT);
            ovIQoSContext* context = static_cast<ovIQoSContext*>(holder.Get());
            ovIHttpClientExLayer* http = nullptr;
            if (ok) {
                ovCAutoLock hold(lock);
                const uint32_t idleSeconds = 10;
                ok = OV_SUCCEEDED(context->Initialize(
                         kQoSActionHigh, kQoSEventConnectFailed | kQoSEventReceiveIdle, nullptr)) &&
                     OV_SUCCEEDED(context->SetOption(kQoSOptionIdleLimit, &idleSeconds)) &&
                     OV_SUCCEEDED(context->PushLayer(OV_CLSID_HTTP_CLIENT_LAYER, false));
                http = ok ? static_cast<ovIHttpClientExLayer*>(context->TopLayer()) : nullptr;
                ok = http != nullptr;
                if (ok) {
                    http->SetEventListener(&sink, 1);
                    sink.Start();
                    ok = OV_SUCCEEDED(http->Open(url.c_str())) && OV_SUCCEEDED(http->SendGet());
                }
            }
            if (ok)
                PfRunMessageLoop(&run);
            {
                ovCAutoLock hold(lock);
                if (http)
                    http->SetEventListener(nullptr, 0);
                if (context)
                    context->Close();
            }
            result = sink.Outcome();
            result.ok = ok && result.ok;
            if (!ok && result.note == "did not end")
                result.note = "could not start";
            holder.Reset();
        }
        lock.Reset();
        PfMessageLoopDone();
        COpn::NetworkCleanup();
    }
};

Result RunLayer(const std::string& url, const std::string& certPem) {
    FetchRun run;
    run.url = url;
    run.certPem = certPem;
    run.done = PfEventCreate();
    uint32_t threadId = 0;
    PfThread* thread = PfThreadStart(&FetchRun::Main, &run, &threadId);
    if (thread == nullptr) {
        PfEventClose(run.done);
        return Result();
    }
    if (!PfEventWait(run.done, kRunLimitMs)) {
        fprintf(stderr, "the fetch did not finish in time\n");
        for (int i = 0; i < 50 && !PfThreadWait(thread, 100); ++i)
            PfPostQuit(threadId);
        PfEventWait(run.done, 5000);
    }
    PfThreadWait(thread, 5000);
    PfThreadClose(thread);
    PfEventClose(run.done);
    return run.result;
}

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

// The test servers in a folder of their own, stopped again on destruction.
class Servers {
  public:
    bool Start() {
        const char* base = getenv("SF_TEST_TMP_DIR");
        const std::string root = base != nullptr && *base ? base : "/tmp";
        if (system(("mkdir -p " + Quote(root)).c_str()) != 0)
            return false;
        std::string pattern = root + "/bench_http_fetch.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr)
            return false;
        m_dir = name.data();
        // nginx's worker may run as another user and must read the files.
        if (system(("chmod 755 " + Quote(m_dir)).c_str()) != 0)
            return false;
        m_started = true;
        const std::string start =
            "bash " + Quote(Script("start-servers")) + " " + Quote(m_dir + "/servers") + " >&2";
        if (system(start.c_str()) != 0)
            return false;
        std::ifstream env(m_dir + "/servers/servers.env");
        std::string line;
        while (std::getline(env, line)) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos)
                m_values[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return !Value("HTTP_PORT").empty();
    }
    ~Servers() {
        if (m_started) {
            const std::string stop =
                "bash " + Quote(Script("stop-servers")) + " " + Quote(m_dir + "/servers") + " >&2";
            if (system(stop.c_str()) != 0)
                fprintf(stderr, "the servers did not stop cleanly\n");
        }
        if (!m_dir.empty() && system(("rm -rf " + Quote(m_dir)).c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", m_dir.c_str());
    }
    std::string Value(const std::string& key) const {
        auto it = m_values.find(key);
        return it == m_values.end() ? std::string() : it->second;
    }
    std::string ReadCertificate() const {
        std::ifstream in(Value("CERT_PEM"), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    static std::string Script(const char* name) {
        return std::string(SF_SOURCE_DIR) + "/tests/support/servers/" + name;
    }

    std::string m_dir;
    bool m_started = false;
    std::map<std::string, std::string> m_values;
};

void Print(const char* scheme, const char* receiver, const Result& r) {
    printf("%-6s %-26s %-4s %12llu %9.3f %10.1f %10.3f %s\n", scheme, receiver,
           r.ok ? "ok" : "FAIL", (unsigned long long)r.bytes, r.seconds,
           r.BytesPerSecond() / (1024.0 * 1024.0), r.CpuSecondsPerGiB(), r.note.c_str());
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool https = true;
    bool curl = true;
    std::string path = "/files/zero-1g.bin";
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--no-https") == 0)
            https = false;
        else if (strcmp(argv[i], "--no-curl") == 0)
            curl = false;
        else if (strcmp(argv[i], "--path") == 0 && i + 1 < argc)
            path = argv[++i];
        else {
            fprintf(stderr,
                    "usage: bench_http_fetch [--no-https] [--no-curl] [--path /files/...]\n");
            return 2;
        }
    }
    if (curl && !HaveProgram("curl")) {
        fprintf(stderr, "curl is missing: its runs are skipped\n");
        curl = false;
    }
    Servers servers;
    if (!servers.Start()) {
        fprintf(stderr, "the test servers did not start\n");
        return 1;
    }
    const std::string httpUrl = "http://127.0.0.1:" + servers.Value("HTTP_PORT") + path;
    const std::string httpsUrl = "https://127.0.0.1:" + servers.Value("HTTPS_PORT") + path;
    const std::string cert = servers.ReadCertificate();

    printf("%-6s %-26s %-4s %12s %9s %10s %10s\n", "scheme", "receiver", "", "bytes", "seconds",
           "MiB/s", "CPU s/GiB");
    bool allOk = true;
    Result r = RunLayer(httpUrl, std::string());
    Print("http", "HTTP client layer", r);
    allOk = allOk && r.ok;
    if (curl) {
        r = RunCurl(httpUrl);
        Print("http", "curl -o /dev/null", r);
        allOk = allOk && r.ok;
    }
    if (https) {
        r = RunLayer(httpsUrl, cert);
        Print("https", "HTTP client + TLS layer", r);
        allOk = allOk && r.ok;
        if (curl) {
            r = RunCurl(httpsUrl, "--cacert " + Quote(servers.Value("CERT_PEM")) + " ");
            Print("https", "curl -o /dev/null", r);
            allOk = allOk && r.ok;
        }
    }
    return allOk ? 0 : 1;
}
