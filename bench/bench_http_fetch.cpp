// Fetch throughput of the HTTP client layer next to curl.
//
// Starts the test servers with tests/support/servers/start-servers in a
// temporary folder (nginx over loopback, http and https with a self-signed
// certificate) and fetches their 1 GiB file /files/zero-1g.bin:
//   - with a connection context carrying the HTTP client layer (and, for
//     https, the TLS layer below it) on a library thread of its own, with
//     the unlimited action, into a listener that counts and drops the bytes;
//   - with `curl -o /dev/null` on the same URL.
// The servers are stopped with stop-servers at the end.
//
// Reported per run: bytes per second from Open to the last body byte, and
// CPU seconds per GiB of the receiving side only (the library thread; curl's
// process). nginx runs in other processes and is not counted.
//
// With --wine "COMMAND" the same fetch also runs in the Windows build under
// Wine: COMMAND (for example "build/windows-release/wine-run
// build/windows-release/bench/bench_fetch_url.exe") gets the URL appended and
// prints one result line (bench_fetch_url.cpp). --size-mib N first writes a
// file of N MiB of random bytes into the servers' document root and fetches
// that instead of --path (Wine's socket calls are slow enough that 1 GiB
// would take minutes).
//
// Usage: bench_http_fetch [--no-https] [--no-curl] [--path /files/...]
//                         [--size-mib N] [--wine "COMMAND"]
//
// The driver is native Linux only.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/BenchServers.h"
#include "bench/LayerFetch.h"

using namespace bench;

namespace {

// Runs the Windows program under Wine and reads its result line.
Result RunWine(const std::string& command, const std::string& url) {
    Result r;
    FILE* p = popen((command + " " + Quote(url) + " </dev/null 2>&1").c_str(), "r");
    if (p == nullptr)
        return r;
    char line[512];
    while (fgets(line, sizeof(line), p) != nullptr) {
        unsigned long long bytes = 0;
        double seconds = 0, cpu = 0;
        int ok = 0;
        if (sscanf(line, "RESULT %d %llu %lf %lf", &ok, &bytes, &seconds, &cpu) == 4) {
            r.ok = ok != 0;
            r.bytes = bytes;
            r.seconds = seconds;
            r.cpuSeconds = cpu;
        }
    }
    const int status = pclose(p);
    r.ok = r.ok && status == 0;
    r.note = r.ok ? "under Wine" : "wine run failed";
    return r;
}

void Print(const char* scheme, const char* receiver, const Result& r) {
    printf("%-6s %-26s %-4s %12llu %9.3f %10.1f %10.3f %s\n", scheme, receiver,
           r.ok ? "ok" : "FAIL", (unsigned long long)r.bytes, r.seconds,
           r.BytesPerSecond() / (1024.0 * 1024.0), r.CpuSecondsPerGiB(), r.note.c_str());
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool https = true;
    bool curl = true;
    std::string path = "/files/zero-1g.bin";
    int sizeMib = 0;
    std::string wine;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--no-https") == 0)
            https = false;
        else if (strcmp(argv[i], "--no-curl") == 0)
            curl = false;
        else if (strcmp(argv[i], "--path") == 0 && i + 1 < argc)
            path = argv[++i];
        else if (strcmp(argv[i], "--size-mib") == 0 && i + 1 < argc)
            sizeMib = atoi(argv[++i]);
        else if (strcmp(argv[i], "--wine") == 0 && i + 1 < argc)
            wine = argv[++i];
        else {
            fprintf(stderr,
                    "usage: bench_http_fetch [--no-https] [--no-curl] [--path /files/...]\n"
                    "                        [--size-mib N] [--wine \"COMMAND\"]\n");
            return 2;
        }
    }
    if (curl && !HaveProgram("curl")) {
        fprintf(stderr, "curl is missing: its runs are skipped\n");
        curl = false;
    }
    Servers servers;
    if (!servers.Start()) {
        fprintf(stderr, "the test servers did not start\n");
        return 1;
    }
    if (sizeMib > 0) {
        path = "/files/bench-" + std::to_string(sizeMib) + "m.bin";
        const std::string make = "head -c " + std::to_string((uint64_t)sizeMib << 20) +
                                 " /dev/urandom >" + Quote(servers.Value("DOCROOT") + path);
        if (system(make.c_str()) != 0) {
            fprintf(stderr, "could not write the file of %d MiB\n", sizeMib);
            return 1;
        }
    }
    const std::string httpUrl = "http://127.0.0.1:" + servers.Value("HTTP_PORT") + path;
    const std::string httpsUrl = "https://127.0.0.1:" + servers.Value("HTTPS_PORT") + path;
    const std::string cert = servers.ReadCertificate();

    printf("%-6s %-26s %-4s %12s %9s %10s %10s\n", "scheme", "receiver", "", "bytes", "seconds",
           "MiB/s", "CPU s/GiB");
    bool allOk = true;
    Result r = RunLayer(httpUrl, std::string());
    Print("http", "HTTP client layer", r);
    allOk = allOk && r.ok;
    if (curl) {
        r = RunCurl(httpUrl);
        Print("http", "curl -o /dev/null", r);
        allOk = allOk && r.ok;
    }
    if (!wine.empty()) {
        r = RunWine(wine, httpUrl);
        Print("http", "HTTP client layer (Wine)", r);
        allOk = allOk && r.ok;
    }
    if (https) {
        r = RunLayer(httpsUrl, cert);
        Print("https", "HTTP client + TLS layer", r);
        allOk = allOk && r.ok;
        if (curl) {
            r = RunCurl(httpsUrl, "--cacert " + Quote(servers.Value("CERT_PEM")) + " ");
            Print("https", "curl -o /dev/null", r);
            allOk = allOk && r.ok;
        }
    }
    return allOk ? 0 : 1;
}
