// The launcher's two whole-archive operations: unpack everything into a
// folder, list the names; and the string list they fill.

#include <gtest/gtest.h>

#include <string>

#include "SupportTestEnv.h"
#include "ZipTestSupport.h"
#include "sdk/support/StringList.h"
#include "sdk/support/zip/ZipFolder.h"

using supporttest::ReadWholeFile;
using supporttest::TempFolder;
using namespace ziptest;

namespace {

TEST(ZipFolder, UnpacksEveryEntryAndListsEveryName) {
    TempFolder tmp;
    Bytes data = LoadArchive("prefixed.zip");
    const std::string folder = tmp.Win("skin") + "\\";
    ASSERT_TRUE(UnzipAllToFolder(folder.c_str(), data.data(), (int64_t)data.size()));
    for (const char* name : {"readme.txt", "photo.bin", "empty.txt", "img/pic.jpg"}) {
        Bytes source = SourceFile(name);
        EXPECT_EQ(ReadWholeFile(tmp.Native(std::string("skin/") + name)),
                  std::string(source.begin(), source.end()))
            << name;
    }
    // The read-only file left by the first run makes the second one fail
    // for that entry only; made writable again, everything is replaced.
    EXPECT_FALSE(UnzipAllToFolder(folder.c_str(), data.data(), (int64_t)data.size()));
    MakeWritable(tmp.Native("skin/locked.txt"));
    EXPECT_TRUE(UnzipAllToFolder(folder.c_str(), data.data(), (int64_t)data.size()));
    MakeWritable(tmp.Native("skin/locked.txt"));

    StringList names;
    names.Add("kept");
    ASSERT_TRUE(ListZipEntries(names, data.data(), (int64_t)data.size()));
    const char* const expected[] = {"kept", "readme.txt",  "photo.bin", "empty.txt",
                                    "img/", "img/pic.jpg", "locked.txt"};
    ASSERT_EQ(names.Count(), 7);
    for (int32_t i = 0; i < 7; ++i)
        EXPECT_STREQ(names.At(i), expected[i]);
    EXPECT_EQ(names.At(7), nullptr);
    EXPECT_EQ(names.At(-1), nullptr);
}

TEST(ZipFolder, RefusesMissingInput) {
    Bytes data = LoadArchive("fat.zip");
    StringList names;
    const int64_t size = (int64_t)data.size();
    EXPECT_FALSE(UnzipAllToFolder("", data.data(), size));
    EXPECT_FALSE(UnzipAllToFolder(nullptr, data.data(), size));
    EXPECT_FALSE(UnzipAllToFolder("C:\\t\\", nullptr, size));
    EXPECT_FALSE(UnzipAllToFolder("C:\\t\\", data.data(), 0));
    EXPECT_FALSE(ListZipEntries(names, data.data(), -1));
    // A size beyond 32 bits is refused, not cut to its low half.
    EXPECT_FALSE(ListZipEntries(names, data.data(), size + (1ll << 32)));
    EXPECT_FALSE(ListZipEntries(names, "not a zip archive at all", 24));
    EXPECT_EQ(names.Count(), 0);
}

TEST(StringList, KeepsCopiesInOrder) {
    StringList list;
    std::string text = "first";
    ASSERT_TRUE(list.Add(text.c_str()));
    text = "changed";
    ASSERT_TRUE(list.Add(nullptr));
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(list.Add(std::to_string(i).c_str()));
    ASSERT_EQ(list.Count(), 102);
    EXPECT_STREQ(list.At(0), "first");
    EXPECT_STREQ(list.At(1), "");
    EXPECT_STREQ(list.At(101), "99");
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.At(0), nullptr);
}

}  // namespace
