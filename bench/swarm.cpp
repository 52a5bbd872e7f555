// bench_swarm: what the swarm saves the origin, on loopback. One seeding
// engine that already holds the file and N new players (default 4) fetch one
// file (default 256 MiB) at once, each a real engine process
// (tools/engine/ldDownload) on its own address (seeder 127.0.0.2, players
// 127.0.0.3, ...) driven over the local engine protocol by a driver process
// of its own (the library's engine layer, as the library drives it).
//
//   - the origin: nginx (scripts/lib/nginx.sh) behind an edge relay
//     (bench/swarm_edge.h) sending each connection at most --origin-kib per
//     second, as a loaded CDN edge does for a popular release; it is also
//     every torrent's web seed;
//   - the tracker: opentracker on 127.0.0.1, whitelisting the torrent;
//   - the torrent: made by sfpublish as a publisher makes it;
//   - uploads capped at --upload-kib per second (SF_ENGINE_UPLOAD_CAP).
//
// Two runs, fresh engines and folders each: the swarm (line with "#btih=",
// the seeder first holding the file and known to the tracker) and HTTP only
// (the same players, the line without it: the engine's plain HTTP path).
// Each player's time is from its job's start to its job-done report; every
// fetched file is compared with the origin's. Origin bytes are the body
// bytes of every request nginx logged during the run (torrents included),
// by client address: a web seed's requests leave from the player's address,
// the engine's plain HTTP from 127.0.0.1. A player's upload is what its
// engine's resume data counts at its end; CPU is the engine process's.
// The last line:
//   origin/file R.RR; slowest new player T.TT of HTTP-only
// R: the swarm run's origin bytes over the file's size; T: the slowest
// player's time in the swarm over the slowest one's over HTTP only.
//
// Usage: bench_swarm [--size-mib N] [--players N] [--origin-kib N]
//                    [--upload-kib N] [--timeout S] [--only swarm|http]
//                    [--wine "<wine-run> <ldDownload.exe>"] [--keep]
//   Defaults: 256 MiB, 4 players, origin 3072 KiB/s per connection (the
//   HTTP-only run about 85 s), uploads 5120 KiB/s (a 40 Mbit/s uplink).
//   --wine: the last new player is the Windows engine under Wine.
//   --keep: the run's folder is left (its path is printed).
// Needs nginx, opentracker and curl; ldDownload and sfpublish are taken
// from this build tree. Every wait is bounded (--timeout per run, default
// 600 s); every process started is ended, the temporary folder removed.
// Exit status 0 when every player got the whole file in both runs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <libtorrent/torrent_info.hpp>

#include "bench/BenchServers.h"
#include "bench/BenchSupport.h"
#include "bench/swarm_edge.h"
#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/nwEngineMessages.h"
#include "opn/opeerqos/ovICDNLocalClientLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfMessageLoop.h"
#include "sdk/support/HexBytes.h"
#include "support/ChildProcess.h"
#include "support/EngineProbe.h"
#include "support/LibraryLoop.h"

using bench::Quote;
using childprocess::Child;
using childprocess::Shell;

namespace {

const char kFileName[] = "swarm.pak";
const uint32_t kMiB = 1024 * 1024;

struct Options {
    int64_t sizeMib = 256;
    int players = 4;
    int64_t originKib = 3 * 1024;
    int64_t uploadKib = 5 * 1024;
    int timeout = 600;
    std::string only;
    std::vector<std::string> wine;  // wine-run and the engine's .exe
    bool keep = false;
};

// Exit status of `command` run by /bin/sh.
int Run(const std::string& command) {
    return system(command.c_str());
}

// A TCP port of 127.0.0.1 nobody holds right now.
uint16_t FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return 0;
    sockaddr_in at;
    memset(&at, 0, sizeof at);
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    uint16_t port = 0;
    if (bind(s, (sockaddr*)&at, sizeof at) == 0 && getsockname(s, (sockaddr*)&at, &size) == 0)
        port = ntohs(at.sin_port);
    close(s);
    return port;
}

// "Z:\..." for a Windows program under Wine.
std::string WinePath(const std::string& posix) {
    std::string path = "Z:" + posix;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// ---- The driver of one engine (a child process) ----------------------------

// What a driver is told over its pipe: 'g' starts the job, 'q' (or the
// pipe's end) quits the engine and the driver.
struct DriverSpec {
    uint16_t enginePort = 0;
    std::string folder;  // in the engine's form
    std::string url;
    int64_t size = 0;
    int timeout = 600;
};

// The next byte from `fd` when one is there: 0 none yet, 'q' at its end.
char Command(int fd) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0)
        return 0;
    char c = 'q';
    return read(fd, &c, 1) == 1 ? c : 'q';
}

void Say(int fd, const std::string& line) {
    const std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) != (ssize_t)text.size())
        _exit(3);
}

int DriverMain(const DriverSpec& spec, int in, int out) {
    signal(SIGPIPE, SIG_IGN);
    ovSmartPtr lock;
    if (OV_FAILED(PfMessageLoopInit()) || !lock.CreateInstance(OV_CLSID_MUTEX))
        return 2;
    int code = 0;
    {
        COpn module(lock);
        engineprobe::Probe probe;
        ovSmartPtr context;
        ovICDNLocalClientLayer* layer = nullptr;
        auto close = [&] {
            if (context.IsEmpty())
                return;
            if (layer)
                layer->SetEventListener(nullptr, 0);
            static_cast<ovIQoSContext*>(context.Get())->Close();
            context.Reset();
            layer = nullptr;
        };
        auto run = [](const std::function<bool()>& done, uint32_t ms) {
            return libraryloop::RunUntil(done, ms, 20);
        };
        // A starting engine (Wine takes seconds) gives no sign that it
        // listens: tried again after a pause, for about a minute.
        bool connected = false;
        for (int attempt = 0; attempt < 50 && !connected; ++attempt) {
            close();
            probe.calls.clear();
            if (!context.CreateInstance(OV_CLSID_QOS_CONTEXT))
                break;
            ovIQoSContext* qos = static_cast<ovIQoSContext*>(context.Get());
            if (qos->Initialize(kQoSActionHigh, kQoSEventConnectFailed, nullptr) != OV_S_PLATFORM)
                break;
            const uint32_t connectSeconds = 1;
            qos->SetOption(kQoSOptionConnectTimeout, &connectSeconds);
            ovIUnknown* face = nullptr;
            if (qos->PushLayer(OV_CLSID_CDN_LOCAL_LAYER, false) != OV_S_PLATFORM ||
                OV_FAILED(qos->FindLayer(OV_CLSID_CDN_LOCAL_LAYER, &face)))
                break;
            layer = static_cast<ovICDNLocalClientLayer*>(face);
            layer->SetEventListener(&probe, 0);
            layer->SendParameter("bench");
            NetAddress address;
            address.address = htonl(INADDR_LOOPBACK);
            address.port = spec.enginePort;
            qos->Connect(&address);
            run([&] { return probe.Count("connected") + probe.Count("closed") > 0; }, 5000);
            connected = probe.Count("connected") == 1 && probe.Count("closed") == 0;
            if (!connected)
                run([] { return false; }, 1000);
        }
        if (!connected) {
            Say(out, "failed no connection to the engine");
            code = 1;
        } else {
            Say(out, "ready");
            // Kept once read: the loop asks its condition once more at its end.
            char command = 0;
            auto waitCommand = [&] {
                if (command == 0)
                    command = Command(in);
                return command != 0;
            };
            run(waitCommand, (uint32_t)spec.timeout * 1000);
            if (command == 'g') {
                const ovEngineJobEntry entry = {
                    1, 2, spec.size, spec.folder.c_str(), kFileName, spec.url.c_str()};
                const ovEngineJob job = {7, "Bench", 1, &entry};
                const double start = bench::WallSeconds();
                layer->SendJob(&job);
                run([&] { return probe.Count("finished") + probe.Count("closed") > 0; },
                    (uint32_t)spec.timeout * 1000);
                const double seconds = bench::WallSeconds() - start;
                const bool ok = probe.Count("finished 7 ") == 1 &&
                                probe.calls.back().find("finished 7 1 0 1 0") == 0;
                char line[64];
                snprintf(line, sizeof line, "%s %.2f", ok ? "done" : "failed", seconds);
                Say(out, std::string(line) + (ok ? "" : " " + probe.calls.back()));
                code = ok ? 0 : 1;
                // Seeds on until told to quit.
                command = 0;
                run(waitCommand, (uint32_t)spec.timeout * 1000);
            }
            layer->SendParameter("SF_ENGINE_QUIT");
            run([&] { return probe.Count("closed") > 0; }, 5000);
        }
        close();
    }
    lock.Reset();
    PfMessageLoopDone();
    COpn::NetworkCleanup();
    return code;
}

// ---- The run ------------------------------------------------------------

struct Player {
    std::string role;     // "seeder" or "1", "2", ...
    std::string address;  // of its swarm
    bool wine = false;
    std::string folder;  // POSIX
    std::string result;  // "done <s>" or "failed ..."
    double seconds = -1;
    bool fileOk = false;
    int64_t originBytes = 0;
    Child engine;
    pid_t driver = -1;
    int toDriver = -1;
    int fromDriver = -1;
    std::string pending;  // the driver's text not yet a whole line
};

struct Setup {
    Options options;
    std::string root;     // the run's folder
    std::string docroot;  // nginx's
    std::string file;     // the origin's copy
    int64_t size = 0;
    uint16_t httpPort = 0;  // nginx
    uint16_t edgePort = 0;  // the rate-limited way to it
    uint16_t trackerPort = 0;
    std::string btih;  // v2, hex
    std::string v1;    // hex
    std::string buildDir;
};

// The driver's next line, waiting at most `ms`; "" when none came.
std::string ReadLine(Player& player, int ms) {
    const double until = bench::WallSeconds() + ms / 1000.0;
    for (;;) {
        const size_t end = player.pending.find('\n');
        if (end != std::string::npos) {
            const std::string line = player.pending.substr(0, end);
            player.pending.erase(0, end + 1);
            return line;
        }
        const int left = (int)((until - bench::WallSeconds()) * 1000);
        if (left <= 0 || player.fromDriver < 0)
            return "";
        pollfd p = {player.fromDriver, POLLIN, 0};
        if (poll(&p, 1, std::min(left, 1000)) <= 0)
            continue;
        char buffer[512];
        const ssize_t n = read(player.fromDriver, buffer, sizeof buffer);
        if (n <= 0) {
            ::close(player.fromDriver);
            player.fromDriver = -1;
            continue;
        }
        player.pending.append(buffer, (size_t)n);
    }
}

void Tell(Player& player, char command) {
    if (player.toDriver >= 0 && write(player.toDriver, &command, 1) != 1)
        fprintf(stderr, "bench_swarm: player %s does not listen\n", player.role.c_str());
}

bool StartPlayer(const Setup& setup, Player& player, const std::string& url, int index) {
    const Options& o = setup.options;
    const uint16_t enginePort = FreePort();
    const uint16_t peerPort = FreePort();
    if (enginePort == 0 || peerPort == 0)
        return false;
    const std::string tag = player.role == "seeder" ? "seeder" : "player" + player.role;
    const std::string state = setup.root + "/state-" + tag;
    const std::string log = setup.root + "/" + tag + ".log";
    auto form = [&](const std::string& path) { return player.wine ? WinePath(path) : path; };
    Child::Environment env = {
        {"SF_ENGINE_PORT", std::to_string(enginePort)},
        {"SF_ENGINE_IDLE_EXIT_MS", std::to_string((o.timeout + 120) * 1000)},
        {"SF_ENGINE_BEHAVIOUR", ""},
        {"SF_ENGINE_CONTROL", ""},
        {"SF_ENGINE_PEER_LISTEN", player.address + ":" + std::to_string(peerPort)},
        {"SF_ENGINE_UPLOAD_CAP", std::to_string(o.uploadKib * 1024)},
        {"SF_ENGINE_STATE_DIR", form(state)},
        {"SF_ENGINE_LOG", form(log)},
    };
    std::vector<std::string> args;
    if (player.wine)
        args = o.wine;
    else
        args = {setup.buildDir + "/tools/ldDownload.exe"};
    if (!player.engine.Start(args, setup.root + "/" + tag + ".out", env))
        return false;

    DriverSpec spec;
    spec.enginePort = enginePort;
    spec.folder = form(player.folder) + (player.wine ? "\\" : "/");
    spec.url = url;
    spec.size = setup.size;
    spec.timeout = o.timeout;
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0)
        return false;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        ::close(down[1]);
        ::close(up[0]);
        _exit(DriverMain(spec, down[0], up[1]));
    }
    ::close(down[0]);
    ::close(up[1]);
    player.driver = pid;
    player.toDriver = down[1];
    player.fromDriver = up[0];
    (void)index;
    return true;
}

// Ends the drivers (their engines quit), then whatever is left.
void EndPlayers(std::vector<std::unique_ptr<Player>>& players) {
    for (auto& p : players) {
        Tell(*p, 'q');
        if (p->toDriver >= 0)
            ::close(p->toDriver);
        p->toDriver = -1;
    }
    for (auto& p : players) {
        bool ended = false;
        for (int waited = 0; p->driver > 0 && waited < 15000; waited += 20) {
            int status = 0;
            if (waitpid(p->driver, &status, WNOHANG) == p->driver) {
                ended = true;
                if (!WIFEXITED(status) || WEXITSTATUS(status) > 1)
                    fprintf(stderr, "bench_swarm: the driver of player %s ended with %d\n",
                            p->role.c_str(), status);
                break;
            }
            usleep(20000);
        }
        if (p->driver > 0 && !ended) {
            kill(p->driver, SIGKILL);
            waitpid(p->driver, nullptr, 0);
        }
        p->driver = -1;
        if (!p->engine.Wait(15000))
            p->engine.Stop();
        if (p->fromDriver >= 0)
            ::close(p->fromDriver);
        p->fromDriver = -1;
    }
}

// nginx's access log from `offset` on: body bytes by client address.
std::map<std::string, int64_t> OriginBytes(const std::string& log, int64_t offset) {
    std::map<std::string, int64_t> bytes;
    std::ifstream in(log);
    in.seekg(offset);
    for (std::string line; std::getline(in, line);) {
        // addr - - [time] "request" status bytes "referer" "agent"
        const size_t request = line.find('"');
        const size_t after = request == std::string::npos ? request : line.find('"', request + 1);
        if (after == std::string::npos)
            continue;
        int status = 0;
        long long body = 0;
        if (sscanf(line.c_str() + after + 1, "%d %lld", &status, &body) == 2)
            bytes[line.substr(0, line.find(' '))] += body;
    }
    return bytes;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int64_t FileSize(const std::string& path) {
    struct stat s;
    return stat(path.c_str(), &s) == 0 ? (int64_t)s.st_size : -1;
}

// Waits until the access log stops growing (requests still open when their
// clients went are logged as nginx sees them end), at most 3 s.
void SettleLog(const std::string& log) {
    int64_t last = -1;
    for (int i = 0; i < 30; ++i) {
        const int64_t now = FileSize(log);
        if (now == last)
            return;
        last = now;
        usleep(300000);
    }
}

// What an engine's swarm uploaded, from the resume data it kept at its end
// (-1 when there is none).
int64_t Uploaded(const std::string& stateFolder, const std::string& btih) {
    const std::string bytes = ReadText(stateFolder + "/" + btih + ".resume");
    lt::error_code ec;
    const lt::add_torrent_params saved =
        lt::read_resume_data(lt::span<const char>(bytes.data(), (std::ptrdiff_t)bytes.size()), ec);
    return bytes.empty() || ec ? -1 : saved.total_uploaded;
}

struct RunResult {
    bool ok = false;
    double slowest = 0;
    int64_t origin = 0;
};

RunResult RunPlayers(const Setup& setup, bool swarm) {
    const Options& o = setup.options;
    RunResult result;
    const std::string name = swarm ? "swarm" : "http-only";
    const std::string folder = setup.root + "/" + name;
    const std::string url = "http://127.0.0.1:" + std::to_string(setup.edgePort) + "/files/" +
                            kFileName + (swarm ? "#btih=" + setup.btih : "");
    const std::string log = setup.root + "/nginx/logs/swarm.log";

    std::vector<std::unique_ptr<Player>> players;
    for (int i = swarm ? 0 : 1; i <= o.players; ++i) {
        std::unique_ptr<Player> p(new Player());
        p->role = i == 0 ? "seeder" : std::to_string(i);
        p->address = "127.0.0." + std::to_string(2 + i);
        p->wine = i == o.players && !o.wine.empty();
        p->folder = folder + "/" + (i == 0 ? std::string("seeder") : "player" + p->role);
        Run("mkdir -p " + Quote(p->folder));
        players.push_back(std::move(p));
    }
    if (swarm && link(setup.file.c_str(), (players[0]->folder + "/" + kFileName).c_str()) != 0 &&
        Run("cp " + Quote(setup.file) + " " + Quote(players[0]->folder)) != 0) {
        fprintf(stderr, "bench_swarm: cannot give the seeder its file\n");
        return result;
    }
    bool started = true;
    for (size_t i = 0; i < players.size(); ++i)
        started = started && StartPlayer(setup, *players[i], url, (int)i);
    for (auto& p : players) {
        const std::string line = started ? ReadLine(*p, 90000) : "";
        if (line != "ready") {
            fprintf(stderr, "bench_swarm: %s run, player %s: %s\n", name.c_str(), p->role.c_str(),
                    line.empty() ? "no answer" : line.c_str());
            started = false;
        }
    }
    if (started && swarm) {
        // The seeder checks its copy, then the tracker must know it.
        Player& seeder = *players[0];
        Tell(seeder, 'g');
        seeder.result = ReadLine(seeder, o.timeout * 1000);
        const std::string scrape =
            "curl -s --max-time 5 'http://127.0.0.1:" + std::to_string(setup.trackerPort) +
            "/scrape?info_hash=";
        std::string escaped;
        for (size_t i = 0; i < setup.v1.size(); i += 2)
            escaped += "%" + setup.v1.substr(i, 2);
        bool known = false;
        for (int i = 0; i < 150 && !known && seeder.result.compare(0, 4, "done") == 0; ++i) {
            known = Shell(scrape + escaped + "'").find("8:completei1e") != std::string::npos;
            if (!known)
                usleep(200000);
        }
        if (!known) {
            fprintf(stderr, "bench_swarm: the seeder is not seeding (%s)\n", seeder.result.c_str());
            started = false;
        }
    }
    int64_t offset = FileSize(log);
    if (started) {
        for (auto& p : players)
            if (p->role != "seeder")
                Tell(*p, 'g');
        const double until = bench::WallSeconds() + o.timeout + 5;
        for (auto& p : players) {
            if (p->role == "seeder")
                continue;
            const int left = (int)((until - bench::WallSeconds()) * 1000);
            p->result = ReadLine(*p, std::max(left, 1));
            if (p->result.compare(0, 5, "done ") == 0)
                p->seconds = atof(p->result.c_str() + 5);
        }
    }
    EndPlayers(players);
    SettleLog(log);
    const std::map<std::string, int64_t> origin = OriginBytes(log, offset);
    for (const auto& entry : origin)
        result.origin += entry.second;

    result.ok = started;
    printf("\n%s: %s file of %lld MiB, origin %lld KiB/s per connection, uploads %lld KiB/s\n",
           name.c_str(), swarm ? "a seeder and the new players fetch the" : "the players fetch the",
           (long long)o.sizeMib, (long long)o.originKib, (long long)o.uploadKib);
    printf("  %-7s %-10s %-7s %8s %11s %11s %6s  %s\n", "player", "address", "engine", "time s",
           "origin MiB", "upload MiB", "cpu s", "file");
    for (auto& p : players) {
        const std::string tag = p->role == "seeder" ? "seeder" : "player" + p->role;
        const int64_t uploaded = swarm ? Uploaded(setup.root + "/state-" + tag, setup.btih) : -1;
        char up[32] = "-";
        if (uploaded >= 0)
            snprintf(up, sizeof up, "%.1f", uploaded / (double)kMiB);
        if (p->role == "seeder") {
            printf("  %-7s %-10s %-7s %8s %11s %11s %6.1f  %s\n", "seeder", p->address.c_str(),
                   "native", "-", "-", up, p->engine.CpuSeconds(), "held");
            continue;
        }
        const std::string got = p->folder + "/" + kFileName;
        p->fileOk = p->seconds >= 0 && FileSize(got) == setup.size &&
                    Run("cmp -s " + Quote(got) + " " + Quote(setup.file)) == 0;
        result.ok = result.ok && p->fileOk;
        result.slowest = std::max(result.slowest, p->seconds);
        // The web seed's requests leave from the player's own address; its
        // plain HTTP (and the torrent) from 127.0.0.1.
        auto own = origin.find(p->address);
        char seconds[32] = "-", bytes[32] = "-";
        if (p->seconds >= 0)
            snprintf(seconds, sizeof seconds, "%.2f", p->seconds);
        if (swarm)
            snprintf(bytes, sizeof bytes, "%.1f",
                     (own == origin.end() ? 0 : own->second) / (double)kMiB);
        printf("  %-7s %-10s %-7s %8s %11s %11s %6.1f  %s\n", p->role.c_str(), p->address.c_str(),
               p->wine ? "wine" : "native", seconds, bytes, up, p->engine.CpuSeconds(),
               p->fileOk ? "ok" : ("BAD " + p->result).c_str());
    }
    auto local = origin.find("127.0.0.1");
    printf("  origin: %.1f MiB, %.2f x the file (%.1f MiB of it to 127.0.0.1)\n",
           result.origin / (double)kMiB, result.origin / (double)setup.size,
           (local == origin.end() ? 0 : local->second) / (double)kMiB);
    // A player whose engine fell back to HTTP would make the figures a lie.
    for (auto& p : players) {
        if (!swarm)
            break;
        const std::string tag = p->role == "seeder" ? "seeder" : "player" + p->role;
        const std::string said = ReadText(setup.root + "/" + tag + ".log");
        if (said.find(std::string(kFileName) + ": from the swarm") == std::string::npos) {
            printf("  %s did not use the swarm: %s\n", tag.c_str(), said.c_str());
            result.ok = false;
        }
    }
    fflush(stdout);
    Run("rm -rf " + Quote(folder) + " " + Quote(setup.root) + "/state-*");
    return result;
}

bool WriteRandomFile(const std::string& path, int64_t size) {
    FILE* out = fopen(path.c_str(), "wb");
    if (!out)
        return false;
    std::mt19937_64 random(20261210);
    std::vector<uint64_t> block(1 << 17);
    bool ok = true;
    for (int64_t left = size; left > 0 && ok;) {
        for (uint64_t& word : block)
            word = random();
        const size_t n = (size_t)std::min<int64_t>(left, (int64_t)(block.size() * 8));
        ok = fwrite(block.data(), 1, n, out) == n;
        left -= (int64_t)n;
    }
    return fclose(out) == 0 && ok;
}

// The torrent beside the file, made by sfpublish with the tracker.
bool Publish(Setup& setup) {
    const std::string tools = setup.buildDir + "/tools/";
    const std::string key = setup.root + "/publisher.pem";
    const std::string announce =
        "http://127.0.0.1:" + std::to_string(setup.trackerPort) + "/announce";
    if (Run(Quote(tools + "sfpublish") + " keygen " + Quote(key) + " >/dev/null") != 0 ||
        Run(Quote(tools + "sfpublish") + " list --key " + Quote(key) +
            " --product Bench --base-url " +
            Quote("http://127.0.0.1:" + std::to_string(setup.edgePort) + "/files/") + " --out " +
            Quote(setup.root) + " --torrents " + Quote(announce) + " " + Quote(setup.file) +
            " >/dev/null") != 0)
        return false;
    const std::string bytes = ReadText(setup.file + ".torrent");
    lt::error_code ec;
    lt::torrent_info info(lt::span<const char>(bytes.data(), (std::ptrdiff_t)bytes.size()), ec,
                          lt::from_span);
    if (ec || !info.info_hashes().has_v2())
        return false;
    char hex[2 * lt::sha256_hash::size() + 1];
    BytesToHex(info.info_hashes().v2.data(), info.info_hashes().v2.size(), hex);
    setup.btih = hex;
    BytesToHex(info.info_hashes().v1.data(), info.info_hashes().v1.size(), hex);
    setup.v1 = hex;
    return true;
}

bool StartTracker(const Setup& setup, Child* tracker) {
    // It serves whitelisted hashes only: the v1 one and the v2 one cut to 20
    // bytes, as hybrid torrents announce both. It changes root into its
    // folder and runs as "nobody", so the folder is open to all.
    const std::string folder = setup.root + "/tracker";
    Run("mkdir -p " + Quote(folder) + " && chmod 755 " + Quote(folder));
    std::ofstream(folder + "/whitelist") << setup.v1 << "\n" << setup.btih.substr(0, 40) << "\n";
    chmod((folder + "/whitelist").c_str(), 0644);
    const std::string port = std::to_string(setup.trackerPort);
    if (!tracker->Start({"opentracker", "-i", "127.0.0.1", "-p", port, "-P", port, "-d", folder,
                         "-w", "whitelist"},
                        setup.root + "/tracker.out"))
        return false;
    // It reads its whitelist after it starts answering: a "stopped"
    // announce of each hash is refused until then.
    for (const std::string& hash : {setup.v1, setup.btih.substr(0, 40)}) {
        std::string escaped;
        for (size_t i = 0; i < hash.size(); i += 2)
            escaped += "%" + hash.substr(i, 2);
        const std::string probe = "curl -s --max-time 2 'http://127.0.0.1:" + port +
                                  "/announce?info_hash=" + escaped +
                                  "&peer_id=-SF0000-000000000000&port=1&uploaded=0&downloaded=0"
                                  "&left=0&event=stopped&compact=1'";
        bool ready = false;
        for (int i = 0; i < 100 && !ready; ++i) {
            const std::string answer = Shell(probe);
            ready = !answer.empty() && answer.find("failure") == std::string::npos;
            if (!ready)
                usleep(100000);
        }
        if (!ready)
            return false;
    }
    return true;
}

// nginx with the shared settings of the tests and the demo.
bool StartNginx(const Setup& setup) {
    const std::string dir = setup.root + "/nginx";
    // Its own log: the connection number tells the players' connections apart.
    const std::string server =
        "log_format swarm '$remote_addr $connection [$time_local] \"$request\" $status "
        "$body_bytes_sent';\n"
        "server {\n"
        "    access_log " +
        setup.root +
        "/nginx/logs/swarm.log swarm;\n"
        "    listen 127.0.0.1:" +
        std::to_string(setup.httpPort) +
        " sndbuf=64k;\n"
        "    root " +
        setup.docroot + ";\n}\n";
    std::ofstream(setup.root + "/nginx-server.conf") << server;
    const std::string lib = std::string(SF_SOURCE_DIR) + "/scripts/lib/nginx.sh";
    return Run("bash -c " + Quote(". " + lib + " && nginx_write_conf " + dir + " <" + setup.root +
                                  "/nginx-server.conf && nginx_start " + dir)) == 0;
}

void StopNginx(const Setup& setup) {
    const std::string lib = std::string(SF_SOURCE_DIR) + "/scripts/lib/nginx.sh";
    Run("bash -c " + Quote(". " + lib + " && nginx_stop " + setup.root + "/nginx"));
}

int Usage() {
    fprintf(stderr,
            "usage: bench_swarm [--size-mib N] [--players N] [--origin-kib N] [--upload-kib N]\n"
            "                   [--timeout S] [--only swarm|http] [--wine \"<wine-run> "
            "<ldDownload.exe>\"] [--keep]\n");
    return 2;
}

bool Number(const char* text, int64_t low, int64_t high, int64_t* out) {
    char* end = nullptr;
    const long long value = strtoll(text, &end, 10);
    if (!*text || *end || value < low || value > high)
        return false;
    *out = value;
    return true;
}

std::string BuildDir() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string text(path, n > 0 ? (size_t)n : 0);
    // <build>/bench/bench_swarm
    for (int i = 0; i < 2 && text.rfind('/') != std::string::npos; ++i)
        text.erase(text.rfind('/'));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    Setup setup;
    Options& o = setup.options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        int64_t number = 0;
        if (arg == "--keep") {
            o.keep = true;
            continue;
        }
        if (!value)
            return Usage();
        ++i;
        if (arg == "--size-mib" && Number(value, 1, 4096, &number))
            o.sizeMib = number;
        else if (arg == "--players" && Number(value, 1, 200, &number))
            o.players = (int)number;
        else if (arg == "--origin-kib" && Number(value, 1, 1 << 30, &number))
            o.originKib = number;
        else if (arg == "--upload-kib" && Number(value, 0, 1 << 21, &number))
            o.uploadKib = number;
        else if (arg == "--timeout" && Number(value, 10, 86400, &number))
            o.timeout = (int)number;
        else if (arg == "--only" && (std::string(value) == "swarm" || std::string(value) == "http"))
            o.only = value;
        else if (arg == "--wine") {
            std::istringstream words(value);
            for (std::string word; words >> word;)
                o.wine.push_back(word);
            if (o.wine.size() < 2)
                return Usage();
        } else
            return Usage();
    }
    for (const char* program : {"nginx", "opentracker", "curl"})
        if (!bench::HaveProgram(program)) {
            fprintf(stderr, "bench_swarm: %s is needed\n", program);
            return 2;
        }
    signal(SIGPIPE, SIG_IGN);
    setup.buildDir = BuildDir();
    setup.size = o.sizeMib * kMiB;
    const char* base = getenv("SF_TEST_TMP_DIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/bench_swarm.XXXXXX";
    if (!mkdtemp(&pattern[0]))
        return 2;
    setup.root = pattern;
    setup.docroot = setup.root + "/docroot";
    setup.file = setup.docroot + "/files/" + kFileName;
    setup.httpPort = FreePort();
    setup.trackerPort = FreePort();
    bench::SwarmEdge edge;
    setup.edgePort = edge.Listen();
    // nginx's worker may run as another user and must read the files.
    Run("chmod 755 " + Quote(setup.root) + " && mkdir -p " + Quote(setup.docroot + "/files") +
        " && chmod -R 755 " + Quote(setup.docroot));
    int code = 1;
    {
        Child tracker, edgeProcess;
        if (!edgeProcess.Fork([&] { edge.Run(setup.httpPort, o.originKib * 1024); }))
            setup.edgePort = 0;
        bool ready =
            setup.edgePort != 0 && WriteRandomFile(setup.file, setup.size) && Publish(setup);
        if (!ready)
            fprintf(stderr, "bench_swarm: the file or its torrent could not be made\n");
        if (ready && !StartTracker(setup, &tracker)) {
            fprintf(stderr, "bench_swarm: opentracker did not start\n");
            ready = false;
        }
        bool nginx = ready && StartNginx(setup);
        if (ready && !nginx)
            fprintf(stderr, "bench_swarm: nginx did not start\n");
        if (nginx) {
            printf(
                "bench_swarm: %lld MiB, %d new players%s, origin %lld KiB/s per connection, "
                "uploads %lld KiB/s; load %s",
                (long long)o.sizeMib, o.players, o.wine.empty() ? "" : " (the last under Wine)",
                (long long)o.originKib, (long long)o.uploadKib, ReadText("/proc/loadavg").c_str());
            RunResult swarm, http;
            if (o.only != "http")
                swarm = RunPlayers(setup, true);
            if (o.only != "swarm")
                http = RunPlayers(setup, false);
            printf("\nload after: %s", ReadText("/proc/loadavg").c_str());
            if (o.only.empty()) {
                printf("origin/file %.2f; slowest new player %.2f of HTTP-only\n",
                       swarm.origin / (double)setup.size,
                       http.slowest > 0 ? swarm.slowest / http.slowest : 0.0);
                code = swarm.ok && http.ok ? 0 : 1;
            } else {
                code = (o.only == "swarm" ? swarm.ok : http.ok) ? 0 : 1;
            }
        }
        if (nginx)
            StopNginx(setup);
    }
    if (o.keep)
        printf("kept: %s\n", setup.root.c_str());
    else if (Run("rm -rf " + Quote(setup.root)) != 0)
        fprintf(stderr, "bench_swarm: could not remove %s\n", setup.root.c_str());
    return code;
}
