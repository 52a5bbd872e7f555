// Programs that tests and native benchmarks run beside them (trackers, peers,
// engines): a started child process that is always ended when its object
// goes, and the output of a shell command. POSIX only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace childprocess {

// Standard output of `command` run by /bin/sh (empty when it cannot start).
inline std::string Shell(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            text.append(buffer, n);
        pclose(pipe);
    }
    return text;
}

// A started program, killed when it has not ended by itself before Stop or
// the object's end.
class Child {
  public:
    typedef std::vector<std::pair<std::string, std::string>> Environment;

    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Stop(); }

    // Runs `args` (looked up on PATH) with `env` added to this process's
    // environment; `output`: the file its standard output and error are
    // appended to (kept when empty).
    bool Start(const std::vector<std::string>& args, const std::string& output = "",
               const Environment& env = Environment()) {
        fflush(nullptr);  // the child must not write this process's buffers again
        m_pid = fork();
        if (m_pid == 0) {
            for (const auto& item : env)
                setenv(item.first.c_str(), item.second.c_str(), 1);
            if (!output.empty()) {
                const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
                if (fd < 0)
                    _exit(126);
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
            std::vector<char*> argv;
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        return m_pid > 0;
    }

    // Runs `body` in a child process of its own, which ends when it returns.
    bool Fork(const std::function<void()>& body) {
        fflush(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            body();
            _exit(0);
        }
        return m_pid > 0;
    }

    // True once it has ended, waiting at most about `ms` for that.
    bool Wait(int ms) {
        for (int waited = 0; m_pid > 0; waited += 20) {
            rusage use = {};
            if (wait4(m_pid, nullptr, WNOHANG, &use) == m_pid)
                Ended(use);
            else if (waited >= ms)
                return false;
            else
                usleep(20000);
        }
        return true;
    }

    // Asked to end first when `gently` (at most 5 seconds), then killed.
    void Stop(bool gently = false) {
        if (m_pid <= 0)
            return;
        if (gently) {
            kill(m_pid, SIGTERM);
            if (Wait(5000))
                return;
        }
        kill(m_pid, SIGKILL);
        rusage use = {};
        wait4(m_pid, nullptr, 0, &use);
        Ended(use);
    }

    // User and system seconds it used, once it has ended.
    double CpuSeconds() const { return m_cpu; }

  private:
    void Ended(const rusage& use) {
        m_pid = -1;
        m_cpu = (double)use.ru_utime.tv_sec + (double)use.ru_utime.tv_usec / 1e6 +
                (double)use.ru_stime.tv_sec + (double)use.ru_stime.tv_usec / 1e6;
    }

    pid_t m_pid = -1;
    double m_cpu = 0;
};

}  // namespace childprocess
