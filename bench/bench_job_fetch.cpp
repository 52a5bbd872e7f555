// One job through the flat interface, to disk, at full speed:
// SwarmFetch_Initialize, SwarmFetch_CreateJob, SwarmFetch_AddFile for each
// file (size unknown, as the launcher adds them), SwarmFetch_StartJob(job, 1),
// then wait for the job-done event. Built for both targets; bench_job_download
// runs it natively and under Wine next to curl, wget and aria2c.
//
// Prints one line:
//   RESULT <ok 0/1> <bytes of all files> <wall seconds> <flowing seconds>
//          <process CPU seconds> <peak memory KiB> <note>
// wall: from StartJob to the job-done event; flowing: from the first byte on
// disk (of the first file, written as <name>.part until it is complete;
// a partial file there before the start counts from its next byte) to the
// job-done event (the rate "once data flows"); CPU: user and system time of the whole process; peak
// memory: the largest resident set (Linux) or working set (Windows).
// A second line counts the calls that cost per byte over the whole run
// (pfCallCounts.h):
//   CALLS <name>=<count> ...
//
// With --sizes the run ends at the size-info event instead (the file-size
// check of the entries of unknown size is done); the job is stopped there,
// bytes are the total the check found and flowing is 0.
//
// With --launcher the job comes after a size check of every URL, as the
// launcher runs them: SwarmFetch_AddSizeCheck for each, SwarmFetch_Start-
// SizeCheck, and the job once the check-done event came; wall time begins
// with the size check. With --size-check only that check runs (the job is
// never made); bytes are the total it found.
//
// Usage: bench_job_fetch [--sizes|--launcher|--size-check] URL FOLDER FILENAME [TIMEOUT_SECONDS]
//        bench_job_fetch [--sizes|--launcher|--size-check] --list LISTFILE FOLDER [TIMEOUT_SECONDS]
//   FOLDER in the host's form (a Windows path under Wine, e.g. Z:\tmp\x\).
//   LISTFILE (host's form too): one file a line, "URL NAME", in job order.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "opn/platform/pfCallCounts.h"
#include "opn/platform/pfThread.h"
#include "sdk/api/CJobManager.h"
#include "sdk/download/engine/CEngineDownloader.h"
#include "sdk/download/engine/EngineManifestUrl.h"
#include "sdk/api/SwarmFetch.h"

namespace {

struct Watch {
    uint32_t job = 0;
    bool untilSizes = false;
    std::atomic<int> sizeCheck{0};  // 1 the launcher's size check done, 2 failed
    std::atomic<int> done{0};       // 1 job done (or sizes known), 2 failure message
    std::atomic<int> events{0};     // every event of the job
    std::string failure;
    PfEvent* ended = nullptr;  // set once `done` is
};

Watch g_watch;

void OnEvent(uint32_t event, uint32_t handle, void* user) {
    (void)user;
    if (handle == 0 && (event == SF_EVENT_SIZE_CHECK_DONE || event == SF_EVENT_SIZE_CHECK_FAILED)) {
        g_watch.sizeCheck = event == SF_EVENT_SIZE_CHECK_DONE ? 1 : 2;
        if (g_watch.ended)
            PfEventSet(g_watch.ended);
        return;
    }
    if (handle != g_watch.job || g_watch.job == 0)
        return;
    ++g_watch.events;
    if (event == SF_EVENT_JOB_DONE || (event == SF_EVENT_SIZE_INFO && g_watch.untilSizes)) {
        g_watch.done = 1;
    } else if (event == SF_EVENT_MESSAGE) {
        int32_t length = 0;
        SwarmFetch_GetMessageLength(handle, &length);
        std::string text((size_t)(length > 0 ? length : 1), '\0');
        SwarmFetchMessage m;
        m.code = 0;
        m.text = &text[0];
        SwarmFetch_PopMessage(handle, &m);
        if (m.code == SF_MSG_FAILED || m.code == SF_MSG_DISK_FULL) {
            g_watch.failure = "message " + std::to_string(m.code) + " " + text.c_str();
            g_watch.done = 2;
        }
    }
    if (g_watch.done != 0 && g_watch.ended)
        PfEventSet(g_watch.ended);
}

int64_t FileBytes(const std::string& path) {
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return ((int64_t)data.nFileSizeHigh << 32) | (int64_t)data.nFileSizeLow;
#else
    struct stat s;
    if (stat(path.c_str(), &s) != 0)
        return -1;
    return (int64_t)s.st_size;
#endif
}

uint64_t PeakMemoryKiB() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        return 0;
    return (uint64_t)counters.PeakWorkingSetSize / 1024u;
#else
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (uint64_t)u.ru_maxrss;
#endif
}

struct Entry {
    std::string url;
    std::string name;
};

bool ReadList(const char* listFile, std::vector<Entry>* entries) {
    std::ifstream in(listFile);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        Entry e;
        if (words >> e.url >> e.name)
            entries->push_back(e);
    }
    return !entries->empty();
}

// The launcher's size check of every entry's URL, until its done or failed
// event (bounded by `timeout` seconds from `started`); `total` gets the sum
// it found.
bool RunSizeCheck(const std::vector<Entry>& entries, double started, double timeout, int64_t* total,
                  std::string* note) {
    for (const Entry& e : entries) {
        if (SwarmFetch_AddSizeCheck(e.url.c_str()) != SF_RESULT_OK) {
            *note = "add size check failed";
            return false;
        }
    }
    if (SwarmFetch_StartSizeCheck() != SF_RESULT_OK) {
        *note = "start size check failed";
        return false;
    }
    while (g_watch.sizeCheck == 0 && bench::WallSeconds() - started < timeout)
        PfEventWait(g_watch.ended, 1000);
    if (g_watch.sizeCheck != 1) {
        *note = g_watch.sizeCheck == 2 ? "size check failed" : "size check timed out";
        return false;
    }
    SwarmFetch_GetSizeCheckTotal(total);
    *note = "size check done";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool launcher = false, sizeCheckOnly = false;
    if (argc >= 2 && (strcmp(argv[1], "--sizes") == 0 || strcmp(argv[1], "--launcher") == 0 ||
                      strcmp(argv[1], "--size-check") == 0)) {
        g_watch.untilSizes = strcmp(argv[1], "--sizes") == 0;
        launcher = strcmp(argv[1], "--launcher") == 0;
        sizeCheckOnly = strcmp(argv[1], "--size-check") == 0;
        --argc;
        ++argv;
    }
    const bool listed = argc >= 2 && strcmp(argv[1], "--list") == 0;
    std::vector<Entry> entries;
    std::string folder;
    int next = 1;
    if (listed && (argc == 4 || argc == 5)) {
        if (!ReadList(argv[2], &entries)) {
            fprintf(stderr, "no files in %s\n", argv[2]);
            return 2;
        }
        folder = argv[3];
        next = 4;
    } else if (!listed && (argc == 4 || argc == 5)) {
        entries.push_back(Entry{argv[1], argv[3]});
        folder = argv[2];
        next = 4;
    } else {
        fprintf(stderr,
                "usage: bench_job_fetch [--sizes|--launcher|--size-check] URL FOLDER FILENAME "
                "[TIMEOUT_SECONDS]\n"
                "       bench_job_fetch [--sizes|--launcher|--size-check] --list LISTFILE FOLDER "
                "[TIMEOUT_SECONDS]\n");
        return 2;
    }
    const double timeout = argc > next ? atof(argv[next]) : 900.0;
#ifdef _WIN32
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    if (folder.empty() || folder.back() != separator)
        folder += separator;
    const std::string path = folder + entries[0].name;
    const std::string partPath = path + ".part";
    const int64_t partBefore = FileBytes(partPath) > 0 ? FileBytes(partPath) : 0;
    g_watch.ended = PfEventCreate();

    std::string note = "done";
    bool ok = false;
    int64_t sizeTotal = -1;  // with --sizes or --size-check: what the check found
    double started = 0, firstByte = 0, ended = 0;
    // The plain downloader unless SF_BENCH_ENGINE=1 asks for the local
    // engine, updated from SF_BENCH_MANIFEST_URL and reached on
    // SF_ENGINE_PORT (both optional).
    const char* engine = getenv("SF_BENCH_ENGINE");
    CJobManager::SetEngineDownloaderEnabledForTesting(engine && strcmp(engine, "1") == 0);
    const char* manifest = getenv("SF_BENCH_MANIFEST_URL");
    if (manifest && *manifest)
        SetEngineManifestUrlForTesting(manifest);
    const char* port = getenv("SF_ENGINE_PORT");
    if (port && *port)
        CEngineDownloader::SetEnginePortForTesting((uint16_t)atoi(port));
    if (SwarmFetch_Initialize(nullptr, &OnEvent, nullptr, 0) != SF_RESULT_OK) {
        note = "initialize failed";
    } else {
        uint32_t job = 0;
        bool added = true;
        if (launcher || sizeCheckOnly) {
            started = bench::WallSeconds();
            added = RunSizeCheck(entries, started, timeout, &sizeTotal, &note);
            ended = bench::WallSeconds();
            ok = added && sizeCheckOnly;
        }
        if (!added || sizeCheckOnly) {
            // The size check alone, or it failed: no job.
        } else if (SwarmFetch_CreateJob(&job, "BENCH", "bench") != SF_RESULT_OK || job == 0) {
            note = "create job failed";
        } else {
            for (size_t i = 0; i < entries.size() && added; ++i) {
                added = SwarmFetch_AddFile(job, entries[i].url.c_str(), folder.c_str(),
                                           entries[i].name.c_str(), -1, 1) == SF_RESULT_OK;
            }
            if (!added)
                note = "add file failed";
        }
        if (job != 0 && added) {
            g_watch.job = job;
            if (!launcher)
                started = bench::WallSeconds();
            if (SwarmFetch_StartJob(job, 1) != SF_RESULT_OK) {
                note = "start job failed";
            } else {
                // Polls the first file every 2 ms for its first byte, then
                // waits for the end (bounded).
                while (g_watch.done == 0 && bench::WallSeconds() - started < timeout) {
                    if (firstByte == 0 && (FileBytes(partPath) > partBefore || FileBytes(path) > 0))
                        firstByte = bench::WallSeconds();
                    PfEventWait(g_watch.ended, firstByte == 0 && !g_watch.untilSizes ? 2 : 1000);
                }
                ended = bench::WallSeconds();
                ok = g_watch.done == 1;
                if (ok && g_watch.untilSizes) {
                    SwarmFetchSizeInfo info;
                    memset(&info, 0, sizeof(info));
                    ok = SwarmFetch_GetSizeInfo(job, &info) == SF_RESULT_OK;
                    sizeTotal = info.total;
                    SwarmFetch_StopJob(job);
                    note = "sizes of " + std::to_string(info.value) + " entries known";
                }
                if (!(ok && g_watch.untilSizes))
                    note = g_watch.done == 1   ? "job done"
                           : g_watch.done == 2 ? g_watch.failure
                                               : "timed out";
            }
        }
        SwarmFetch_Finalize();
    }
    int64_t bytes = 0;
    for (const Entry& e : entries) {
        if (g_watch.untilSizes || sizeCheckOnly)
            break;
        const int64_t n = FileBytes(folder + e.name);
        bytes += n > 0 ? n : 0;
    }
    PfEventClose(g_watch.ended);
    if (g_watch.untilSizes || sizeCheckOnly) {
        bytes = sizeTotal > 0 ? sizeTotal : 0;
        firstByte = ended;
    }
    if (firstByte == 0)
        firstByte = ended;
    printf("RESULT %d %lld %.3f %.3f %.3f %llu %s\n", ok ? 1 : 0, (long long)bytes, ended - started,
           ended - firstByte, bench::ProcessCpuSeconds(), (unsigned long long)PeakMemoryKiB(),
           note.c_str());
    printf("CALLS");
    for (int32_t kind = 0; kind < kPfCountKinds; ++kind)
        printf(" %s=%llu", PfCallCountName((PfCallCount)kind),
               (unsigned long long)PfCallCountOf((PfCallCount)kind));
    printf("\n");
    fflush(stdout);
    return ok ? 0 : 1;
}
