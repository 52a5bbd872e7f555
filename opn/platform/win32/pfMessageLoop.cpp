// The Win32 message queue: GetMessage loop, hidden windows, WSAAsyncSelect
// and a thread timer made with SetTimer(NULL, ...).
//
// Bytes the socket layer read ahead (PfSocketReadAhead) are invisible to
// Winsock: it will not post FD_READ for them, and it posts FD_CLOSE as soon as
// the system buffer is empty. So every selected socket has an entry here;
// FD_READ for held bytes is posted from here (once per re-arm, never while
// one of ours is still queued), and the window procedure keeps Winsock's
// FD_CLOSE back until the held bytes are gone, then posts it again.
#include "opn/platform/pfMessageLoop.h"

#include <winsock2.h>
#include <windows.h>

#include <map>
#include <mutex>
#include <new>

#include "opn/platform/pfCallCounts.h"
#include "opn/platform/pfSocket.h"

namespace {

struct SocketEntry {
    HWND window = nullptr;
    UINT message = 0;
    long mask = 0;
    bool holdsBytes = false;    // bytes read ahead wait in user space
    bool readArmed = true;      // an FD_READ may be posted for them
    bool noticeQueued = false;  // one of our FD_READ notices is in the queue
    bool closeHeld = false;     // Winsock's FD_CLOSE waits for the bytes
    LPARAM closeParam = 0;
};

std::mutex g_socketMutex;
std::map<SOCKET, SocketEntry> g_sockets;  // under g_socketMutex

// Posts FD_READ for held bytes when the entry may report them; mutex held.
void PostHeldNoticeLocked(SOCKET socket, SocketEntry& e) {
    if (!e.holdsBytes || !e.readArmed || e.noticeQueued || (e.mask & FD_READ) == 0 ||
        e.window == nullptr)
        return;
    if (PostMessageW(e.window, e.message, (WPARAM)socket, WSAMAKESELECTREPLY(FD_READ, 0))) {
        e.readArmed = false;
        e.noticeQueued = true;
    }
}

// True when the socket notice must not reach the window procedure now.
bool HoldBackNotice(UINT message, WPARAM wparam, LPARAM lparam) {
    const UINT first = PF_WM_USER + kSockMessageBase;
    if (message < first || message >= first + kSockSlotCount)
        return false;
    std::lock_guard<std::mutex> guard(g_socketMutex);
    auto it = g_sockets.find((SOCKET)wparam);
    if (it == g_sockets.end() || it->second.message != message)
        return false;
    SocketEntry& e = it->second;
    const uint32_t event = PF_SELECT_EVENT(lparam);
    if (event == PF_FD_READ)
        e.noticeQueued = false;
    if (event == PF_FD_CLOSE && e.holdsBytes) {
        e.closeHeld = true;
        e.closeParam = lparam;
        return true;
    }
    return false;
}

// The window procedure given at creation sits in the window's extra bytes.
const int kProcOffset = 0;

LRESULT CALLBACK Trampoline(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
    if (message == WM_NCCREATE) {
        const CREATESTRUCTA* create = (const CREATESTRUCTA*)lparam;
        SetWindowLongPtrA(hwnd, kProcOffset, (LONG_PTR)create->lpCreateParams);
    }
    PfWindowProc proc = (PfWindowProc)GetWindowLongPtrA(hwnd, kProcOffset);
    if (proc == nullptr)
        return DefWindowProcA(hwnd, message, wparam, lparam);
    if (HoldBackNotice(message, wparam, lparam))
        return 0;
    return (LRESULT)proc((PfWindowHandle)hwnd, (uint32_t)message, (uintptr_t)wparam,
                         (intptr_t)lparam);
}

bool RegisterWindowClass(const char* className) {
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.lpfnWndProc = Trampoline;
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = className;
    if (RegisterClassA(&wc) != 0)
        return true;
    return GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// The thread timer of the calling thread.
thread_local UINT_PTR t_timerId = 0;
thread_local PfThreadTimerProc t_timerProc = nullptr;
thread_local void* t_timerUser = nullptr;
thread_local uint32_t t_wakeCount = 0;
thread_local bool t_hasLoop = false;

VOID CALLBACK TimerTrampoline(HWND, UINT, UINT_PTR id, DWORD) noexcept {
    if (id != t_timerId || t_timerProc == nullptr)
        return;
    PfCountCall(kPfCountTimerFire);
    t_timerProc(t_timerUser);
}

// The host thread clears the flag while this thread runs.
bool StopRequested(const volatile int32_t* runFlag) {
    return runFlag != nullptr && __atomic_load_n(runFlag, __ATOMIC_ACQUIRE) == 0;
}

}  // namespace

uint32_t PfCurrentThreadId() {
    return (uint32_t)GetCurrentThreadId();
}

ResultCode PfMessageLoopInit() {
    // The first PeekMessage gives the thread its message queue.
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    t_hasLoop = true;
    return OV_S_PLATFORM;
}

void PfMessageLoopDone() {
    PfThreadTimerStop();
    t_hasLoop = false;
}

void PfRunMessageLoop(const volatile int32_t* runFlag) {
    MSG msg;
    while (!StopRequested(runFlag)) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            return;  // WM_QUIT, or no queue to read
        ++t_wakeCount;
        PfCountCall(kPfCountLoopWake);
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool PfPostQuit(uint32_t threadId) {
    return PostThreadMessageW((DWORD)threadId, WM_QUIT, 0, 0) != FALSE;
}

PfWindowHandle PfCreateMessageWindow(const char* className, PfWindowProc proc) {
    if (className == nullptr || proc == nullptr)
        return nullptr;
    if (!RegisterWindowClass(className))
        return nullptr;
    // A message-only window: never shown, and it needs no display (Wine
    // without an X server refuses every other kind).
    HWND hwnd = CreateWindowExA(0, className, className, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, HWND_MESSAGE, nullptr,
                                GetModuleHandleA(nullptr), (LPVOID)proc);
    return (PfWindowHandle)hwnd;
}

void PfDestroyMessageWindow(PfWindowHandle window) {
    if (window == nullptr)
        return;
    HWND hwnd = (HWND)window;
    if (IsWindow(hwnd))
        DestroyWindow(hwnd);
}

bool PfPostMessage(PfWindowHandle window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (window == nullptr)
        return false;
    return PostMessageW((HWND)window, (UINT)message, (WPARAM)wparam, (LPARAM)lparam) != FALSE;
}

intptr_t PfDefWindowProc(PfWindowHandle window, uint32_t message, uintptr_t wparam,
                         intptr_t lparam) {
    return (intptr_t)DefWindowProcA((HWND)window, (UINT)message, (WPARAM)wparam, (LPARAM)lparam);
}

ResultCode PfSocketSelect(PfSocketHandle socket, PfWindowHandle window, uint32_t message,
                          uint32_t mask) {
    if (socket == PF_INVALID_SOCKET)
        return OV_E_NOT_SOCKET;
    if (mask == 0) {
        std::lock_guard<std::mutex> guard(g_socketMutex);
        g_sockets.erase((SOCKET)socket);
    }
    // Cancelling needs no window: closesocket cancels as well.
    if (window == nullptr)
        return mask == 0 ? OV_S_PLATFORM : OV_E_PLATFORM;
    if (WSAAsyncSelect((SOCKET)socket, (HWND)window, (UINT)message, (long)mask) != 0) {
        return SockLastError();
    }
    if (mask != 0) {
        std::lock_guard<std::mutex> guard(g_socketMutex);
        SocketEntry* found = nullptr;
        try {
            found = &g_sockets[(SOCKET)socket];
        } catch (const std::bad_alloc&) {
            // Without its entry bytes read ahead would never be reported.
            WSAAsyncSelect((SOCKET)socket, (HWND)window, 0, 0);
            return OV_E_NO_BUFFERS;
        }
        SocketEntry& e = *found;
        e.window = (HWND)window;
        e.message = (UINT)message;
        e.mask = (long)mask;
        // As Winsock does for its own data, a new selection reports held
        // bytes anew. A held-back close stays held: it is still to come.
        e.readArmed = true;
        e.noticeQueued = false;
        PostHeldNoticeLocked((SOCKET)socket, e);
    }
    return OV_S_PLATFORM;
}

void PfSocketRearm(PfSocketHandle socket, uint32_t event) {
    (void)socket;  // Winsock re-enables notifications itself
    (void)event;
}

void PfSocketReadAhead(PfSocketHandle socket, bool holdsBytes) {
    if (socket == PF_INVALID_SOCKET)
        return;
    std::lock_guard<std::mutex> guard(g_socketMutex);
    auto it = g_sockets.find((SOCKET)socket);
    if (it == g_sockets.end())
        return;
    SocketEntry& e = it->second;
    e.readArmed = true;
    e.holdsBytes = holdsBytes;
    if (holdsBytes) {
        PostHeldNoticeLocked((SOCKET)socket, e);
    } else if (e.closeHeld) {
        e.closeHeld = false;
        PostMessageW(e.window, e.message, (WPARAM)socket, e.closeParam);
    }
}

bool PfThreadTimerStart(uint32_t periodMs, PfThreadTimerProc proc, void* user) {
    if (proc == nullptr)
        return false;
    PfThreadTimerStop();
    t_timerProc = proc;
    t_timerUser = user;
    t_timerId = SetTimer(nullptr, 0, periodMs, TimerTrampoline);
    if (t_timerId == 0) {
        t_timerProc = nullptr;
        t_timerUser = nullptr;
        return false;
    }
    return true;
}

void PfThreadTimerStop() {
    if (t_timerId != 0)
        KillTimer(nullptr, t_timerId);
    t_timerId = 0;
    t_timerProc = nullptr;
    t_timerUser = nullptr;
}

uint32_t PfMessageLoopWakeCount() {
    return t_hasLoop ? t_wakeCount : 0;
}
