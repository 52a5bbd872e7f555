// Threads and events for the library thread's start and stop.
#pragma once

#include <stdint.h>

struct PfThread;  // opaque
struct PfEvent;   // opaque, auto-reset

typedef unsigned (*PfThreadProc)(void* arg);

// Starts a thread; null on failure. `*threadId` receives its identifier (as
// PfCurrentThreadId reports it on that thread).
PfThread* PfThreadStart(PfThreadProc proc, void* arg, uint32_t* threadId);
// True when the thread ended within `timeoutMs`.
bool PfThreadWait(PfThread* thread, uint32_t timeoutMs);
// Stops a thread that did not end by itself and returns once it no longer
// runs. Neither backend releases locks the thread holds in its own code; see
// the backend for what else happens to it.
//   Windows: TerminateThread. The thread stops wherever it is; nothing of its
//            stack is unwound.
//   POSIX:   pthreads cannot be stopped at an arbitrary point safely, so the
//            thread is cancelled (deferred): it stops at its next cancellation
//            point (a blocking wait, sleep, poll, read, write, ...) and its
//            stack is unwound, so scoped objects release what they hold. A
//            thread that never reaches a cancellation point is waited for.
void PfThreadTerminate(PfThread* thread);
// Frees the handle (after the thread ended or was terminated). Closing a
// thread that still runs lets it run on detached.
void PfThreadClose(PfThread* thread);

// Gives the calling thread a lower scheduling priority than the threads
// that answer the host, for long background work (unpacking an update).
//   Windows: THREAD_PRIORITY_BELOW_NORMAL.
//   POSIX:   Linux: a nice value 10 above the process's, for this thread
//            only; elsewhere nothing (a nice value there is the process's).
void PfThreadLowerPriority();

PfEvent* PfEventCreate();
void PfEventSet(PfEvent* event);
// True when the event was signalled within `timeoutMs`; a successful wait
// resets it.
bool PfEventWait(PfEvent* event, uint32_t timeoutMs);
void PfEventClose(PfEvent* event);
