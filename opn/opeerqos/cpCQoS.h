// The socket manager: owns the hidden socket-notification window, maps each
// registered socket to the connection context that owns it through a table
// of 64 slots, routes socket notifications and queued context events to that
// context, and runs the one-second tick that refills the library-wide
// bandwidth budgets and gives every context its per-second turn.
//
// Everything runs on the library thread. Register, Unregister, the event
// entries and the per-context part of Tick hold the library lock (which is
// re-entrant; the window procedure already holds it around the entries).
//
// Slots: a registration takes `nextSlot` when it is free, else the next free
// slot after it (wrapping round); afterwards `nextSlot` moves to the next free
// slot after the one taken, or stays when none is free.
//
// A full table: Register of a 65th simultaneous socket fails. It returns null
// and closes the record (the one it created, or the one passed in), never
// touching a taken slot, so the context is left without a socket and reports
// a failed connect when it tries to connect. Register always takes the
// record: on success it belongs to the registration until Unregister closes
// it; on failure it is already closed.
#pragma once

#include <stdint.h>

#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/cpAsyncSocketWindow.h"
#include "opn/opeerqos/cpISocketContext.h"
#include "opn/platform/pfSocket.h"

class cpCQoS : public cpISocketEventSink {
  public:
    static constexpr int32_t kSlotCount = 64;
    // Bytes per second of the library-wide budgets; never changed.
    static constexpr uint32_t kDefaultLimit = 104857600;
    static constexpr uint32_t kTickPeriodMs = 1000;

    cpCQoS();
    // Runs Shutdown and drops the lock.
    ~cpCQoS() override;
    cpCQoS(const cpCQoS&) = delete;
    cpCQoS& operator=(const cpCQoS&) = delete;

    // Keeps `lock`, empties the table, sets the limits and budgets, creates
    // the message window (on the calling thread, whose loop must exist) and
    // starts the 1000 ms tick timer. OV_E_PLATFORM when the window cannot be
    // created (registrations then fail); a missing timer manager only means
    // the tick never fires. A second Init shuts the first one down first.
    virtual ResultCode Init(const ovSmartPtr& lock);
    // Stops and drops the tick timer; cancels the notifications of every
    // socket still registered (their records stay with their contexts, whose
    // later Unregister still closes them) and drops the slots' references;
    // destroys the message window. Safe to call twice.
    virtual void Shutdown();

    // The library lock, when one is held; no-ops otherwise.
    void Lock();
    void Unlock();

    // Registers the socket of `context`, creating a TCP socket when `record`
    // is null, and makes it non-blocking. Returns the registered record, or
    // null when no socket could be created, `context` is null, the window is
    // missing or all 64 slots are taken (the record is closed then).
    SockRecord* Register(cpISocketContext* context, SockRecord* record);
    // Cancels the socket's notifications, releases the context of its slot
    // and frees the slot, then closes and frees the record. A record that is
    // not registered is only closed.
    void Unregister(cpISocketContext* context, SockRecord* record);
    // Null for a slot outside 0..63 or a free slot. No reference is added.
    cpISocketContext* ContextAt(int32_t slot) const;

    // Socket event of the window: codes 2 readable, 3 writable, 4 connected,
    // 6 accept, 7 closed, 8 refused, 9 host unreachable go to the matching
    // operation of the slot's context. A free slot or another code is ignored.
    void OnSocketEvent(int32_t slot, int32_t code, uint32_t error) override;
    // Queued context event: the slot's context gets DispatchQueuedEvent.
    void OnQueuedEvent(int32_t slot, void* record) override;

    // Once per second: refills the budgets, then under the lock calls Tick of
    // every context in slot order, and counts the tick.
    void Tick();
    // Timer callback (the manager is the user value).
    static void TickCallback(void* manager);
    // Milliseconds from now (the timer clock) until the tick timer is due
    // next, at most kTickPeriodMs; 0 when no tick is running or the tick is
    // overdue. Own context actions size their first budget by it.
    uint32_t MillisecondsToNextTick() const;

    // Library-wide budgets, read and charged by the server-wide context
    // actions. Take answers how many of `n` bytes may move now (0 once the
    // second's budget is spent) and charges them; Return gives back bytes
    // that were charged but did not move.
    uint32_t TakeSendBudget(uint32_t n);
    uint32_t TakeReceiveBudget(uint32_t n);
    void ReturnSendBudget(uint32_t n);
    void ReturnReceiveBudget(uint32_t n);

    uint32_t SendBudget() const { return m_sendBudget; }
    uint32_t SendUsed() const { return m_sendUsed; }
    uint32_t ReceiveBudget() const { return m_receiveBudget; }
    uint32_t ReceiveUsed() const { return m_receiveUsed; }
    uint32_t SendLimit() const { return m_sendLimit; }
    uint32_t ReceiveLimit() const { return m_receiveLimit; }

    int32_t NextSlot() const { return m_nextSlot; }
    uint32_t TickCount() const { return m_tickCount; }
    int32_t RegisteredCount() const;
    MsgWindowRecord* Window() const { return m_window; }
    bool TickTimerRunning() const { return !m_tickTimer.IsEmpty(); }

  private:
    // The next free slot after m_nextSlot (wrapping), or m_nextSlot when the
    // table is full.
    int32_t FindNextFree() const;
    static uint32_t Take(uint32_t budget, uint32_t& used, uint32_t n);
    static void Give(uint32_t& used, uint32_t n);

    ovSmartPtr m_lock;
    ovSmartPtr m_tickTimer;
    MsgWindowRecord* m_window;
    cpISocketContext* m_slots[kSlotCount];
    // The record registered in each slot, so Shutdown can cancel its
    // notifications while the window still exists.
    SockRecord* m_records[kSlotCount];
    int32_t m_nextSlot;
    uint32_t m_tickCount;
    uint32_t m_sendBudget;
    uint32_t m_sendUsed;
    uint32_t m_receiveBudget;
    uint32_t m_receiveUsed;
    uint32_t m_sendLimit;
    uint32_t m_receiveLimit;
};
