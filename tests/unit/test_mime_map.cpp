#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "opn/core/ovClassIds.h"
#include "opn/core/ovSmartPtr.h"
#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/nwCHttpRequest.h"
#include "opn/opeerqos/nwCMimeMap.h"
#include "opn/platform/pfMessageLoop.h"

TEST(MimeMap, LoadAddsNothingSoEveryLookupIsTheDefault) {
    nwCHttpMimeTypeMap map;
    EXPECT_TRUE(map.Load());
    EXPECT_EQ(0, map.Count());
    EXPECT_STREQ("application/octet-stream", map.Lookup(nullptr));
    EXPECT_STREQ("application/octet-stream", map.Lookup(""));
    EXPECT_STREQ("application/octet-stream", map.Lookup("zip"));
    EXPECT_STREQ("application/octet-stream", nwCHttpMimeTypeMap::kDefaultType);
}

TEST(MimeMap, FirstPairWithAByteWiseEqualExtensionWins) {
    nwCHttpMimeTypeMap map;
    ASSERT_TRUE(map.Add("zip", "application/zip"));
    ASSERT_TRUE(map.Add("txt", "text/plain"));
    ASSERT_TRUE(map.Add("zip", "application/x-second"));
    EXPECT_EQ(3, map.Count());
    EXPECT_STREQ("application/zip", map.Lookup("zip"));
    EXPECT_STREQ("text/plain", map.Lookup("txt"));
    // No case folding, no dot removed, no prefix match.
    EXPECT_STREQ("application/octet-stream", map.Lookup("ZIP"));
    EXPECT_STREQ("application/octet-stream", map.Lookup(".zip"));
    EXPECT_STREQ("application/octet-stream", map.Lookup("zi"));
    EXPECT_STREQ("application/octet-stream", map.Lookup("zipx"));
    // The extension with no name still answers the default.
    EXPECT_STREQ("application/octet-stream", map.Lookup(nullptr));
}

TEST(MimeMap, AddRefusesEmptyTextsAndCopiesWhatItKeeps) {
    nwCHttpMimeTypeMap map;
    EXPECT_FALSE(map.Add(nullptr, "a/b"));
    EXPECT_FALSE(map.Add("", "a/b"));
    EXPECT_FALSE(map.Add("x", nullptr));
    EXPECT_FALSE(map.Add("x", ""));
    EXPECT_EQ(0, map.Count());

    std::string extension = "gif";
    std::string type = "image/gif";
    ASSERT_TRUE(map.Add(extension.c_str(), type.c_str()));
    extension = "bmp";
    type = "image/bmp";
    EXPECT_STREQ("image/gif", map.Lookup("gif"));
    EXPECT_STREQ("application/octet-stream", map.Lookup("bmp"));
}

TEST(MimeMap, ClearFreesEverythingAndTheMapIsUsableAgain) {
    nwCHttpMimeTypeMap map;
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(map.Add(std::to_string(i).c_str(), "type/n"));
    EXPECT_STREQ("type/n", map.Lookup("42"));
    map.Clear();
    EXPECT_EQ(0, map.Count());
    EXPECT_STREQ("application/octet-stream", map.Lookup("42"));
    map.Clear();
    ASSERT_TRUE(map.Add("42", "type/again"));
    EXPECT_STREQ("type/again", map.Lookup("42"));
}

// The network module owns one map for its whole life.
class MimeMapModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(OV_SUCCEEDED(PfMessageLoopInit()));
        ASSERT_TRUE(lock.CreateInstance(OV_CLSID_MUTEX));
    }
    void TearDown() override {
        lock.Reset();
        COpn::NetworkCleanup();
        PfMessageLoopDone();
    }
    ovSmartPtr lock;
};

TEST_F(MimeMapModuleTest, TheModuleMakesTheMapAndDeletesIt) {
    EXPECT_EQ(nullptr, OpnMimeMap());  // no module, no map, none made
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        {
            COpn module(lock);
            nwCHttpMimeTypeMap* map = OpnMimeMap();
            ASSERT_NE(nullptr, map);
            EXPECT_EQ(map, OpnMimeMap());
            EXPECT_EQ(0, map->Count());
            EXPECT_STREQ("application/octet-stream", map->Lookup(nullptr));

            // The upload part asks the module's map.
            nwCHttpPOSTHeaderBuilder post;
            post.SetBodySize(1);
            ovCString text;
            ASSERT_TRUE(post.Build(text));
            EXPECT_NE(nullptr, strstr(text.CStr(),
                                      "\r\nContent-Type: application/octet-stream\r\n"
                                      "\r\n"));
        }
        EXPECT_EQ(nullptr, OpnMimeMap());
    }
}

TEST_F(MimeMapModuleTest, ASecondModuleKeepsTheFirstOnesMap) {
    COpn first(lock);
    nwCHttpMimeTypeMap* map = OpnMimeMap();
    ASSERT_NE(nullptr, map);
    {
        COpn second(lock);
        EXPECT_EQ(map, OpnMimeMap());
    }
    EXPECT_EQ(map, OpnMimeMap());
}
