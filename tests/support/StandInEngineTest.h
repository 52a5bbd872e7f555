// Helpers of the tests that run the stand-in engine (tools/engine/ldDownload)
// as a child process against the library's real engine layer: the fixture
// that starts and connects to it, torrents made by libtorrent, and for the
// native swarm tests opentracker and nginx's access log.
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/torrent_info.hpp>

#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/ovICDNLocalClientLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfMessageLoop.h"
#include "support/EngineProbe.h"
#include "support/EngineProcess.h"
#include "support/LibraryLoop.h"
#include "support/TestServers.h"
#include "unit/SupportTestEnv.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace standintest {

using engineprobe::Probe;
using engineprocess::EngineProcess;

const char kBigFile[] = "files/random-1m.bin";

inline std::string ReadNative(const std::string& path) {
    return supporttest::ReadWholeFile(path);
}

inline void WriteNative(const std::string& path, const std::string& bytes) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream(path, std::ios::binary) << bytes;
}

class StandInEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.Ok());
        servers.Load();
        ASSERT_TRUE(servers.Ok()) << servers.Error();
        ASSERT_TRUE(OV_SUCCEEDED(PfMessageLoopInit()));
        ASSERT_TRUE(lock.CreateInstance(OV_CLSID_MUTEX));
        module.reset(new COpn(lock));
    }
    void TearDown() override {
        Disconnect();
        engine.Stop();
        module.reset();
        lock.Reset();
        PfMessageLoopDone();
        COpn::NetworkCleanup();
    }

    std::string Doc(const std::string& relative) {
        bool ok = false;
        const std::vector<unsigned char> bytes = servers.DocRootFile(relative, &ok);
        EXPECT_TRUE(ok) << relative;
        return std::string(bytes.begin(), bytes.end());
    }

    void StartEngine(const EngineProcess::Environment& extra = {}) { StartEngineAs(engine, extra); }
    // Starts `process` as an engine; Connect() then reaches it.
    void StartEngineAs(EngineProcess& process, const EngineProcess::Environment& extra) {
        port = engineprocess::FreePort();
        ASSERT_NE(0, port);
        EngineProcess::Environment env = {{"SF_ENGINE_PORT", std::to_string(port)},
                                          {"SF_ENGINE_IDLE_EXIT_MS", "60000"},
                                          {"SF_ENGINE_BEHAVIOUR", ""},
                                          {"SF_ENGINE_CONTROL", ""}};
        for (const auto& item : extra) {
            bool known = false;
            for (auto& slot : env)
                if (slot.first == item.first) {
                    slot.second = item.second;
                    known = true;
                }
            if (!known)
                env.push_back(item);
        }
        ASSERT_TRUE(process.Start(engineprocess::ProgramPath(SF_STANDIN_ENGINE), env));
    }

    ovIQoSContext* Context() { return static_cast<ovIQoSContext*>(context.Get()); }
    ovICDNLocalClientLayer* Layer() {
        ovIUnknown* face = nullptr;
        if (context.IsEmpty() || OV_FAILED(Context()->FindLayer(OV_CLSID_CDN_LOCAL_LAYER, &face)))
            return nullptr;
        return static_cast<ovICDNLocalClientLayer*>(face);
    }

    void Disconnect() {
        if (context.IsEmpty())
            return;
        if (ovICDNLocalClientLayer* layer = Layer())
            layer->SetEventListener(nullptr, 0);
        Context()->Close();
        context.Reset();
    }

    // The engine downloader's connection; tried again while the engine is
    // still starting. True once connected.
    bool Connect(const char* parameter = "param") {
        for (int attempt = 0; attempt < 60; ++attempt) {
            Disconnect();
            probe.calls.clear();
            if (!context.CreateInstance(OV_CLSID_QOS_CONTEXT) ||
                Context()->Initialize(kQoSActionHigh, kQoSEventConnectFailed, nullptr) !=
                    OV_S_PLATFORM)
                return false;
            const uint32_t connectSeconds = 1;
            Context()->SetOption(kQoSOptionConnectTimeout, &connectSeconds);
            ovICDNLocalClientLayer* layer =
                Context()->PushLayer(OV_CLSID_CDN_LOCAL_LAYER, false) == OV_S_PLATFORM ? Layer()
                                                                                       : nullptr;
            if (!layer)
                return false;
            layer->SetEventListener(&probe, 0);
            layer->SendParameter(parameter);
            const NetAddress address = testpeers::LoopbackAt(port);
            Context()->Connect(&address);
            Run([&] { return probe.Count("connected") + probe.Count("closed") > 0; });
            if (probe.Count("connected") == 1 && probe.Count("closed") == 0)
                return true;
            // Kept fixed: a starting engine gives no sign that it listens, so
            // the next try comes after a pause.
            libraryloop::RunUntil([] { return false; }, 200);
        }
        return false;
    }

    bool Run(const std::function<bool()>& done, uint32_t maxMs = 30000) {
        return libraryloop::RunUntil(done, maxMs, 20);
    }

    // Index of the first call starting with `prefix`, -1 when none.
    int Find(const std::string& prefix) const {
        for (size_t i = 0; i < probe.calls.size(); ++i)
            if (probe.calls[i].compare(0, prefix.size(), prefix) == 0)
                return (int)i;
        return -1;
    }

    supporttest::TempFolder tmp;
    sftest::TestServers servers;
    ovSmartPtr lock;
    std::unique_ptr<COpn> module;
    ovSmartPtr context;
    Probe probe;
    EngineProcess engine;
    uint16_t port = 0;
};

// Files whose line names a torrent ("#btih=<v2 info-hash>").

inline std::string HexOf(const char* bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[(uint8_t)bytes[i] >> 4];
        out += kDigits[(uint8_t)bytes[i] & 15];
    }
    return out;
}

struct MadeTorrent {
    std::string first;   // its bytes
    std::string second;  // its v2 info-hash in hex
    std::string v1;      // its v1 info-hash in hex
};

// A hybrid torrent made by libtorrent of `files` (path in the torrent,
// bytes), written below `scratch`, naming `trackers`.
inline MadeTorrent TorrentOf(const std::string& scratch,
                             const std::vector<std::pair<std::string, std::string>>& files,
                             const std::string& webSeed,
                             const std::vector<std::string>& trackers = {}) {
    lt::file_storage storage;
    for (const auto& file : files) {
        WriteNative(scratch + "/" + file.first, file.second);
        storage.add_file(file.first, (std::int64_t)file.second.size());
    }
    lt::create_torrent torrent(storage, 16384);
    lt::error_code ec;
    lt::set_piece_hashes(torrent, scratch, ec);
    EXPECT_FALSE(ec) << ec.message();
    torrent.add_url_seed(webSeed);
    for (const std::string& tracker : trackers)
        torrent.add_tracker(tracker);
    std::vector<char> bytes;
    lt::bencode(std::back_inserter(bytes), torrent.generate());
    lt::torrent_info info(lt::span<const char>(bytes.data(), (std::ptrdiff_t)bytes.size()), ec,
                          lt::from_span);
    EXPECT_FALSE(ec) << ec.message();
    const lt::info_hash_t& hashes = info.info_hashes();
    return {std::string(bytes.begin(), bytes.end()), HexOf(hashes.v2.data(), hashes.v2.size()),
            HexOf(hashes.v1.data(), hashes.v1.size())};
}

#ifndef _WIN32
// The swarm with real peers and a tracker runs natively.

// A program of the tests with its arguments, ended when it goes.
class Child {
  public:
    bool Start(const std::vector<std::string>& args) {
        m_pid = fork();
        if (m_pid == 0) {
            std::vector<char*> argv;
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        return m_pid > 0;
    }
    ~Child() {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }

  private:
    pid_t m_pid = -1;
};

// Output of a shell command.
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

// opentracker on 127.0.0.1:`port` for `torrent`, with its folder and
// whitelist in `folder`; `*scrape` is the command that scrapes its v1 hash.
// Returns once the tracker answers.
inline void StartTracker(const std::string& folder, uint16_t port, const MadeTorrent& torrent,
                         Child* tracker, std::string* scrape) {
    // It serves whitelisted hashes only: the v1 one and the v2 one cut to 20
    // bytes, as hybrid torrents announce both. It changes root into its
    // folder and runs as "nobody", so the folder is open to all.
    WriteNative(folder + "/whitelist", torrent.v1 + "\n" + torrent.second.substr(0, 40) + "\n");
    std::filesystem::permissions(folder, std::filesystem::perms(0755));
    std::filesystem::permissions(folder + "/whitelist", std::filesystem::perms(0644));
    ASSERT_TRUE(tracker->Start({"opentracker", "-i", "127.0.0.1", "-p", std::to_string(port), "-P",
                                std::to_string(port), "-d", folder, "-w", "whitelist"}));
    auto escaped = [](const std::string& hex) {
        std::string out;
        for (size_t i = 0; i < hex.size(); i += 2)
            out += "%" + hex.substr(i, 2);
        return out;
    };
    const std::string base = "curl -s 'http://127.0.0.1:" + std::to_string(port);
    *scrape = base + "/scrape?info_hash=" + escaped(torrent.v1) + "'";
    // It reads its whitelist after it starts answering: a "stopped" announce
    // of each hash (which adds no peer) is refused until then.
    for (const std::string& hash : {torrent.v1, torrent.second.substr(0, 40)}) {
        const std::string probe = base + "/announce?info_hash=" + escaped(hash) +
                                  "&peer_id=-SF0000-000000000000&port=1&uploaded=0&downloaded=0"
                                  "&left=0&event=stopped&compact=1'";
        ASSERT_TRUE(libraryloop::RunUntil(
            [&] {
                const std::string answer = Shell(probe);
                return !answer.empty() && answer.find("failure") == std::string::npos;
            },
            10000, 100))
            << Shell(probe);
    }
}

// What the origin (nginx) sent for `path`: the body bytes of every logged
// GET of exactly that path.
inline int64_t OriginBytes(const sftest::TestServers& servers, const std::string& path) {
    const std::filesystem::path log =
        std::filesystem::path(servers.DocRootPath("files")).parent_path().parent_path() / "nginx" /
        "logs" / "access.log";
    std::ifstream in(log);
    const std::string request = "\"GET " + path + " HTTP/1.1\" ";
    int64_t total = 0;
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(request);
        if (at == std::string::npos)
            continue;
        int status = 0;
        long long bytes = 0;
        if (sscanf(line.c_str() + at + request.size(), "%d %lld", &status, &bytes) == 2)
            total += bytes;
    }
    return total;
}

#endif

}  // namespace standintest
