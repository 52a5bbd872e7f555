#include "opn/opeerqos/cpCNameLookup.h"

#include <string.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "opn/platform/cpCMutex.h"
#include "opn/platform/pfThread.h"

namespace {

const char kWindowName[] = "SwarmFetchSDK Name Lookup Window";
const uint32_t kAnswerMessage = PF_WM_USER + 1;
const uint32_t kStopPollMs = 5;

// Guards the records' answers and the window the threads post to.
std::mutex g_mutex;
PfWindowHandle g_window = nullptr;
// The one running service (library thread only).
cpCNameLookup* g_service = nullptr;
std::atomic<int32_t> g_liveThreads{0};

}  // namespace

struct cpCNameLookup::Record {
    // The thread's and the service's.
    std::atomic<int32_t> refs{2};
    char host[256];
    cpAddressResolver resolver;
    void* user;
    // Written by the thread under g_mutex.
    bool answered = false;
    ResultCode result = OV_E_PLATFORM;
    NetAddressList list;
};

cpCNameLookup::cpCNameLookup(const ovSmartPtr& lock) : m_lock(lock) {
    m_window = PfCreateMessageWindow(kWindowName, &cpCNameLookup::WindowProc);
    if (!m_window)
        return;
    g_service = this;
    std::lock_guard<std::mutex> hold(g_mutex);
    g_window = m_window;
}

cpCNameLookup::~cpCNameLookup() {
    Stop();
}

int32_t cpCNameLookup::LiveThreads() {
    return g_liveThreads.load();
}

void cpCNameLookup::ReleaseRecord(Record* record) {
    if (record->refs.fetch_sub(1) == 1)
        delete record;
}

bool cpCNameLookup::Start(const char* host, cpAddressResolver resolver, void* user) {
    if (!m_window || !host || !host[0] || !resolver || strlen(host) >= sizeof(Record::host))
        return false;
    for (ovCPtrList::Node* node = m_pending.HeadNode(); node; node = node->next) {
        if (strcmp(static_cast<Record*>(node->element)->host, host) == 0)
            return true;
    }
    if (m_pending.Count() >= kMaxThreads)
        return false;
    Record* record = new (std::nothrow) Record;
    if (!record)
        return false;
    memcpy(record->host, host, strlen(host) + 1);
    record->resolver = resolver;
    record->user = user;
    memset(&record->list, 0, sizeof record->list);
    if (!m_pending.AddTail(record)) {
        delete record;
        return false;
    }
    ++g_liveThreads;
    uint32_t id = 0;
    PfThread* thread = PfThreadStart(&cpCNameLookup::ThreadProc, record, &id);
    if (!thread) {
        --g_liveThreads;
        m_pending.Remove(record);
        delete record;
        return false;
    }
    // Detached: nobody ever waits for a resolver without a bound.
    PfThreadClose(thread);
    return true;
}

unsigned cpCNameLookup::ThreadProc(void* arg) {
    Record* record = static_cast<Record*>(arg);
    NetAddressList list;
    memset(&list, 0, sizeof list);
    const ResultCode result = record->resolver(record->host, &list, record->user);
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        record->list = list;
        record->result = result;
        record->answered = true;
        if (g_window)
            PfPostMessage(g_window, kAnswerMessage, 0, 0);
    }
    ReleaseRecord(record);
    --g_liveThreads;
    return 0;
}

intptr_t cpCNameLookup::WindowProc(PfWindowHandle window, uint32_t message, uintptr_t wparam,
                                   intptr_t lparam) {
    cpCNameLookup* service = g_service;
    if (message != kAnswerMessage || !service || service->m_window != window)
        return PfDefWindowProc(window, message, wparam, lparam);
    cpCMutex* lock = service->m_lock.As<cpCMutex>();
    if (lock)
        lock->Lock();
    service->Deliver();
    if (lock)
        lock->Unlock();
    return 0;
}

void cpCNameLookup::Deliver() {
    // One pass over what is pending now; an answer that comes meanwhile
    // posts its own message.
    int32_t left = m_pending.Count();
    ovCPtrList::Node* node = m_pending.HeadNode();
    while (node && left-- > 0) {
        Record* record = static_cast<Record*>(node->element);
        node = node->next;
        bool answered;
        NetAddressList list;
        ResultCode result;
        {
            std::lock_guard<std::mutex> hold(g_mutex);
            answered = record->answered;
            list = record->list;
            result = record->result;
        }
        if (!answered)
            continue;
        m_pending.Remove(record);
        char host[sizeof record->host];
        memcpy(host, record->host, sizeof host);
        ReleaseRecord(record);
        // May start new lookups (appended) or stop nothing else: the list
        // is walked from a node saved before.
        AddressCache().TakeLookup(host, result, &list);
        if (g_service != this)
            return;
    }
}

void cpCNameLookup::Stop() {
    if (g_service == this)
        g_service = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        if (g_window == m_window)
            g_window = nullptr;
    }
    if (m_window) {
        PfDestroyMessageWindow(m_window);
        m_window = nullptr;
    }
    while (m_pending.Count() > 0)
        ReleaseRecord(static_cast<Record*>(m_pending.RemoveAt(0)));
    // Bounded: a thread stuck in its resolver is left behind, detached.
    for (uint32_t waited = 0; g_liveThreads.load() > 0 && waited < kStopWaitMs;
         waited += kStopPollMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
}
