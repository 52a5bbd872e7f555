// The Windows engine in a swarm, under Wine: two Windows engines meet
// through opentracker (run natively beside this program by
// tests/support/with-tracker, which reloads its whitelist when this program
// writes it) and nginx is the origin and web seed.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "integration/EngineTestEnv.h"

namespace {

using namespace enginetest;

class WineSwarmTest : public SwarmTest {
  protected:
    void SetUp() override {
        SwarmTest::SetUp();
        const char* tracker = getenv("SF_TEST_TRACKER");
        const char* folder = getenv("SF_TEST_TRACKER_DIR");
        ASSERT_TRUE(tracker && folder) << "no tracker: run through tests/support/with-tracker";
        const std::string at = tracker;
        const size_t colon = at.rfind(':');
        ASSERT_NE(std::string::npos, colon) << at;
        trackerAddress = at.substr(0, colon);
        trackerPort = (uint16_t)atoi(at.c_str() + colon + 1);
        ASSERT_NE(0, trackerPort) << at;
        whitelist = engineprocess::ProgramPath(folder) + "\\whitelist";
    }

    // The tracker is already running: its whitelist gets the hashes (every
    // test's, one file for the program).
    void ServeHashes(const std::vector<std::string>& hashes) override {
        std::string list = ReadNative(whitelist);
        for (const std::string& hash : hashes)
            list += hash + "\n";
        WriteNative(whitelist, list);
    }

    // The file's bytes from peers and from web seeds, from the engine's log
    // line; false when it has none.
    bool Sources(const std::string& log, const Shared& file, long long* peers,
                 long long* webSeeds) {
        const std::string tag = file.name + ": ";
        for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1))
            if (sscanf(log.c_str() + at + tag.size(), "%lld bytes from peers, %lld bytes from web",
                       peers, webSeeds) == 2)
                return true;
        return false;
    }

    std::string whitelist;
};

}  // namespace

// The first engine (127.0.0.2) fetches the file from the origin and seeds
// it; the second (127.0.0.3), whose web seed is slow (64 KiB/s), takes most
// of it from the first. Its log counts the bytes by source; nginx's access
// log tells what the origin sent to each.
TEST_F(WineSwarmTest, ASecondWindowsEngineTakesTheFileFromTheFirst) {
    const Shared file = Publish("wine-swarm", Pattern(4u << 20, 5));
    ASSERT_FALSE(HasFailure());
    ASSERT_NO_FATAL_FAILURE(StartPeer(engine, "first", "127.0.0.2"));
    ASSERT_NO_FATAL_FAILURE(RunJob(70, "first", file, Line(file, Origin())));
    ASSERT_EQ(file.content, Got("first", file));
    ASSERT_NO_FATAL_FAILURE(WaitSeeders(file, 1));

    EngineProcess second;
    ASSERT_NO_FATAL_FAILURE(StartPeer(second, "second", "127.0.0.3"));
    ASSERT_NO_FATAL_FAILURE(RunJob(71, "second", file, Line(file, SlowOrigin()), 90000));
    EXPECT_EQ(file.content, Got("second", file));
    const std::string said = Log("second");
    long long peers = -1, webSeeds = -1;
    ASSERT_TRUE(Sources(said, file, &peers, &webSeeds)) << said;
    RecordProperty("bytes_from_peers", std::to_string(peers));
    RecordProperty("bytes_from_web_seeds", std::to_string(webSeeds));
    EXPECT_GT(peers, 3 * webSeeds) << said;
    // Both end cleanly; their web-seed requests are logged by then.
    ovICDNLocalClientLayer* layer = Layer();
    ASSERT_NE(nullptr, layer);
    ASSERT_EQ(OV_S_NETWORK, layer->SendParameter("SF_ENGINE_QUIT"));
    int code = -1;
    EXPECT_TRUE(second.WaitExit(30000, &code));
    engine.Stop();
    EXPECT_GE(OriginBytes(file), (int64_t)file.content.size());
    EXPECT_LT(OriginBytes(file, "/slow"), (int64_t)file.content.size() / 4) << said;
}
