#include "support/LeftBehindCheck.h"

#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/opeerqos/cpAsyncSocketWindow.h"
#include "opn/opeerqos/cpCNameLookup.h"
#include "sdk/api/CDownloadLibThread.h"
#include "support/Eventually.h"

namespace sftest {

LeftBehindCheck::Counts LeftBehindCheck::Now() {
    return Counts{CDownloadLibThread::LiveCount(), WindowLiveCount(), TlsOpenSessionCount(),
                  cpCNameLookup::LiveThreads()};
}

void LeftBehindCheck::OnTestStart(const ::testing::TestInfo&) {
    m_before = Now();
}

void LeftBehindCheck::OnTestEnd(const ::testing::TestInfo&) {
    // A lookup thread that has answered ends a moment after its answer.
    Eventually([&] { return cpCNameLookup::LiveThreads() <= m_before.lookupThreads; }, 2000);
    const Counts after = Now();
    const struct {
        const char* name;
        int32_t before;
        int32_t after;
    } kinds[] = {
        {"library thread", m_before.libraryThreads, after.libraryThreads},
        {"socket window", m_before.socketWindows, after.socketWindows},
        {"TLS session", m_before.tlsSessions, after.tlsSessions},
        {"name lookup thread", m_before.lookupThreads, after.lookupThreads},
    };
    for (const auto& kind : kinds) {
        if (kind.after > kind.before)
            ADD_FAILURE() << "left behind: " << kind.after - kind.before << " " << kind.name
                          << "(s) (" << kind.before << " before the test, " << kind.after
                          << " after)";
    }
}

}  // namespace sftest
