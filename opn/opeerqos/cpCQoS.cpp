#include "opn/opeerqos/cpCQoS.h"

#include "opn/platform/cpCMutex.h"
#include "opn/platform/pfCallCounts.h"
#include "opn/core/ovClassIds.h"
#include "opn/opeerqos/TimerManager.h"
#include "opn/opeerqos/cpCTimer.h"

namespace {

// Holds a context for the length of a call into it, so that the context may
// unregister itself (dropping the slot's reference) from inside the call.
class ContextHold {
  public:
    explicit ContextHold(cpISocketContext* context) : m_context(context) {
        if (m_context)
            m_context->AddRef();
    }
    ~ContextHold() {
        if (m_context)
            m_context->Release();
    }
    ContextHold(const ContextHold&) = delete;
    ContextHold& operator=(const ContextHold&) = delete;

  private:
    cpISocketContext* m_context;
};

}  // namespace

cpCQoS::cpCQoS()
    : m_window(nullptr),
      m_nextSlot(0),
      m_tickCount(0),
      m_sendBudget(0),
      m_sendUsed(0),
      m_receiveBudget(0),
      m_receiveUsed(0),
      m_sendLimit(kDefaultLimit),
      m_receiveLimit(kDefaultLimit) {
    for (int32_t i = 0; i < kSlotCount; ++i) {
        m_slots[i] = nullptr;
        m_records[i] = nullptr;
    }
}

cpCQoS::~cpCQoS() {
    Shutdown();
    m_tickTimer.Reset();
    m_lock.Reset();
}

ResultCode cpCQoS::Init(const ovSmartPtr& lock) {
    if (m_window || !m_tickTimer.IsEmpty())
        Shutdown();
    m_lock = lock;
    m_nextSlot = 0;
    m_tickCount = 0;
    m_sendLimit = kDefaultLimit;
    m_receiveLimit = kDefaultLimit;
    m_sendBudget = 0;
    m_sendUsed = 0;
    m_receiveBudget = 0;
    m_receiveUsed = 0;
    for (int32_t i = 0; i < kSlotCount; ++i) {
        m_slots[i] = nullptr;
        m_records[i] = nullptr;
    }

    ResultCode result = WindowCreate(&m_window, lock, this);
    if (OV_FAILED(result))
        m_window = nullptr;

    if (m_tickTimer.CreateInstance(OV_CLSID_TIMER)) {
        // Without a timer manager the timer is scheduled but never fires.
        m_tickTimer.As<cpCTimer>()->Start(kTickPeriodMs, &cpCQoS::TickCallback, this,
                                          kTimerTagSocketManager, ovSmartPtr());
    } else {
        result = OV_E_PLATFORM;
    }
    return m_window ? result : OV_E_PLATFORM;
}

void cpCQoS::Shutdown() {
    if (!m_tickTimer.IsEmpty()) {
        m_tickTimer.As<cpCTimer>()->Stop();
        m_tickTimer.Reset();
    }

    // Contexts may still hold registered sockets. Their notifications end
    // with the window; the records stay theirs.
    cpISocketContext* held[kSlotCount];
    int32_t heldCount = 0;
    Lock();
    for (int32_t i = 0; i < kSlotCount; ++i) {
        if (m_records[i]) {
            int32_t slot = -1;
            SockUnregister(m_window, m_records[i], &slot);
            // The window record goes below; nothing may reach it through
            // the socket record afterwards.
            m_records[i]->window = nullptr;
            m_records[i] = nullptr;
        }
        if (m_slots[i]) {
            held[heldCount++] = m_slots[i];
            m_slots[i] = nullptr;
        }
    }
    Unlock();
    // Released after the table is empty: a context that goes away here may
    // call back into the manager.
    for (int32_t i = 0; i < heldCount; ++i)
        held[i]->Release();

    if (m_window) {
        WindowDestroy(m_window);
        m_window = nullptr;
    }
}

void cpCQoS::Lock() {
    ovLock(m_lock);
}

void cpCQoS::Unlock() {
    ovUnlock(m_lock);
}

int32_t cpCQoS::FindNextFree() const {
    for (int32_t i = m_nextSlot + 1; i < kSlotCount; ++i) {
        if (!m_slots[i])
            return i;
    }
    for (int32_t i = 0; i < m_nextSlot; ++i) {
        if (!m_slots[i])
            return i;
    }
    return m_nextSlot;
}

SockRecord* cpCQoS::Register(cpISocketContext* context, SockRecord* record) {
    if (!context) {
        SockClose(record);
        return nullptr;
    }
    if (!record) {
        if (OV_FAILED(SockCreate(&record, kSockKindTcp))) {
            // A TCP record may stay behind with an invalid handle.
            SockClose(record);
            return nullptr;
        }
    }
    SockSetBlocking(record, 0);

    Lock();
    if (m_slots[m_nextSlot])
        m_nextSlot = FindNextFree();
    const int32_t slot = m_nextSlot;
    if (!m_window || m_slots[slot] || OV_FAILED(SockRegister(m_window, record, slot))) {
        // Full table (or no window): nothing is overwritten, the socket is
        // not registered and the caller is left without one.
        Unlock();
        SockClose(record);
        return nullptr;
    }
    m_slots[slot] = context;
    m_records[slot] = record;
    context->AddRef();
    m_nextSlot = FindNextFree();
    Unlock();
    return record;
}

void cpCQoS::Unregister(cpISocketContext* context, SockRecord* record) {
    (void)context;  // the record names the slot
    if (!record)
        return;
    cpISocketContext* released = nullptr;
    Lock();
    int32_t slot = -1;
    SockUnregister(m_window, record, &slot);
    // Only the slot this record was registered in is freed. A record that
    // lost its handle cannot report its slot; the table still knows it.
    if (slot < 0 || slot >= kSlotCount || m_records[slot] != record) {
        slot = -1;
        for (int32_t i = 0; i < kSlotCount && slot < 0; ++i) {
            if (m_records[i] == record)
                slot = i;
        }
    }
    if (slot >= 0 && m_slots[slot]) {
        released = m_slots[slot];
        m_slots[slot] = nullptr;
        m_records[slot] = nullptr;
    }
    SockClose(record);
    // The slot is already free when a context that goes away here calls back.
    if (released)
        released->Release();
    Unlock();
}

cpISocketContext* cpCQoS::ContextAt(int32_t slot) const {
    if (slot < 0 || slot >= kSlotCount)
        return nullptr;
    return m_slots[slot];
}

int32_t cpCQoS::RegisteredCount() const {
    int32_t n = 0;
    for (int32_t i = 0; i < kSlotCount; ++i) {
        if (m_slots[i])
            ++n;
    }
    return n;
}

void cpCQoS::OnSocketEvent(int32_t slot, int32_t code, uint32_t error) {
    (void)error;  // the event code already tells refused from unreachable
    PfCountCall(kPfCountSocketNotice);
    if (code == kSockEventReadable)
        PfCountCall(kPfCountReadableNotice);
    Lock();
    cpISocketContext* context = ContextAt(slot);
    if (context) {
        ContextHold hold(context);
        switch (code) {
            case kSockEventReadable:
                context->OnReadable();
                break;
            case kSockEventWritable:
                context->OnWritable();
                break;
            case kSockEventConnected:
                context->OnConnected();
                break;
            case kSockEventAccept:
                context->OnAccept();
                break;
            case kSockEventClosed:
                context->OnPeerClosed();
                break;
            case kSockEventRefused:
                context->OnConnectRefused();
                break;
            case kSockEventHostUnreachable:
                context->OnHostUnreachable();
                break;
            default:
                break;
        }
    }
    Unlock();
}

void cpCQoS::OnQueuedEvent(int32_t slot, void* record) {
    Lock();
    cpISocketContext* context = ContextAt(slot);
    if (context) {
        ContextHold hold(context);
        context->DispatchQueuedEvent(static_cast<SockRecord*>(record));
    }
    Unlock();
}

void cpCQoS::Tick() {
    m_sendBudget = m_sendLimit;
    m_sendUsed = 0;
    m_receiveBudget = m_receiveLimit;
    m_receiveUsed = 0;

    Lock();
    cpQoSTally tally = {0, 0};
    for (int32_t i = 0; i < kSlotCount; ++i) {
        cpISocketContext* context = m_slots[i];
        if (!context)
            continue;
        ContextHold hold(context);
        context->Tick(&tally);
    }
    ++m_tickCount;
    Unlock();
}

void cpCQoS::TickCallback(void* manager) {
    if (manager)
        static_cast<cpCQoS*>(manager)->Tick();
}

uint32_t cpCQoS::MillisecondsToNextTick() const {
    // Without a timer manager the timer is scheduled but never fires.
    if (m_tickTimer.IsEmpty() || !GlobalTimerManager())
        return 0;
    const cpCTimer* timer = m_tickTimer.As<cpCTimer>();
    if (!timer->HasCallback())
        return 0;
    const TimerTime due = timer->Due();
    const TimerTime now = TimerClockNow();
    const int64_t left =
        (due.seconds - now.seconds) * 1000 + (int64_t)due.milliseconds - (int64_t)now.milliseconds;
    if (left <= 0)
        return 0;
    return left >= (int64_t)kTickPeriodMs ? kTickPeriodMs : (uint32_t)left;
}

uint32_t cpCQoS::Take(uint32_t budget, uint32_t& used, uint32_t n) {
    if (used >= budget)
        return 0;
    const uint32_t left = budget - used;
    const uint32_t granted = n < left ? n : left;
    used += granted;
    return granted;
}

void cpCQoS::Give(uint32_t& used, uint32_t n) {
    used = n < used ? used - n : 0;
}

uint32_t cpCQoS::TakeSendBudget(uint32_t n) {
    return Take(m_sendBudget, m_sendUsed, n);
}

uint32_t cpCQoS::TakeReceiveBudget(uint32_t n) {
    return Take(m_receiveBudget, m_receiveUsed, n);
}

void cpCQoS::ReturnSendBudget(uint32_t n) {
    Give(m_sendUsed, n);
}

void cpCQoS::ReturnReceiveBudget(uint32_t n) {
    Give(m_receiveUsed, n);
}
