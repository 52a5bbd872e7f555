// The engine (tools/engine/ldDownload) as a child process against the
// library's real engine layer: a fixture that starts engines on free ports
// and connects to them, and torrents made for its swarm path.
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
#include "opn/opeerqos/nwEngineMessages.h"
#include "opn/opeerqos/ovICDNLocalClientLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfSocket.h"
#include "sdk/support/HexBytes.h"
#include "support/EngineProbe.h"
#include "support/EngineProcess.h"
#include "support/LibraryLoop.h"
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

}  // namespace enginetest
