// Sends the plain downloader's statistics reports to the statistics agent:
// one batch of FileReportEntry records per finished or stopped job, as
// report frames of an agent layer (ovIAgentLayer.h) on a connection to the
// agent's host, TCP port kAgentPort.
//
// Queue copies a batch and sends it: on a new connection once it is up, or
// at once on the connection that is already there. The connection is closed
// when nothing is left to send and the agent has answered every report sent
// on it. Batches that
// cannot be delivered (the host name does not resolve, the connect fails or
// times out, the connection closes before they were sent) are dropped with a
// service-log line, so the queue never grows without bound.
//
// Every reporter counts what it still has to deliver (batches queued, and
// reports sent that the agent has not answered) into one process-wide
// count, PendingReports, so that SwarmFetch_Finalize can give them a short
// while to arrive before the network goes down.
//
// The agent's host is a build option (SF_STATS_AGENT_HOST); tests point the
// reporter at a stand-in agent of their own with SetAgentForTesting. Its
// name is looked up off the library lock (cpCAddressCache.h): the batches
// wait in the queue meanwhile, and the connection starts with the answer.
//
// Threads: Queue and the destructor run under the library lock; the agent
// layer's reports come on the library thread under the same lock.
#pragma once

#include <stdint.h>

#include "opn/core/ovCPtrList.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/cpCAddressCache.h"
#include "opn/opeerqos/nwIAgentListener.h"
#include "sdk/download/plain/FileReportEntry.h"

class ovIAgentLayer;

class CPlatformReporter : public nwIAgentListener, private cpIAddressWaiter {
  public:
    static constexpr uint16_t kAgentPort = 54547;
    // Connect and receive-idle limits of the agent connection, in seconds.
    static constexpr uint32_t kTimeoutSec = 5;
    // Batches waiting at most; the oldest is dropped for a new one.
    static constexpr int32_t kMaxQueuedBatches = 64;

    CPlatformReporter();
    // Closes the connection and drops what is still queued.
    ~CPlatformReporter() override;
    CPlatformReporter(const CPlatformReporter&) = delete;
    CPlatformReporter& operator=(const CPlatformReporter&) = delete;

    // Copies `count` records (1..kAgentMaxRecords) and sends them; other
    // counts and null records are ignored.
    void Queue(int32_t count, const FileReportEntry* entries);

    // Batches queued or sent and not yet answered, over every reporter of
    // the process. Read without the library lock, from any thread.
    static int32_t PendingReports();

    // Inspection for tests.
    int32_t QueuedBatches() const { return m_queue.Count(); }
    int32_t Unanswered() const { return m_unanswered; }
    bool Connected() const { return !m_connection.IsEmpty(); }

    // The agent's address for every reporter of the process: `host` (a name
    // or dotted address) and `port`; a null host restores the built-in host
    // and kAgentPort. Call while no library runs.
    static void SetAgentForTesting(const char* host, uint16_t port);

    // nwIAgentListener
    void OnConnected(uint32_t key) override;
    void OnReply(uint32_t key, uint8_t code) override;
    void OnClosed(uint32_t key) override;
    void OnConnectTimeout(uint32_t key) override;
    void OnReceiveTimeout(uint32_t key) override;

  private:
    struct Batch;
    static void FreeBatch(void* element);

    // True when a new connection was started (or waits for the agent's
    // address).
    bool OpenConnection();
    void OnAddressLookupDone() override;
    void Flush();
    void Close();
    void ReleaseConnection();
    void DropQueue(const char* why);
    ovIAgentLayer* Agent() const;
    // Brings this reporter's share of PendingReports up to date.
    void Recount();

    ovSmartPtr m_connection;
    ovCPtrList m_queue;  // Batch*, oldest first
    // Reports sent on the connection that the agent has not answered yet.
    int32_t m_unanswered = 0;
    // What this reporter last added to PendingReports.
    int32_t m_counted = 0;
    // The agent's name is being looked up.
    bool m_waitingForAddress = false;
};
