#include "opn/opeerqos/cpCSharedBudget.h"

#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCContextAction.h"
#include "opn/opeerqos/cpCQoS.h"

cpCQoS* cpCSharedBudget::Manager() const {
    return m_manager ? m_manager : OpnSocketManager();
}

void cpCSharedBudget::SetLimit(uint32_t bytesPerSecond) {
    m_limit = bytesPerSecond;
    cpCQoS* manager = Manager();
    if (!manager) {
        m_budget = 0;
        return;
    }
    // Like a fresh own action: the rest of this window, less what moved in it.
    m_window = manager->TickCount();
    m_windowKnown = true;
    const uint32_t share =
        cpCQoSOwnContextAction::FirstGrant(m_limit, manager->MillisecondsToNextTick());
    m_budget = share > m_used ? share - m_used : 0;
}

void cpCSharedBudget::Refresh() {
    cpCQoS* manager = Manager();
    if (!manager || !m_windowKnown || manager->TickCount() == m_window)
        return;
    m_window = manager->TickCount();
    m_budget = m_limit;
    m_used = 0;
}

uint32_t cpCSharedBudget::Take(uint32_t n) {
    Refresh();
    const uint32_t granted = n < m_budget ? n : m_budget;
    m_budget -= granted;
    m_used += granted;
    m_total += granted;
    return granted;
}

void cpCSharedBudget::Give(uint32_t n) {
    // Never more than was charged in this window.
    const uint32_t back = n < m_used ? n : m_used;
    m_used -= back;
    m_budget += back;
    m_total -= back;
}

uint32_t cpCSharedBudget::Left() {
    Refresh();
    return m_budget;
}

uint32_t cpCSharedBudget::Used() {
    Refresh();
    return m_used;
}
