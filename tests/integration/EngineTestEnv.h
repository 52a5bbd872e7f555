// The engine (tools/engine/ldDownload) as a child process against the
// library's real engine layer: a fixture that starts engines on free ports
// and connects to them, and torrents made for its swarm path.
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/torrent_info.hpp>

#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/nwEngineMessages.h"
#include "opn/opeerqos/ovICDNLocalClientLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfSocket.h"
#include "sdk/support/HexBytes.h"
#include "support/EngineProbe.h"
#include "support/EngineProcess.h"
#include "support/LibraryLoop.h"
#include "support/Sha256Hex.h"
#include "support/TestServers.h"
#include "unit/SupportTestEnv.h"

namespace enginetest {

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

class EngineTest : public ::testing::Test {
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

// Body bytes of every GET of exactly `path` in an nginx access log.
inline int64_t LoggedBytes(const std::string& log, const std::string& path) {
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

// What the test servers' nginx sent for `path`.
inline int64_t OriginBytes(const sftest::TestServers& servers, const std::string& path) {
    const std::filesystem::path log =
        std::filesystem::path(servers.DocRootPath("files")).parent_path().parent_path() / "nginx" /
        "logs" / "access.log";
    return LoggedBytes(log.string(), path);
}

// Torrents for files whose line names one ("#btih=<info-hash>").
struct MadeTorrent {
    std::string bytes;
    std::string v2;  // its v2 info-hash in hex; empty for a v1-only torrent
    std::string v1;  // its v1 info-hash in hex; empty for a v2-only torrent
    // What a list line names it by: the v2 hash when it has one.
    std::string Btih() const { return v2.empty() ? v1 : v2; }
};

// The hashes of a torrent's `bytes` (made by any tool).
inline MadeTorrent TorrentFromBytes(const std::string& bytes) {
    lt::error_code ec;
    lt::torrent_info info(lt::span<const char>(bytes.data(), (std::ptrdiff_t)bytes.size()), ec,
                          lt::from_span);
    EXPECT_FALSE(ec) << ec.message();
    if (ec)
        return {bytes, "", ""};
    const lt::info_hash_t& hashes = info.info_hashes();
    char v2[2 * lt::sha256_hash::size() + 1] = "";
    char v1[2 * lt::sha1_hash::size() + 1] = "";
    if (hashes.has_v2())
        BytesToHex(hashes.v2.data(), hashes.v2.size(), v2);
    if (hashes.has_v1())
        BytesToHex(hashes.v1.data(), hashes.v1.size(), v1);
    return {bytes, v2, v1};
}

// A torrent made by libtorrent of `files` (path in the torrent, bytes),
// written below `scratch`, naming `trackers`: hybrid unless `flags` say
// v1_only or v2_only.
inline MadeTorrent TorrentOf(const std::string& scratch,
                             const std::vector<std::pair<std::string, std::string>>& files,
                             const std::string& webSeed,
                             const std::vector<std::string>& trackers = {},
                             lt::create_flags_t flags = {}) {
    lt::file_storage storage;
    for (const auto& file : files) {
        WriteNative(scratch + "/" + file.first, file.second);
        storage.add_file(file.first, (std::int64_t)file.second.size());
    }
    lt::create_torrent torrent(storage, 16384, flags);
    lt::error_code ec;
    lt::set_piece_hashes(torrent, scratch, ec);
    EXPECT_FALSE(ec) << ec.message();
    torrent.add_url_seed(webSeed);
    for (const std::string& tracker : trackers)
        torrent.add_tracker(tracker);
    std::vector<char> bytes;
    lt::bencode(std::back_inserter(bytes), torrent.generate());
    return TorrentFromBytes(std::string(bytes.begin(), bytes.end()));
}

// Bytes of a file's own pattern, different for every seed.
inline std::string Pattern(size_t size, uint32_t seed) {
    std::string content(size, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = (char)(((i + seed) * 2654435761u) >> 24);
    return content;
}

// A hex hash as a query value: every byte escaped.
inline std::string Escaped(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out += "%" + hex.substr(i, 2);
    return out;
}

inline int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return (int)getpid();
#endif
}

// The answer (head and body) to one HTTP/1.0 GET of `target`; what came
// within 5 seconds, empty when the connection failed. Plain sockets: a
// test under Wine has no curl.
inline std::string HttpGet(const std::string& address, uint16_t port, const std::string& target) {
    std::string answer;
    NetAddress at = {0, port};
    SockRecord* record = nullptr;
    if (OV_FAILED(ResolveFirst(address.c_str(), &at.address)) ||
        OV_FAILED(SockCreate(&record, kSockKindTcp))) {
        SockClose(record);
        return answer;
    }
    const std::string request =
        "GET " + target + " HTTP/1.0\r\nHost: " + address + "\r\nConnection: close\r\n\r\n";
    int32_t sent = 0;
    if (OV_SUCCEEDED(SockSetBlocking(record, 1)) && OV_SUCCEEDED(SockConnect(record, &at)) &&
        OV_SUCCEEDED(SockSend(record, request.data(), (int32_t)request.size(), &sent)) &&
        sent == (int32_t)request.size() && OV_SUCCEEDED(SockSetBlocking(record, 0))) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        char buffer[4096];
        while (std::chrono::steady_clock::now() < end) {
            int32_t got = 0;
            const ResultCode rc = SockRecv(record, buffer, (int32_t)sizeof buffer, &got);
            if (OV_SUCCEEDED(rc))
                answer.append(buffer, (size_t)got);
            else if (rc == OV_E_WOULD_BLOCK)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            else
                break;
        }
    }
    SockClose(record);
    return answer;
}

// One file shared by a swarm: its name, bytes and torrent.
struct Shared {
    std::string name;  // "<stem>-<pid>.pak", in the origin's files/
    std::string content;
    MadeTorrent torrent;
};

// Engines in a swarm: files and their torrents on the test servers' nginx
// (the origin and web seed), opentracker as the tracker, engines started on
// their own addresses and driven one job at a time. How the tracker runs
// is the subclass's: ServeHashes() has it take a torrent's hashes.
class SwarmTest : public EngineTest {
  protected:
    void TearDown() override {
        EngineTest::TearDown();
        for (const std::string& doc : published)
            std::filesystem::remove(servers.DocRootPath(doc));
    }

    // Has the tracker on `trackerAddress`:`trackerPort` take these info-hashes.
    virtual void ServeHashes(const std::vector<std::string>& hashes) = 0;
    // The torrent of `file`, naming the tracker: made by libtorrent (hybrid)
    // here.
    virtual MadeTorrent MakeTorrent(const Shared& file, bool byTransmission) {
        EXPECT_FALSE(byTransmission) << "no transmission-create here";
        return TorrentOf(tmp.Native("made"), {{file.name, file.content}}, "http://127.0.0.1:1/x",
                         {Announce()});
    }

    std::string Announce() const {
        return "http://" + trackerAddress + ":" + std::to_string(trackerPort) + "/announce";
    }
    // The body of the tracker's answer to `query`.
    std::string TrackerGet(const std::string& query) const {
        const std::string answer = HttpGet(trackerAddress, trackerPort, query);
        const size_t body = answer.find("\r\n\r\n");
        return body == std::string::npos ? "" : answer.substr(body + 4);
    }

    // Puts `content` on the origin as files/<stem>-<pid>.pak with its torrent
    // beside it, and has the tracker take it.
    Shared Publish(const std::string& stem, const std::string& content,
                   bool byTransmission = false) {
        Shared file;
        file.name = stem + "-" + std::to_string(ProcessId()) + ".pak";
        file.content = content;
        const std::string doc = "files/" + file.name;
        WriteNative(servers.DocRootPath(doc), content);
        published.push_back(doc);
        file.torrent = MakeTorrent(file, byTransmission);
        WriteNative(servers.DocRootPath(doc + ".torrent"), file.torrent.bytes);
        published.push_back(doc + ".torrent");
        StartTracker(file.torrent);
        return file;
    }

    // The tracker for the torrent's hashes only (the v1 one and the v2 one cut
    // to 20 bytes, as hybrid torrents announce both). Returns once it takes
    // each: a leecher's announce is refused until then, and the same
    // leecher's "stopped" takes it off again.
    void StartTracker(const MadeTorrent& torrent) {
        std::vector<std::string> hashes = {torrent.v1};
        if (!torrent.v2.empty())
            hashes.push_back(torrent.v2.substr(0, 40));
        ASSERT_NO_FATAL_FAILURE(ServeHashes(hashes));
        for (const std::string& hash : hashes) {
            const std::string announce = "/announce?info_hash=" + Escaped(hash) +
                                         "&peer_id=-SF0000-000000000000&port=1&uploaded=0"
                                         "&downloaded=0&left=1&compact=1&event=";
            ASSERT_TRUE(libraryloop::RunUntil(
                [&] {
                    const std::string answer = TrackerGet(announce + "started");
                    return !answer.empty() && answer.find("failure") == std::string::npos;
                },
                10000, 100))
                << TrackerGet(announce + "started");
            TrackerGet(announce + "stopped");
        }
    }

    // Until the tracker knows `count` seeders of the file.
    void WaitSeeders(const Shared& file, int count) { WaitPeers(file, "8:complete", count); }
    // Until the tracker knows `count` peers still downloading the file.
    void WaitLeechers(const Shared& file, int count) { WaitPeers(file, "10:incomplete", count); }
    // Until the tracker's scrape of the file has `key` (bencoded) at `count`.
    void WaitPeers(const Shared& file, const std::string& key, int count) {
        const std::string scrape = "/scrape?info_hash=" + Escaped(file.torrent.v1);
        const std::string want = key + "i" + std::to_string(count) + "e";
        ASSERT_TRUE(libraryloop::RunUntil(
            [&] { return TrackerGet(scrape).find(want) != std::string::npos; }, 30000, 200))
            << TrackerGet(scrape);
    }

    // The file's list line on the origin: `prefix` "/files/<name>" with its
    // hashes.
    std::string Line(const Shared& file, const std::string& base) const {
        return base + "/files/" + file.name + "#sha256=" + sftest::Sha256Hex(file.content) +
               "&btih=" + file.torrent.Btih();
    }
    std::string Origin() const { return servers.HttpUrl(""); }
    // The same file at 64 KiB/s.
    std::string SlowOrigin() const { return servers.HttpUrl("/slow"); }

    // Starts `process` as the engine `who` on `address` with its log and
    // state folder in the temp folder, and connects to it.
    void StartPeer(EngineProcess& process, const std::string& who, const std::string& address,
                   const EngineProcess::Environment& extra = {}) {
        EngineProcess::Environment env = {
            {"SF_ENGINE_LOG", tmp.Native(who + ".log")},
            {"SF_ENGINE_PEER_LISTEN", address + ":" + std::to_string(engineprocess::FreePort())},
            {"SF_ENGINE_STATE_DIR", tmp.Native(who + "-state")},
            {"SF_ENGINE_IDLE_EXIT_MS", "300000"}};
        env.insert(env.end(), extra.begin(), extra.end());
        ASSERT_NO_FATAL_FAILURE(StartEngineAs(process, env));
        ASSERT_TRUE(Connect());
    }

    // Sends the one-file job `number` for `file` with its list `line` into
    // the folder `who`; WaitJob() runs until it ends (at most `maxMs`).
    void SendJob(uint32_t number, const std::string& who, const Shared& file,
                 const std::string& line) {
        jobFolder = tmp.Win(who) + "\\";
        jobLine = line;
        const ovEngineJobEntry entries[1] = {{1, 2, (int64_t)file.content.size(), jobFolder.c_str(),
                                              file.name.c_str(), jobLine.c_str()}};
        const ovEngineJob job = {number, "Swarm", 1, entries};
        ovICDNLocalClientLayer* layer = Layer();
        ASSERT_NE(nullptr, layer);
        ASSERT_EQ(OV_S_NETWORK, layer->SendJob(&job));
    }
    void WaitJob(uint32_t number, uint32_t maxMs) {
        ASSERT_TRUE(
            Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }, maxMs));
        EXPECT_EQ("finished " + std::to_string(number) + " 1 0 1 0", probe.calls.back());
    }
    void RunJob(uint32_t number, const std::string& who, const Shared& file,
                const std::string& line, uint32_t maxMs = 60000) {
        ASSERT_NO_FATAL_FAILURE(SendJob(number, who, file, line));
        ASSERT_NO_FATAL_FAILURE(WaitJob(number, maxMs));
    }
    // The file as the engine `who` wrote it.
    std::string Got(const std::string& who, const Shared& file) {
        return ReadNative(tmp.Native(who + "\\" + file.name));
    }
    std::string Log(const std::string& who) { return ReadNative(tmp.Native(who + ".log")); }
    // What nginx sent for the file under `prefix` ("" or "/slow").
    int64_t OriginBytes(const Shared& file, const std::string& prefix = "") const {
        return enginetest::OriginBytes(servers, prefix + "/files/" + file.name);
    }

    // The bytes done in the latest progress report.
    int64_t ProgressDone() const {
        int64_t done = 0;
        for (const std::string& call : probe.calls) {
            long long bytes = 0, total = 0;
            unsigned job = 0, id = 0, counter = 0, index = 0;
            if (sscanf(call.c_str(), "progress %u %u c%u i%u %lld/%lld", &job, &id, &counter,
                       &index, &bytes, &total) == 6)
                done = std::max<int64_t>(done, bytes);
        }
        return done;
    }

    std::string trackerAddress = "127.0.0.1";
    uint16_t trackerPort = 0;
    std::vector<std::string> published;
    std::string jobFolder, jobLine;
};

}  // namespace enginetest
