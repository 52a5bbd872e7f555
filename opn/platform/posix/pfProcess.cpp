#include "opn/platform/pfProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>

#include "opn/platform/posix/pfPath.h"

// The intermediate child, already reaped; the program itself runs detached.
struct PfProcess {
    pid_t pid;
};

namespace {

// Reads the child's report: nothing (the pipe closed on a successful exec)
// or the errno of the failed exec or fork.
int ReadReport(int fd) {
    int code = 0;
    ssize_t n;
    do {
        n = read(fd, &code, sizeof code);
    } while (n < 0 && errno == EINTR);
    return n == (ssize_t)sizeof code ? code : 0;
}

void Report(int fd, int code) {
    ssize_t ignored = write(fd, &code, sizeof code);
    (void)ignored;
}

// fork, fork again, exec: the grandchild belongs to init at once.
bool Spawn(const char* windowsPath, PfProcess** process, uint32_t* error) {
    uint32_t ignored = 0;
    if (!error)
        error = &ignored;
    if (!process || !windowsPath || !windowsPath[0]) {
        *error = kPfErrorInvalidParameter;
        return false;
    }
    *process = nullptr;
    ovCString path;
    PathToPosix(windowsPath, path);
    if (path.IsEmpty()) {
        *error = kPfErrorNotEnoughMemory;
        return false;
    }
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *error = ProcessLastError();
        return false;
    }
    char* const argv[] = {const_cast<char*>(path.CStr()), nullptr};
    const pid_t child = fork();
    if (child < 0) {
        *error = ProcessLastError();
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        close(report[0]);
        const pid_t grandchild = fork();
        if (grandchild < 0) {
            Report(report[1], errno);
            _exit(1);
        }
        if (grandchild > 0)
            _exit(0);
        setsid();
        execv(argv[0], argv);
        Report(report[1], errno);
        _exit(127);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = ReadReport(report[0]);
    close(report[0]);
    if (code != 0) {
        *error = ProcessMapError(code);
        return false;
    }
    PfProcess* started = new (std::nothrow) PfProcess{child};
    if (!started) {
        *error = kPfErrorNotEnoughMemory;
        return false;
    }
    *process = started;
    return true;
}

}  // namespace

bool ProcessGetOsVersion(PfOsVersion* out) {
    if (!out)
        return false;
    out->major = 0;
    out->minor = 0;
    out->ntFamily = false;
    return true;
}

bool ProcessShellExecute(const char* verb, const char* path, PfProcess** process, uint32_t* error) {
    (void)verb;
    return Spawn(path, process, error);
}

bool ProcessCreate(const char* commandLine, PfProcess** process, uint32_t* error) {
    return Spawn(commandLine, process, error);
}

bool ProcessWaitForInputIdle(PfProcess* process, uint32_t timeoutMs) {
    (void)timeoutMs;
    return process != nullptr;
}

void ProcessClose(PfProcess* process) {
    delete process;
}
