// Event loop standing in for the Win32 message queue: one loop per thread,
// poll() over the watched sockets and a wake-up pipe, a posted-message queue
// and the thread timer as the poll timeout.
//
// One internal mutex guards the registry of loops, windows and socket
// watches and every loop's queue, so other threads can post and quit. It is
// never held while a window procedure or the timer procedure runs.
//
// Socket watches mimic WSAAsyncSelect: each notification is reported once and
// then disarmed until the call that re-enables it under Winsock
// (PfSocketRearm) or a new PfSocketSelect. A descriptor with nothing armed is
// left out of the poll set entirely, so a socket whose reads are held back
// (or that hung up) cannot make poll return again and again.
//
// Bytes the socket layer read ahead (PfSocketReadAhead) are readable data the
// kernel no longer knows of: while a socket holds some, an armed FD_READ is
// reported without polling, and its descriptor is not polled for reading at
// all, so the end of the stream (which the kernel may already have) is
// reported only after the reads that empty the block.
#include "opn/platform/pfMessageLoop.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <vector>

#include "opn/platform/pfCallCounts.h"
#include "opn/platform/pfError.h"

namespace {

struct Loop;

}  // namespace

struct PfWindow {
    PfWindowProc proc;
    Loop* loop;
};

namespace {

struct Message {
    PfWindowHandle window;  // null for a thread message
    uint32_t message;
    uintptr_t wparam;
    intptr_t lparam;
};

struct Loop {
    uint32_t threadId = 0;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::deque<Message> queue;
    // Thread timer (touched only by the loop's own thread).
    PfThreadTimerProc timerProc = nullptr;
    void* timerUser = nullptr;
    uint32_t timerPeriodMs = 0;
    uint64_t timerDueMs = 0;
    uint32_t wakeCount = 0;
};

// WSAAsyncSelect state of one descriptor.
struct Watch {
    // Tells this socket from a later one that reuses the descriptor number
    // while a poll that saw the old one is still being read.
    uint64_t serial = 0;
    PfWindow* window = nullptr;
    uint32_t message = 0;
    uint32_t mask = 0;
    bool readArmed = false;    // FD_READ / close detection may poll POLLIN
    bool writeArmed = false;   // one FD_WRITE may be reported
    bool acceptArmed = false;  // listening: one FD_ACCEPT may be reported
    bool connecting = false;   // connect under way: poll POLLOUT for its end
    bool connected = false;
    bool datagram = false;  // no connection: readable and writable at once
    bool closeReported = false;
    bool dead = false;       // connect failed or descriptor gone: report nothing more
    bool held = false;       // a state that cannot be reported yet: wait for a re-arm
    bool readAhead = false;  // the socket layer holds bytes read ahead
};

std::mutex g_mutex;
std::map<uint32_t, Loop*> g_loops;
std::set<PfWindow*> g_windows;
std::map<int, Watch> g_watches;
uint64_t g_lastWatchSerial = 0;  // under g_mutex
thread_local Loop* t_loop = nullptr;
thread_local uint32_t t_threadId = 0;
std::atomic<uint32_t> g_nextThreadId{1};

uint64_t MonotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

// Called with g_mutex held; wakes a loop that may be waiting in poll.
void WakeLocked(Loop* loop) {
    if (loop == t_loop || loop->wakeWrite < 0)
        return;
    const char byte = 1;
    // A full pipe already guarantees a wake-up.
    ssize_t ignored = write(loop->wakeWrite, &byte, 1);
    (void)ignored;
}

void DrainWakePipe(Loop* loop) {
    char buffer[64];
    for (int i = 0; i < 64; ++i) {
        if (read(loop->wakeRead, buffer, sizeof(buffer)) <= 0)
            break;
    }
}

bool MakeNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

intptr_t SelectParam(uint32_t event, uint32_t error) {
    return (intptr_t)(uintptr_t)((event & 0xFFFFu) | ((error & 0xFFFFu) << 16));
}

void PostNoticeLocked(int fd, Watch& watch, uint32_t event, uint32_t error) {
    Message m;
    m.window = watch.window;
    m.message = watch.message;
    m.wparam = (uintptr_t)(intptr_t)fd;
    m.lparam = SelectParam(event, error);
    try {
        watch.window->loop->queue.push_back(m);
    } catch (const std::bad_alloc&) {
        // A notice that cannot be queued is lost: the socket reports nothing
        // more, and its owner's timeout ends the connection.
        watch.dead = true;
    }
}

short PollEvents(const Watch& w) {
    if (w.dead || w.held || w.mask == 0)
        return 0;
    if (w.connecting)
        return POLLOUT;
    short events = 0;
    if (w.acceptArmed && (w.mask & PF_FD_ACCEPT))
        events |= POLLIN;
    // An idle unconnected socket polls as hung up: watch it only once it is
    // connected (or a datagram socket).
    if (!w.connected)
        return events;
    if (w.readArmed && (w.mask & (PF_FD_READ | PF_FD_CLOSE)) && !w.closeReported && !w.readAhead) {
        events |= POLLIN;
    }
    if (w.writeArmed && w.connected && (w.mask & PF_FD_WRITE))
        events |= POLLOUT;
    return events;
}

// Turns one poll result into notifications; g_mutex held. Every path that
// reports something disarms it, and a condition that cannot be reported
// holds the descriptor back until the next re-arm, so poll never returns
// twice for the same state.
void HandleReadyLocked(int fd, Watch& w, short revents) {
    if (revents & POLLNVAL) {
        w.dead = true;  // closed behind our back
        return;
    }
    if (w.connecting) {
        int error = 0;
        socklen_t length = sizeof(error);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        w.connecting = false;
        if (error == 0) {
            w.connected = true;
            if (w.mask & PF_FD_CONNECT)
                PostNoticeLocked(fd, w, PF_FD_CONNECT, 0);
            // Winsock follows a successful connect with one FD_WRITE.
            if (w.mask & PF_FD_WRITE)
                PostNoticeLocked(fd, w, PF_FD_WRITE, 0);
            w.writeArmed = false;
            w.readArmed = true;
        } else {
            if (w.mask & PF_FD_CONNECT)
                PostNoticeLocked(fd, w, PF_FD_CONNECT, SockNoticeError(error));
            w.dead = true;
        }
        return;
    }
    bool progressed = false;
    if (w.acceptArmed && (revents & POLLIN)) {
        w.acceptArmed = false;
        if (w.mask & PF_FD_ACCEPT)
            PostNoticeLocked(fd, w, PF_FD_ACCEPT, 0);
        return;
    }
    if (w.readArmed && !w.closeReported && !w.readAhead &&
        (revents & (POLLIN | POLLHUP | POLLERR))) {
        // Look without consuming: data means FD_READ, end of stream FD_CLOSE.
        char byte;
        ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        int error = n < 0 ? errno : 0;
        if (n > 0 || (n == 0 && w.datagram)) {
            w.readArmed = false;  // until the next receive
            progressed = true;
            if (w.mask & PF_FD_READ)
                PostNoticeLocked(fd, w, PF_FD_READ, 0);
        } else if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) {
            // Readable but nothing there after all: poll again.
            progressed = (revents & (POLLHUP | POLLERR)) == 0;
        } else {
            w.readArmed = false;
            w.closeReported = true;
            if (w.mask & PF_FD_CLOSE)
                PostNoticeLocked(fd, w, PF_FD_CLOSE, SockNoticeError(error));
            return;
        }
    }
    if (w.writeArmed && (revents & (POLLOUT | POLLHUP | POLLERR))) {
        // A failed connection counts as writable: the send reports the error.
        w.writeArmed = false;
        progressed = true;
        if (w.mask & PF_FD_WRITE)
            PostNoticeLocked(fd, w, PF_FD_WRITE, 0);
    }
    if (!progressed)
        w.held = true;
}

void RemoveWatchLocked(int fd) {
    auto it = g_watches.find(fd);
    if (it == g_watches.end())
        return;
    Loop* loop = it->second.window != nullptr ? it->second.window->loop : nullptr;
    uint32_t message = it->second.message;
    g_watches.erase(it);
    if (loop == nullptr)
        return;
    // Drop notices still queued for the descriptor: its number may be reused.
    std::deque<Message>& q = loop->queue;
    for (auto m = q.begin(); m != q.end();) {
        if (m->message == message && m->wparam == (uintptr_t)(intptr_t)fd) {
            m = q.erase(m);
        } else {
            ++m;
        }
    }
}

// Reports FD_READ for every armed socket of `loop` whose bytes wait read
// ahead; g_mutex held. True when something was queued.
bool PostReadAheadLocked(Loop* loop) {
    bool posted = false;
    for (auto& entry : g_watches) {
        Watch& w = entry.second;
        if (w.window == nullptr || w.window->loop != loop || !w.readAhead || !w.readArmed ||
            w.dead || w.closeReported || !w.connected || (w.mask & PF_FD_READ) == 0)
            continue;
        w.readArmed = false;  // until the next receive
        PostNoticeLocked(entry.first, w, PF_FD_READ, 0);
        posted = true;
    }
    return posted;
}

bool IsConnected(int fd) {
    sockaddr_storage peer;
    socklen_t length = sizeof(peer);
    return getpeername(fd, (sockaddr*)&peer, &length) == 0;
}

bool IsDatagram(int fd) {
    int type = 0;
    socklen_t length = sizeof(type);
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0)
        return false;
    return type == SOCK_DGRAM;
}

bool IsListening(int fd) {
    int value = 0;
    socklen_t length = sizeof(value);
#ifdef SO_ACCEPTCONN
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &length) != 0)
        return false;
#endif
    return value != 0;
}

// Runs one window message; false when it was the quit message.
bool Dispatch(const Message& m) {
    if (m.window == nullptr)
        return m.message != PF_WM_QUIT;
    PfWindowProc proc = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (g_windows.count(m.window) != 0)
            proc = m.window->proc;
    }
    if (proc != nullptr)
        proc(m.window, m.message, m.wparam, m.lparam);
    return true;
}

// Adds one descriptor to the poll set; false when memory ran out.
bool AddPollEntry(std::vector<pollfd>& fds, std::vector<uint64_t>& serials, const pollfd& entry,
                  uint64_t serial) {
    try {
        fds.push_back(entry);
    } catch (const std::bad_alloc&) {
        return false;
    }
    try {
        serials.push_back(serial);
    } catch (const std::bad_alloc&) {
        fds.pop_back();
        return false;
    }
    return true;
}

// The host thread clears the flag while this thread runs.
bool StopRequested(const volatile int32_t* runFlag) {
    return runFlag != nullptr && __atomic_load_n(runFlag, __ATOMIC_ACQUIRE) == 0;
}

}  // namespace

uint32_t PfCurrentThreadId() {
    if (t_threadId == 0)
        t_threadId = g_nextThreadId.fetch_add(1);
    return t_threadId;
}

ResultCode PfMessageLoopInit() {
    if (t_loop != nullptr)
        return OV_S_PLATFORM;
    int fds[2];
    if (pipe(fds) != 0)
        return OV_E_PLATFORM;
    if (!MakeNonBlocking(fds[0]) || !MakeNonBlocking(fds[1])) {
        close(fds[0]);
        close(fds[1]);
        return OV_E_PLATFORM;
    }
    Loop* loop = new (std::nothrow) Loop();
    if (loop == nullptr) {
        close(fds[0]);
        close(fds[1]);
        return OV_E_PLATFORM;
    }
    loop->threadId = PfCurrentThreadId();
    loop->wakeRead = fds[0];
    loop->wakeWrite = fds[1];
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        try {
            g_loops[loop->threadId] = loop;
        } catch (const std::bad_alloc&) {
            close(fds[0]);
            close(fds[1]);
            delete loop;
            return OV_E_PLATFORM;
        }
    }
    t_loop = loop;
    return OV_S_PLATFORM;
}

void PfMessageLoopDone() {
    Loop* loop = t_loop;
    if (loop == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        g_loops.erase(loop->threadId);
        for (auto w = g_watches.begin(); w != g_watches.end();) {
            if (w->second.window != nullptr && w->second.window->loop == loop) {
                w = g_watches.erase(w);
            } else {
                ++w;
            }
        }
        for (auto w = g_windows.begin(); w != g_windows.end();) {
            if ((*w)->loop == loop) {
                delete *w;
                w = g_windows.erase(w);
            } else {
                ++w;
            }
        }
    }
    close(loop->wakeRead);
    close(loop->wakeWrite);
    delete loop;
    t_loop = nullptr;
}

void PfRunMessageLoop(const volatile int32_t* runFlag) {
    Loop* loop = t_loop;
    if (loop == nullptr)
        return;
    std::vector<pollfd> fds;
    std::vector<uint64_t> serials;  // the watch each entry of fds was made for
    while (!StopRequested(runFlag)) {
        Message m;
        bool have = false;
        bool readAheadPosted = false;
        fds.clear();
        serials.clear();
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            if (!loop->queue.empty()) {
                m = loop->queue.front();
                loop->queue.pop_front();
                have = true;
            } else {
                // Notices for bytes read ahead go to the queue; the poll
                // below then only looks (timeout 0), so other sockets and
                // the timer still get their turn.
                readAheadPosted = PostReadAheadLocked(loop);
                pollfd wake = {loop->wakeRead, POLLIN, 0};
                if (!AddPollEntry(fds, serials, wake, 0))
                    return;  // cannot wait any more
                for (auto& w : g_watches) {
                    if (w.second.window == nullptr || w.second.window->loop != loop)
                        continue;
                    short events = PollEvents(w.second);
                    if (events == 0)
                        continue;
                    pollfd p = {w.first, events, 0};
                    if (!AddPollEntry(fds, serials, p, w.second.serial))
                        return;  // cannot wait any more
                }
            }
        }
        if (have) {
            if (!Dispatch(m))
                return;
            continue;
        }
        int timeout = -1;
        if (readAheadPosted) {
            timeout = 0;
        } else if (loop->timerProc != nullptr) {
            uint64_t now = MonotonicMs();
            uint64_t wait = loop->timerDueMs <= now ? 0 : loop->timerDueMs - now;
            timeout = wait > 0x7FFFFFFFu ? 0x7FFFFFFF : (int)wait;
        }
        int ready = poll(fds.data(), (nfds_t)fds.size(), timeout);
        ++loop->wakeCount;
        PfCountCall(kPfCountLoopWake);
        if (ready < 0 && errno != EINTR)
            return;  // cannot wait any more
        if (ready > 0) {
            if (fds[0].revents != 0)
                DrainWakePipe(loop);
            std::lock_guard<std::mutex> guard(g_mutex);
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0)
                    continue;
                auto w = g_watches.find(fds[i].fd);
                if (w == g_watches.end() || w->second.window == nullptr ||
                    w->second.serial != serials[i])
                    continue;
                HandleReadyLocked(fds[i].fd, w->second, fds[i].revents);
            }
        }
        if (loop->timerProc != nullptr && MonotonicMs() >= loop->timerDueMs) {
            // Like WM_TIMER: late ticks are not made up for.
            uint64_t now = MonotonicMs();
            loop->timerDueMs += loop->timerPeriodMs;
            if (loop->timerDueMs <= now)
                loop->timerDueMs = now + loop->timerPeriodMs;
            PfCountCall(kPfCountTimerFire);
            loop->timerProc(loop->timerUser);
        }
    }
}

bool PfPostQuit(uint32_t threadId) {
    std::lock_guard<std::mutex> guard(g_mutex);
    auto it = g_loops.find(threadId);
    if (it == g_loops.end())
        return false;
    Message m = {nullptr, PF_WM_QUIT, 0, 0};
    try {
        it->second->queue.push_back(m);
    } catch (const std::bad_alloc&) {
        return false;
    }
    WakeLocked(it->second);
    return true;
}

PfWindowHandle PfCreateMessageWindow(const char* className, PfWindowProc proc) {
    (void)className;  // no class registry on POSIX
    if (t_loop == nullptr || proc == nullptr)
        return nullptr;
    PfWindow* window = new (std::nothrow) PfWindow();
    if (window == nullptr)
        return nullptr;
    window->proc = proc;
    window->loop = t_loop;
    std::lock_guard<std::mutex> guard(g_mutex);
    try {
        g_windows.insert(window);
    } catch (const std::bad_alloc&) {
        delete window;
        return nullptr;
    }
    return window;
}

void PfDestroyMessageWindow(PfWindowHandle window) {
    if (window == nullptr)
        return;
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g_windows.erase(window) == 0)
        return;
    for (auto w = g_watches.begin(); w != g_watches.end();) {
        if (w->second.window == window) {
            w = g_watches.erase(w);
        } else {
            ++w;
        }
    }
    std::deque<Message>& q = window->loop->queue;
    for (auto m = q.begin(); m != q.end();) {
        if (m->window == window) {
            m = q.erase(m);
        } else {
            ++m;
        }
    }
    delete window;
}

bool PfPostMessage(PfWindowHandle window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (window == nullptr || g_windows.count(window) == 0)
        return false;
    Message m = {window, message, wparam, lparam};
    try {
        window->loop->queue.push_back(m);
    } catch (const std::bad_alloc&) {
        return false;
    }
    WakeLocked(window->loop);
    return true;
}

intptr_t PfDefWindowProc(PfWindowHandle window, uint32_t message, uintptr_t wparam,
                         intptr_t lparam) {
    (void)window;
    (void)message;
    (void)wparam;
    (void)lparam;
    return 0;
}

ResultCode PfSocketSelect(PfSocketHandle socket, PfWindowHandle window, uint32_t message,
                          uint32_t mask) {
    if (socket == PF_INVALID_SOCKET)
        return OV_E_NOT_SOCKET;
    int fd = (int)(intptr_t)socket;
    std::lock_guard<std::mutex> guard(g_mutex);
    if (mask == 0) {
        RemoveWatchLocked(fd);
        return OV_S_PLATFORM;
    }
    if (window == nullptr || g_windows.count(window) == 0)
        return OV_E_PLATFORM;
    Watch* found = nullptr;
    try {
        found = &g_watches[fd];
    } catch (const std::bad_alloc&) {
        return OV_E_NO_BUFFERS;
    }
    Watch& w = *found;
    if (w.serial == 0)
        w.serial = ++g_lastWatchSerial;
    if (w.window != nullptr && w.window->loop != window->loop)
        WakeLocked(w.window->loop);
    w.window = window;
    w.message = message;
    w.mask = mask;
    // As with WSAAsyncSelect, a new selection reports the present state anew.
    w.dead = false;
    w.held = false;
    w.readArmed = true;
    w.datagram = IsDatagram(fd);
    if (!w.connecting) {
        // Once connected stays connected: a peer that has reset the
        // connection fails getpeername, and its close must still be seen.
        w.connected = w.connected || w.datagram || IsConnected(fd);
        w.acceptArmed = !w.connected && IsListening(fd);
        w.writeArmed = w.connected;
    }
    WakeLocked(window->loop);
    return OV_S_PLATFORM;
}

namespace {

// The watch of a selected socket; null when it has none. g_mutex held.
Watch* FindWatchLocked(PfSocketHandle socket) {
    if (socket == PF_INVALID_SOCKET)
        return nullptr;
    auto it = g_watches.find((int)(intptr_t)socket);
    if (it == g_watches.end() || it->second.window == nullptr)
        return nullptr;
    return &it->second;
}

}  // namespace

void PfSocketRearm(PfSocketHandle socket, uint32_t event) {
    std::lock_guard<std::mutex> guard(g_mutex);
    Watch* found = FindWatchLocked(socket);
    if (found == nullptr)
        return;
    Watch& w = *found;
    w.held = false;
    switch (event) {
        case PF_FD_READ:
            w.readArmed = true;
            break;
        case PF_FD_WRITE:
            w.writeArmed = true;
            break;
        case PF_FD_ACCEPT:
            w.acceptArmed = true;
            break;
        case PF_FD_CONNECT:
            w.connecting = true;
            w.connected = false;
            w.closeReported = false;
            w.dead = false;
            break;
        default:
            return;
    }
    WakeLocked(w.window->loop);
}

void PfSocketReadAhead(PfSocketHandle socket, bool holdsBytes) {
    std::lock_guard<std::mutex> guard(g_mutex);
    Watch* found = FindWatchLocked(socket);
    if (found == nullptr)
        return;
    Watch& w = *found;
    const bool wasArmed = w.readArmed && !w.held;
    w.held = false;
    w.readArmed = true;
    w.readAhead = holdsBytes;
    // The loop's own receives need no wake-up; another thread's may.
    if (!wasArmed || holdsBytes)
        WakeLocked(w.window->loop);
}

bool PfThreadTimerStart(uint32_t periodMs, PfThreadTimerProc proc, void* user) {
    Loop* loop = t_loop;
    if (loop == nullptr || proc == nullptr)
        return false;
    if (periodMs == 0)
        periodMs = 1;  // SetTimer's minimum would apply
    loop->timerProc = proc;
    loop->timerUser = user;
    loop->timerPeriodMs = periodMs;
    loop->timerDueMs = MonotonicMs() + periodMs;
    return true;
}

void PfThreadTimerStop() {
    Loop* loop = t_loop;
    if (loop == nullptr)
        return;
    loop->timerProc = nullptr;
    loop->timerUser = nullptr;
}

uint32_t PfMessageLoopWakeCount() {
    return t_loop != nullptr ? t_loop->wakeCount : 0;
}
