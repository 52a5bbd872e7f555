// Engines in a swarm with real peers: opentracker as the tracker, nginx as
// the origin and web seed, engines on their own loopback addresses
// (127.0.0.2, 127.0.0.3) and ports, Transmission as a foreign peer, and a
// peer that lies. Native only: the programs run beside the test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdint.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "integration/EngineTestEnv.h"
#include "support/ChildProcess.h"
#include "support/Sha256Hex.h"
#include "support/TestPeers.h"

namespace {

using namespace enginetest;
using childprocess::Child;
using childprocess::Shell;

bool HasProgram(const std::string& name) {
    return !Shell("command -v " + name).empty();
}

// The first IPv4 address of an interface that is up and not the loopback
// one; empty when there is none.
std::string HostAddress() {
    std::string found;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0)
        return found;
    for (ifaddrs* one = all; one && found.empty(); one = one->ifa_next) {
        if (!one->ifa_addr || one->ifa_addr->sa_family != AF_INET || !(one->ifa_flags & IFF_UP) ||
            (one->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN] = {0};
        const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(one->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
            found = text;
    }
    freeifaddrs(all);
    return found;
}

class PeerSwarmTest : public SwarmTest {
  protected:
    void SetUp() override {
        SwarmTest::SetUp();
        trackerPort = engineprocess::FreePort();
        ASSERT_NE(0, trackerPort);
    }
    void TearDown() override {
        SwarmTest::TearDown();
        tracker.Stop();
    }

    // A torrent of libtorrent (hybrid), or of transmission-create (v1 only).
    MadeTorrent MakeTorrent(const Shared& file, bool byTransmission) override {
        if (!byTransmission)
            return SwarmTest::MakeTorrent(file, false);
        const std::string source = tmp.Native("made/" + file.name);
        const std::string out = tmp.Native("made/" + file.name + ".torrent");
        WriteNative(source, file.content);
        Shell("transmission-create -o '" + out + "' -t '" + Announce() + "' '" + source +
              "' >/dev/null 2>&1");
        const MadeTorrent torrent = TorrentFromBytes(ReadNative(out));
        EXPECT_TRUE(torrent.v2.empty()) << "a v1-only torrent was expected";
        return torrent;
    }

    // opentracker on `trackerAddress`, whitelisting `hashes`. It changes root
    // into its folder and runs as "nobody", so the folder is open to all.
    void ServeHashes(const std::vector<std::string>& hashes) override {
        const std::string folder = tmp.Native("tracker");
        std::string list;
        for (const std::string& hash : hashes)
            list += hash + "\n";
        WriteNative(folder + "/whitelist", list);
        std::filesystem::permissions(folder, std::filesystem::perms(0755));
        std::filesystem::permissions(folder + "/whitelist", std::filesystem::perms(0644));
        const std::string at = std::to_string(trackerPort);
        ASSERT_TRUE(tracker.Start({"opentracker", "-i", trackerAddress, "-p", at, "-P", at, "-d",
                                   folder, "-w", "whitelist"},
                                  tmp.Native("tracker.out")));
    }

    Child tracker;
};

// transmission-daemon with its own config folder, peers on `address`, its
// RPC on a free 127.0.0.1 port, DHT, local discovery, port mapping and uTP
// off; torrents come in through its watch folder, data into `downloads`.
class Transmission {
  public:
    bool Start(const std::string& folder, const std::string& address,
               const std::string& downloads) {
        m_folder = folder;
        std::filesystem::create_directories(folder + "/config");
        std::filesystem::create_directories(folder + "/watch");
        std::filesystem::create_directories(downloads);
        m_peerPort = engineprocess::FreePort();
        const uint16_t rpc = engineprocess::FreePort();
        if (!m_peerPort || !rpc)
            return false;
        return m_child.Start({"transmission-daemon",
                              "-f",
                              "-g",
                              folder + "/config",
                              "-w",
                              downloads,
                              "-c",
                              folder + "/watch",
                              "-T",
                              "-p",
                              std::to_string(rpc),
                              "-r",
                              "127.0.0.1",
                              "-P",
                              std::to_string(m_peerPort),
                              "-i",
                              address,
                              "-O",
                              "-Y",
                              "-M",
                              "--no-utp",
                              "--no-incomplete-dir",
                              "-e",
                              folder + "/transmission.log",
                              "--log-info"},
                             folder + "/transmission.out");
    }
    void Add(const MadeTorrent& torrent) {
        // Written aside and moved in: it never sees half a file.
        WriteNative(m_folder + "/added.tmp", torrent.bytes);
        std::filesystem::rename(m_folder + "/added.tmp", m_folder + "/watch/added.torrent");
    }
    // Its log is whole once it ended.
    std::string Log() {
        m_child.Stop(true);
        return ReadNative(m_folder + "/transmission.log") +
               ReadNative(m_folder + "/transmission.out");
    }

  private:
    Child m_child;
    std::string m_folder;
    uint16_t m_peerPort = 0;
};

}  // namespace

// Two engines in one swarm, found through opentracker: the first (on
// 127.0.0.2) fetches the file from the origin and seeds it; the second (on
// 127.0.0.3), whose web seed is slow (64 KiB/s), takes most of it from the
// first. nginx's access log tells what the origin sent to each.
TEST_F(PeerSwarmTest, ASecondEngineTakesTheFileFromTheFirstThroughTheTracker) {
    const Shared file = Publish("swarm", Pattern(4u << 20, 1), false);
    ASSERT_FALSE(HasFailure());
    ASSERT_NO_FATAL_FAILURE(StartPeer(engine, "first", "127.0.0.2"));
    ASSERT_NO_FATAL_FAILURE(RunJob(54, "first", file, Line(file, Origin())));
    ASSERT_EQ(file.content, Got("first", file));
    ASSERT_NO_FATAL_FAILURE(WaitSeeders(file, 1));

    EngineProcess second;
    ASSERT_NO_FATAL_FAILURE(StartPeer(second, "second", "127.0.0.3"));
    ASSERT_NO_FATAL_FAILURE(RunJob(55, "second", file, Line(file, SlowOrigin()), 90000));
    EXPECT_EQ(file.content, Got("second", file));
    EXPECT_NE(std::string::npos, Log("second").find(file.name + ": from the swarm"));
    // Both end cleanly; their web-seed requests are logged by then.
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendParameter("SF_ENGINE_QUIT"));
    int code = -1;
    EXPECT_TRUE(second.WaitExit(30000, &code));
    engine.Stop();
    // The first took the whole file from the origin; the second less than a
    // quarter of it (the rest came from the first).
    EXPECT_GE(OriginBytes(file), (int64_t)file.content.size());
    EXPECT_LT(OriginBytes(file, "/slow"), (int64_t)file.content.size() / 4);
}

// A peer that sends wrong pieces (tests/support/lying_peer.py, on
// 127.0.0.3: no real client lies on demand) is found through the tracker
// and answers every request with wrong bytes. The engine bans it at its
// first wrong piece, and the file ends right from the slow web seed.
TEST_F(PeerSwarmTest, APeerSendingWrongPiecesIsBannedAndTheFileEndsRight) {
    // 64 pieces: the slow web seed alone would take 16 seconds, time enough
    // for the engine to meet the liar.
    const Shared file = Publish("liar", Doc(kBigFile), false);
    ASSERT_FALSE(HasFailure());
    const uint16_t liarPort = engineprocess::FreePort();
    ASSERT_NE(0, liarPort);
    Child liar;
    ASSERT_TRUE(liar.Start({"python3", SF_LYING_PEER, "--tracker", Announce(), "--info-hash",
                            file.torrent.v1, "--info-hash", file.torrent.v2.substr(0, 40),
                            "--pieces", std::to_string(file.content.size() / 16384), "--ip",
                            "127.0.0.3", "--port", std::to_string(liarPort)},
                           tmp.Native("liar.out")));
    // It serves once the tracker took both its hashes.
    const auto announced = [&] {
        const std::string out = ReadNative(tmp.Native("liar.out"));
        size_t count = 0;
        for (size_t at = out.find("announced"); at != std::string::npos;
             at = out.find("announced", at + 1))
            ++count;
        return count == 2;
    };
    ASSERT_TRUE(libraryloop::RunUntil(announced, 30000, 100)) << ReadNative(tmp.Native("liar.out"));
    ASSERT_NO_FATAL_FAILURE(WaitSeeders(file, 1));

    ASSERT_NO_FATAL_FAILURE(StartPeer(engine, "player", "127.0.0.2"));
    ASSERT_NO_FATAL_FAILURE(RunJob(56, "player", file, Line(file, SlowOrigin()), 90000));
    EXPECT_EQ(file.content, Got("player", file));
    const std::string said = Log("player");
    EXPECT_NE(std::string::npos, said.find("hash for piece")) << said;
    EXPECT_NE(std::string::npos, said.find("127.0.0.3")) << said;
    EXPECT_NE(std::string::npos, said.find("banned peer")) << said;
}

// Every peer gone mid-file: the first engine (uploads capped at 128 KiB/s)
// serves part of the file to the second, then ends; the second finishes
// from its slow web seed alone.
TEST_F(PeerSwarmTest, EveryPeerGoneMidFileLeavesTheWebSeed) {
    const Shared file = Publish("gone", Doc(kBigFile), false);
    ASSERT_FALSE(HasFailure());
    ASSERT_NO_FATAL_FAILURE(
        StartPeer(engine, "first", "127.0.0.2", {{"SF_ENGINE_UPLOAD_CAP", "131072"}}));
    ASSERT_NO_FATAL_FAILURE(RunJob(57, "first", file, Line(file, Origin())));
    ASSERT_NO_FATAL_FAILURE(WaitSeeders(file, 1));

    EngineProcess second;
    ASSERT_NO_FATAL_FAILURE(StartPeer(second, "second", "127.0.0.3"));
    ASSERT_NO_FATAL_FAILURE(SendJob(58, "second", file, Line(file, SlowOrigin())));
    // A quarter of the file is more than the web seed alone brings before
    // the first progress report or two; then the only peer ends.
    ASSERT_TRUE(Run(
        [&] {
            return ProgressDone() >= (int64_t)file.content.size() / 4 ||
                   probe.Count("finished") > 0;
        },
        60000));
    ASSERT_EQ(0, probe.Count("finished")) << "done before the peer could go";
    engine.Stop();
    ASSERT_NO_FATAL_FAILURE(WaitJob(58, 90000));
    EXPECT_EQ(file.content, Got("second", file));
    EXPECT_GT(OriginBytes(file, "/slow"), 0);
}

// The origin gone while a peer holds the whole file: the second engine
// fetches the torrent from an origin of its own (nginx on a free port),
// which is stopped as soon as the engine has it; every byte then comes from
// the first engine, and the file is the one the list's hash names.
TEST_F(PeerSwarmTest, TheOriginGoneWhileAPeerHoldsTheFileLeavesThePeer) {
    const Shared file = Publish("origin", Pattern(2u << 20, 2), false);
    ASSERT_FALSE(HasFailure());
    ASSERT_NO_FATAL_FAILURE(StartPeer(engine, "first", "127.0.0.2"));
    ASSERT_NO_FATAL_FAILURE(RunJob(59, "first", file, Line(file, Origin())));
    ASSERT_NO_FATAL_FAILURE(WaitSeeders(file, 1));

    // The second engine's origin: the same files at 64 KiB/s, so its web
    // seed alone could not have brought much before it went.
    const std::string own = tmp.Native("origin");
    const uint16_t originPort = engineprocess::FreePort();
    ASSERT_NE(0, originPort);
    const std::string nginx = ". '" SF_SOURCE_DIR "/scripts/lib/nginx.sh' && ";
    Shell(nginx + "nginx_write_conf '" + own +
          "' <<'EOF'\nserver { listen 127.0.0.1:" + std::to_string(originPort) +
          "; location /files/ { alias " + servers.DocRootPath("files") +
          "/; limit_rate 64k; } }\nEOF\nnginx_start '" + own + "' >/dev/null 2>&1");
    struct Stopper {
        std::string command;
        ~Stopper() { Shell(command); }
    } stopper = {nginx + "nginx_stop '" + own + "'"};
    const std::string base = "http://127.0.0.1:" + std::to_string(originPort);
    // curl's answer: the status, or its exit code 7 once the port refuses.
    const std::string ask = "curl -s -m 2 -o /dev/null -w '%{http_code}' " + base + "/files/" +
                            file.name + ".torrent; echo \" $?\"";
    ASSERT_TRUE(libraryloop::RunUntil([&] { return Shell(ask) == "200 0\n"; }, 10000, 100))
        << Shell(ask);

    EngineProcess second;
    ASSERT_NO_FATAL_FAILURE(StartPeer(second, "second", "127.0.0.3"));
    const std::string line = Line(file, base);
    ASSERT_NO_FATAL_FAILURE(SendJob(60, "second", file, line));
    ASSERT_TRUE(libraryloop::RunUntil(
        [&] { return Log("second").find(file.name + ": from the swarm") != std::string::npos; },
        30000, 20))
        << Log("second");
    Shell(stopper.command);
    ASSERT_TRUE(libraryloop::RunUntil([&] { return Shell(ask) == "000 7\n"; }, 10000, 100))
        << Shell(ask);
    ASSERT_NO_FATAL_FAILURE(WaitJob(60, 90000));
    const std::string got = Got("second", file);
    EXPECT_EQ(file.content, got);
    // The hash the line names, as the library checks what an engine reports.
    EXPECT_EQ(line.substr(line.find("sha256=") + 7, 64), sftest::Sha256Hex(got));
    EXPECT_LT(LoggedBytes(own + "/logs/access.log", "/files/" + file.name),
              (int64_t)file.content.size() / 2);
}

// Transmission as a foreign peer, with a torrent of its own tool
// (transmission-create: v1 only, so the list names it by its v1 hash).
// Transmission 3.00 takes no peer on 127/8 (neither from a tracker nor
// connecting in) and tells peers apart by address alone, so the engine and
// the tracker use the machine's own address (libtorrent announces to no
// loopback tracker from an address that is not one), Transmission 127.0.0.4.
class TransmissionSwarmTest : public PeerSwarmTest {
  protected:
    void SetUp() override {
        PeerSwarmTest::SetUp();
        if (!HasProgram("transmission-daemon") || !HasProgram("transmission-create"))
            GTEST_SKIP() << "transmission-daemon or transmission-create is not installed "
                            "(Debian: transmission-daemon, transmission-cli)";
        host = HostAddress();
        if (host.empty())
            GTEST_SKIP() << "no IPv4 address but the loopback one, which Transmission 3.00 "
                            "does not take peers on";
        trackerAddress = host;
    }
    std::string host;
};

// A Transmission seeder serves the engine, whose web seed is slow: the
// origin sends less than half the file, the rest comes from Transmission.
// The web seed alone would take a minute: Transmission unchokes a new peer
// only at its next round, up to ten seconds on, and answers a request only
// at its next half-second beat, so it brings much only while there are
// blocks the web seed has not asked for yet.
TEST_F(TransmissionSwarmTest, ATransmissionSeederServesTheEngine) {
    const Shared file = Publish("from-transmission", Pattern(4u << 20, 3), true);
    ASSERT_FALSE(HasFailure());
    Transmission seeder;
    const std::string downloads = tmp.Native("transmission-data");
    WriteNative(downloads + "/" + file.name, file.content);
    ASSERT_TRUE(seeder.Start(tmp.Native("transmission"), "127.0.0.4", downloads));
    seeder.Add(file.torrent);
    ASSERT_NO_FATAL_FAILURE(WaitSeeders(file, 1)) << seeder.Log();

    ASSERT_NO_FATAL_FAILURE(StartPeer(engine, "player", host));
    ASSERT_NO_FATAL_FAILURE(RunJob(61, "player", file, Line(file, SlowOrigin()), 90000));
    EXPECT_EQ(file.content, Got("player", file));
    EXPECT_NE(std::string::npos, Log("player").find(file.name + ": from the swarm"))
        << Log("player");
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendParameter("SF_ENGINE_QUIT"));
    int code = -1;
    EXPECT_TRUE(engine.WaitExit(30000, &code));
    EXPECT_LT(OriginBytes(file, "/slow"), (int64_t)file.content.size() / 2)
        << Log("player") << seeder.Log();
}

// The engine serves a Transmission leecher; the torrent names no web seed,
// so every byte Transmission has came from the engine. The engine connects
// to Transmission, not the other way: libtorrent binds each listen socket
// on Linux to the device holding its address, so a connection from
// 127.0.0.4 to the machine's own address (which comes over the loopback
// device) never reaches it. So Transmission announces first, and the
// engine finds it in the answer to its own first announce. By then the
// engine holds the whole file (it fetched it before and restarts on its
// resume data): a piece libtorrent checks while a handshake is under way
// reaches neither that handshake's bitfield nor a later "have", and
// Transmission never asked for it.
TEST_F(TransmissionSwarmTest, TheEngineServesATransmissionLeecher) {
    const Shared file = Publish("to-transmission", Pattern(256u << 10, 4), true);
    ASSERT_FALSE(HasFailure());
    ASSERT_NO_FATAL_FAILURE(StartPeer(engine, "seeder", host));
    ASSERT_NO_FATAL_FAILURE(RunJob(62, "seeder", file, Line(file, Origin())));
    ASSERT_EQ(file.content, Got("seeder", file));
    const int64_t origin = OriginBytes(file);
    ASSERT_GE(origin, (int64_t)file.content.size());
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendParameter("SF_ENGINE_QUIT"));
    int code = -1;
    ASSERT_TRUE(engine.WaitExit(30000, &code));

    Transmission leecher;
    const std::string downloads = tmp.Native("transmission-data");
    ASSERT_TRUE(leecher.Start(tmp.Native("transmission"), "127.0.0.4", downloads));
    leecher.Add(file.torrent);
    ASSERT_NO_FATAL_FAILURE(WaitLeechers(file, 1)) << leecher.Log();
    ASSERT_NO_FATAL_FAILURE(StartPeer(engine, "seeder", host));
    ASSERT_NO_FATAL_FAILURE(RunJob(63, "seeder", file, Line(file, Origin())));
    const std::string path = downloads + "/" + file.name;
    EXPECT_TRUE(libraryloop::RunUntil(
        [&] {
            std::error_code ec;
            return std::filesystem::file_size(path, ec) == file.content.size() &&
                   ReadNative(path) == file.content;
        },
        30000, 200))
        << leecher.Log() << Log("seeder");
    // It was the engine, from what it held: the origin sent nothing more.
    EXPECT_EQ(origin, OriginBytes(file));
}
