// ldDownload: the stand-in local download engine of the tests and the demo.
//
// Started without arguments. Listens on 127.0.0.1:57006 and speaks the local
// engine protocol (opn/opeerqos/nwEngineMessages.h) with any number of
// library connections. Every registered job (one message, or begin, entries
// and end) is worked on at once, its files one after the other:
//   - files without an expected size are measured with a GET whose body is
//     not read; then "job accepted" goes out with the engine's job number,
//     the file count and the total size;
//   - each file is downloaded over HTTP (the library's own HTTP stack; a
//     URL text of mirrors separated by "|" is tried mirror by mirror) into
//     its folder (Windows form, or a POSIX path natively; missing folders
//     are made); a file that is already there in part brings the resume
//     question, answered "resume" (the rest is fetched with a Range request,
//     and written from the start when the server ignores the range) or "no"
//     (fetched anew); "apply to all" keeps the answer for the job's later
//     files;
//   - once a second a progress report (the job's bytes and rate, the number
//     of files done, the current file's index and one entry report for it);
//   - "file done" with the full local path (folder as sent, plus name) and
//     the URL after each file, "job done" (result: files done) at the end.
//     A file that cannot be fetched fails the job ("Download failed: <url>");
//     one that cannot be written brings "disk full" (flag 1), then fails the
//     job ("Cannot write <path>").
//   - a file whose line names a torrent ("&btih=<v2 info-hash>", see
//     tools/sfpublish/TorrentWriter.h, or "&btih=<v1 info-hash>" of a
//     v1-only torrent made by another tool) is fetched through one libtorrent
//     session instead: "<URL>.torrent" (at most 1 MiB) must have that hash
//     and describe exactly the file (one file, its name, its size), else the
//     file goes over HTTP and stderr says why; the list's URLs are the web
//     seeds, the torrent's trackers are used, local service discovery is on
//     and DHT off. The file is done once libtorrent has checked every piece
//     and it is whole under its name; it is seeded while the engine runs.
// A hello is answered with engine state 1. A cancel ends the job silently.
// A frame that is not a well-formed request closes that connection only; so
// do a job of over 100000 files, file messages outside a begun job (or sent
// twice), an end before all files came, and a 17th job begun and not ended.
//
// Environment:
//   SF_ENGINE_PORT          listening port instead of 57006
//   SF_ENGINE_IDLE_EXIT_MS  exit when no library has been connected for this
//                           long (default 30000)
//   SF_ENGINE_BEHAVIOUR     comma-separated items:
//     give-up               every job is given back (job done, give-up flag)
//     fail=<text>           every job fails with <text> (the rest of the value)
//     disk-full             every job is accepted, then "disk full" (flag 1),
//                           then nothing more for it
//     drop-after-accept     the connection closes after "job accepted"
//     drop-after-ms=<n>     every connection closes <n> ms after it was taken
//     no-accept             listen, but never take a connection
//     exit                  exit at once (code 0) without listening
//     rate=<bytes/s>        limit each download's receive speed
//   SF_ENGINE_CONTROL       a file holding the same items; when it exists and
//                           is not empty it replaces SF_ENGINE_BEHAVIOUR and
//                           is read again for every new job
//   SF_ENGINE_PEER_LISTEN   the swarm's listening address:port (default
//                           0.0.0.0:6881); outgoing peer connections leave
//                           from that address unless it is 0.0.0.0
//   SF_ENGINE_UPLOAD_CAP    upload bytes per second (default 1048576, 0 none)
//   SF_ENGINE_PEER_CONNECTIONS  peer connections at most (default 50)
//   SF_ENGINE_STATE_DIR     resume data of the swarm (default: "peer-state"
//                           beside the program)
// Quit: the engine parameter text "SF_ENGINE_QUIT" ends the process.
// Exit code 0 on a normal end, 1 when the port cannot be had. On Windows a
// program without a window (no console opens when the library starts it).
#include <stdio.h>
#include <stdlib.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCTimer.h"
#include "opn/platform/pfMessageLoop.h"
#include "tools/engine/StandInEngine.h"

namespace {

const uint32_t kTickMs = 100;

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

bool EnvNumber(const char* name, uint32_t limit, uint32_t* out) {
    const std::string text = Env(name);
    if (text.empty())
        return false;
    char* end = nullptr;
    const unsigned long value = strtoul(text.c_str(), &end, 10);
    if (*end != '\0' || value > limit) {
        fprintf(stderr, "ldDownload: %s=%s ignored\n", name, text.c_str());
        return false;
    }
    *out = (uint32_t)value;
    return true;
}

// The folder of this program, with its separator ("" when unknown).
std::string ProgramFolder() {
#ifdef _WIN32
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string text(path, n < sizeof path ? n : 0);
#else
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string text(path, n > 0 ? (size_t)n : 0);
#endif
    const size_t slash = text.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

struct Loop {
    StandInEngine* engine;
    volatile int32_t run;
};

void OnTick(void* user) {
    Loop* loop = static_cast<Loop*>(user);
    loop->engine->Tick();
    if (loop->engine->Finished())
        loop->run = 0;
}

int Run(const StandInEngine::Settings& settings) {
    ovSmartPtr lock;
    if (OV_FAILED(PfMessageLoopInit()) || !lock.CreateInstance(OV_CLSID_MUTEX))
        return 1;
    int code = 0;
    {
        COpn module(lock);
        StandInEngine engine(settings);
        if (engine.Behaviour().exitAtOnce) {
            code = 0;
        } else if (!engine.Start()) {
            fprintf(stderr, "ldDownload: cannot listen on 127.0.0.1:%u\n", (unsigned)settings.port);
            code = 1;
        } else {
            Loop loop = {&engine, 1};
            ovSmartPtr timer;
            if (!timer.CreateInstance(OV_CLSID_TIMER) ||
                OV_FAILED(timer.As<cpCTimer>()->Start(kTickMs, &OnTick, &loop, 0x7E570E01,
                                                      ovSmartPtr()))) {
                code = 1;
            } else {
                PfRunMessageLoop(&loop.run);
                timer.As<cpCTimer>()->Stop();
            }
        }
    }
    lock.Reset();
    PfMessageLoopDone();
    COpn::NetworkCleanup();
    return code;
}

int RunFromEnvironment() {
    StandInEngine::Settings settings;
    uint32_t number = 0;
    if (EnvNumber("SF_ENGINE_PORT", 65535, &number) && number > 0)
        settings.port = (uint16_t)number;
    if (EnvNumber("SF_ENGINE_IDLE_EXIT_MS", 0x7FFFFFFF, &number))
        settings.idleExitMs = number;
    settings.behaviourText = Env("SF_ENGINE_BEHAVIOUR");
    settings.controlFile = Env("SF_ENGINE_CONTROL");
    if (!Env("SF_ENGINE_PEER_LISTEN").empty())
        settings.peers.listen = Env("SF_ENGINE_PEER_LISTEN");
    if (EnvNumber("SF_ENGINE_UPLOAD_CAP", 0x7FFFFFFF, &number))
        settings.peers.uploadCap = (int32_t)number;
    if (EnvNumber("SF_ENGINE_PEER_CONNECTIONS", 10000, &number) && number > 0)
        settings.peers.connections = (int32_t)number;
    settings.peers.stateFolder = Env("SF_ENGINE_STATE_DIR");
    if (settings.peers.stateFolder.empty())
        settings.peers.stateFolder = ProgramFolder() + "peer-state";
    return Run(settings);
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// Debian's libtorrent is not built for ThreadSanitizer, which cannot see its
// threads' own synchronization (the session's end joins its disk threads).
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() {
    return "race:libtorrent-rasterbar.so\n";
}
#endif

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return RunFromEnvironment();
}
#else
int main() {
    return RunFromEnvironment();
}
#endif
