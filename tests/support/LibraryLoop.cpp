#include "support/LibraryLoop.h"

#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/platform/pfMessageLoop.h"

namespace libraryloop {

bool RunUntil(const std::function<bool()>& done, uint32_t maxMs, uint32_t periodMs) {
    if (periodMs == 0)
        periodMs = 1;
    struct State {
        const std::function<bool()>* done;
        volatile int32_t run;
        uint32_t ticksLeft;
    } state{&done, 1, maxMs / periodMs + 1};
    if (done())
        return true;
    ovSmartPtr timer;
    if (!timer.CreateInstance(OV_CLSID_TIMER))
        return false;
    const cpTimerCallback check = [](void* user) {
        State* s = static_cast<State*>(user);
        if ((*s->done)() || --s->ticksLeft == 0)
            s->run = 0;
    };
    if (OV_FAILED(timer.As<cpCTimer>()->Start(periodMs, check, &state, 0x7E570003, ovSmartPtr())))
        return false;
    PfRunMessageLoop(&state.run);
    timer.As<cpCTimer>()->Stop();
    return done();
}

}  // namespace libraryloop
