// What the throughput benchmarks share: the clocks of the receiving side, a
// run's result, and curl fetching the same bytes for comparison.
// The clocks and the result also build for Windows (the programs that run
// under Wine); the rest is native Linux only.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include <chrono>
#include <string>

namespace bench {

const uint64_t kGiB = 1024ull * 1024 * 1024;

#ifdef _WIN32
// Kernel plus user time as GetThreadTimes / GetProcessTimes give them.
inline double CpuSeconds(const FILETIME& kernel, const FILETIME& user) {
    const uint64_t k = ((uint64_t)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime;
    const uint64_t u = ((uint64_t)user.dwHighDateTime << 32) | user.dwLowDateTime;
    return (double)(k + u) / 1e7;
}
#else
inline double CpuSeconds(const rusage& u) {
    return (double)u.ru_utime.tv_sec + (double)u.ru_utime.tv_usec / 1e6 +
           (double)u.ru_stime.tv_sec + (double)u.ru_stime.tv_usec / 1e6;
}
#endif

// CPU time of the calling thread (the library thread of a run).
inline double ThreadCpuSeconds() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    return CpuSeconds(kernel, user);
#else
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
#endif
}

// CPU time of the whole process, user and system.
inline double ProcessCpuSeconds() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    return CpuSeconds(kernel, user);
#else
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return CpuSeconds(u);
#endif
}

inline double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Result {
    bool ok = false;
    uint64_t bytes = 0;
    double seconds = 0;
    double cpuSeconds = 0;
    std::string note;

    double BytesPerSecond() const { return seconds > 0 ? (double)bytes / seconds : 0; }
    double CpuSecondsPerGiB() const {
        return bytes > 0 ? cpuSeconds * (double)kGiB / (double)bytes : 0;
    }
};

#ifndef _WIN32
// CPU time of the child processes that ended so far (curl).
inline double ChildrenCpuSeconds() {
    rusage u;
    getrusage(RUSAGE_CHILDREN, &u);
    return CpuSeconds(u);
}

// curl into /dev/null; its CPU from the children's resource usage.
// `options` go before the URL as they stand (already quoted).
inline Result RunCurl(const std::string& url, const std::string& options = "") {
    Result r;
    std::string command = "curl -s -o /dev/null -w '%{size_download}' " + options + "'" + url + "'";
    const double cpu0 = ChildrenCpuSeconds();
    const double t0 = WallSeconds();
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr)
        return r;
    char out[64] = {0};
    const size_t n = fread(out, 1, sizeof(out) - 1, p);
    out[n] = '\0';
    const int status = pclose(p);
    r.seconds = WallSeconds() - t0;
    r.cpuSeconds = ChildrenCpuSeconds() - cpu0;
    r.bytes = strtoull(out, nullptr, 10);
    r.ok = status == 0;
    r.note = r.ok ? "" : "curl failed";
    return r;
}

inline bool HaveProgram(const char* name) {
    std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return system(command.c_str()) == 0;
}

#endif  // !_WIN32

}  // namespace bench
