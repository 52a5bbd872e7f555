// The stand-in engine (tools/engine/ldDownload) as a child process of a test:
// started with its environment set, on a free port, and always stopped (killed
// when it has not ended by itself) when the object goes.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "opn/platform/pfSocket.h"
#include "support/TestPeers.h"

namespace engineprocess {

// A port nobody listens on right now (bound, read and let go).
inline uint16_t FreePort() {
    SockRecord* record = nullptr;
    uint16_t port = 0;
    if (OV_SUCCEEDED(SockCreate(&record, kSockKindTcp))) {
        NetAddress at = testpeers::LoopbackAt(0);
        if (OV_SUCCEEDED(SockBind(record, &at)))
            port = SockLocalPort(record);
        SockClose(record);
    }
    return port;
}

// The program's path as this build starts programs (Windows form under Wine).
inline std::string ProgramPath(const char* posixPath) {
    std::string path = posixPath;
#ifdef _WIN32
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
#endif
    return path;
}

class EngineProcess {
  public:
    typedef std::vector<std::pair<std::string, std::string>> Environment;

    EngineProcess() = default;
    ~EngineProcess() { Stop(); }
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    // Starts `program` with `env` added to this process's environment.
    bool Start(const std::string& program, const Environment& env) {
#ifdef _WIN32
        std::vector<std::pair<std::string, std::string>> saved;
        for (const auto& item : env) {
            char old[4096];
            const DWORD n = GetEnvironmentVariableA(item.first.c_str(), old, sizeof old);
            saved.emplace_back(item.first, n > 0 && n < sizeof old ? std::string(old, n) : "\x01");
            SetEnvironmentVariableA(item.first.c_str(), item.second.c_str());
        }
        STARTUPINFOA startup;
        ZeroMemory(&startup, sizeof startup);
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info;
        ZeroMemory(&info, sizeof info);
        std::string commandLine = "\"" + program + "\"";
        const BOOL ok = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0,
                                       nullptr, nullptr, &startup, &info);
        for (const auto& item : saved)
            SetEnvironmentVariableA(item.first.c_str(),
                                    item.second == "\x01" ? nullptr : item.second.c_str());
        if (!ok)
            return false;
        CloseHandle(info.hThread);
        m_process = info.hProcess;
        return true;
#else
        const pid_t pid = fork();
        if (pid < 0)
            return false;
        if (pid == 0) {
            for (const auto& item : env)
                setenv(item.first.c_str(), item.second.c_str(), 1);
            execl(program.c_str(), program.c_str(), (char*)nullptr);
            _exit(127);
        }
        m_pid = pid;
        return true;
#endif
    }

    bool Running() const {
#ifdef _WIN32
        return m_process != nullptr;
#else
        return m_pid > 0;
#endif
    }

    // Waits at most `ms` for the end; true with its exit code when it ended.
    bool WaitExit(uint32_t ms, int* code) {
#ifdef _WIN32
        if (!m_process || WaitForSingleObject(m_process, ms) != WAIT_OBJECT_0)
            return false;
        DWORD exitCode = 0;
        GetExitCodeProcess(m_process, &exitCode);
        CloseHandle(m_process);
        m_process = nullptr;
        *code = (int)exitCode;
        return true;
#else
        for (uint32_t waited = 0; m_pid > 0; waited += 20) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return true;
            }
            if (waited >= ms)
                return false;
            usleep(20000);
        }
        return false;
#endif
    }

    void Stop() {
#ifdef _WIN32
        if (!m_process)
            return;
        TerminateProcess(m_process, 9);
        WaitForSingleObject(m_process, 10000);
        CloseHandle(m_process);
        m_process = nullptr;
#else
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
#endif
    }

  private:
#ifdef _WIN32
    HANDLE m_process = nullptr;
#else
    pid_t m_pid = -1;
#endif
};

}  // namespace engineprocess
