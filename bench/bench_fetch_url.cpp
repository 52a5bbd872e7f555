// Fetches one http URL with the HTTP client layer (LayerFetch.h) and prints
// one line: "RESULT <ok 0/1> <body bytes> <seconds> <library thread CPU
// seconds> <note>". Built for both targets: bench_http_fetch --wine runs the
// Windows build under Wine against its own servers.
//
// Usage: bench_fetch_url URL
#include <stdio.h>

#include "bench/LayerFetch.h"
#include "opn/platform/pfSocket.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: bench_fetch_url URL\n");
        return 2;
    }
    bench::Result r = bench::RunLayer(argv[1], std::string());
    printf("RESULT %d %llu %.3f %.3f %s\n", r.ok ? 1 : 0, (unsigned long long)r.bytes, r.seconds,
           r.cpuSeconds, r.note.c_str());
    fflush(stdout);
    return r.ok ? 0 : 1;
}
