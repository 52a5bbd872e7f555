// The Win32 message queue: GetMessage loop, hidden windows, WSAAsyncSelect
// and a thread timer made with SetTimer(NULL, ...).
#include "opn/platform/pfMessageLoop.h"

#include <winsock2.h>
#include <windows.h>

#include "opn/platform/pfSocket.h"

namespace {

// The window procedure given at creation sits in the window's extra bytes.
const int kProcOffset = 0;

LRESULT CALLBACK Trampoline(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const CREATESTRUCTA* create = (const CREATESTRUCTA*)lparam;
        SetWindowLongPtrA(hwnd, kProcOffset, (LONG_PTR)create->lpCreateParams);
    }
    PfWindowProc proc = (PfWindowProc)GetWindowLongPtrA(hwnd, kProcOffset);
    if (proc == nullptr)
        return DefWindowProcA(hwnd, message, wparam, lparam);
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

VOID CALLBACK TimerTrampoline(HWND, UINT, UINT_PTR id, DWORD) {
    if (id != t_timerId || t_timerProc == nullptr)
        return;
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
    // Cancelling needs no window: closesocket cancels as well.
    if (window == nullptr)
        return mask == 0 ? OV_S_PLATFORM : OV_E_PLATFORM;
    if (WSAAsyncSelect((SOCKET)socket, (HWND)window, (UINT)message, (long)mask) != 0) {
        return SockLastError();
    }
    return OV_S_PLATFORM;
}

void PfSocketRearm(PfSocketHandle socket, uint32_t event) {
    (void)socket;  // Winsock re-enables notifications itself
    (void)event;
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
