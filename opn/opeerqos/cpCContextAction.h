// Context actions: the objects through which a connection context moves
// bytes between its buffers and its socket, under one of three policies.
//
//   type 1  cpCQoSHighContextAction                  no limit
//   type 2  cpCQoSLowServerContextAction             library-wide both ways
//   type 3  cpCQoSLowServerReceiveOnlyContextAction  library-wide receive
//   type 4  cpCQoSLowServerSendOnlyContextAction     library-wide send
//   type 5  cpCQoSOwnContextAction                   own limits both ways
//   type 6  cpCQoSOwnReceiveOnlyContextAction        own receive limit
//   type 7  cpCQoSOwnSendOnlyContextAction           own send limit
//
// Budgets are bytes per second, counted per window between two ticks of the
// socket manager. The library-wide ones are the socket manager's (cpCQoS.h),
// refilled by its tick and empty before its first one. Own ones are refilled
// by PerSecond; before an action's first tick, a limit it is given grants at
// once the share of that limit that matches the time left until the next
// tick, so a fresh connection never waits for the tick for its first byte
// and never moves more than its limit within one window.
// When a budget runs out the action stops and sets its blocked flag, and it
// does not touch the socket again, so no notification is re-armed; the
// context's tick takes the flag and re-arms the socket.
//
// A read takes as much as the free storage of the receive buffer and the
// budget allow, in one system call, and reading stops at the first read that
// finds less than it asked for: the per-call cost under Winsock (and Wine)
// is what limits throughput, so a streaming connection moves up to
// kQoSReceiveBufferLimit bytes per readable notice and per call. Budgets
// stay exact: a read never asks for more than was granted, and what it did
// not get goes back. Sends go in pieces of at most 4096 bytes. No action
// lets the receive buffer grow beyond kQoSReceiveBufferLimit.
//
// Threads: the context runs its action on the library thread under the library
// lock, where the socket manager's tick also refills the shared budgets.
#pragma once

#include <stdint.h>

#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/cpISocketContext.h"
#include "opn/platform/pfSocket.h"

class cpCQoS;
class cpCSharedBudget;

// Most bytes a context keeps received but not yet consumed by its layers:
// 1 MiB, where the unlimited action stops reading anyway (more than 1048575
// buffered). Reading stops there for every action, and a context whose
// layers leave the buffer full closes rather than wait for a notice that a
// socket nobody reads from never sends again.
constexpr int32_t kQoSReceiveBufferLimit = 1024 * 1024;

// The context's current send block: the bytes (owned by the context), how
// many of them have gone out, and their count.
struct cpQoSSendBlock {
    uint8_t* data;
    int32_t sent;
    int32_t length;
};

// The context's receive buffer (storage owned by the context, allocated with
// new[]; an action may grow it by doubling).
struct cpQoSReceiveBuffer {
    uint8_t* data;
    int32_t length;
    int32_t capacity;
    // A lower bound than kQoSReceiveBufferLimit for this buffer; 0 for none.
    int32_t limit = 0;
};

// The most bytes `buffer` may hold.
inline int32_t ReceiveBufferCap(const cpQoSReceiveBuffer& buffer) {
    return buffer.limit > 0 && buffer.limit < kQoSReceiveBufferLimit ? buffer.limit
                                                                     : kQoSReceiveBufferLimit;
}

class cpCQoSContextAction {
  public:
    // First storage of the receive buffer; it doubles from there.
    static constexpr int32_t kReadPiece = 1024;
    static constexpr int32_t kSendPiece = 4096;
    // The unlimited action stops reading once more than this is buffered.
    static constexpr int32_t kHighReadStop = 1048575;

    cpCQoSContextAction() : m_send(nullptr), m_receive(nullptr), m_socket(nullptr) {}
    cpCQoSContextAction(const cpCQoSContextAction&) = delete;
    cpCQoSContextAction& operator=(const cpCQoSContextAction&) = delete;

    virtual int32_t GetType() const = 0;
    // Reads what the socket has (as far as the budget and the buffer limit
    // allow) into the receive buffer; the byte count.
    virtual int32_t Receive() = 0;
    // Writes from the current send block; `*sent` gets the bytes written.
    // False only on a hard socket error.
    virtual bool Send(int32_t* sent) = 0;
    // Return the blocked flag and clear it (never set for type 1).
    virtual bool TakeSendBlocked() { return false; }
    virtual bool TakeReceiveBlocked() { return false; }
    // Direction kQoSDirectionReceive (0) or kQoSDirectionSend (1); only the
    // own actions keep limits.
    virtual void SetLimit(int32_t direction, const uint32_t* bytesPerSecond) {
        (void)direction;
        (void)bytesPerSecond;
    }
    // Once per second; only the own actions refill here and report into
    // `tally` what they moved.
    virtual void PerSecond(cpQoSTally* tally) { (void)tally; }
    virtual ~cpCQoSContextAction() {}
    // How many of `n` bytes may move now (charged); the base is unlimited.
    virtual uint32_t TakeReceiveBudget(uint32_t n) { return n; }
    virtual uint32_t TakeSendBudget(uint32_t n) { return n; }
    // Gives back charged bytes that did not move.
    virtual void ReturnReceiveBudget(uint32_t n) { (void)n; }
    virtual void ReturnSendBudget(uint32_t n) { (void)n; }

    // Set by the context; any of them may be null. The action never owns
    // what they point to.
    void Attach(cpQoSSendBlock* send, cpQoSReceiveBuffer* receive, SockRecord* socket) {
        m_send = send;
        m_receive = receive;
        m_socket = socket;
    }
    void AttachSocket(SockRecord* socket) { m_socket = socket; }
    SockRecord* Socket() const { return m_socket; }

  protected:
    // The shared read and send loops. `limited` marks the budgeted actions:
    // they flag a spent budget and skip sending while flagged; the unlimited
    // one stops reading at kHighReadStop instead.
    int32_t ReadLoop(bool limited);
    bool SendLoop(bool limited, int32_t* sent);
    virtual void SetReceiveBlocked() {}
    virtual void SetSendBlocked() {}
    virtual bool SendBlocked() const { return false; }

  private:
    // Makes room for `extra` more bytes (allocating 1024 at first, then
    // doubling); false when memory runs out.
    bool Reserve(int32_t extra);

    cpQoSSendBlock* m_send;
    cpQoSReceiveBuffer* m_receive;
    SockRecord* m_socket;
};

// Type 1: no budget at all.
class cpCQoSHighContextAction : public cpCQoSContextAction {
  public:
    int32_t GetType() const override { return 1; }
    int32_t Receive() override { return ReadLoop(false); }
    bool Send(int32_t* sent) override { return SendLoop(false, sent); }
};

// Base of the limited actions: the two blocked flags.
class cpCQoSLowContextAction : public cpCQoSContextAction {
  public:
    int32_t Receive() override { return ReadLoop(true); }
    bool Send(int32_t* sent) override { return SendLoop(true, sent); }
    bool TakeSendBlocked() override;
    bool TakeReceiveBlocked() override;
    bool SendBlockedFlag() const { return m_sendBlocked != 0; }
    bool ReceiveBlockedFlag() const { return m_receiveBlocked != 0; }

    // The socket manager whose tick (and, for the library-wide actions,
    // whose budgets) the action follows; null (the default) means the
    // running network module's.
    void SetManager(cpCQoS* manager) { m_manager = manager; }

  protected:
    void SetReceiveBlocked() override { m_receiveBlocked = 1; }
    void SetSendBlocked() override { m_sendBlocked = 1; }
    bool SendBlocked() const override { return m_sendBlocked != 0; }
    cpCQoS* Manager() const;

  private:
    cpCQoS* m_manager = nullptr;
    uint8_t m_sendBlocked = 0;
    uint8_t m_receiveBlocked = 0;
};

// Type 2: the socket manager's budgets in both directions.
class cpCQoSLowServerContextAction : public cpCQoSLowContextAction {
  public:
    int32_t GetType() const override { return 2; }
    uint32_t TakeReceiveBudget(uint32_t n) override;
    uint32_t TakeSendBudget(uint32_t n) override;
    void ReturnReceiveBudget(uint32_t n) override;
    void ReturnSendBudget(uint32_t n) override;
    // Without any manager nothing limited moves.
};

// Type 3: library-wide receive budget, unlimited send.
class cpCQoSLowServerReceiveOnlyContextAction : public cpCQoSLowServerContextAction {
  public:
    int32_t GetType() const override { return 3; }
    uint32_t TakeSendBudget(uint32_t n) override { return n; }
    void ReturnSendBudget(uint32_t n) override { (void)n; }
};

// Type 4: unlimited receive, library-wide send budget.
class cpCQoSLowServerSendOnlyContextAction : public cpCQoSLowServerContextAction {
  public:
    int32_t GetType() const override { return 4; }
    uint32_t TakeReceiveBudget(uint32_t n) override { return n; }
    void ReturnReceiveBudget(uint32_t n) override { (void)n; }
};

// Type 5: limits of its own in both directions.
class cpCQoSOwnContextAction : public cpCQoSLowContextAction {
  public:
    cpCQoSOwnContextAction() {}
    // Leaves a shared budget.
    ~cpCQoSOwnContextAction() override;
    int32_t GetType() const override { return 5; }
    // Before the first PerSecond the direction's budget becomes the share of
    // the limit for the time left until the manager's next tick (less what
    // moved already in this window); none without a running tick. Later the
    // new limit counts from the next tick.
    void SetLimit(int32_t direction, const uint32_t* bytesPerSecond) override;
    // Adds the used counts to `tally`, clears them and refills both budgets
    // from the limits.
    void PerSecond(cpQoSTally* tally) override;
    uint32_t TakeReceiveBudget(uint32_t n) override;
    uint32_t TakeSendBudget(uint32_t n) override;
    void ReturnReceiveBudget(uint32_t n) override;
    void ReturnSendBudget(uint32_t n) override;

    uint32_t ReceiveLimit() const { return m_receiveLimit; }
    uint32_t SendLimit() const { return m_sendLimit; }
    uint32_t ReceiveBudget() const { return m_receiveBudget; }
    uint32_t SendBudget() const { return m_sendBudget; }
    uint32_t ReceiveUsed() const { return m_receiveUsed; }
    uint32_t SendUsed() const { return m_sendUsed; }

    // The share of `bytesPerSecond` for `msLeft` of the manager's tick
    // period (`msLeft` above the period counts as the whole period).
    static uint32_t FirstGrant(uint32_t bytesPerSecond, uint32_t msLeft);
    // Takes over the limits, budgets and current window of `previous`, the
    // own action this one replaces on the same connection, so that a change
    // of type grants no second first share within one window.
    void TakeOverWindow(const cpCQoSOwnContextAction& previous);
    // Receive bytes come from `budget` (kept referenced, joined) instead of
    // the own receive limit, at most its Share() in a window, still counted
    // in what this action moved; null: the own limit again.
    void ShareReceive(cpCSharedBudget* budget);
    cpCSharedBudget* SharedReceive() const;

  private:
    ovSmartPtr m_shared;    // cpCSharedBudget; empty: the own receive limit
    bool m_ticked = false;  // PerSecond ran at least once
    uint32_t m_receiveLimit = 0;
    uint32_t m_sendLimit = 0;
    uint32_t m_receiveBudget = 0;
    uint32_t m_sendBudget = 0;
    uint32_t m_receiveUsed = 0;
    uint32_t m_sendUsed = 0;
};

// Type 6: own receive limit, unlimited send.
class cpCQoSOwnReceiveOnlyContextAction : public cpCQoSOwnContextAction {
  public:
    int32_t GetType() const override { return 6; }
    uint32_t TakeSendBudget(uint32_t n) override { return n; }
    void ReturnSendBudget(uint32_t n) override { (void)n; }
};

// Type 7: unlimited receive, own send limit.
class cpCQoSOwnSendOnlyContextAction : public cpCQoSOwnContextAction {
  public:
    int32_t GetType() const override { return 7; }
    uint32_t TakeReceiveBudget(uint32_t n) override { return n; }
    void ReturnReceiveBudget(uint32_t n) override { (void)n; }
};

// The action for a type number 1..7 (unattached, owned by the caller), or
// null for any other number or when memory runs out.
cpCQoSContextAction* cpCreateContextAction(int32_t type);
