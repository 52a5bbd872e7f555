// Jobs through the flat interface, to disk at full speed, next to curl,
// wget and aria2c on the same server, in one run.
//
// Starts the test servers (BenchServers.h) and runs each chosen set (--set,
// repeated or comma-separated; default 1g):
//   1g        one file, --path (default /files/zero-1g.bin, 1 GiB of zeros);
//   verified  the same file, its URL given to the library with
//             "#sha256=<digest>&size=<bytes>", so the job hashes it as it
//             is written and renames it only when it matched; aria2c gets
//             the digest too (--checksum). The digest is computed once by
//             sha256sum (not by the code under test), before anything is
//             timed, and kept beside the file as <file>.sha256, reused
//             while the file is not newer;
//   resume    64 MiB of random bytes with a hash, and a <name>.part of its
//             first 25,169,923 bytes in the folder as a cut run leaves it;
//             the job continues it. Its own table: the bytes nginx sent for
//             the file (the body-bytes field of its access log) against the
//             missing bytes. More than the missing bytes fails the run (exit
//             status 1), as does a run that ends without the whole file;
//   small     300 files of 10 KiB each;
//   mid       50 files of 1 MiB each;
//   redirect  50 files of 10 KiB each, each URL answered by one 302 from the
//             fault server (/redirect-to) to the file on nginx;
//   sizecheck 1,000 files of 1 KiB each, only their sizes: the job's
//             file-size check (bench_job_fetch --sizes: StartJob to the
//             size-info event, then the job is stopped) next to curl making
//             the same 1,000 HEAD requests, 5 at a time (`curl --parallel
//             --parallel-max 5 -I`, one process); its own table of wall
//             seconds and requests per second.
// The many-file sets are written into the document root (random bytes) for
// the run. Each set is downloaded into a temporary folder:
//   - bench_job_fetch (bench_job_fetch.cpp) natively: one job holding every
//     file (sizes unknown, as the launcher adds them), StartJob with full
//     speed, until the job-done event;
//   - with --wine "COMMAND", the same program in the Windows build under
//     Wine (COMMAND, e.g. "build/windows-release/wine-run
//     build/windows-release/bench/bench_job_fetch.exe", gets the URL, the
//     folder as Z:\... and the file name appended, or "--list LIST FOLDER");
//   - with --engine PATH (a native stand-in engine, tools/engine; set 1g
//     only), the same job through the local engine: the servers serve its
//     update, the library installs it into a scratch application-data
//     folder, starts it on a free port and hands it the job;
//   - curl in one process (`curl -s -L -o FILE URL`, for many files one
//     config file of url/output pairs, so it keeps its connection), wget for
//     1g (`wget -q -O FILE`), and aria2c one file at a time (`aria2c -j1`,
//     for many files an input file with dir/out per URL); each when
//     installed.
// Every file is checked for its full size and removed after its run.
//
// Reported per run: wall seconds (the library: StartJob to the job-done
// event; the others: their process), the process's wall seconds for all
// ("proc s", the library's includes its start and finalize), MiB/s and that
// rate against the library's budget of 104,857,600 bytes per second, for
// the library also from its first byte on disk to the job-done event
// ("flow"), CPU seconds per GiB of the downloading process (user + system)
// and its peak memory, and the wall time against aria2c's and the CPU time
// against curl's of the same set. For the others the figures come from
// wait4 on the child; the library programs report their own (under Wine:
// the Windows process as Wine accounts it, without the wineserver).
//
// Usage: bench_job_download
//            [--set 1g|verified|resume|small|mid|redirect|sizecheck|all]...
//            [--path /files/...] [--wine "COMMAND"] [--job PATH] [--engine PATH]
//            [--runs N]
// Native Linux only.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <ctype.h>
#include <string.h>
#include <time.h>
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
    double process = 0;  // wall seconds of the whole process
    double cpu = 0;
    uint64_t peakKiB = 0;
    std::string note;
    std::string calls;  // the library's CALLS line, "name=count ..."
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

// The checks of the files and their removal come afterwards (main).
Run RunTool(const std::string& tool, const std::string& command) {
    Run r;
    r.tool = tool;
    std::string output;
    r.ok = RunChild(command + " </dev/null", &output, &r.wall, &r.cpu, &r.peakKiB);
    r.process = r.wall;
    if (!r.ok)
        r.note = "failed";
    return r;
}

// The library program prints its own figures on a RESULT line.
Run RunJob(const std::string& tool, const std::string& command) {
    Run r;
    r.tool = tool;
    std::string output;
    double cpu = 0;
    uint64_t peak = 0;
    const bool exited = RunChild(command + " </dev/null 2>&1", &output, &r.process, &cpu, &peak);
    const size_t at = output.find("RESULT ");
    int ok = 0;
    long long bytes = 0;
    char note[256] = {0};
    unsigned long long peakKiB = 0;
    if (at == std::string::npos ||
        sscanf(output.c_str() + at, "RESULT %d %lld %lf %lf %lf %llu %255[^\n]", &ok, &bytes,
               &r.wall, &r.flowing, &r.cpu, &peakKiB, note) < 6) {
        r.note = "no result line: " + output.substr(0, 200);
        return r;
    }
    r.peakKiB = peakKiB;
    r.bytes = bytes > 0 ? (uint64_t)bytes : 0;
    r.ok = exited && ok != 0;
    r.note = note;
    const size_t callsAt = output.find("CALLS ");
    if (callsAt != std::string::npos) {
        const size_t end = output.find('\n', callsAt);
        r.calls = output.substr(callsAt + 6,
                                end == std::string::npos ? std::string::npos : end - callsAt - 6);
    }
    return r;
}

void PrintHeader() {
    printf("%-34s %-4s %11s %8s %8s %8s %7s %8s %7s %9s %8s %7s %7s  %s\n", "downloader", "",
           "bytes", "wall s", "proc s", "MiB/s", "budget", "flow s", "flow/b", "CPU s/GiB",
           "peak MiB", "/aria2c", "CPU/curl", "note");
}

// `aria` and `curl`: the runs of the same set to compare with (may be null).
void Print(const Run& r, const Run* aria, const Run* curl) {
    const double rate = r.wall > 0 ? (double)r.bytes / r.wall : 0;
    const double flowRate = r.flowing > 0 ? (double)r.bytes / r.flowing : 0;
    const double cpuPerGiB = r.bytes > 0 ? r.cpu * (double)kGiB / (double)r.bytes : 0;
    char flowSeconds[16] = "-", flowShare[16] = "-", vsAria[16] = "-", vsCurl[16] = "-";
    if (r.flowing > 0) {
        snprintf(flowSeconds, sizeof(flowSeconds), "%.3f", r.flowing);
        snprintf(flowShare, sizeof(flowShare), "%.3f", flowRate / kBudget);
    }
    if (aria && aria->ok && aria->wall > 0)
        snprintf(vsAria, sizeof(vsAria), "%.2f", r.wall / aria->wall);
    if (curl && curl->ok && curl->cpu > 0)
        snprintf(vsCurl, sizeof(vsCurl), "%.2f", r.cpu / curl->cpu);
    printf("%-34s %-4s %11llu %8.3f %8.3f %8.1f %7.3f %8s %7s %9.3f %8.1f %7s %7s  %s\n",
           r.tool.c_str(), r.ok ? "ok" : "FAIL", (unsigned long long)r.bytes, r.wall, r.process,
           rate / (1024.0 * 1024.0), rate / kBudget, flowSeconds, flowShare, cpuPerGiB,
           (double)r.peakKiB / 1024.0, vsAria, vsCurl, r.note.c_str());
    // The library's calls per MiB written, from its CALLS line.
    if (!r.calls.empty() && r.bytes > 0) {
        const double mib = (double)r.bytes / (1024.0 * 1024.0);
        printf("%-34s calls per MiB:", "");
        size_t at = 0;
        while (at < r.calls.size()) {
            size_t end = r.calls.find(' ', at);
            if (end == std::string::npos)
                end = r.calls.size();
            const std::string item = r.calls.substr(at, end - at);
            const size_t eq = item.find('=');
            if (eq != std::string::npos)
                printf(" %s=%.2f", item.substr(0, eq).c_str(),
                       strtod(item.c_str() + eq + 1, nullptr) / mib);
            at = end + 1;
        }
        printf("\n");
    }
    fflush(stdout);
}

// "/tmp/x/" as Wine's drive Z: sees it.
std::string WinePath(const std::string& path) {
    std::string out = "Z:";
    for (char c : path)
        out += c == '/' ? '\\' : c;
    return out;
}

// One set of files: what the tools fetch and where each lands.
struct FileSet {
    std::string name;
    std::vector<std::string> urls;
    std::vector<std::string> names;
    uint64_t expected = 0;  // bytes of all files
    // For a verified set, per file: what the library's URL ends in
    // ("#sha256=<digest>&size=<bytes>") and the digest (aria2c's check).
    std::vector<std::string> fragments;
    std::vector<std::string> digests;

    std::string LibraryUrl(size_t i) const {
        return urls[i] + (i < fragments.size() ? fragments[i] : std::string());
    }
};

// Percent-encodes everything but letters and digits (a query value).
std::string QueryEscape(const std::string& text) {
    std::string out;
    char hex[4];
    for (unsigned char c : text) {
        if (isalnum(c)) {
            out += (char)c;
        } else {
            snprintf(hex, sizeof(hex), "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

// `count` files of `size` random bytes under /files/bench-<set>/ of the
// servers' document root; with `redirected`, each URL is a 302 of the fault
// server to the file.
bool MakeSet(const Servers& servers, const std::string& set, int count, uint64_t size,
             bool redirected, FileSet* out) {
    const std::string base = "/files/bench-" + set + "/";
    const std::string folder = servers.Value("DOCROOT") + base;
    if (system(("mkdir -p " + Quote(folder)).c_str()) != 0)
        return false;
    const std::string nginx = "http://127.0.0.1:" + servers.Value("HTTP_PORT");
    const std::string fault = "http://127.0.0.1:" + servers.Value("FAULT_PORT");
    std::vector<char> bytes((size_t)size);
    uint32_t seed = 0x5eed0000u + (uint32_t)count;
    out->name = set;
    for (int i = 0; i < count; ++i) {
        for (char& b : bytes) {
            seed = seed * 1103515245u + 12345u;
            b = (char)(seed >> 16);
        }
        char name[32];
        snprintf(name, sizeof(name), "f%03d.bin", i);
        FILE* f = fopen((folder + name).c_str(), "wb");
        if (f == nullptr)
            return false;
        const bool written = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        if (fclose(f) != 0 || !written)
            return false;
        const std::string direct = nginx + base + name;
        out->urls.push_back(
            redirected ? fault + "/redirect-to?status=302&loc=" + QueryEscape(direct) : direct);
        out->names.push_back(name);
        out->expected += size;
    }
    return true;
}

bool WriteText(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && written;
}

bool IsSha256Hex(const std::string& text) {
    if (text.size() != 64)
        return false;
    for (char c : text) {
        if (!isxdigit((unsigned char)c))
            return false;
    }
    return true;
}

bool OlderThan(const struct stat& a, const struct stat& b) {
    return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec < b.st_mtim.tv_sec
                                                : a.st_mtim.tv_nsec < b.st_mtim.tv_nsec;
}

// The SHA-256 of `file` as hex digits: from `<file>.sha256` beside it unless
// the file is newer, otherwise from sha256sum (outside the library, so the
// check does not rest on the code it checks), then kept there.
bool CachedSha256(const std::string& file, std::string* hex) {
    const std::string cache = file + ".sha256";
    struct stat fileStat, cacheStat;
    if (stat(file.c_str(), &fileStat) != 0)
        return false;
    char digits[65] = {0};
    if (stat(cache.c_str(), &cacheStat) == 0 && !OlderThan(cacheStat, fileStat)) {
        FILE* f = fopen(cache.c_str(), "rb");
        if (f != nullptr) {
            const size_t n = fread(digits, 1, 64, f);
            fclose(f);
            *hex = std::string(digits, n);
            if (IsSha256Hex(*hex))
                return true;
        }
    }
    FILE* p = popen(("sha256sum " + Quote(file)).c_str(), "r");
    if (p == nullptr)
        return false;
    const size_t n = fread(digits, 1, 64, p);
    const int status = pclose(p);
    *hex = std::string(digits, n);
    if (status != 0 || !IsSha256Hex(*hex))
        return false;
    return WriteText(cache, *hex + "  " + file.substr(file.rfind('/') + 1) + "\n");
}

// Gives each file of `set` (its bytes under `sizesFrom`) its digest and
// the URL fragment the library checks it by.
bool MakeVerified(const std::string& sizesFrom, FileSet* set) {
    for (const std::string& name : set->names) {
        std::string hex;
        if (!CachedSha256(sizesFrom + name, &hex))
            return false;
        set->digests.push_back(hex);
        set->fragments.push_back("#sha256=" + hex +
                                 "&size=" + std::to_string(FileBytes(sizesFrom + name)));
    }
    return true;
}

// The bytes of the set's files in `folder` (all must be there at full size
// for the run to count); removes them.
uint64_t CollectSet(const FileSet& set, const std::string& folder, const std::string& sizesFrom,
                    bool* complete) {
    uint64_t total = 0;
    *complete = true;
    for (size_t i = 0; i < set.names.size(); ++i) {
        const int64_t want = FileBytes(sizesFrom + set.names[i]);
        const int64_t got = FileBytes(folder + set.names[i]);
        if (got != want)
            *complete = false;
        total += got > 0 ? (uint64_t)got : 0;
        unlink((folder + set.names[i]).c_str());
    }
    return total;
}

// One size-check run: the library's job or curl's HEAD requests.
struct SizeRun {
    std::string tool;
    bool ok = false;
    size_t requests = 0;
    double wall = 0;
    double cpu = 0;
    uint64_t peakKiB = 0;
    std::string note;
};

void PrintSizeHeader(const FileSet& set) {
    printf("\nset %s: sizes of %zu files (%llu bytes)\n", set.name.c_str(), set.names.size(),
           (unsigned long long)set.expected);
    printf("%-34s %-4s %8s %8s %10s %7s %8s  %s\n", "size check", "", "requests", "wall s",
           "requests/s", "CPU s", "peak MiB", "note");
}

void PrintSize(const SizeRun& r) {
    printf("%-34s %-4s %8zu %8.3f %10.1f %7.3f %8.1f  %s\n", r.tool.c_str(), r.ok ? "ok" : "FAIL",
           r.requests, r.wall, r.wall > 0 ? (double)r.requests / r.wall : 0, r.cpu,
           (double)r.peakKiB / 1024.0, r.note.c_str());
    fflush(stdout);
}

// The library: one job of every file, until its size check reported the
// total; right when the total is the set's.
SizeRun RunSizeJob(const std::string& tool, const std::string& command, const FileSet& set) {
    const Run job = RunJob(tool, command);
    SizeRun r;
    r.tool = tool;
    r.requests = set.urls.size();
    r.wall = job.wall;
    r.cpu = job.cpu;
    r.peakKiB = job.peakKiB;
    r.ok = job.ok && job.bytes == set.expected;
    r.note = job.note;
    if (job.ok && !r.ok)
        r.note += ", total " + std::to_string(job.bytes);
    return r;
}

// curl: one HEAD request per URL of the config file, five at a time; each
// must answer 200.
SizeRun RunSizeCurl(const std::string& config, size_t count) {
    SizeRun r;
    r.tool = "curl --parallel-max 5 -I";
    std::string output;
    const bool exited = RunChild(
        "curl -s -I --parallel --parallel-max 5 -K " + Quote(config) + " </dev/null 2>/dev/null",
        &output, &r.wall, &r.cpu, &r.peakKiB);
    size_t answered = 0;
    for (size_t at = output.find("200"); at != std::string::npos; at = output.find("200", at + 3))
        ++answered;
    r.requests = count;
    r.ok = exited && answered == count;
    r.note = std::to_string(answered) + " answered 200";
    return r;
}

// The resume set: where the file is cut, and what nginx sent for it.
const uint64_t kResumeFileBytes = 64ull * 1024 * 1024;
const uint64_t kResumeCutBytes = kResumeFileBytes * 3 / 8 + 4099;  // no block boundary

struct Served {
    int requests = 0;
    uint64_t bodyBytes = 0;
    std::string statuses;  // of each request, in order
};

// The requests for `path` that nginx logged in `log` after its first
// `offset` bytes.
Served ServedSince(const std::string& log, int64_t offset, const std::string& path) {
    Served served;
    FILE* f = fopen(log.c_str(), "rb");
    if (f == nullptr)
        return served;
    if (offset > 0 && fseek(f, (long)offset, SEEK_SET) != 0) {
        fclose(f);
        return served;
    }
    char line[4096];
    const std::string target = " " + path + " ";
    while (fgets(line, sizeof(line), f) != nullptr) {
        // ... "GET /path HTTP/1.1" 206 12345 "referer" "agent"
        const char* request = strchr(line, '"');
        const char* requestEnd = request ? strchr(request + 1, '"') : nullptr;
        if (requestEnd == nullptr)
            continue;
        const std::string requestLine(request + 1, requestEnd);
        int status = 0;
        unsigned long long bytes = 0;
        if (requestLine.find(target) == std::string::npos ||
            sscanf(requestEnd + 1, " %d %llu", &status, &bytes) != 2)
            continue;
        ++served.requests;
        served.bodyBytes += bytes;
        served.statuses += (served.statuses.empty() ? "" : ",") + std::to_string(status);
    }
    fclose(f);
    return served;
}

// The .part a cut run leaves: the first `bytes` of `from`.
bool WritePart(const std::string& from, const std::string& to, uint64_t bytes) {
    FILE* in = fopen(from.c_str(), "rb");
    if (in == nullptr)
        return false;
    FILE* out = fopen(to.c_str(), "wb");
    std::vector<char> piece(1 << 20);
    bool ok = out != nullptr;
    for (uint64_t left = bytes; ok && left > 0;) {
        const size_t want = (size_t)(left < piece.size() ? left : piece.size());
        ok = fread(piece.data(), 1, want, in) == want && fwrite(piece.data(), 1, want, out) == want;
        left -= want;
    }
    fclose(in);
    if (out != nullptr && fclose(out) != 0)
        ok = false;
    return ok;
}

void PrintResumeHeader(const FileSet& set, uint64_t partBytes) {
    printf("\nset %s: 1 file, %llu bytes, its first %llu bytes in <name>.part\n", set.name.c_str(),
           (unsigned long long)set.expected, (unsigned long long)partBytes);
    printf("%-34s %-4s %11s %11s %8s %8s %8s  %s\n", "resumed by", "", "missing", "sent",
           "requests", "statuses", "wall s", "note");
}

// ok: the whole file is there and nginx sent exactly the missing bytes. The
// wall time includes hashing the .part (too short a run for a rate).
void PrintResume(const Run& r, uint64_t missing, const Served& served) {
    printf("%-34s %-4s %11llu %11llu %8d %8s %8.3f  %s\n", r.tool.c_str(), r.ok ? "ok" : "FAIL",
           (unsigned long long)missing, (unsigned long long)served.bodyBytes, served.requests,
           served.statuses.empty() ? "-" : served.statuses.c_str(), r.wall, r.note.c_str());
    fflush(stdout);
}

// One resumed run: leaves the first kResumeCutBytes of the set's file as
// its .part in `target`, runs `command`, and judges what nginx sent for the
// file against the bytes that were missing.
Run RunResumed(const Servers& servers, const FileSet& set, const std::string& sizesFrom,
               const std::string& target, const std::string& tool, const std::string& command,
               Served* served) {
    const std::string file = set.names[0];
    const std::string part = target + file + ".part";
    const uint64_t missing = set.expected - kResumeCutBytes;
    Run r;
    r.tool = tool;
    bool complete = false;
    if (!WritePart(sizesFrom + file, part, kResumeCutBytes)) {
        r.note = "could not write the .part";
    } else {
        const int64_t logBefore = FileBytes(servers.AccessLog());
        r = RunJob(tool, command);
        // nginx logs a request once its answer is sent; waits at most 3 s
        // for the line.
        for (int wait = 0; wait < 30; ++wait) {
            *served = ServedSince(servers.AccessLog(), logBefore, "/files/bench-resume/" + file);
            if (served->bodyBytes >= missing)
                break;
            const timespec pause = {0, 100 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        CollectSet(set, target, sizesFrom, &complete);
    }
    unlink(part.c_str());  // what a failed run leaves
    r.ok = r.ok && complete && served->bodyBytes == missing;
    if (served->bodyBytes > missing) {
        fprintf(stderr, "RESUME CHECK FAILED: %s: nginx sent %llu bytes, only %llu were missing\n",
                tool.c_str(), (unsigned long long)served->bodyBytes, (unsigned long long)missing);
        r.note = "sent more than the missing bytes";
    } else if (!complete) {
        r.note = "file missing or short (" + r.note + ")";
    } else if (served->bodyBytes < missing) {
        r.note = "the access log shows fewer bytes than were missing";
    }
    return r;
}

void PrintSetHeader(const FileSet& set) {
    printf("\nset %s: %zu file%s, %llu bytes\n", set.name.c_str(), set.names.size(),
           set.names.size() == 1 ? "" : "s", (unsigned long long)set.expected);
    PrintHeader();
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = "/files/zero-1g.bin";
    std::string wine;
    std::string job;
    std::string engine;
    std::vector<std::string> sets;
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
        else if (strcmp(argv[i], "--set") == 0 && i + 1 < argc) {
            std::string list = argv[++i];
            for (size_t at = 0; at <= list.size();) {
                size_t comma = list.find(',', at);
                if (comma == std::string::npos)
                    comma = list.size();
                const std::string one = list.substr(at, comma - at);
                if (one == "all") {
                    for (const char* name :
                         {"small", "mid", "redirect", "sizecheck", "resume", "1g", "verified"})
                        sets.push_back(name);
                } else if (one == "1g" || one == "verified" || one == "resume" || one == "small" ||
                           one == "mid" || one == "redirect" || one == "sizecheck") {
                    sets.push_back(one);
                } else {
                    fprintf(stderr, "unknown set '%s'\n", one.c_str());
                    return 2;
                }
                at = comma + 1;
            }
        } else {
            fprintf(
                stderr,
                "usage: bench_job_download\n"
                "         [--set 1g|verified|resume|small|mid|redirect|sizecheck|all]...\n"
                "         [--path /files/...] [--wine \"COMMAND\"] [--job PATH] [--engine PATH]\n"
                "         [--runs N]\n");
            return 2;
        }
    }
    if (sets.empty())
        sets.push_back("1g");
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
    const std::string docroot = servers.Value("DOCROOT");
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
    const std::string target = folder + "files/";
    if (system(("mkdir -p " + Quote(target)).c_str()) != 0) {
        fprintf(stderr, "no temporary folder\n");
        return 1;
    }

    bool allOk = true;
    for (const std::string& setName : sets) {
        FileSet set;
        std::string sizesFrom;
        if (setName == "1g" || setName == "verified") {
            const int64_t size = FileBytes(docroot + path);
            if (size <= 0) {
                fprintf(stderr, "no file at %s\n", path.c_str());
                allOk = false;
                continue;
            }
            set.name = setName + " (" + path + ")";
            set.urls.push_back("http://127.0.0.1:" + servers.Value("HTTP_PORT") + path);
            set.names.push_back(path.substr(path.rfind('/') + 1));
            set.expected = (uint64_t)size;
            sizesFrom = docroot + path.substr(0, path.rfind('/') + 1);
        } else {
            const bool ok =
                setName == "small"       ? MakeSet(servers, setName, 300, 10240, false, &set)
                : setName == "mid"       ? MakeSet(servers, setName, 50, 1048576, false, &set)
                : setName == "sizecheck" ? MakeSet(servers, setName, 1000, 1024, false, &set)
                : setName == "resume" ? MakeSet(servers, setName, 1, kResumeFileBytes, false, &set)
                                      : MakeSet(servers, setName, 50, 10240, true, &set);
            if (!ok) {
                fprintf(stderr, "could not write the files of set %s\n", setName.c_str());
                allOk = false;
                continue;
            }
            sizesFrom = docroot + "/files/bench-" + setName + "/";
        }
        if ((setName == "verified" || setName == "resume") && !MakeVerified(sizesFrom, &set)) {
            fprintf(stderr, "no digest for set %s (sha256sum)\n", setName.c_str());
            allOk = false;
            continue;
        }
        const bool single = set.names.size() == 1;
        // The lists of the many-file runs: ours, curl's config, aria2c's input.
        const std::string list = folder + "list.txt";
        std::string ours, curlConfig, ariaInput;
        for (size_t i = 0; i < set.urls.size(); ++i) {
            ours += set.LibraryUrl(i) + " " + set.names[i] + "\n";
            curlConfig +=
                "url = \"" + set.urls[i] + "\"\noutput = \"" + target + set.names[i] + "\"\n";
            ariaInput += set.urls[i] + "\n  dir=" + target + "\n  out=" + set.names[i] + "\n";
            if (i < set.digests.size())
                ariaInput += "  checksum=sha-256=" + set.digests[i] + "\n";
        }
        if (!WriteText(list, ours) || !WriteText(folder + "curl.cfg", curlConfig) ||
            !WriteText(folder + "aria2.txt", ariaInput)) {
            fprintf(stderr, "could not write the lists\n");
            allOk = false;
            continue;
        }
        const std::string jobArgs =
            single ? Quote(set.LibraryUrl(0)) + " " + Quote(target) + " " + Quote(set.names[0])
                   : "--list " + Quote(list) + " " + Quote(target);
        const std::string wineArgs =
            single ? Quote(set.LibraryUrl(0)) + " " + Quote(WinePath(target)) + " " +
                         Quote(set.names[0])
                   : "--list " + Quote(WinePath(list)) + " " + Quote(WinePath(target));

        if (setName == "resume") {
            const uint64_t missing = set.expected - kResumeCutBytes;
            std::vector<std::pair<std::string, std::string>> programs = {
                {"library job (native)", Quote(job) + " " + jobArgs}};
            if (!wine.empty())
                programs.push_back({"library job (Windows, Wine)", wine + " " + wineArgs});
            PrintResumeHeader(set, kResumeCutBytes);
            for (int run = 0; run < runs; ++run) {
                for (const auto& program : programs) {
                    Served served;
                    const Run r = RunResumed(servers, set, sizesFrom, target, program.first,
                                             program.second, &served);
                    PrintResume(r, missing, served);
                    allOk = allOk && r.ok;
                }
            }
            if (system(("rm -rf " + Quote(docroot + "/files/bench-" + setName)).c_str()) != 0)
                fprintf(stderr, "could not remove the files of set %s\n", setName.c_str());
            continue;
        }

        if (setName == "sizecheck") {
            std::string headConfig;
            for (const std::string& url : set.urls)
                headConfig += "url = \"" + url +
                              "\"\noutput = \"/dev/null\"\nwrite-out = \"%{http_code}\\n\"\n";
            if (!WriteText(folder + "head.cfg", headConfig)) {
                fprintf(stderr, "could not write the lists\n");
                allOk = false;
                continue;
            }
            PrintSizeHeader(set);
            for (int run = 0; run < runs; ++run) {
                std::vector<SizeRun> results;
                results.push_back(
                    RunSizeJob("library job (native)", Quote(job) + " --sizes " + jobArgs, set));
                if (!wine.empty())
                    results.push_back(RunSizeJob("library job (Windows, Wine)",
                                                 wine + " --sizes " + wineArgs, set));
                if (HaveProgram("curl"))
                    results.push_back(RunSizeCurl(folder + "head.cfg", set.urls.size()));
                for (const SizeRun& r : results) {
                    PrintSize(r);
                    allOk = allOk && r.ok;
                }
                // The library may have begun a file before it was stopped.
                bool complete = false;
                CollectSet(set, target, sizesFrom, &complete);
            }
            if (system(("rm -rf " + Quote(docroot + "/files/bench-" + setName)).c_str()) != 0)
                fprintf(stderr, "could not remove the files of set %s\n", setName.c_str());
            continue;
        }
        PrintSetHeader(set);
        for (int run = 0; run < runs; ++run) {
            std::vector<Run> results;
            auto finish = [&](Run r) {
                bool complete = false;
                const uint64_t bytes = CollectSet(set, target, sizesFrom, &complete);
                if (r.bytes == 0 || !complete)
                    r.bytes = bytes;
                r.ok = r.ok && complete && bytes == set.expected;
                if (!complete && r.note.empty())
                    r.note = "files missing or short";
                results.push_back(r);
            };
            finish(RunJob("library job (native)", Quote(job) + " " + jobArgs));
            if (!engine.empty() && single) {
                // A fresh install each run: the update is part of what is timed.
                const std::string appData = folder + "appdata";
                const std::string env = "SF_BENCH_ENGINE=1 XDG_DATA_HOME=" + Quote(appData) +
                                        " SF_BENCH_MANIFEST_URL=" +
                                        Quote("http://127.0.0.1:" + servers.Value("HTTP_PORT") +
                                              "/ActiveX/update/KVX_updater.xml") +
                                        " SF_ENGINE_PORT=" + std::to_string(57006 + run) +
                                        " SF_ENGINE_IDLE_EXIT_MS=1000 ";
                if (system(("rm -rf " + Quote(appData)).c_str()) != 0)
                    fprintf(stderr, "could not clear %s\n", appData.c_str());
                finish(RunJob("library job via the engine (native)",
                              env + Quote(job) + " " + jobArgs));
            }
            if (!wine.empty())
                finish(RunJob("library job (Windows, Wine)", wine + " " + wineArgs));
            if (HaveProgram("curl")) {
                finish(single ? RunTool("curl -o FILE", "curl -s -L -o " +
                                                            Quote(target + set.names[0]) + " " +
                                                            Quote(set.urls[0]))
                              : RunTool("curl -K (one process)",
                                        "curl -s -L -K " + Quote(folder + "curl.cfg")));
            }
            if (single && HaveProgram("wget")) {
                finish(RunTool("wget -O FILE", "wget -q -O " + Quote(target + set.names[0]) + " " +
                                                   Quote(set.urls[0])));
            }
            if (HaveProgram("aria2c")) {
                finish(RunTool("aria2c -j1",
                               "aria2c -q -j1 --allow-overwrite=true --auto-file-renaming=false "
                               "--file-allocation=none -i " +
                                   Quote(folder + "aria2.txt")));
            }
            const Run* aria = nullptr;
            const Run* curl = nullptr;
            for (const Run& r : results) {
                if (r.tool.compare(0, 6, "aria2c") == 0)
                    aria = &r;
                if (r.tool.compare(0, 4, "curl") == 0)
                    curl = &r;
            }
            for (const Run& r : results) {
                Print(r, aria, curl);
                allOk = allOk && r.ok;
            }
        }
        if (setName != "1g" && setName != "verified" &&
            system(("rm -rf " + Quote(docroot + "/files/bench-" + setName)).c_str()) != 0)
            fprintf(stderr, "could not remove the files of set %s\n", setName.c_str());
    }
    if (system(("rm -rf " + Quote(folder)).c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", folder.c_str());
    return allOk ? 0 : 1;
}
