#include "sdk/download/plain/CPlatformReporter.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>

#include "opn/core/ovCGarbageCollector.h"
#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCAddressCache.h"
#include "opn/opeerqos/ovIAgentLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfSocket.h"
#include "sdk/support/ServiceLog.h"

#ifndef SF_STATS_AGENT_HOST
#define SF_STATS_AGENT_HOST "127.0.0.1"
#endif

struct CPlatformReporter::Batch {
    int32_t count;
    FileReportEntry* entries;  // malloc'd, `count` records
};

namespace {

const uint32_t kAgentKey = 0;

// The agent's address; the test seam replaces it while no library runs.
const size_t kHostSize = 256;
char g_agentHost[kHostSize] = SF_STATS_AGENT_HOST;
std::atomic<uint16_t> g_agentPort{CPlatformReporter::kAgentPort};

std::atomic<int32_t> g_pendingReports{0};

}  // namespace

void CPlatformReporter::FreeBatch(void* element) {
    Batch* batch = static_cast<Batch*>(element);
    if (!batch)
        return;
    free(batch->entries);
    delete batch;
}

CPlatformReporter::CPlatformReporter() {}

CPlatformReporter::~CPlatformReporter() {
    if (m_waitingForAddress)
        AddressCache().ForgetWaiter(this);
    ReleaseConnection();
    while (m_queue.Count() > 0)
        FreeBatch(m_queue.RemoveAt(0));
    Recount();
}

int32_t CPlatformReporter::PendingReports() {
    return g_pendingReports.load();
}

void CPlatformReporter::Recount() {
    const int32_t now = m_queue.Count() + m_unanswered;
    g_pendingReports.fetch_add(now - m_counted);
    m_counted = now;
}

void CPlatformReporter::SetAgentForTesting(const char* host, uint16_t port) {
    const char* name = host ? host : SF_STATS_AGENT_HOST;
    const size_t length = strlen(name);
    if (length >= kHostSize)
        return;
    memcpy(g_agentHost, name, length + 1);
    g_agentPort.store(host ? port : kAgentPort);
}

void CPlatformReporter::Queue(int32_t count, const FileReportEntry* entries) {
    if (count <= 0 || count > kAgentMaxRecords || !entries)
        return;
    Batch* batch = new (std::nothrow) Batch;
    if (!batch)
        return;
    batch->count = count;
    batch->entries = static_cast<FileReportEntry*>(malloc((size_t)count * sizeof(FileReportEntry)));
    if (!batch->entries) {
        delete batch;
        return;
    }
    memcpy(batch->entries, entries, (size_t)count * sizeof(FileReportEntry));
    if (m_queue.Count() >= kMaxQueuedBatches) {
        LogWrite("[SwarmFetchLib] Report dropped : queue full");
        FreeBatch(m_queue.RemoveAt(0));
    }
    if (!m_queue.AddTail(batch)) {
        FreeBatch(batch);
        Recount();
        return;
    }
    // A connection still coming up sends the batch once it is there; the
    // agent layer keeps what is sent before that in the context's queue.
    if (!OpenConnection())
        Flush();
    Recount();
}

bool CPlatformReporter::OpenConnection() {
    if (!m_connection.IsEmpty())
        return false;
    if (m_waitingForAddress)
        return true;
    uint32_t address = 0;
    const int32_t pick =
        AddressCache().PickAddressOrWait(g_agentHost, g_agentPort.load(), &address, this);
    if (pick == kPickWaiting) {
        m_waitingForAddress = true;
        return true;
    }
    if (pick != kPickReady) {
        DropQueue("agent host not resolved");
        return false;
    }
    if (!m_connection.CreateInstance(OV_CLSID_QOS_CONTEXT)) {
        DropQueue("no connection");
        return false;
    }
    ovIQoSContext* context = m_connection.As<ovIQoSContext>();
    const uint32_t timeout = kTimeoutSec;
    bool ok = OV_SUCCEEDED(context->Initialize(
                  kQoSActionHigh, kQoSEventConnectFailed | kQoSEventReceiveIdle, nullptr)) &&
              OV_SUCCEEDED(context->PushLayer(OV_CLSID_AGENT_LAYER, false)) &&
              OV_SUCCEEDED(context->SetOption(kQoSOptionConnectTimeout, &timeout)) &&
              OV_SUCCEEDED(context->SetOption(kQoSOptionIdleLimit, &timeout));
    ovIAgentLayer* agent = ok ? Agent() : nullptr;
    if (agent) {
        agent->SetEventListener(this, kAgentKey);
        NetAddress at;
        at.address = address;
        at.port = g_agentPort.load();
        ok = OV_SUCCEEDED(context->Connect(&at));
    }
    if (!agent || !ok) {
        ReleaseConnection();
        DropQueue("cannot connect");
        return false;
    }
    return true;
}

ovIAgentLayer* CPlatformReporter::Agent() const {
    if (m_connection.IsEmpty())
        return nullptr;
    ovIUnknown* face = nullptr;
    if (OV_FAILED(m_connection.As<ovIQoSContext>()->FindLayer(OV_CLSID_AGENT_LAYER, &face)))
        return nullptr;
    return static_cast<ovIAgentLayer*>(face);
}

void CPlatformReporter::Flush() {
    ovIAgentLayer* agent = Agent();
    if (!agent)
        return;
    while (m_queue.Count() > 0) {
        Batch* batch = static_cast<Batch*>(m_queue.RemoveAt(0));
        ovAgentReportBatch wire;
        wire.count = batch->count;
        wire.records = reinterpret_cast<const uint8_t*>(batch->entries);
        if (OV_SUCCEEDED(agent->SendReport(&wire)))
            ++m_unanswered;
        else
            LogPrintf("[SwarmFetchLib] Report dropped : %d entries not sent", (int)batch->count);
        FreeBatch(batch);
    }
}

void CPlatformReporter::Close() {
    if (!m_connection.IsEmpty())
        m_connection.As<ovIQoSContext>()->Close();
}

void CPlatformReporter::ReleaseConnection() {
    if (m_connection.IsEmpty())
        return;
    // Held by a copy: Close may report OnClosed, which releases too.
    ovSmartPtr connection(m_connection);
    m_connection.Reset();
    m_unanswered = 0;
    ovIQoSContext* context = connection.As<ovIQoSContext>();
    ovIUnknown* face = nullptr;
    if (OV_SUCCEEDED(context->FindLayer(OV_CLSID_AGENT_LAYER, &face)) && face)
        static_cast<ovIAgentLayer*>(face)->SetEventListener(nullptr, 0);
    context->Close();
    // Never destroyed inside its own callback: the collector drops it.
    ovCGarbageCollector* collector = OpnGarbageCollector();
    if (collector)
        collector->DeferRelease(connection);
}

void CPlatformReporter::DropQueue(const char* why) {
    if (m_queue.Count() == 0)
        return;
    LogPrintf("[SwarmFetchLib] Report dropped : %s (%d batches)", why, (int)m_queue.Count());
    while (m_queue.Count() > 0)
        FreeBatch(m_queue.RemoveAt(0));
}

void CPlatformReporter::OnAddressLookupDone() {
    // The cache has forgotten this waiter.
    m_waitingForAddress = false;
    if (m_queue.Count() > 0)
        OpenConnection();
    Recount();
}

void CPlatformReporter::OnConnected(uint32_t key) {
    (void)key;
    Flush();
    Recount();
}

void CPlatformReporter::OnReply(uint32_t key, uint8_t code) {
    (void)key;
    (void)code;
    if (m_unanswered > 0)
        --m_unanswered;
    // A report sent after the first one still waits for its answer.
    if (m_queue.Count() == 0 && m_unanswered == 0)
        Close();
    Recount();
}

void CPlatformReporter::OnClosed(uint32_t key) {
    (void)key;
    ReleaseConnection();
    // Nothing else would ever send what is left.
    DropQueue("connection closed");
    Recount();
}

void CPlatformReporter::OnConnectTimeout(uint32_t key) {
    (void)key;
    Close();
    Recount();
}

void CPlatformReporter::OnReceiveTimeout(uint32_t key) {
    (void)key;
    Close();
    Recount();
}
