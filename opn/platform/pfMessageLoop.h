// The library thread's message loop and the Win32-style services around it.
//
// Windows: a GetMessage/DispatchMessage loop; windows are real hidden HWNDs,
// PfPostMessage is PostMessage, socket notifications come through
// WSAAsyncSelect and the thread timer is SetTimer without a window.
//
// POSIX: one event loop per thread (poll over the registered sockets and a
// wake-up pipe, a posted-message queue, the thread timer as the poll
// timeout). Windows are handler records owned by the loop of the thread that
// created them. Socket notifications follow WSAAsyncSelect's re-enabling
// rules:
//   - FD_READ is reported once and re-armed only by the next receive call on
//     that socket (PfSocketRearm, called by the socket functions) or by a
//     new PfSocketSelect;
//   - FD_WRITE comes once after connect, then only after a send that would
//     block;
//   - FD_CONNECT and FD_CLOSE come once each, with their error.
// A socket whose reads are held back therefore never wakes the loop again.
// The POSIX loop learns of a connect under way and of a listening socket
// through PfSocketRearm (PF_FD_CONNECT, PF_FD_ACCEPT), called by the socket
// functions. A peer close is found with a one-byte MSG_PEEK when the socket
// polls readable: data is never consumed by the loop, and FD_CLOSE is
// reported only once no unread data is left (a held-back socket therefore
// reports its close after the reads that drain it). Notification errors are
// Winsock numbers on both backends (10061 refused, 10065 unreachable, ...).
#pragma once

#include <stdint.h>

#include "opn/core/ovResult.h"

// Message numbers shared by both backends.
enum : uint32_t {
    PF_WM_QUIT = 0x0012,
    PF_WM_TIMER = 0x0113,
    PF_WM_USER = 0x0400,
};

// Socket notification bits and the mask values of WSAAsyncSelect.
enum : uint32_t {
    PF_FD_READ = 0x01,
    PF_FD_WRITE = 0x02,
    PF_FD_OOB = 0x04,
    PF_FD_ACCEPT = 0x08,
    PF_FD_CONNECT = 0x10,
    PF_FD_CLOSE = 0x20,
};

// WSAGETSELECTEVENT / WSAGETSELECTERROR on the lParam of a socket message.
#define PF_SELECT_EVENT(lparam) ((uint32_t)((uintptr_t)(lparam)&0xFFFFu))
#define PF_SELECT_ERROR(lparam) ((uint32_t)(((uintptr_t)(lparam) >> 16) & 0xFFFFu))

typedef struct PfWindow* PfWindowHandle;  // HWND on Windows
typedef uintptr_t PfSocketHandle;         // SOCKET on Windows, an fd on POSIX
#define PF_INVALID_SOCKET ((PfSocketHandle) ~(uintptr_t)0)

// Window procedure of a hidden message window.
typedef intptr_t (*PfWindowProc)(PfWindowHandle window, uint32_t message, uintptr_t wparam,
                                 intptr_t lparam);

// Prepares the calling thread's message queue (Windows) or event loop
// (POSIX). Call once on a thread before creating windows, sockets or timers
// there, and before anyone posts to it.
ResultCode PfMessageLoopInit();
// Frees the calling thread's loop (POSIX); no-op on Windows.
void PfMessageLoopDone();

// Runs the loop of the calling thread until the quit message arrives or, after
// any message, `*runFlag` reads 0, or until it cannot wait any more (the
// wait fails; POSIX: no memory for the set of sockets to wait on). Returns
// after the loop has stopped.
void PfRunMessageLoop(const volatile int32_t* runFlag);

// Posts the quit message to a thread's loop. False when that thread has no
// loop (any more) or the message could not be queued.
bool PfPostQuit(uint32_t threadId);

// Identifier of the calling thread.
uint32_t PfCurrentThreadId();

// Hidden message windows (never shown). The class is registered once per
// process under `className`.
PfWindowHandle PfCreateMessageWindow(const char* className, PfWindowProc proc);
void PfDestroyMessageWindow(PfWindowHandle window);
bool PfPostMessage(PfWindowHandle window, uint32_t message, uintptr_t wparam, intptr_t lparam);
// What the window procedure returns for messages it does not handle.
intptr_t PfDefWindowProc(PfWindowHandle window, uint32_t message, uintptr_t wparam,
                         intptr_t lparam);

// Asks for the notifications in `mask` on `message` (mask 0 cancels).
// OV_E_NO_BUFFERS when there is no memory for the socket's record. POSIX: a
// notice that cannot be queued for want of memory ends the socket's
// notifications.
ResultCode PfSocketSelect(PfSocketHandle socket, PfWindowHandle window, uint32_t message,
                          uint32_t mask);
// Called by SockRecv after each receive on a TCP socket: re-arms FD_READ as
// the receive does under WSAAsyncSelect, and tells whether bytes read ahead
// of the caller (pfSocket.h) still wait in user space. While some do, the
// socket counts as readable although the system has nothing: an armed
// FD_READ is reported for them (after PfSocketSelect as well), and FD_CLOSE
// (with or without error) is held back until they are gone, then reported.
// On Windows the notice is posted to the socket's window and Winsock's own
// FD_CLOSE is held back by the message windows' procedure.
void PfSocketReadAhead(PfSocketHandle socket, bool holdsBytes);
// Re-enables one notification after the call that re-arms it under
// WSAAsyncSelect (`event` PF_FD_READ after a receive, PF_FD_WRITE after a send
// that would block, PF_FD_ACCEPT after listen or accept, PF_FD_CONNECT after
// a connect that is under way). No-op on Windows, where Winsock does this
// itself.
void PfSocketRearm(PfSocketHandle socket, uint32_t event);

// The calling thread's single thread timer: `proc` runs on this thread every
// `periodMs` while the loop runs. Starting again replaces the previous one.
typedef void (*PfThreadTimerProc)(void* user);
bool PfThreadTimerStart(uint32_t periodMs, PfThreadTimerProc proc, void* user);
void PfThreadTimerStop();

// Test counter: how often the calling thread's loop woke up from waiting
// (POSIX: poll returns; Windows: messages retrieved). 0 without a loop.
uint32_t PfMessageLoopWakeCount();
