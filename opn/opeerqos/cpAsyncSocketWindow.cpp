#include "opn/opeerqos/cpAsyncSocketWindow.h"

#include <stdlib.h>

#include <atomic>

#include "opn/platform/cpCMutex.h"

const char kAsyncSocketWindowName[] = "CAsyncSocket SwarmFetchSDK Window";

namespace {

// The window procedure has no per-window state: like the single network
// module it serves, it works with the lock and sink of the last window made.
ovSmartPtr g_lock;
cpISocketEventSink* g_sink = nullptr;
// Atomic so a test may read it from its own thread.
std::atomic<int32_t> g_liveWindows{0};

const uint32_t kQueuedMessage = PF_WM_USER + kSockQueuedMessage;
const uint32_t kFirstSocketMessage = PF_WM_USER + kSockMessageBase;
const uint32_t kLastSocketMessage = kFirstSocketMessage + kSockSlotCount - 1;

bool IsSocketMessage(uint32_t message) {
    return message == kQueuedMessage ||
           (message >= kFirstSocketMessage && message <= kLastSocketMessage);
}

}  // namespace

int32_t TranslateSocketNotification(uint32_t event, uint32_t error) {
    switch (event) {
        case PF_FD_READ:
            return kSockEventReadable;
        case PF_FD_WRITE:
            return kSockEventWritable;
        case PF_FD_ACCEPT:
            return kSockEventAccept;
        case PF_FD_CONNECT:
            // Other failures (a time-out among them) are left to the
            // connection's own connect timer.
            if (error == 0)
                return kSockEventConnected;
            if (error == kSockErrRefused)
                return kSockEventRefused;
            if (error == kSockErrHostUnreachable)
                return kSockEventHostUnreachable;
            return kSockEventNone;
        case PF_FD_CLOSE:
            return kSockEventClosed;
        default:
            return kSockEventNone;  // FD_OOB and anything unknown
    }
}

namespace {

// Runs one message with the lock held (when a window is live).
intptr_t HandleMessage(PfWindowHandle window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    cpISocketEventSink* sink = g_sink;
    if (!IsSocketMessage(message) || sink == nullptr) {
        return PfDefWindowProc(window, message, wparam, lparam);
    }
    if (message == kQueuedMessage) {
        sink->OnQueuedEvent((int32_t)(intptr_t)wparam, (void*)lparam);
        return 0;
    }
    if ((PfSocketHandle)wparam == PF_INVALID_SOCKET)
        return 0;
    uint32_t error = PF_SELECT_ERROR(lparam);
    int32_t code = TranslateSocketNotification(PF_SELECT_EVENT(lparam), error);
    if (code != kSockEventNone) {
        sink->OnSocketEvent((int32_t)(message - kFirstSocketMessage), code, error);
    }
    return 0;
}

}  // namespace

intptr_t AsyncSocketWindowProc(PfWindowHandle window, uint32_t message, uintptr_t wparam,
                               intptr_t lparam) {
    if (g_liveWindows <= 0)
        return PfDefWindowProc(window, message, wparam, lparam);
    // A raw pointer: the sink may destroy the window (and forget g_lock)
    // while we hold the lock, and the owner keeps the mutex alive.
    cpCMutex* lock = g_lock.As<cpCMutex>();
    if (lock != nullptr)
        lock->Lock();
    intptr_t result = HandleMessage(window, message, wparam, lparam);
    if (lock != nullptr)
        lock->Unlock();
    return result;
}

ResultCode WindowCreate(MsgWindowRecord** windowRecord, const ovSmartPtr& lock,
                        cpISocketEventSink* sink) {
    if (windowRecord == nullptr)
        return OV_E_PLATFORM;
    *windowRecord = nullptr;
    MsgWindowRecord* record = (MsgWindowRecord*)calloc(1, sizeof(MsgWindowRecord));
    if (record == nullptr)
        return OV_E_PLATFORM;
    // Lock and sink are in place before the first message can arrive.
    g_lock = lock;
    g_sink = sink;
    record->window = PfCreateMessageWindow(kAsyncSocketWindowName, AsyncSocketWindowProc);
    if (record->window == nullptr) {
        free(record);
        if (g_liveWindows == 0) {
            g_lock.Reset();
            g_sink = nullptr;
        }
        return OV_E_PLATFORM;
    }
    ++g_liveWindows;
    *windowRecord = record;
    return OV_S_PLATFORM;
}

void WindowDestroy(MsgWindowRecord* windowRecord) {
    if (windowRecord == nullptr)
        return;
    PfDestroyMessageWindow(windowRecord->window);
    if (g_liveWindows > 0)
        --g_liveWindows;
    if (g_liveWindows == 0) {
        g_lock.Reset();
        g_sink = nullptr;
    }
    free(windowRecord);
}

int32_t WindowLiveCount() {
    return g_liveWindows.load();
}
