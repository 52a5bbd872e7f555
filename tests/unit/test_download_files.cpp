// The platform pieces under the file download: files created anew with the
// Windows error numbers, writes that meet a full disk, folder paths written
// with either separator, the free space of a path that does not exist yet;
// and the mirror list and report record of the download session.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "opn/platform/pfVolume.h"
#include "sdk/download/plain/FileReportEntry.h"
#include "sdk/download/MirrorList.h"
#include "unit/SupportTestEnv.h"

namespace {

using supporttest::TempFolder;

std::string ReadAll(const std::string& native) {
    return supporttest::ReadWholeFile(native);
}

TEST(PlatformFile, CreateAlwaysTellsNewFromReplacedAndWrites) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    const std::string path = tmp.Win("f.bin");
    int32_t error = -1;
    PfFile* file = PfFileCreateAlways(path.c_str(), &error);
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(kPfErrorNone, error);
    EXPECT_EQ(0, PfFileSeekEnd(file));
    EXPECT_TRUE(PfFileWrite(file, "hello world", 11, &error));
    EXPECT_EQ(kPfErrorNone, error);
    EXPECT_EQ(11, PfFileSeekEnd(file));
    EXPECT_TRUE(PfFileWrite(file, "", 0, &error));
    PfFileClose(file);
    EXPECT_EQ("hello world", ReadAll(tmp.Native("f.bin")));

    // Replaced: emptied, 183.
    file = PfFileCreateAlways(path.c_str(), &error);
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(kPfErrorAlreadyExists, error);
    EXPECT_EQ(0, PfFileSeekEnd(file));
    PfFileClose(file);
    EXPECT_EQ("", ReadAll(tmp.Native("f.bin")));
    PfFileClose(nullptr);
}

TEST(PlatformFile, CreateFailuresCarryWindowsNumbers) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    ASSERT_TRUE(FsCreateFolder(tmp.Win("dir").c_str()));
    struct Case {
        std::string path;
        int32_t error;
    };
    for (const Case& c : {Case{tmp.Win("missing\\f.bin"), kPfErrorPathNotFound},
                          Case{tmp.Win("dir"), kPfErrorAccessDenied}, Case{"", 3}}) {
        SCOPED_TRACE(c.path);
        int32_t error = 0;
        EXPECT_EQ(nullptr, PfFileCreateAlways(c.path.c_str(), &error));
        EXPECT_EQ(c.error, error);
    }
    int32_t error = 0;
    EXPECT_EQ(nullptr, PfFileCreateAlways(nullptr, &error));
    EXPECT_EQ(kPfErrorPathNotFound, error);
    EXPECT_FALSE(PfFileWrite(nullptr, "x", 1, &error));
}

size_t RoomFor10(const char* path, int64_t offset, size_t size) {
    if (!strstr(path, "small"))
        return size;
    const int64_t room = 10 - offset;
    return room <= 0 ? 0 : (size_t)room < size ? (size_t)room : size;
}

TEST(PlatformFile, AFullDiskFailsTheWriteWith112AndKeepsWhatWasWritten) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    PfFileSetWriteHookForTesting(&RoomFor10);
    int32_t error = 0;
    PfFile* small = PfFileCreateAlways(tmp.Win("small.bin").c_str(), &error);
    PfFile* other = PfFileCreateAlways(tmp.Win("other.bin").c_str(), &error);
    ASSERT_NE(nullptr, small);
    ASSERT_NE(nullptr, other);
    EXPECT_TRUE(PfFileWrite(small, "0123456", 7, &error));
    EXPECT_FALSE(PfFileWrite(small, "789abc", 6, &error));
    EXPECT_EQ(kPfErrorDiskFull, error);
    EXPECT_FALSE(PfFileWrite(small, "d", 1, &error));
    EXPECT_EQ(kPfErrorDiskFull, error);
    EXPECT_TRUE(PfFileWrite(other, "0123456789abcdef", 16, &error));
    PfFileClose(small);
    PfFileClose(other);
    PfFileSetWriteHookForTesting(nullptr);
    EXPECT_EQ("0123456789", ReadAll(tmp.Native("small.bin")));
    EXPECT_EQ("0123456789abcdef", ReadAll(tmp.Native("other.bin")));
}

TEST(PlatformFolders, EveryMissingFolderIsCreatedWhateverTheSeparator) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    std::string slashed = tmp.Win("s1\\s2\\s3");
    for (char& c : slashed)
        if (c == '\\')
            c = '/';
    const std::vector<std::string> paths = {
        tmp.Win("b1\\b2\\b3"),      // backslashes
        tmp.Win("t1\\t2\\"),        // a final separator
        slashed,                    // forward slashes
        slashed + "/s4//s5/",       // a doubled separator
        tmp.Win("m1") + "/m2\\m3",  // mixed
#ifndef _WIN32
        tmp.Native("p1/p2/p3"),  // a POSIX path
#endif
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(FsCreateFolders(path.c_str()));
        EXPECT_TRUE(FsIsFolder(path.c_str()));
        EXPECT_TRUE(FsCreateFolders(path.c_str()));  // already there
    }
    EXPECT_TRUE(FsIsFolder(tmp.Win("s1\\s2\\s3\\s4\\s5").c_str()));
    EXPECT_TRUE(FsIsFolder(tmp.Win("m1\\m2\\m3").c_str()));
    // A file in the way, and nothing at all.
    ASSERT_TRUE(FsCreateEmptyFile(tmp.Win("file").c_str()));
    EXPECT_FALSE(FsCreateFolders(tmp.Win("file\\below").c_str()));
    EXPECT_FALSE(FsCreateFolders(""));
    EXPECT_FALSE(FsCreateFolders(nullptr));
}

std::string g_asked;

bool Answer4096(const char* folder, int64_t* freeBytes) {
    g_asked = folder;
    *freeBytes = 4096;
    return true;
}

TEST(PlatformVolume, FreeSpaceOfAPathThatDoesNotExistYet) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    int64_t direct = -1;
    int64_t below = -1;
    ASSERT_TRUE(PfFreeDiskSpace(tmp.Win("").c_str(), &direct));
    EXPECT_GT(direct, 0);
    EXPECT_TRUE(PfFreeDiskSpaceAt(tmp.Win("no\\such\\folder\\").c_str(), &below));
    EXPECT_GT(below, 0);

    PfSetFreeDiskSpaceHookForTesting(&Answer4096);
    int64_t hooked = 0;
    EXPECT_TRUE(PfFreeDiskSpaceAt(tmp.Win("no\\such\\file.bin").c_str(), &hooked));
    PfSetFreeDiskSpaceHookForTesting(nullptr);
    EXPECT_EQ(4096, hooked);
    // The nearest folder that exists was asked.
    EXPECT_EQ(tmp.Win(""), g_asked.substr(0, g_asked.find_last_not_of("\\/") + 1));

    int64_t none = 7;
    EXPECT_FALSE(PfFreeDiskSpaceAt("", &none));
    EXPECT_EQ(0, none);
    EXPECT_FALSE(PfFreeDiskSpaceAt("relative\\nothing", &none));
    EXPECT_EQ(0, none);
}

TEST(MirrorList, SplitsAtEveryBarAndLeavesOutEmptyPieces) {
    struct Case {
        const char* urls;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {nullptr, {}},
        {"", {}},
        {"http://a/x", {"http://a/x"}},
        {"http://a/x|http://b/y", {"http://a/x", "http://b/y"}},
        {"|http://a/x||http://b/y|", {"http://a/x", "http://b/y"}},
        {"|||", {}},
    };
    MirrorList list;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.urls ? c.urls : "(null)");
        ASSERT_TRUE(list.Load(c.urls));
        ASSERT_EQ((int32_t)c.expected.size(), list.Count());
        for (size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_EQ(c.expected[i], list.At((int32_t)i));
        EXPECT_EQ(nullptr, list.At(list.Count()));
        EXPECT_EQ(nullptr, list.At(-1));
    }
}

TEST(FileReportEntry, ReceivedIsLittleEndianAtOffset289) {
    FileReportEntry record;
    memset(&record, 0, sizeof record);
    record.SetReceived(0x0102030405060708LL);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
    const uint8_t expected[8] = {8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_EQ(0, memcmp(bytes + 289, expected, 8));
    EXPECT_EQ(0x0102030405060708LL, record.Received());
    record.SetReceived(-1);
    EXPECT_EQ(-1, record.Received());
}

}  // namespace
