// The launcher's two whole-archive operations: unpack everything into a
// folder, list the names; and the string list they fill.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "SupportTestEnv.h"
#include "ZipTestSupport.h"
#include "sdk/support/StringList.h"
#include "sdk/support/zip/ZipFolder.h"

using supporttest::PathExists;
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

int EntriesBelow(const std::string& nativePath) {
    int count = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(nativePath, ec);
         !ec && it != std::filesystem::recursive_directory_iterator() && count < 1000;
         it.increment(ec))
        ++count;
    return count;
}

// A skin that unpacks to more than the caps is refused from what it declares,
// before anything is written; at the caps it is unpacked whole.
TEST(ZipFolder, OutputIsCapped) {
    TempFolder tmp;
    // deflated.zip: 65536 + 10 bytes in 2 files.
    const int64_t kBytes = 65546;
    const struct {
        const char* name;
        const char* archive;
        int64_t maxBytes;
        int64_t maxEntries;
        bool ok;
    } cases[] = {
        {"at the caps", "deflated.zip", kBytes, 2, true},
        {"a byte over", "deflated.zip", kBytes - 1, 2, false},
        {"a file over", "deflated.zip", kBytes, 1, false},
        {"80 MiB of zeros", "skin-bomb.zip", kSkinMaxBytes, kSkinMaxEntries, false},
        {"257 pictures", "skin-many.zip", kSkinMaxBytes, kSkinMaxEntries, false},
        {"257 pictures, room for them", "skin-many.zip", kSkinMaxBytes, 257, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes data = LoadArchive(c.archive);
        ASSERT_LT(data.size(), 200000u);
        const std::string sub = std::string("case") + std::to_string(&c - cases);
        const std::string folder = tmp.Win(sub) + "\\";
        EXPECT_EQ(UnzipAllToFolder(folder.c_str(), data.data(), (int64_t)data.size(), c.maxBytes,
                                   c.maxEntries),
                  c.ok);
        if (!c.ok) {
            EXPECT_EQ(EntriesBelow(tmp.Native(sub)), 0);
        }
    }
    EXPECT_EQ(ReadWholeFile(tmp.Native("case0/next.txt")), "next entry");
    EXPECT_TRUE(PathExists(tmp.Native("case5/p257.jpg")));
    // The launcher's own call has the skin's caps.
    Bytes bomb = LoadArchive("skin-bomb.zip");
    const std::string folder = tmp.Win("skin") + "\\";
    EXPECT_FALSE(UnzipAllToFolder(folder.c_str(), bomb.data(), (int64_t)bomb.size()));
    EXPECT_EQ(EntriesBelow(tmp.Native("skin")), 0);
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
