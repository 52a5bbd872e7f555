// Shared pieces of the library-interface tests: a scratch folder with the
// service log redirected into it, a recorder for the host callback, a host
// window that counts the event messages (Windows), and access to the job
// manager behind the interface.
#pragma once

#include <stdint.h>
#include <string.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include "opn/platform/cpCMutex.h"
#include "opn/core/ovClassIds.h"
#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfThread.h"
#include "sdk/api/CDownloadLibThread.h"
#include "sdk/download/CJob.h"
#include "sdk/api/CJobManager.h"
#include "sdk/api/SwarmFetch.h"
#include "sdk/support/EnginePath.h"
#include "sdk/support/ServiceLog.h"
#include "support/Eventually.h"
#include "unit/SupportTestEnv.h"

namespace apitest {

using supporttest::TempFolder;

// One delivered event.
struct Event {
    uint32_t code;
    uint32_t handle;
    void* user;
    uint32_t thread;  // PfCurrentThreadId of the delivering thread
};

// The host callback: records every call. The user pointer handed to the
// library must be the recorder itself.
class EventRecorder {
  public:
    static void Callback(uint32_t code, uint32_t handle, void* user) {
        EventRecorder* self = static_cast<EventRecorder*>(user);
        std::lock_guard<std::mutex> hold(self->m_mutex);
        self->m_events.push_back(Event{code, handle, user, PfCurrentThreadId()});
    }
    std::vector<Event> Events() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_events;
    }
    std::vector<uint32_t> Codes() {
        std::vector<uint32_t> codes;
        for (const Event& e : Events())
            codes.push_back(e.code);
        return codes;
    }
    size_t Count() { return Events().size(); }
    size_t CountOf(uint32_t code) {
        size_t n = 0;
        for (const Event& e : Events())
            n += e.code == code ? 1 : 0;
        return n;
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_events.clear();
    }
    // Waits (bounded) until `count` events have arrived.
    bool WaitFor(size_t count, uint32_t timeoutMs = 10000) {
        return sftest::Eventually([&] { return Count() >= count; }, timeoutMs);
    }

  private:
    std::mutex m_mutex;
    std::vector<Event> m_events;
};

// A real hidden window of the test's thread on Windows that records the
// event messages it receives; on POSIX an opaque non-null handle.
class HostWindow {
  public:
    struct Message {
        uintptr_t wparam;
        intptr_t lparam;
    };

    HostWindow() {
#ifdef _WIN32
        WNDCLASSA wc;
        memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = &HostWindow::Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "SwarmFetchTestHost";
        RegisterClassA(&wc);
        // A message-only window: it needs no display.
        m_hwnd = CreateWindowExA(0, "SwarmFetchTestHost", "host", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
        if (m_hwnd)
            SetWindowLongPtrA(m_hwnd, GWLP_USERDATA, (LONG_PTR)this);
#else
        m_hwnd = reinterpret_cast<HWND>(&m_opaque);
#endif
    }
    ~HostWindow() {
#ifdef _WIN32
        if (m_hwnd)
            DestroyWindow(m_hwnd);
#endif
    }
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    HWND Handle() const {
        return m_hwnd;
    }

    // Dispatches what is queued for this thread (bounded); returns the
    // number of event messages received so far.
    size_t Pump() {
#ifdef _WIN32
        MSG msg;
        for (int i = 0; i < 10000 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
#endif
        return m_messages.size();
    }
    // Pumps until `count` event messages have arrived (bounded).
    bool WaitFor(size_t count, uint32_t timeoutMs = 10000) {
#ifdef _WIN32
        for (uint32_t waited = 0; waited < timeoutMs && Pump() < count; waited += 10)
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
#else
        (void)timeoutMs;
#endif
        return Pump() >= count;
    }
    const std::vector<Message>& Messages() const {
        return m_messages;
    }
    void Clear() {
        Pump();
        m_messages.clear();
    }

  private:
#ifdef _WIN32
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
        if (message == SWARMFETCH_WM_EVENT) {
            HostWindow* self = (HostWindow*)GetWindowLongPtrA(hwnd, GWLP_USERDATA);
            if (self)
                self->m_messages.push_back(Message{(uintptr_t)wparam, (intptr_t)lparam});
            return 0;
        }
        return DefWindowProcA(hwnd, message, wparam, lparam);
    }
#else
    int m_opaque = 0;
#endif
    HWND m_hwnd = nullptr;
    std::vector<Message> m_messages;
};

// Whether event messages reach a window on this platform.
#ifdef _WIN32
const bool kWindowsGetMessages = true;
#else
const bool kWindowsGetMessages = false;
#endif

// A Windows-form path ("Z:\\tmp\\x" natively) as this process opens it.
inline std::string NativeFromWin(const std::string& win) {
#ifdef _WIN32
    return win;
#else
    std::string path = win.compare(0, 2, "Z:") == 0 ? win.substr(2) : win;
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
#endif
}

// A scratch folder that is also the application-data folder, so the service
// log lands in it. Make it before SwarmFetch_Initialize and drop it after
// SwarmFetch_Finalize (the redirect changes the environment on POSIX). With
// `redirect` false the system's application-data folder stays and the log is
// read from there.
class LogScope {
  public:
    explicit LogScope(bool redirect = true) {
        if (redirect)
            m_redirect.reset(new supporttest::AppDataRedirect(m_folder.Win(), m_folder.Native()));
        LogReset();
    }
    const TempFolder& Folder() const { return m_folder; }
    std::string Text() const {
        ovCString folder;
        GetEngineFolder(folder);
        return supporttest::ReadWholeFile(
            NativeFromWin(std::string(folder.CStr()) + "config\\service.log"));
    }
    // The messages of the log's lines, without their time stamps.
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        const std::string text = Text();
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find("\r\n", start);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(start, end - start);
            size_t stamp = line.find("] ");
            lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
            start = end + 2;
        }
        return lines;
    }
    bool Has(const std::string& message) const {
        for (const std::string& line : Lines())
            if (line == message)
                return true;
        return false;
    }
    size_t CountOf(const std::string& message) const {
        size_t n = 0;
        for (const std::string& line : Lines())
            n += line == message ? 1 : 0;
        return n;
    }
    size_t IndexOf(const std::string& message) const {
        std::vector<std::string> lines = Lines();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i] == message)
                return i;
        return std::string::npos;
    }

  private:
    TempFolder m_folder;
    std::unique_ptr<supporttest::AppDataRedirect> m_redirect;
};

inline CJobManager* Manager() {
    CDownloadLibThread* thread = SwarmFetchLibraryThread();
    return thread ? thread->JobManager() : nullptr;
}

// The job manager of a library the test has initialised; ends the program
// when there is none, since nothing after that could be meaningful.
inline CJobManager& TheManager() {
    CJobManager* manager = Manager();
    if (!manager) {
        ADD_FAILURE() << "the library has no job manager";
        fflush(stdout);
        abort();
    }
    return *manager;
}

// Runs `fn` on the job under the library lock, as the library thread's
// downloaders do. False when there is no such job.
inline bool WithJob(uint32_t handle, const std::function<void(CJob&)>& fn) {
    CJobManager* manager = Manager();
    if (!manager)
        return false;
    ovCAutoLock hold(manager->LockObject());
    CJob* job = manager->FindJob(handle);
    if (!job)
        return false;
    fn(*job);
    return true;
}

// A library initialised for one test, with a recorder and (optionally) a
// host window.
class Library {
  public:
    // Without `engine` every job runs in the plain downloader, as when no
    // engine can be had.
    Library(bool withWindow, bool withCallback, uint8_t elevate = 1, bool engine = false) {
        CJobManager::SetEngineDownloaderEnabledForTesting(engine);
        m_result = SwarmFetch_Initialize(withWindow ? m_window.Handle() : nullptr,
                                         withCallback ? &EventRecorder::Callback : nullptr,
                                         &m_recorder, elevate);
    }
    ~Library() { SwarmFetch_Finalize(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    int32_t Result() const { return m_result; }
    EventRecorder& Recorder() { return m_recorder; }
    HostWindow& Window() { return m_window; }
    uint32_t NewJob(const char* name = "brightwave7") {
        uint32_t job = 0;
        EXPECT_EQ(SF_RESULT_OK, SwarmFetch_CreateJob(&job, nullptr, name));
        return job;
    }

  private:
    EventRecorder m_recorder;
    HostWindow m_window;
    int32_t m_result = 0;
};

}  // namespace apitest
