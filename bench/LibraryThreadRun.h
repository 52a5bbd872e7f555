// One benchmark run on a library thread of its own, bounded in time: what
// the layer fetch and the context benchmark share.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include "bench/BenchSupport.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfThread.h"

namespace bench {

// The library thread as the library runs it: message loop, lock, network
// module, then the network cleanup once the loop is gone.
template <typename Run>
unsigned LibraryThreadMain(void* arg) {
    Run* self = static_cast<Run*>(arg);
    if (OV_SUCCEEDED(PfMessageLoopInit())) {
        ovSmartPtr lock;
        lock.CreateInstance(OV_CLSID_MUTEX);
        {
            COpn module(lock);
            self->Run(lock);
        }
        lock.Reset();
        PfMessageLoopDone();
        COpn::NetworkCleanup();
    }
    PfEventSet(self->done);
    return 0;
}

// Runs `run.Run(lock)` on a library thread of its own and answers
// `run.result`. `Run` has `void Run(ovSmartPtr& lock)`, `Result result` and
// `PfEvent* done`. A run still going after `limitMs` is told to quit, and
// waited for a few seconds more.
template <typename Run>
Result RunOnLibraryThread(Run& run, uint32_t limitMs, const char* what) {
    run.done = PfEventCreate();
    uint32_t threadId = 0;
    PfThread* thread = PfThreadStart(&LibraryThreadMain<Run>, &run, &threadId);
    if (thread == nullptr) {
        PfEventClose(run.done);
        return Result();
    }
    if (!PfEventWait(run.done, limitMs)) {
        fprintf(stderr, "%s did not finish in time\n", what);
        for (int i = 0; i < 50 && !PfThreadWait(thread, 100); ++i)
            PfPostQuit(threadId);
        PfEventWait(run.done, 5000);
    }
    PfThreadWait(thread, 5000);
    PfThreadClose(thread);
    PfEventClose(run.done);
    return run.result;
}

}  // namespace bench
