// One job of a 1 GiB file from nginx at full speed through the flat
// interface, to disk, next to curl, wget and aria2c on the same URL, in one
// run.
//
// Starts the test servers (BenchServers.h) and downloads their
// /files/zero-1g.bin into a temporary folder:
//   - bench_job_fetch (bench_job_fetch.cpp) natively: one job, StartJob with
//     full speed, until the job-done event;
//   - with --wine "COMMAND", the same program in the Windows build under
//     Wine (COMMAND, e.g. "build/windows-release/wine-run
//     build/windows-release/bench/bench_job_fetch.exe", gets the URL, the
//     folder as Z:\... and the file name appended);
//   - with --engine PATH (a native stand-in engine, tools/engine), the same
//     job through the local engine: the servers serve its update, the
//     library installs it into a scratch application-data folder, starts it
//     on a free port and hands it the job;
//   - `curl -s -o FILE`, `wget -q -O FILE` and `aria2c -d DIR -o NAME` (each
//     when installed).
// Every file is checked for its full size and removed after its run.
//
// Reported per run: wall seconds, MiB/s and that rate against the library's
// budget of 104,857,600 bytes per second (for the library: over the whole
// run, and from its first byte on disk to the job-done event, "flowing"),
// CPU seconds per GiB of the downloading process (user + system) and its
// peak memory. For the others the figures come from wait4 on the child; the
// library programs report their own (under Wine: the Windows process as
// Wine accounts it, without the wineserver).
//
// Usage: bench_job_download [--path /files/...] [--wine "COMMAND"]
//                           [--job PATH] [--engine PATH] [--runs N]
// Native Linux only.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/BenchServers.h"
#include "bench/BenchSupport.h"

using namespace bench;

namespace {

const double kBudget = 104857600.0;  // the full-speed budget, bytes per second

struct Run {
    std::string tool;
    bool ok = false;
    uint64_t bytes = 0;
    double wall = 0;
    double flowing = 0;  // 0: not measured
    double cpu = 0;
    uint64_t peakKiB = 0;
    std::string note;
};

int64_t FileBytes(const std::string& path) {
    struct stat s;
    return stat(path.c_str(), &s) == 0 ? (int64_t)s.st_size : -1;
}

// Runs `command` through the shell, collecting its output and the rusage of
// the whole child tree (wait4 of the shell after its children ended).
bool RunChild(const std::string& command, std::string* output, double* wall, double* cpu,
              uint64_t* peakKiB) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return false;
    const double t0 = WallSeconds();
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execl("/bin/sh", "sh", "-c", command.c_str(), (char*)nullptr);
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof(buffer))) > 0)
        output->append(buffer, (size_t)n);
    close(pipeFds[0]);
    int status = 0;
    rusage u;
    memset(&u, 0, sizeof(u));
    wait4(pid, &status, 0, &u);
    *wall = WallSeconds() - t0;
    *cpu = CpuSeconds(u);
    *peakKiB = (uint64_t)u.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Run RunTool(const std::string& tool, const std::string& command, const std::string& file,
            uint64_t expected) {
    Run r;
    r.tool = tool;
    std::string output;
    r.ok = RunChild(command + " </dev/null", &output, &r.wall, &r.cpu, &r.peakKiB);
    const int64_t bytes = FileBytes(file);
    r.bytes = bytes > 0 ? (uint64_t)bytes : 0;
    r.ok = r.ok && r.bytes == expected;
    r.note = r.ok ? "" : "failed or short";
    unlink(file.c_str());
    return r;
}

// The library program prints its own figures on a RESULT line.
Run RunJob(const std::string& tool, const std::string& command, const std::string& file,
           uint64_t expected) {
    Run r;
    r.tool = tool;
    std::string output;
    double wall = 0, cpu = 0;
    uint64_t peak = 0;
    const bool exited = RunChild(command + " </dev/null 2>&1", &output, &wall, &cpu, &peak);
    const size_t at = output.find("RESULT ");
    int ok = 0;
    long long bytes = 0;
    char note[256] = {0};
    unsigned long long peakKiB = 0;
    if (at == std::string::npos ||
        sscanf(output.c_str() + at, "RESULT %d %lld %lf %lf %lf %llu %255[^\n]", &ok, &bytes,
               &r.wall, &r.flowing, &r.cpu, &peakKiB, note) < 6) {
        r.note = "no result line: " + output.substr(0, 200);
        unlink(file.c_str());
        return r;
    }
    r.peakKiB = peakKiB;
    r.bytes = bytes > 0 ? (uint64_t)bytes : 0;
    r.ok = exited && ok != 0 && r.bytes == expected;
    r.note = note;
    unlink(file.c_str());
    return r;
}

void PrintHeader() {
    printf("%-28s %-4s %11s %8s %8s %7s %8s %7s %9s %8s  %s\n", "downloader", "", "bytes", "wall s",
           "MiB/s", "budget", "flow s", "flow/b", "CPU s/GiB", "peak MiB", "note");
}

void Print(const Run& r) {
    const double rate = r.wall > 0 ? (double)r.bytes / r.wall : 0;
    const double flowRate = r.flowing > 0 ? (double)r.bytes / r.flowing : 0;
    const double cpuPerGiB = r.bytes > 0 ? r.cpu * (double)kGiB / (double)r.bytes : 0;
    char flowSeconds[16] = "-", flowShare[16] = "-";
    if (r.flowing > 0) {
        snprintf(flowSeconds, sizeof(flowSeconds), "%.3f", r.flowing);
        snprintf(flowShare, sizeof(flowShare), "%.3f", flowRate / kBudget);
    }
    printf("%-28s %-4s %11llu %8.3f %8.1f %7.3f %8s %7s %9.3f %8.1f  %s\n", r.tool.c_str(),
           r.ok ? "ok" : "FAIL", (unsigned long long)r.bytes, r.wall, rate / (1024.0 * 1024.0),
           rate / kBudget, flowSeconds, flowShare, cpuPerGiB, (double)r.peakKiB / 1024.0,
           r.note.c_str());
    fflush(stdout);
}

// "/tmp/x/" as Wine's drive Z: sees it.
std::string WinePath(const std::string& path) {
    std::string out = "Z:";
    for (char c : path)
        out += c == '/' ? '\\' : c;
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = "/files/zero-1g.bin";
    std::string wine;
    std::string job;
    std::string engine;
    int runs = 1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--path") == 0 && i + 1 < argc)
            path = argv[++i];
        else if (strcmp(argv[i], "--wine") == 0 && i + 1 < argc)
            wine = argv[++i];
        else if (strcmp(argv[i], "--job") == 0 && i + 1 < argc)
            job = argv[++i];
        else if (strcmp(argv[i], "--engine") == 0 && i + 1 < argc)
            engine = argv[++i];
        else if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = atoi(argv[++i]);
        else {
            fprintf(stderr,
                    "usage: bench_job_download [--path /files/...] [--wine \"COMMAND\"]\n"
                    "                          [--job PATH] [--engine PATH] [--runs N]\n");
            return 2;
        }
    }
    if (job.empty()) {
        // bench_job_fetch sits beside this program.
        std::string self = argv[0];
        const size_t slash = self.rfind('/');
        job = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) +
              "/bench_job_fetch";
    }
    Servers servers;
    if (!servers.Start(engine, engine.empty() ? "" : SF_ENGINE_VERSION)) {
        fprintf(stderr, "the test servers did not start\n");
        return 1;
    }
    const std::string url = "http://127.0.0.1:" + servers.Value("HTTP_PORT") + path;
    const int64_t size = FileBytes(servers.Value("DOCROOT") + path);
    if (size <= 0) {
        fprintf(stderr, "no file at %s\n", path.c_str());
        return 1;
    }
    const uint64_t expected = (uint64_t)size;
    const std::string name = path.substr(path.rfind('/') + 1);
    const char* base = getenv("SF_TEST_TMP_DIR");
    std::string folder =
        std::string(base != nullptr && *base ? base : "/tmp") + "/bench_job.XXXXXX";
    std::vector<char> made(folder.begin(), folder.end());
    made.push_back('\0');
    if (mkdtemp(made.data()) == nullptr) {
        fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    folder = std::string(made.data()) + "/";
    const std::string file = folder + name;

    PrintHeader();
    bool allOk = true;
    for (int run = 0; run < runs; ++run) {
        std::vector<Run> results;
        results.push_back(
            RunJob("library job (native)",
                   Quote(job) + " " + Quote(url) + " " + Quote(folder) + " " + Quote(name), file,
                   expected));
        if (!engine.empty()) {
            // A fresh install each run: the update is part of what is timed.
            const std::string appData = folder + "appdata";
            const std::string env =
                "SF_BENCH_ENGINE=1 XDG_DATA_HOME=" + Quote(appData) + " SF_BENCH_MANIFEST_URL=" +
                Quote("http://127.0.0.1:" + servers.Value("HTTP_PORT") +
                      "/ActiveX/update/KVX_updater.xml") +
                " SF_ENGINE_PORT=" + std::to_string(57006 + run) + " SF_ENGINE_IDLE_EXIT_MS=1000 ";
            if (system(("rm -rf " + Quote(appData)).c_str()) != 0)
                fprintf(stderr, "could not clear %s\n", appData.c_str());
            results.push_back(RunJob(
                "library job via the engine (native)",
                env + Quote(job) + " " + Quote(url) + " " + Quote(folder) + " " + Quote(name), file,
                expected));
        }
        if (!wine.empty()) {
            results.push_back(
                RunJob("library job (Windows, Wine)",
                       wine + " " + Quote(url) + " " + Quote(WinePath(folder)) + " " + Quote(name),
                       file, expected));
        }
        if (HaveProgram("curl"))
            results.push_back(RunTool(
                "curl -o FILE", "curl -s -o " + Quote(file) + " " + Quote(url), file, expected));
        if (HaveProgram("wget"))
            results.push_back(RunTool(
                "wget -O FILE", "wget -q -O " + Quote(file) + " " + Quote(url), file, expected));
        if (HaveProgram("aria2c"))
            results.push_back(
                RunTool("aria2c",
                        "aria2c -q --allow-overwrite=true --file-allocation=none -d " +
                            Quote(folder) + " -o " + Quote(name) + " " + Quote(url),
                        file, expected));
        for (const Run& r : results) {
            Print(r);
            allOk = allOk && r.ok;
        }
    }
    if (system(("rm -rf " + Quote(folder)).c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", folder.c_str());
    return allOk ? 0 : 1;
}
