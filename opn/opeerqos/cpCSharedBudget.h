// A receive budget that several connections share: the own actions of the
// connections given it (ovIQoSContext::ShareReceiveBudget) take their
// receive bytes from here instead of from their own limit, so a download
// that uses several connections at once moves no more than this limit in
// any window between two ticks of the socket manager, however many
// connections it has.
//
// Each connection takes at most an equal part of the limit in a window
// (Share), counted by its own action, so all of them move.
//
// Windows follow the socket manager's tick count: the first take after a
// tick starts a new window with the whole limit. A budget made (or given a
// limit) inside a window gets the share of its limit for the time left until
// the next tick, as a fresh own action does (cpCContextAction.h).
//
// Threads: the library thread, under the library lock, like the actions.
#pragma once

#include <stdint.h>

#include "opn/core/ovIUnknown.h"

class cpCQoS;

class cpCSharedBudget : public ovIUnknown {
    OV_IMPLEMENT_REFCOUNT(cpCSharedBudget)

  public:
    // `manager` null: the running network module's.
    explicit cpCSharedBudget(cpCQoS* manager = nullptr) : m_manager(manager) {}

    // Connections drawing on the budget now (own actions given it); each of
    // them takes at most Share() in a window, so one connection whose socket
    // holds much cannot starve the others of the window.
    void Join() { ++m_members; }
    void Leave() {
        if (m_members > 0)
            --m_members;
    }
    int32_t Members() const { return m_members; }
    uint32_t Share() const { return m_members > 1 ? m_limit / (uint32_t)m_members : m_limit; }

    // Bytes per second; the current window gets its share at once.
    void SetLimit(uint32_t bytesPerSecond);
    uint32_t Limit() const { return m_limit; }
    // How many of `n` bytes may move now (charged).
    uint32_t Take(uint32_t n);
    // Gives back charged bytes that did not move in this window.
    void Give(uint32_t n);

    // What the current window has left and has moved (inspection).
    uint32_t Left();
    uint32_t Used();
    // Bytes charged since the budget was made, over all windows.
    uint64_t TotalTaken() const { return m_total; }

  private:
    cpCQoS* Manager() const;
    // Starts a new window when the manager ticked since the last one.
    void Refresh();

    cpCQoS* m_manager;
    uint32_t m_limit = 0;
    uint32_t m_budget = 0;
    uint32_t m_used = 0;
    uint32_t m_window = 0;  // the manager's tick count of the current window
    bool m_windowKnown = false;
    int32_t m_members = 0;
    uint64_t m_total = 0;
};
