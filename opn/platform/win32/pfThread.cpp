#include "opn/platform/pfThread.h"

#include <windows.h>
#include <process.h>
#include <stdlib.h>

struct PfThread {
    HANDLE handle;
};

struct PfEvent {
    HANDLE handle;
};

namespace {

struct StartRecord {
    PfThreadProc proc;
    void* arg;
};

unsigned __stdcall Trampoline(void* param) noexcept {
    StartRecord start = *static_cast<StartRecord*>(param);
    free(param);
    return start.proc(start.arg);
}

}  // namespace

PfThread* PfThreadStart(PfThreadProc proc, void* arg, uint32_t* threadId) {
    if (!proc)
        return nullptr;
    PfThread* thread = static_cast<PfThread*>(calloc(1, sizeof(PfThread)));
    StartRecord* start = static_cast<StartRecord*>(malloc(sizeof(StartRecord)));
    if (!thread || !start) {
        free(thread);
        free(start);
        return nullptr;
    }
    start->proc = proc;
    start->arg = arg;
    unsigned id = 0;
    uintptr_t handle = _beginthreadex(nullptr, 0, Trampoline, start, 0, &id);
    if (handle == 0) {
        free(start);
        free(thread);
        return nullptr;
    }
    thread->handle = reinterpret_cast<HANDLE>(handle);
    if (threadId)
        *threadId = id;
    return thread;
}

bool PfThreadWait(PfThread* thread, uint32_t timeoutMs) {
    if (!thread)
        return false;
    return WaitForSingleObject(thread->handle, timeoutMs) == WAIT_OBJECT_0;
}

void PfThreadTerminate(PfThread* thread) {
    if (!thread)
        return;
    TerminateThread(thread->handle, 0);
    // TerminateThread only starts the termination; the handle is signalled
    // once the thread is gone.
    WaitForSingleObject(thread->handle, INFINITE);
}

void PfThreadClose(PfThread* thread) {
    if (!thread)
        return;
    CloseHandle(thread->handle);
    free(thread);
}

PfEvent* PfEventCreate() {
    HANDLE handle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!handle)
        return nullptr;
    PfEvent* event = static_cast<PfEvent*>(malloc(sizeof(PfEvent)));
    if (!event) {
        CloseHandle(handle);
        return nullptr;
    }
    event->handle = handle;
    return event;
}

void PfEventSet(PfEvent* event) {
    if (event)
        SetEvent(event->handle);
}

bool PfEventWait(PfEvent* event, uint32_t timeoutMs) {
    if (!event)
        return false;
    return WaitForSingleObject(event->handle, timeoutMs) == WAIT_OBJECT_0;
}

void PfEventClose(PfEvent* event) {
    if (!event)
        return;
    CloseHandle(event->handle);
    free(event);
}

void PfThreadLowerPriority() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}
