// Fetch of one URL with a connection context carrying the HTTP client layer
// (and, for https, the TLS layer below it) on a library thread of its own,
// with the unlimited action, into a listener that counts and drops the
// body. Portable: the native benchmarks and the Windows programs run under
// Wine share it.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "bench/BenchSupport.h"
#include "bench/LibraryThreadRun.h"
#include "opn/platform/cpCMutex.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/opeerqos/ovIHttpClientExLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfThread.h"

namespace bench {

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

    void Run(ovSmartPtr& lock) {
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
};

// Bytes per second from Open to the last body byte; CPU of the library
// thread only.
inline Result RunLayer(const std::string& url, const std::string& certPem) {
    FetchRun run;
    run.url = url;
    run.certPem = certPem;
    return RunOnLibraryThread(run, kRunLimitMs, "the fetch");
}

}  // namespace bench
