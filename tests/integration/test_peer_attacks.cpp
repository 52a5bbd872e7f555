// The engine's swarm path under attack: what a hostile mirror puts in a
// torrent beside its info, what a local user plants in the engine's state
// folder or the download folder, and a torrent answer that never ends. Each
// case sends the hostile input to a real engine process and checks that the
// file still ends right and nothing outside its folder is touched.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <string>
#include <vector>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/write_resume_data.hpp>

#include "integration/EngineTestEnv.h"
#include "tools/engine/TorrentCheck.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace enginetest;

namespace {

class PeerAttackTest : public EngineTest {
  protected:
    // Bytes of a file no other test serves (16 pieces of 16 KiB).
    static std::string Content(size_t size = 256u << 10) {
        std::string content(size, '\0');
        for (size_t i = 0; i < content.size(); ++i)
            content[i] = (char)((i * 2246822519u) >> 23);
        return content;
    }

    // Runs one job of `name` in `folder` (Windows form, with its separator)
    // from `url` and waits for its end; true when it finished with the file.
    bool RunJob(uint32_t number, const std::string& folder, const std::string& name,
                const std::string& url, int64_t size) {
        const ovEngineJobEntry entries[1] = {
            {1, 2, size, folder.c_str(), name.c_str(), url.c_str()}};
        const ovEngineJob job = {number, "Attack", 1, entries};
        if (Layer()->SendJob(&job) != OV_S_NETWORK)
            return false;
        if (!Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }, 90000))
            return false;
        // "finished <job> <engine's id> 0 <files> 0"
        const std::string& last = probe.calls.back();
        const std::string head = "finished " + std::to_string(number) + " ";
        return last.compare(0, head.size(), head) == 0 && last.size() > head.size() + 6 &&
               last.substr(last.size() - 6) == " 0 1 0";
    }

    void TearDown() override {
        for (const std::string& doc : m_served)
            std::filesystem::remove(servers.DocRootPath(doc));
        EngineTest::TearDown();
    }

#ifndef _WIN32
    // A file of the origin (`stem`-<pid>.pak), a copy at "foreign-<name>"
    // and its torrent naming `webSeed`; removed again when the test ends.
    struct Served {
        std::string content, name, doc, foreign;
        MadeTorrent torrent;
    };
    Served Serve(const std::string& stem, const std::string& webSeed = "http://127.0.0.1:1/x") {
        Served s;
        s.content = Content();
        s.name = stem + "-" + std::to_string(getpid()) + ".pak";
        s.doc = "files/" + s.name;
        s.foreign = "files/foreign-" + s.name;
        WriteNative(servers.DocRootPath(s.doc), s.content);
        WriteNative(servers.DocRootPath(s.foreign), s.content);
        s.torrent = TorrentOf(tmp.Native("scratch"), {{s.name, s.content}},
                              webSeed.empty() ? servers.HttpUrl("/" + s.foreign) : webSeed);
        WriteNative(servers.DocRootPath(s.doc + ".torrent"), s.torrent.bytes);
        m_served.insert(m_served.end(), {s.doc, s.foreign, s.doc + ".torrent"});
        return s;
    }

    // The engine on 127.0.0.2, logging to engine.log, its state in `state`.
    void StartPeerEngine(const std::string& state) {
        StartEngine(
            {{"SF_ENGINE_LOG", tmp.Native("engine.log")},
             {"SF_ENGINE_PEER_LISTEN", "127.0.0.2:" + std::to_string(engineprocess::FreePort())},
             {"SF_ENGINE_STATE_DIR", state}});
    }

#endif

  private:
    std::vector<std::string> m_served;
};

}  // namespace

// "<URL>.torrent" answered a byte every three seconds: never idle long
// enough for the HTTP time-out, a megabyte would take weeks. The engine
// gives it up after its deadline and takes the file over HTTP; the
// torrent's bytes were never reported as the file's progress (the
// library would take them for a download that moves).
TEST_F(PeerAttackTest, ATorrentAnswerThatDripsIsGivenUpAndIsNoProgress) {
    const std::string log = tmp.Native("engine.log");
    const std::string name = "drip.pak";
    StartEngine({{"SF_ENGINE_LOG", log}});
    const std::string url = servers.FaultUrl("/drip/peer-attack-" + std::to_string(port)) +
                            "#btih=" + std::string(64, 'a');
    ASSERT_TRUE(Connect());
    const std::string folder = tmp.Win("player") + "\\";
    const ovEngineJobEntry entries[1] = {{1, 2, 1000, folder.c_str(), name.c_str(), url.c_str()}};
    const ovEngineJob job = {64, "Drip", 1, entries};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
    const std::string said = name + ": its torrent came too slowly; fetched over HTTP";
    ASSERT_TRUE(Run([&] { return ReadNative(log).find(said) != std::string::npos; },
                    (kTorrentFetchDeadlineSec + 20) * 1000))
        << ReadNative(log);
    // The file's own drip sends its first byte three seconds after this.
    int reports = 0;
    for (const std::string& call : probe.calls) {
        long long bytes = 0, total = 0;
        unsigned number = 0, id = 0, counter = 0, index = 0;
        if (sscanf(call.c_str(), "progress %u %u c%u i%u %lld/%lld", &number, &id, &counter, &index,
                   &bytes, &total) == 6) {
            ++reports;
            EXPECT_EQ(0, bytes) << call;
        }
    }
    EXPECT_GE(reports, kTorrentFetchDeadlineSec / 2);
}

#ifndef _WIN32
// The torrent's url-list lies outside its info, so whoever serves the
// torrent can add web seeds without changing its hash: they point at
// another path of nginx here, which must never be asked. The list's own
// URL (the slow path) brings the file alone.
TEST_F(PeerAttackTest, WebSeedsNamedByTheTorrentAreNeverAsked) {
    const Served file = Serve("seeds", "");
    const std::string &content = file.content, &name = file.name, &doc = file.doc;
    const std::string log = tmp.Native("engine.log");
    StartPeerEngine(tmp.Native("state"));
    ASSERT_TRUE(Connect());
    EXPECT_TRUE(RunJob(61, tmp.Win("player") + "\\", name,
                       servers.HttpUrl("/slow/" + doc) + "#btih=" + file.torrent.v2,
                       (int64_t)content.size()))
        << probe.calls.back();
    EXPECT_TRUE(content == ReadNative(tmp.Native("player\\" + name)));
    EXPECT_NE(std::string::npos, ReadNative(log).find(name + ": from the swarm"));
    engine.Stop();
    EXPECT_GT(OriginBytes(servers, "/slow/" + doc), 0);
    EXPECT_EQ(0, OriginBytes(servers, "/" + file.foreign));
}

// Resume data planted in the state folder under the torrent's key: it
// claims every piece, maps the file to a path outside its folder, names
// another save path, a foreign web seed and tracker, and asks for upload
// mode (never download). Only what a torrent's progress is may be taken
// from it: the file is fetched into its own folder from the list's URL.
TEST_F(PeerAttackTest, PlantedResumeDataMovesNothingAndAddsNoSeed) {
    const Served file = Serve("resume");
    const std::string &content = file.content, &name = file.name, &doc = file.doc;
    const MadeTorrent& torrent = file.torrent;

    lt::error_code ec;
    lt::add_torrent_params planted;
    planted.ti = std::make_shared<lt::torrent_info>(
        lt::span<const char>(torrent.bytes.data(), (std::ptrdiff_t)torrent.bytes.size()), ec,
        lt::from_span);
    ASSERT_FALSE(ec) << ec.message();
    planted.info_hashes = planted.ti->info_hashes();
    planted.save_path = tmp.Native("elsewhere");
    planted.renamed_files[lt::file_index_t(0)] = tmp.Native("outside/" + name);
    planted.url_seeds = {servers.HttpUrl("/" + file.foreign)};
    planted.trackers = {"http://127.0.0.1:" + std::to_string(testpeers::RefusedPort()) + "/a"};
    planted.flags = lt::torrent_flags::upload_mode;
    planted.have_pieces.resize(planted.ti->num_pieces(), true);
    const std::vector<char> resume = lt::write_resume_data_buf(planted);
    WriteNative(tmp.Native("state/" + torrent.v2 + ".resume"),
                std::string(resume.begin(), resume.end()));

    StartPeerEngine(tmp.Native("state"));
    ASSERT_TRUE(Connect());
    EXPECT_TRUE(RunJob(62, tmp.Win("player") + "\\", name,
                       servers.HttpUrl("/slow/" + doc) + "#btih=" + torrent.v2,
                       (int64_t)content.size()))
        << probe.calls.back();
    EXPECT_TRUE(content == ReadNative(tmp.Native("player\\" + name)));
    engine.Stop();
    EXPECT_FALSE(std::filesystem::exists(tmp.Native("outside")));
    EXPECT_FALSE(std::filesystem::exists(tmp.Native("elsewhere")));
    EXPECT_EQ(0, OriginBytes(servers, "/" + file.foreign));
}

// Links a local user put in the download folder where the engine writes:
// at the file's name (libtorrent would open it and write through it; so
// would the HTTP path) or at the name the torrent is fetched to. Each is
// replaced by a file of the engine's own; the files they point at keep
// their bytes.
TEST_F(PeerAttackTest, LinksInTheDownloadFolderAreReplacedNeverWrittenThrough) {
    const std::string content = Content();
    struct Case {
        const char* name;
        const char* linked;  // the name in the folder that is a link
        bool hard;
        bool swarm;  // the line names the torrent
    };
    const Case cases[] = {
        {"peer-sym.pak", "peer-sym.pak", false, true},
        {"peer-hard.pak", "peer-hard.pak", true, true},
        {"fetch-sym.pak", "fetch-sym.pak.torrent-fetch", false, true},
        {"http-sym.pak", "http-sym.pak", false, false},
    };
    const std::string precious(content.size() + 100, 'p');
    std::vector<std::string> urls, docs;
    std::vector<ovEngineJobEntry> entries;
    const std::string folder = tmp.Win("player") + "\\";
    std::filesystem::create_directories(tmp.Native("player"));
    for (const Case& c : cases) {
        const std::string doc = "files/" + std::to_string(getpid()) + "-" + c.name;
        docs.push_back(doc);
        const auto made =
            TorrentOf(tmp.Native("scratch/") + c.name, {{c.name, content}}, "http://127.0.0.1:1/x");
        WriteNative(servers.DocRootPath(doc), content);
        WriteNative(servers.DocRootPath(doc + ".torrent"), made.bytes);
        urls.push_back(servers.HttpUrl("/" + doc) + (c.swarm ? "#btih=" + made.v2 : ""));
        const std::string outside = tmp.Native(std::string("outside/") + c.name);
        WriteNative(outside, precious);
        std::error_code ec;
        if (c.hard)
            std::filesystem::create_hard_link(outside,
                                              tmp.Native(std::string("player/") + c.linked), ec);
        else
            std::filesystem::create_symlink(outside, tmp.Native(std::string("player/") + c.linked),
                                            ec);
        ASSERT_FALSE(ec) << ec.message();
    }
    for (size_t i = 0; i < urls.size(); ++i)
        entries.push_back(
            {1, 2, (int64_t)content.size(), folder.c_str(), cases[i].name, urls[i].c_str()});
    StartEngine(
        {{"SF_ENGINE_LOG", tmp.Native("engine.log")},
         {"SF_ENGINE_PEER_LISTEN", "127.0.0.2:" + std::to_string(engineprocess::FreePort())},
         {"SF_ENGINE_STATE_DIR", tmp.Native("state")}});
    ASSERT_TRUE(Connect());
    const ovEngineJob job = {63, "Links", (int32_t)entries.size(), entries.data()};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }, 90000));
    EXPECT_EQ("finished 63 1 0 " + std::to_string(entries.size()) + " 0", probe.calls.back());
    engine.Stop();
    const std::string said = ReadNative(tmp.Native("engine.log"));
    for (const Case& c : cases) {
        EXPECT_TRUE(precious == ReadNative(tmp.Native(std::string("outside/") + c.name))) << c.name;
        const std::string path = tmp.Native(std::string("player/") + c.name);
        EXPECT_FALSE(std::filesystem::is_symlink(path)) << c.name;
        EXPECT_TRUE(content == ReadNative(path)) << c.name;
        if (c.swarm) {
            EXPECT_NE(std::string::npos, said.find(std::string(c.name) + ": from the swarm"))
                << said;
        }
    }
    for (const std::string& doc : docs) {
        std::filesystem::remove(servers.DocRootPath(doc));
        std::filesystem::remove(servers.DocRootPath(doc + ".torrent"));
    }
}

// The state folder may be open to others too: a FIFO where the resume data
// is read (opening it would wait for a writer for ever) and a link where
// the new resume data is written first. The file still comes, the FIFO is
// not waited on and the linked file keeps its bytes.
TEST_F(PeerAttackTest, AFifoAndALinkInTheStateFolderAreNotFollowed) {
    const Served file = Serve("state");
    const std::string &content = file.content, &name = file.name, &doc = file.doc;
    const MadeTorrent& torrent = file.torrent;
    const std::string state = tmp.Native("state");
    std::filesystem::create_directories(state);
    ASSERT_EQ(0, mkfifo((state + "/" + torrent.v2 + ".resume").c_str(), 0600));
    const std::string outside = tmp.Native("outside");
    WriteNative(outside, "precious");
    std::filesystem::create_symlink(outside, state + "/" + torrent.v2 + ".resume.new");
    StartPeerEngine(state);
    ASSERT_TRUE(Connect());
    EXPECT_TRUE(RunJob(65, tmp.Win("player") + "\\", name,
                       servers.HttpUrl("/" + doc) + "#btih=" + torrent.v2, (int64_t)content.size()))
        << probe.calls.back();
    EXPECT_TRUE(content == ReadNative(tmp.Native("player\\" + name)));
    // The resume data is written as the engine ends.
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendParameter("SF_ENGINE_QUIT"));
    int code = -1;
    EXPECT_TRUE(engine.WaitExit(30000, &code));
    EXPECT_EQ("precious", ReadNative(outside));
    EXPECT_TRUE(std::filesystem::is_regular_file(state + "/" + torrent.v2 + ".resume"));
}

// The same torrent for two folders (two installs of one game): the session
// holds it once, for the first. The second file must not be reported done
// from the first one's state; it comes over HTTP into its own folder.
TEST_F(PeerAttackTest, OneTorrentForTwoFoldersFetchesTheSecondItself) {
    const Served file = Serve("twice");
    const std::string &content = file.content, &name = file.name, &doc = file.doc;
    const MadeTorrent& torrent = file.torrent;
    const std::string log = tmp.Native("engine.log");
    StartPeerEngine(tmp.Native("state"));
    ASSERT_TRUE(Connect());
    const std::string url = servers.HttpUrl("/" + doc) + "#btih=" + torrent.v2;
    ASSERT_TRUE(RunJob(68, tmp.Win("first") + "\\", name, url, (int64_t)content.size()));
    probe.calls.clear();
    EXPECT_TRUE(RunJob(69, tmp.Win("second") + "\\", name, url, (int64_t)content.size()))
        << probe.calls.back();
    EXPECT_TRUE(content == ReadNative(tmp.Native("first\\" + name)));
    EXPECT_TRUE(content == ReadNative(tmp.Native("second\\" + name)));
    EXPECT_NE(std::string::npos,
              ReadNative(log).find(name + ": the swarm cannot take it (the swarm has it for "
                                          "another folder); fetched over HTTP"))
        << ReadNative(log);
}
#endif
