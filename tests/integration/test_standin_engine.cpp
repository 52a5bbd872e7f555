// The stand-in engine (tools/engine/ldDownload) as a child process against
// the library's real engine layer on a free port: jobs downloaded from nginx
// byte for byte, the resume question, every behaviour, bad bytes and its own
// end. The test thread is the library thread.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/nwEngineMessages.h"
#include "opn/opeerqos/nwFrame.h"
#include "opn/opeerqos/nwRedirect.h"
#include "opn/opeerqos/ovICDNLocalClientLayer.h"
#include "opn/opeerqos/ovIQoSContext.h"
#include "opn/platform/pfMessageLoop.h"
#include "opn/platform/pfSocket.h"
#include "support/EngineProbe.h"
#include "support/EngineProcess.h"
#include "support/LibraryLoop.h"
#include "support/TestServers.h"
#include "unit/SupportTestEnv.h"

#include <iterator>

#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/torrent_info.hpp>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using engineprobe::Probe;
using engineprocess::EngineProcess;

namespace {

const char kBigFile[] = "files/random-1m.bin";

std::string ReadNative(const std::string& path) {
    return supporttest::ReadWholeFile(path);
}

void WriteNative(const std::string& path, const std::string& bytes) {
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

}  // namespace

TEST_F(StandInEngineTest, JobIsDownloadedByteForByteWithReportsInOrder) {
    StartEngine();
    ASSERT_TRUE(Connect());
    const std::string folder = tmp.Win("game\\data") + "\\";
    const std::string gameFolder = tmp.Win("game");
    const std::string big = servers.HttpUrl(std::string("/") + kBigFile);
    const std::string list = servers.HttpUrl("/files/list.txt");
    const std::string empty = servers.HttpUrl("/files/empty.txt");
    const std::string bigBytes = Doc(kBigFile), listBytes = Doc("files/list.txt");
    // The first size is unknown, so the engine measures it.
    const ovEngineJobEntry entries[3] = {
        {1, 2, -1, folder.c_str(), "big.bin", big.c_str()},
        {1, 2, (int64_t)listBytes.size(), gameFolder.c_str(), "list.txt", list.c_str()},
        {1, 2, 0, folder.c_str(), "empty.txt", empty.c_str()},
    };
    const ovEngineJob job = {41, "Game", 3, entries};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJobMode(true));
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendServiceCode("SVC"));
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJobFlag(41));
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }));

    EXPECT_EQ(bigBytes, ReadNative(tmp.Native("game\\data\\big.bin")));
    EXPECT_EQ(listBytes, ReadNative(tmp.Native("game\\list.txt")));
    EXPECT_EQ("", ReadNative(tmp.Native("game\\data\\empty.txt")));
    EXPECT_TRUE(std::filesystem::exists(tmp.Native("game\\data\\empty.txt")));

    const std::string total = std::to_string(bigBytes.size() + listBytes.size());
    const int accepted = Find("accepted 41 ");
    ASSERT_GE(accepted, 0);
    EXPECT_EQ("accepted 41 1 3 " + total, probe.calls[(size_t)accepted]);
    std::vector<std::string> done;
    for (const std::string& call : probe.calls)
        if (call.compare(0, 5, "done ") == 0)
            done.push_back(call);
    const std::vector<std::string> expectedDone = {
        "done 41 1 '" + folder + "big.bin' '" + big + "'",
        "done 41 1 '" + tmp.Win("game") + "\\list.txt' '" + list + "'",
        "done 41 1 '" + folder + "empty.txt' '" + empty + "'"};
    EXPECT_EQ(expectedDone, done);
    EXPECT_EQ("finished 41 1 0 3 0", probe.calls.back());
    EXPECT_LT(accepted, Find("done "));
    EXPECT_EQ(0, probe.Count("closed"));
}

TEST_F(StandInEngineTest, ProgressComesOnceASecondForTheCurrentFile) {
    // Slowed down so the 1 MiB file takes a few seconds.
    StartEngine({{"SF_ENGINE_BEHAVIOUR", "rate=300000"}});
    ASSERT_TRUE(Connect());
    const std::string folder = tmp.Win("slow") + "\\";
    const std::string url = servers.HttpUrl(std::string("/") + kBigFile);
    const ovEngineJobEntry entry = {0, 0, 1048576, folder.c_str(), "big.bin", url.c_str()};
    const ovEngineJob job = {5, "Slow", 1, &entry};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }));
    ASSERT_EQ("finished 5 1 0 1 0", probe.calls.back());
    // The counter is the job's file count, the index the current file.
    ASSERT_GE(probe.Count("progress 5 1 c1 i0 "), 1);
    // Every progress line: job bytes of 1048576, one entry report of the
    // file, never more done than there is.
    uint64_t last = 0;
    for (const std::string& call : probe.calls) {
        if (call.compare(0, 9, "progress ") != 0)
            continue;
        SCOPED_TRACE(call);
        unsigned long long doneBytes = 0, totalBytes = 0, fileDone = 0, fileTotal = 0;
        char name[64] = {0};
        ASSERT_EQ(5,
                  sscanf(call.c_str(), "progress 5 1 c1 i0 %llu/%llu %*u t%*u n1 [%63s %llu/%llu",
                         &doneBytes, &totalBytes, name, &fileDone, &fileTotal));
        EXPECT_EQ(1048576u, totalBytes);
        EXPECT_EQ(1048576u, fileTotal);
        EXPECT_EQ(std::string("big.bin"), name);
        EXPECT_EQ(doneBytes, fileDone);
        EXPECT_LE(doneBytes, totalBytes);
        EXPECT_GE(doneBytes, last);
        last = doneBytes;
    }
    EXPECT_EQ(Doc(kBigFile), ReadNative(tmp.Native("slow\\big.bin")));
}

TEST_F(StandInEngineTest, LargeJobSentInPiecesIsDownloaded) {
    StartEngine();
    ASSERT_TRUE(Connect());
    const std::string folder = tmp.Win("many") + "\\";
    // URLs long enough that the job no longer fits one message.
    const std::string url = servers.HttpUrl("/files/list.txt?" + std::string(500, 'p'));
    const int kFiles = 250;
    std::vector<std::string> names;
    for (int i = 0; i < kFiles; ++i)
        names.push_back("f" + std::to_string(i) + ".txt");
    std::vector<ovEngineJobEntry> entries;
    for (int i = 0; i < kFiles; ++i)
        entries.push_back({0, 0, -1, folder.c_str(), names[(size_t)i].c_str(), url.c_str()});
    const ovEngineJob job = {9, "Many", kFiles, entries.data()};
    ASSERT_GT(nwEngineJobSize(&job), (int32_t)kEngineWholeJobLimit);
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJobBegin(9, kFiles, "Many"));
    // Out of order on purpose: the index places each file.
    for (int i = kFiles - 1; i >= 0; --i)
        ASSERT_EQ(OV_S_NETWORK, Layer()->SendJobEntry(9, (uint32_t)i, &entries[(size_t)i]));
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJobEnd(9));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }, 120000));
    const std::string list = Doc("files/list.txt");
    EXPECT_EQ("accepted 9 1 250 " + std::to_string(list.size() * kFiles), probe.calls[1]);
    EXPECT_EQ(kFiles, probe.Count("done 9 1 "));
    EXPECT_EQ("finished 9 1 0 250 0", probe.calls.back());
    for (int i = 0; i < kFiles; i += 49)
        EXPECT_EQ(list, ReadNative(tmp.Native("many\\" + names[(size_t)i]))) << i;
    EXPECT_EQ(list, ReadNative(tmp.Native("many\\" + names.back())));
}

TEST_F(StandInEngineTest, PartlyPresentFileBringsTheResumeQuestion) {
    StartEngine();
    ASSERT_TRUE(Connect());
    const std::string url = servers.HttpUrl(std::string("/") + kBigFile);
    const std::string real = Doc(kBigFile);
    ASSERT_EQ(1048576u, real.size());
    struct Case {
        bool resume;
        const char* folder;
    };
    const Case cases[] = {{true, "yes"}, {false, "no"}};
    uint32_t jobNumber = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        probe.calls.clear();
        // A first part that differs from the server's: a resumed file keeps
        // it, a file started over does not.
        const std::string head(300000, 'X');
        WriteNative(tmp.Native(std::string(c.folder) + "\\big.bin"), head);
        const std::string folder = tmp.Win(c.folder) + "\\";
        const ovEngineJobEntry entry = {0, 0, -1, folder.c_str(), "big.bin", url.c_str()};
        const ovEngineJob job = {++jobNumber, "Resume", 1, &entry};
        ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
        ASSERT_TRUE(Run([&] { return probe.Count("resume? ") + probe.Count("closed") > 0; }));
        ASSERT_EQ(1, probe.Count("resume? " + std::to_string(jobNumber)));
        const int accepted = Find("accepted ");
        ASSERT_GE(accepted, 0);
        unsigned job1 = 0, engineId = 0;
        ASSERT_EQ(
            2, sscanf(probe.calls[(size_t)accepted].c_str(), "accepted %u %u", &job1, &engineId));
        ASSERT_EQ(OV_S_NETWORK, Layer()->SendResumeReply(engineId, jobNumber, c.resume, false));
        ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }));
        EXPECT_EQ(1, probe.Count("finished " + std::to_string(jobNumber) + " "));
        const std::string got = ReadNative(tmp.Native(std::string(c.folder) + "\\big.bin"));
        EXPECT_EQ(c.resume ? head + real.substr(head.size()) : real, got);
    }
}

// A file already whole at its known size is kept and reported done without
// a request: its URL leads nowhere, and its bytes stay.
TEST_F(StandInEngineTest, AWholeFileAtItsKnownSizeIsKept) {
    StartEngine();
    ASSERT_TRUE(Connect());
    const std::string kept(4096, 'K');
    WriteNative(tmp.Native("kept\\whole.bin"), kept);
    const std::string folder = tmp.Win("kept") + "\\";
    const std::string url = servers.HttpUrl("/nothing/here/whole.bin");
    const ovEngineJobEntry entry = {0,           0,          (int64_t)kept.size(), folder.c_str(),
                                    "whole.bin", url.c_str()};
    const ovEngineJob job = {77, "Kept", 1, &entry};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }));
    EXPECT_EQ(1, probe.Count("done 77 "));
    EXPECT_EQ("finished 77 1 0 1 0", probe.calls.back());
    EXPECT_EQ(kept, ReadNative(tmp.Native("kept\\whole.bin")));
}

TEST_F(StandInEngineTest, BehavioursChosenByTheEnvironment) {
    struct Case {
        const char* behaviour;
        std::vector<std::string> expected;  // after "connected"
    };
    const Case cases[] = {
        {"give-up", {"finished 3 1 0 0 1"}},
        {"fail=No, not now", {"failed 3 0 'No, not now' tail 0..0"}},
        {"disk-full", {"accepted 3 1 1 0", "disk 3 1 1 'Not enough disk space'"}},
        {"drop-after-accept", {"accepted 3 1 1 0", "closed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.behaviour);
        StartEngine({{"SF_ENGINE_BEHAVIOUR", c.behaviour}});
        ASSERT_TRUE(Connect());
        const std::string folder = tmp.Win("b") + "\\";
        const std::string url = servers.HttpUrl("/files/empty.txt");
        const ovEngineJobEntry entry = {0, 0, 0, folder.c_str(), "e.txt", url.c_str()};
        const ovEngineJob job = {3, "B", 1, &entry};
        ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
        const size_t want = c.expected.size() + 1;
        ASSERT_TRUE(Run([&] { return probe.calls.size() >= want; }));
        // Nothing more follows: a hello is answered (or the line is gone).
        Layer()->SendHello();
        Run([&] { return probe.Count("state") + probe.Count("closed") > 0; });
        std::vector<std::string> expected = {"connected"};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        if (probe.Count("closed") == 0)
            expected.push_back("state 1");
        EXPECT_EQ(expected, probe.calls);
        Disconnect();
        engine.Stop();
    }
}

TEST_F(StandInEngineTest, DroppedAndUnansweredConnections) {
    // Dropped a while after each connect, before anything was sent back.
    StartEngine({{"SF_ENGINE_BEHAVIOUR", "drop-after-ms=300"}});
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(Run([&] { return probe.Count("closed") == 1; }));
    EXPECT_EQ((std::vector<std::string>{"connected", "closed"}), probe.calls);
    Disconnect();
    engine.Stop();

    // Listening, never accepting: the hello stays unanswered.
    StartEngine({{"SF_ENGINE_BEHAVIOUR", "no-accept"}});
    ASSERT_TRUE(Connect());
    ovICDNLocalClientLayer* layer = Layer();
    ASSERT_NE(nullptr, layer);
    ASSERT_EQ(OV_S_NETWORK, layer->SendHello());
    EXPECT_FALSE(Run([&] { return probe.calls.size() > 1; }, 1500));
    EXPECT_EQ((std::vector<std::string>{"connected"}), probe.calls);
    Disconnect();
    engine.Stop();

    // Ending at once: nothing listens.
    StartEngine({{"SF_ENGINE_BEHAVIOUR", "exit"}});
    int code = -1;
    ASSERT_TRUE(engine.WaitExit(20000, &code));
    EXPECT_EQ(0, code);
}

TEST_F(StandInEngineTest, ControlFileChangesTheBehaviourForTheNextJob) {
    const std::string control = tmp.Native("control.txt");
    StartEngine({{"SF_ENGINE_CONTROL", control}});
    ASSERT_TRUE(Connect());
    const std::string folder = tmp.Win("c") + "\\";
    const std::string url = servers.HttpUrl("/files/list.txt");
    const ovEngineJobEntry entry = {0, 0, -1, folder.c_str(), "l.txt", url.c_str()};
    const ovEngineJob first = {1, "C", 1, &entry}, second = {2, "C", 1, &entry};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&first));
    ASSERT_TRUE(Run([&] { return probe.Count("finished 1 ") == 1; }));
    EXPECT_EQ(1, probe.Count("finished 1 1 0 1 0"));
    WriteNative(control, "give-up\n");
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&second));
    ASSERT_TRUE(Run([&] { return probe.Count("finished 2 ") == 1; }));
    EXPECT_EQ(1, probe.Count("finished 2 2 0 0 1"));
}

TEST_F(StandInEngineTest, BadBytesCloseOnlyThatConnection) {
    StartEngine();
    ASSERT_TRUE(Connect());
    struct Case {
        const char* name;
        std::string bytes;
    };
    std::string unknown(16, '\0');
    unknown[0] = 0x00, unknown[1] = 0x01, unknown[2] = 0x63, unknown[10] = 2;  // message 99
    std::string huge(16, '\0');
    huge[1] = 0x01, huge[13] = 0x7F;  // a length far beyond any request
    std::string shortJob(24, '\0');   // message 14 in category 258 without its header
    shortJob[0] = 0x02, shortJob[1] = 0x01, shortJob[2] = 14, shortJob[10] = 10;
    std::string orphanEnd(24, '\0');  // the end of a job never begun
    orphanEnd[1] = 0x01, orphanEnd[2] = 21, orphanEnd[10] = 10;
    // Job begins: one announcing too many files, and more half-sent jobs
    // than a connection may hold.
    auto begin = [](uint32_t job, uint32_t count) {
        std::string frame(kFrameHeaderSize, '\0');
        nwWriteFrameHeader(reinterpret_cast<uint8_t*>(&frame[0]), kFrameCategoryEngine,
                           kEngineMsgJobBegin, 42);
        return frame + engineprobe::U32(job) + engineprobe::U32(count) +
               engineprobe::Fixed("", 33) + std::string(1, '\0');
    };
    std::string manyBegins;
    for (uint32_t job = 1; job <= 17; ++job)
        manyBegins += begin(job, 1);
    const Case cases[] = {{"unknown", unknown},
                          {"huge", huge},
                          {"short job", shortJob},
                          {"orphan end", orphanEnd},
                          {"too many files", begin(1, 100001)},
                          {"too many half-sent jobs", manyBegins}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SockRecord* raw = nullptr;
        ASSERT_TRUE(OV_SUCCEEDED(SockCreate(&raw, kSockKindTcp)));
        SockSetBlocking(raw, 1);
        const NetAddress at = testpeers::LoopbackAt(port);
        ASSERT_TRUE(OV_SUCCEEDED(SockConnect(raw, &at)));
        int32_t sent = 0;
        ASSERT_TRUE(OV_SUCCEEDED(SockSend(raw, c.bytes.data(), (int32_t)c.bytes.size(), &sent)));
        char byte = 0;
        int32_t received = 0;
        // The engine closes: the read ends without data.
        EXPECT_TRUE(OV_FAILED(SockRecv(raw, &byte, 1, &received)));
        SockClose(raw);
        probe.calls.clear();
        ASSERT_EQ(OV_S_NETWORK, Layer()->SendHello());
        ASSERT_TRUE(Run([&] { return !probe.calls.empty(); }));
        EXPECT_EQ((std::vector<std::string>{"state 1"}), probe.calls);
    }
}

TEST_F(StandInEngineTest, EndsWhenIdleOrAskedToQuit) {
    StartEngine({{"SF_ENGINE_IDLE_EXIT_MS", "300"}});
    int code = -1;
    ASSERT_TRUE(engine.WaitExit(30000, &code));
    EXPECT_EQ(0, code);

    StartEngine();
    ASSERT_TRUE(Connect());
    ovICDNLocalClientLayer* layer = Layer();
    ASSERT_NE(nullptr, layer);
    ASSERT_EQ(OV_S_NETWORK, layer->SendParameter("SF_ENGINE_QUIT"));
    ASSERT_TRUE(engine.WaitExit(30000, &code));
    EXPECT_EQ(0, code);
}

TEST_F(StandInEngineTest, FilesThatCannotBeFetchedOrWrittenEndTheJob) {
    StartEngine();
    ASSERT_TRUE(Connect());
    // A plain file where the folder should be: nothing can be written there.
    WriteNative(tmp.Native("blocked"), "not a folder");
    const std::string goodFolder = tmp.Win("ok") + "\\";
    const std::string blocked = tmp.Win("blocked") + "\\";
    const std::string missing = servers.HttpUrl("/files/missing.bin");
    const std::string list = servers.HttpUrl("/files/list.txt");
    struct Case {
        const char* name;
        ovEngineJobEntry second;  // after one good file
        std::vector<std::string> tail;
    };
    const Case cases[] = {
        {"404",
         {0, 0, 10, goodFolder.c_str(), "m.bin", missing.c_str()},
         {"failed 1 0 'Download failed: " + missing + "' tail 0..0"}},
        {"no folder",
         {0, 0, 10, blocked.c_str(), "x.txt", list.c_str()},
         {"disk 1 2 1 'Not enough disk space'",
          "failed 1 0 'Cannot write " + blocked + "x.txt' tail 0..0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        probe.calls.clear();
        const ovEngineJobEntry entries[2] = {
            {0, 0, -1, goodFolder.c_str(), "first.txt", list.c_str()}, c.second};
        const ovEngineJob job = {1, "F", 2, entries};
        ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
        ASSERT_TRUE(Run([&] { return probe.Count("failed") + probe.Count("closed") > 0; }));
        std::vector<std::string> calls;
        for (const std::string& call : probe.calls)
            if (call.compare(0, 9, "progress ") != 0)
                calls.push_back(call);
        ASSERT_EQ(2 + c.tail.size(), calls.size());
        EXPECT_EQ(0u, calls[0].find("accepted 1 "));
        EXPECT_EQ(0u, calls[1].find("done 1 "));
        const std::vector<std::string> tail(calls.begin() + 2, calls.end());
        EXPECT_EQ(c.tail, tail);
        EXPECT_EQ(Doc("files/list.txt"), ReadNative(tmp.Native("ok\\first.txt")));
        EXPECT_EQ(0, probe.Count("finished"));
    }
    // The connection serves on.
    probe.calls.clear();
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendHello());
    ASSERT_TRUE(Run([&] { return !probe.calls.empty(); }));
    EXPECT_EQ((std::vector<std::string>{"state 1"}), probe.calls);
}

TEST_F(StandInEngineTest, RedirectsAreFollowedAsTheLibraryFollowsThem) {
    StartEngine();
    ASSERT_TRUE(Connect());
    const std::string folder = tmp.Win("moved") + "\\";
    // Measured and fetched through a relative Location, and through the
    // longest chain allowed.
    const std::string relative = servers.FaultUrl("/redirect-to?status=307&loc=ok");
    const std::string chain = servers.FaultUrl("/hops/" + std::to_string(kMaxRedirects - 1));
    const ovEngineJobEntry entries[2] = {
        {0, 0, -1, folder.c_str(), "relative.txt", relative.c_str()},
        {0, 0, -1, folder.c_str(), "chain.txt", chain.c_str()},
    };
    const ovEngineJob job = {7, "R", 2, entries};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("failed") > 0; }));
    EXPECT_EQ(1, probe.Count("finished"));
    EXPECT_EQ("fault server ok\n", ReadNative(tmp.Native("moved\\relative.txt")));
    EXPECT_EQ("fault server ok\n", ReadNative(tmp.Native("moved\\chain.txt")));

    // One hop more is refused, and so is a Location that leads nowhere a
    // request can go.
    const std::string faultPort = std::to_string(servers.FaultPort());
    const std::vector<std::string> refusedUrls = {
        servers.FaultUrl("/hops/" + std::to_string(kMaxRedirects)),
        servers.FaultRedirectUrl(302, std::string("/ok\0x", 4)),
        servers.FaultRedirectUrl(302, "http://u@127.0.0.1:" + faultPort + "/ok"),
        servers.FaultRedirectUrl(307, "http://[::1]:" + faultPort + "/ok"),
        servers.FaultRedirectUrl(308, "ftp://127.0.0.1:" + faultPort + "/ok"),
    };
    uint32_t id = 8;
    for (const std::string& url : refusedUrls) {
        SCOPED_TRACE(url);
        probe.calls.clear();
        const ovEngineJobEntry refused[1] = {{0, 0, 16, folder.c_str(), "far.txt", url.c_str()}};
        const ovEngineJob next = {id, "R", 1, refused};
        ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&next));
        ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("failed") > 0; }));
        EXPECT_EQ(0, probe.Count("finished"));
        EXPECT_EQ(
            1, probe.Count("failed " + std::to_string(id) + " 0 'Download failed: " + url + "'"));
        EXPECT_NE("fault server ok\n", ReadNative(tmp.Native("moved\\far.txt")));
        ++id;
    }
}

TEST_F(StandInEngineTest, ResumeAnswerForAllCoversTheLaterFiles) {
    StartEngine();
    ASSERT_TRUE(Connect());
    const std::string url = servers.HttpUrl(std::string("/") + kBigFile);
    const std::string real = Doc(kBigFile);
    const std::string folder = tmp.Win("all") + "\\";
    const char* names[3] = {"a.bin", "b.bin", "c.bin"};
    for (const char* name : names)
        WriteNative(tmp.Native(std::string("all\\") + name), real.substr(0, 1000));
    std::vector<ovEngineJobEntry> entries;
    for (const char* name : names)
        entries.push_back({0, 0, (int64_t)real.size(), folder.c_str(), name, url.c_str()});
    const ovEngineJob job = {12, "All", 3, entries.data()};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
    ASSERT_TRUE(Run([&] { return probe.Count("resume? ") + probe.Count("closed") > 0; }));
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendResumeReply(1, 12, true, true));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }));
    EXPECT_EQ(1, probe.Count("resume? 12"));
    EXPECT_EQ("finished 12 1 0 3 0", probe.calls.back());
    for (const char* name : names)
        EXPECT_TRUE(real == ReadNative(tmp.Native(std::string("all\\") + name))) << name;
}

TEST_F(StandInEngineTest, TwoConnectionsAndACancel) {
    StartEngine({{"SF_ENGINE_BEHAVIOUR", "rate=200000"}});
    ASSERT_TRUE(Connect());
    // A second library connection of its own, with its own listener.
    Probe second;
    ovSmartPtr other;
    ASSERT_TRUE(other.CreateInstance(OV_CLSID_QOS_CONTEXT));
    ovIQoSContext* otherContext = static_cast<ovIQoSContext*>(other.Get());
    ASSERT_EQ(OV_S_PLATFORM,
              otherContext->Initialize(kQoSActionHigh, kQoSEventConnectFailed, nullptr));
    ASSERT_EQ(OV_S_PLATFORM, otherContext->PushLayer(OV_CLSID_CDN_LOCAL_LAYER, false));
    ovIUnknown* face = nullptr;
    ASSERT_TRUE(OV_SUCCEEDED(otherContext->FindLayer(OV_CLSID_CDN_LOCAL_LAYER, &face)));
    ASSERT_NE(nullptr, face);
    ovICDNLocalClientLayer* otherLayer = static_cast<ovICDNLocalClientLayer*>(face);
    otherLayer->SetEventListener(&second, 0);
    const NetAddress address = testpeers::LoopbackAt(port);
    ASSERT_EQ(OV_S_PLATFORM, otherContext->Connect(&address));
    ASSERT_TRUE(Run([&] { return second.Count("connected") == 1; }));

    // The same job number on both: each connection has its own jobs.
    const std::string url = servers.HttpUrl(std::string("/") + kBigFile);
    const std::string first = tmp.Win("one") + "\\", other2 = tmp.Win("two") + "\\";
    const ovEngineJobEntry a = {0, 0, -1, first.c_str(), "big.bin", url.c_str()};
    const ovEngineJobEntry b = {0, 0, -1, other2.c_str(), "big.bin", url.c_str()};
    const ovEngineJob jobA = {3, "A", 1, &a}, jobB = {3, "B", 1, &b};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&jobA));
    ASSERT_EQ(OV_S_NETWORK, otherLayer->SendJob(&jobB));
    ASSERT_TRUE(Run([&] { return probe.Count("accepted") == 1 && second.Count("accepted") == 1; }));
    // The first is cancelled; the second runs to its end.
    unsigned job = 0, idA = 0;
    ASSERT_EQ(2, sscanf(probe.calls[1].c_str(), "accepted %u %u", &job, &idA));
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendCancel(3, idA));
    ASSERT_TRUE(Run([&] { return second.Count("finished") + second.Count("closed") > 0; }));
    EXPECT_EQ(1, second.Count("finished 3 "));
    EXPECT_EQ(Doc(kBigFile), ReadNative(tmp.Native("two\\big.bin")));
    // Nothing of the cancelled job after the answer to a later hello.
    probe.calls.clear();
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendHello());
    ASSERT_TRUE(Run([&] { return probe.Count("state") == 1; }));
    probe.calls.clear();
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendHello());
    ASSERT_TRUE(Run([&] { return probe.Count("state") == 1; }));
    EXPECT_EQ((std::vector<std::string>{"state 1"}), probe.calls);
    EXPECT_EQ(0, probe.Count("finished"));
    EXPECT_GT(Doc(kBigFile).size(), ReadNative(tmp.Native("one\\big.bin")).size());

    otherLayer->SetEventListener(nullptr, 0);
    otherContext->Close();
}

// Files whose line names a torrent ("#btih=<v2 info-hash>"): the engine takes
// "<URL>.torrent" only when it is exactly the file the list names.
namespace {

std::string HexOf(const char* bytes, size_t size) {
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
MadeTorrent TorrentOf(const std::string& scratch,
                      const std::vector<std::pair<std::string, std::string>>& files,
                      const std::string& webSeed, const std::vector<std::string>& trackers = {}) {
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

}  // namespace

TEST_F(StandInEngineTest, TorrentsThatAreNotExactlyTheFileSendItOverHttp) {
    const std::string content = Doc(kBigFile);
    const std::string scratch = tmp.Native("scratch");
    const std::string log = tmp.Native("engine.log");
    struct Case {
        std::string torrentBytes;  // served as "<URL>.torrent"; empty: none
        std::string btih;          // in the list line
        std::string logged;        // after "caseN.pak: "
    };
    std::vector<Case> cases;
    auto made = [&](size_t n, const std::vector<std::pair<std::string, std::string>>& files) {
        return TorrentOf(scratch + "/" + std::to_string(n), files, "http://127.0.0.1:1/x");
    };
    const std::string other(64, '1');
    {
        auto good = made(0, {{"case0.pak", content}});
        cases.push_back({good.first, other, "torrent hash differs from the list"});
    }
    {
        auto t = made(1, {{"other.pak", content}});
        cases.push_back({t.first, t.second, "torrent names 'other.pak', not 'case1.pak'"});
    }
    {
        auto t = made(2, {{"dir/case2.pak", content}});
        // libtorrent joins the torrent's path with the OS's separator.
#ifdef _WIN32
        cases.push_back({t.first, t.second, "torrent names 'dir\\case2.pak', not 'case2.pak'"});
#else
        cases.push_back({t.first, t.second, "torrent names 'dir/case2.pak', not 'case2.pak'"});
#endif
    }
    {
        auto t = made(3, {{"dir/case3.pak", content}, {"dir/extra.bin", "extra"}});
        // Two files and the pad file between them.
        cases.push_back({t.first, t.second, "torrent names 3 files, not one"});
    }
    {
        auto t = made(4, {{"case4.pak", content + "more"}});
        cases.push_back({t.first, t.second,
                         "torrent size " + std::to_string(content.size() + 4) + ", not " +
                             std::to_string(content.size())});
    }
    // 100 MiB answer: refused by its announced size, never read.
    cases.push_back({"\x01", other, "its torrent could not be fetched"});
    cases.push_back({"not bencoded at all", other, "torrent unreadable"});
    cases.push_back({"", other, "its torrent could not be fetched"});

    std::vector<std::string> urls, folders, names;
    std::vector<ovEngineJobEntry> entries;
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string name = "case" + std::to_string(i) + ".pak";
        const std::string doc = "peer-hostile/" + name;
        WriteNative(servers.DocRootPath(doc), content);
        const std::string torrentPath = servers.DocRootPath(doc + ".torrent");
        std::filesystem::remove(torrentPath);
        if (cases[i].torrentBytes == "\x01") {
            std::ofstream(torrentPath, std::ios::binary).close();
            std::filesystem::resize_file(torrentPath, 100u << 20);
        } else if (!cases[i].torrentBytes.empty()) {
            WriteNative(torrentPath, cases[i].torrentBytes);
        }
        urls.push_back(servers.HttpUrl("/" + doc) + "#btih=" + cases[i].btih);
        folders.push_back(tmp.Win("hostile") + "\\");
        names.push_back(name);
    }
    for (size_t i = 0; i < cases.size(); ++i)
        entries.push_back(
            {1, 2, (int64_t)content.size(), folders[i].c_str(), names[i].c_str(), urls[i].c_str()});
    StartEngine({{"SF_ENGINE_LOG", log}});
    ASSERT_TRUE(Connect());
    const ovEngineJob job = {51, "Hostile", (int32_t)entries.size(), entries.data()};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }, 60000));
    EXPECT_EQ("finished 51 1 0 " + std::to_string(cases.size()) + " 0", probe.calls.back());
    const std::string said = ReadNative(log);
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(content, ReadNative(tmp.Native("hostile\\" + names[i]))) << names[i];
        const size_t line = said.find("ldDownload: " + names[i] + ": ");
        ASSERT_NE(std::string::npos, line) << said;
        const std::string text = said.substr(line, said.find('\n', line) - line);
        EXPECT_NE(std::string::npos, text.find(": " + cases[i].logged)) << text;
        EXPECT_EQ(text.size() - strlen("; fetched over HTTP"), text.find("; fetched over HTTP"))
            << text;
        // The fetched torrent is not left in the folder.
        EXPECT_FALSE(
            std::filesystem::exists(tmp.Native("hostile\\" + names[i] + ".torrent-fetch")));
    }
    EXPECT_EQ(std::string::npos, said.find("from the swarm")) << said;
    for (size_t i = 0; i < cases.size(); ++i)
        std::filesystem::remove(servers.DocRootPath("peer-hostile/" + names[i] + ".torrent"));
}

// Its tracker is down (nothing listens there): the web seed alone brings it.
TEST_F(StandInEngineTest, TorrentWithItsTrackerDownComesFromItsWebSeedAndIsKeptForResume) {
    const std::string content = Doc(kBigFile);
    const std::string doc = "peer-webseed/game.pak";
    WriteNative(servers.DocRootPath(doc), content);
    const std::string url = servers.HttpUrl("/" + doc);
    const std::string down =
        "http://127.0.0.1:" + std::to_string(testpeers::RefusedPort()) + "/announce";
    const auto torrent =
        TorrentOf(tmp.Native("scratch"), {{"game.pak", content}}, "http://127.0.0.1:1/x", {down});
    WriteNative(servers.DocRootPath(doc + ".torrent"), torrent.first);
    const std::string log = tmp.Native("engine.log");
    const std::string line = url + "#btih=" + torrent.second;
    const std::string folder = tmp.Win("swarm") + "\\";
    const ovEngineJobEntry entries[1] = {
        {1, 2, (int64_t)content.size(), folder.c_str(), "game.pak", line.c_str()}};
    StartEngine({{"SF_ENGINE_LOG", log},
                 {"SF_ENGINE_PEER_LISTEN", "127.0.0.2:0"},
                 {"SF_ENGINE_STATE_DIR", tmp.Native("state")}});
    ASSERT_TRUE(Connect());
    const ovEngineJob job = {52, "Swarm", 1, entries};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }, 60000));
    EXPECT_EQ("finished 52 1 0 1 0", probe.calls.back());
    EXPECT_EQ("done 52 1 '" + folder + "game.pak' '" + line + "'",
              probe.calls[(size_t)Find("done ")]);
    EXPECT_EQ(content, ReadNative(tmp.Native("swarm\\game.pak")));
    const std::string said = ReadNative(log);
    EXPECT_NE(std::string::npos, said.find("game.pak: from the swarm")) << said;
    // Quit: the resume data is kept for the next run.
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendParameter("SF_ENGINE_QUIT"));
    int code = -1;
    EXPECT_TRUE(engine.WaitExit(30000, &code));
    EXPECT_EQ(0, code);
    EXPECT_TRUE(std::filesystem::exists(tmp.Native("state/" + torrent.second + ".resume")));
    std::filesystem::remove(servers.DocRootPath(doc + ".torrent"));
}

#ifndef _WIN32
// The swarm with real peers and a tracker runs natively.
namespace {

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
std::string Shell(const std::string& command) {
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
void StartTracker(const std::string& folder, uint16_t port, const MadeTorrent& torrent,
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
int64_t OriginBytes(const sftest::TestServers& servers, const std::string& path) {
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

}  // namespace

// Two engines in one swarm, found through opentracker: the first (on
// 127.0.0.2) fetches the file from the origin and seeds it; the second (on
// 127.0.0.3), whose web seed is slow (64 KiB/s), takes most of it from the
// first. nginx's access log tells what the origin sent to each.
TEST_F(StandInEngineTest, ASecondEngineTakesTheFileFromTheFirstThroughTheTracker) {
    std::string content(4u << 20, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = (char)((i * 2654435761u) >> 24);
    const uint16_t trackerPort = engineprocess::FreePort();
    ASSERT_NE(0, trackerPort);
    const std::string announce = "http://127.0.0.1:" + std::to_string(trackerPort) + "/announce";
    const std::string name = "swarm-" + std::to_string(getpid()) + ".pak";
    const std::string doc = "files/" + name;
    WriteNative(servers.DocRootPath(doc), content);
    const auto torrent =
        TorrentOf(tmp.Native("scratch"), {{name, content}}, "http://127.0.0.1:1/x", {announce});
    WriteNative(servers.DocRootPath(doc + ".torrent"), torrent.first);

    Child tracker;
    std::string scrape;
    ASSERT_NO_FATAL_FAILURE(
        StartTracker(tmp.Native("tracker"), trackerPort, torrent, &tracker, &scrape));

    // The first engine: from the origin at full speed; it seeds once done.
    const std::string fast = servers.HttpUrl("/" + doc) + "#btih=" + torrent.second;
    const std::string firstFolder = tmp.Win("first") + "\\";
    const ovEngineJobEntry first[1] = {
        {1, 2, (int64_t)content.size(), firstFolder.c_str(), name.c_str(), fast.c_str()}};
    StartEngine(
        {{"SF_ENGINE_LOG", tmp.Native("first.log")},
         {"SF_ENGINE_PEER_LISTEN", "127.0.0.2:" + std::to_string(engineprocess::FreePort())},
         {"SF_ENGINE_STATE_DIR", tmp.Native("first-state")},
         {"SF_ENGINE_IDLE_EXIT_MS", "300000"}});
    ASSERT_TRUE(Connect());
    const ovEngineJob jobA = {54, "First", 1, first};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&jobA));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }, 60000));
    ASSERT_EQ("finished 54 1 0 1 0", probe.calls.back());
    ASSERT_EQ(content, ReadNative(tmp.Native("first\\" + name)));
    // The tracker knows it as a seeder.
    ASSERT_TRUE(libraryloop::RunUntil(
        [&] { return Shell(scrape).find("8:completei1e") != std::string::npos; }, 30000, 200))
        << Shell(scrape);

    // The second engine: its web seed is the slow path to the same file.
    EngineProcess second;
    const std::string slow = servers.HttpUrl("/slow/" + doc) + "#btih=" + torrent.second;
    const std::string secondFolder = tmp.Win("second") + "\\";
    const ovEngineJobEntry entries[1] = {
        {1, 2, (int64_t)content.size(), secondFolder.c_str(), name.c_str(), slow.c_str()}};
    StartEngineAs(second, {{"SF_ENGINE_LOG", tmp.Native("second.log")},
                           {"SF_ENGINE_PEER_LISTEN",
                            "127.0.0.3:" + std::to_string(engineprocess::FreePort())},
                           {"SF_ENGINE_STATE_DIR", tmp.Native("second-state")}});
    ASSERT_TRUE(Connect());
    const ovEngineJob jobB = {55, "Second", 1, entries};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&jobB));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }, 90000));
    EXPECT_EQ("finished 55 1 0 1 0", probe.calls.back());
    EXPECT_EQ(content, ReadNative(tmp.Native("second\\" + name)));
    EXPECT_NE(std::string::npos,
              ReadNative(tmp.Native("second.log")).find(name + ": from the swarm"));
    // Both end cleanly; their web-seed requests are logged by then.
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendParameter("SF_ENGINE_QUIT"));
    int code = -1;
    EXPECT_TRUE(second.WaitExit(30000, &code));
    engine.Stop();
    // The first took the whole file from the origin; the second less than a
    // quarter of it (the rest came from the first).
    EXPECT_GE(OriginBytes(servers, "/" + doc), (int64_t)content.size());
    EXPECT_LT(OriginBytes(servers, "/slow/" + doc), (int64_t)content.size() / 4);
    std::filesystem::remove(servers.DocRootPath(doc));
    std::filesystem::remove(servers.DocRootPath(doc + ".torrent"));
}

// The torrent names a fast web seed of its own; the list's URL is the slow
// path. Only the list's URL is used: the torrent's is never asked.
TEST_F(StandInEngineTest, TheTorrentsOwnWebSeedIsNeverUsed) {
    std::string content(256u << 10, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = (char)((i * 2246822519u) >> 24);
    const std::string name = "own-seed-" + std::to_string(getpid()) + ".pak";
    const std::string doc = "files/" + name;
    WriteNative(servers.DocRootPath(doc), content);
    const std::string named = servers.HttpUrl("/" + doc);
    const auto torrent = TorrentOf(tmp.Native("scratch"), {{name, content}}, named);
    WriteNative(servers.DocRootPath(doc + ".torrent"), torrent.first);
    const std::string line = servers.HttpUrl("/slow/" + doc) + "#btih=" + torrent.second;
    const std::string folder = tmp.Win("own") + "\\";
    const ovEngineJobEntry entries[1] = {
        {1, 2, (int64_t)content.size(), folder.c_str(), name.c_str(), line.c_str()}};
    StartEngine({{"SF_ENGINE_LOG", tmp.Native("engine.log")},
                 {"SF_ENGINE_PEER_LISTEN", "127.0.0.2:0"},
                 {"SF_ENGINE_STATE_DIR", tmp.Native("state")}});
    ASSERT_TRUE(Connect());
    const ovEngineJob job = {56, "OwnSeed", 1, entries};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }, 60000));
    EXPECT_EQ("finished 56 1 0 1 0", probe.calls.back());
    EXPECT_EQ(content, ReadNative(tmp.Native("own\\" + name)));
    EXPECT_NE(std::string::npos,
              ReadNative(tmp.Native("engine.log")).find(name + ": from the swarm"));
    // Its requests are logged once the engine is gone.
    engine.Stop();
    EXPECT_EQ(0, OriginBytes(servers, "/" + doc));
    EXPECT_GE(OriginBytes(servers, "/slow/" + doc), (int64_t)content.size());
    std::filesystem::remove(servers.DocRootPath(doc));
    std::filesystem::remove(servers.DocRootPath(doc + ".torrent"));
}
// A peer that sends wrong pieces (tests/support/lying_peer.py, on
// 127.0.0.3: no real client lies on demand) is found through the tracker
// and answers every request with wrong bytes. The engine bans it at its
// first wrong piece, and the file ends right from the slow web seed.
TEST_F(StandInEngineTest, APeerSendingWrongPiecesIsBannedAndTheFileEndsRight) {
    // 64 pieces: the slow web seed alone would take 16 seconds, time enough
    // for the engine to meet the liar.
    const std::string content = Doc(kBigFile);
    const uint16_t trackerPort = engineprocess::FreePort();
    const uint16_t liarPort = engineprocess::FreePort();
    ASSERT_TRUE(trackerPort && liarPort);
    const std::string announce = "http://127.0.0.1:" + std::to_string(trackerPort) + "/announce";
    const std::string name = "liar-" + std::to_string(getpid()) + ".pak";
    const std::string doc = "files/" + name;
    WriteNative(servers.DocRootPath(doc), content);
    const auto torrent =
        TorrentOf(tmp.Native("scratch"), {{name, content}}, "http://127.0.0.1:1/x", {announce});
    WriteNative(servers.DocRootPath(doc + ".torrent"), torrent.first);

    Child tracker, liar;
    std::string scrape;
    ASSERT_NO_FATAL_FAILURE(
        StartTracker(tmp.Native("tracker"), trackerPort, torrent, &tracker, &scrape));
    ASSERT_TRUE(liar.Start({"python3", SF_LYING_PEER, "--tracker", announce, "--info-hash",
                            torrent.v1, "--info-hash", torrent.second.substr(0, 40), "--pieces",
                            std::to_string(content.size() / 16384), "--ip", "127.0.0.3", "--port",
                            std::to_string(liarPort)}));
    ASSERT_TRUE(libraryloop::RunUntil(
        [&] { return Shell(scrape).find("8:completei1e") != std::string::npos; }, 30000, 200))
        << Shell(scrape);

    const std::string log = tmp.Native("engine.log");
    const std::string slow = servers.HttpUrl("/slow/" + doc) + "#btih=" + torrent.second;
    const std::string folder = tmp.Win("player") + "\\";
    const ovEngineJobEntry entries[1] = {
        {1, 2, (int64_t)content.size(), folder.c_str(), name.c_str(), slow.c_str()}};
    StartEngine(
        {{"SF_ENGINE_LOG", log},
         {"SF_ENGINE_PEER_LISTEN", "127.0.0.2:" + std::to_string(engineprocess::FreePort())},
         {"SF_ENGINE_STATE_DIR", tmp.Native("state")}});
    ASSERT_TRUE(Connect());
    const ovEngineJob job = {56, "Liar", 1, entries};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&job));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }, 90000));
    EXPECT_EQ("finished 56 1 0 1 0", probe.calls.back());
    EXPECT_EQ(content, ReadNative(tmp.Native("player\\" + name)));
    const std::string said = ReadNative(log);
    EXPECT_NE(std::string::npos, said.find("hash for piece")) << said;
    EXPECT_NE(std::string::npos, said.find("127.0.0.3")) << said;
    EXPECT_NE(std::string::npos, said.find("banned peer")) << said;
    std::filesystem::remove(servers.DocRootPath(doc));
    std::filesystem::remove(servers.DocRootPath(doc + ".torrent"));
}
// Every peer gone mid-file: the first engine (uploads capped at 128 KiB/s)
// serves part of the file to the second, then ends; the second finishes
// from its slow web seed alone.
TEST_F(StandInEngineTest, EveryPeerGoneMidFileLeavesTheWebSeed) {
    const std::string content = Doc(kBigFile);
    const uint16_t trackerPort = engineprocess::FreePort();
    ASSERT_NE(0, trackerPort);
    const std::string announce = "http://127.0.0.1:" + std::to_string(trackerPort) + "/announce";
    const std::string name = "gone-" + std::to_string(getpid()) + ".pak";
    const std::string doc = "files/" + name;
    WriteNative(servers.DocRootPath(doc), content);
    const auto torrent =
        TorrentOf(tmp.Native("scratch"), {{name, content}}, "http://127.0.0.1:1/x", {announce});
    WriteNative(servers.DocRootPath(doc + ".torrent"), torrent.first);
    Child tracker;
    std::string scrape;
    ASSERT_NO_FATAL_FAILURE(
        StartTracker(tmp.Native("tracker"), trackerPort, torrent, &tracker, &scrape));

    const std::string fast = servers.HttpUrl("/" + doc) + "#btih=" + torrent.second;
    const std::string firstFolder = tmp.Win("first") + "\\";
    const ovEngineJobEntry first[1] = {
        {1, 2, (int64_t)content.size(), firstFolder.c_str(), name.c_str(), fast.c_str()}};
    StartEngine(
        {{"SF_ENGINE_PEER_LISTEN", "127.0.0.2:" + std::to_string(engineprocess::FreePort())},
         {"SF_ENGINE_STATE_DIR", tmp.Native("first-state")},
         {"SF_ENGINE_UPLOAD_CAP", "131072"}});
    ASSERT_TRUE(Connect());
    const ovEngineJob jobA = {57, "First", 1, first};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&jobA));
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }, 60000));
    ASSERT_EQ("finished 57 1 0 1 0", probe.calls.back());
    ASSERT_TRUE(libraryloop::RunUntil(
        [&] { return Shell(scrape).find("8:completei1e") != std::string::npos; }, 30000, 200))
        << Shell(scrape);

    EngineProcess second;
    const std::string slow = servers.HttpUrl("/slow/" + doc) + "#btih=" + torrent.second;
    const std::string secondFolder = tmp.Win("second") + "\\";
    const ovEngineJobEntry entries[1] = {
        {1, 2, (int64_t)content.size(), secondFolder.c_str(), name.c_str(), slow.c_str()}};
    StartEngineAs(second, {{"SF_ENGINE_PEER_LISTEN",
                            "127.0.0.3:" + std::to_string(engineprocess::FreePort())},
                           {"SF_ENGINE_STATE_DIR", tmp.Native("second-state")}});
    ASSERT_TRUE(Connect());
    const ovEngineJob jobB = {58, "Second", 1, entries};
    ASSERT_EQ(OV_S_NETWORK, Layer()->SendJob(&jobB));
    // A quarter of the file is more than the web seed alone brings before
    // the first progress report or two; then the only peer ends.
    int64_t done = 0;
    ASSERT_TRUE(Run(
        [&] {
            for (const std::string& call : probe.calls) {
                long long bytes = 0, total = 0;
                unsigned job = 0, id = 0, counter = 0, index = 0;
                if (sscanf(call.c_str(), "progress %u %u c%u i%u %lld/%lld", &job, &id, &counter,
                           &index, &bytes, &total) == 6)
                    done = std::max<int64_t>(done, bytes);
            }
            return done >= (int64_t)content.size() / 4 || probe.Count("finished") > 0;
        },
        60000));
    ASSERT_EQ(0, probe.Count("finished")) << "done before the peer could go";
    engine.Stop();
    ASSERT_TRUE(Run([&] { return probe.Count("finished") + probe.Count("closed") > 0; }, 90000));
    EXPECT_EQ("finished 58 1 0 1 0", probe.calls.back());
    EXPECT_EQ(content, ReadNative(tmp.Native("second\\" + name)));
    EXPECT_GT(OriginBytes(servers, "/slow/" + doc), 0);
    std::filesystem::remove(servers.DocRootPath(doc));
    std::filesystem::remove(servers.DocRootPath(doc + ".torrent"));
}
#endif
