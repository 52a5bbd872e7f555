// The zip reader on archives made by Info-ZIP zip and Python's zipfile:
// opening (long comment, data in front, broken end records), describing
// entries (names, attributes, times), extracting stored, deflated, empty,
// folder and encrypted entries, and where relative targets go.

#include <gtest/gtest.h>

#include <string.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "SupportTestEnv.h"
#include "ZipTestSupport.h"
#include "opn/platform/pfClock.h"
#include "sdk/support/zip/ZipFileTarget.h"
#include "sdk/support/zip/ZipReader.h"

using supporttest::PathExists;
using supporttest::ReadWholeFile;
using supporttest::TempFolder;
using namespace ziptest;

namespace {

std::string AsString(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// An open archive that is closed at the end of the test.
class OpenZip {
  public:
    OpenZip(const Bytes& data, const char* password = nullptr)
        : m_handle(ZipOpenMemory(data.data(), (uint32_t)data.size(), password)) {}
    ~OpenZip() { ZipClose(m_handle); }
    OpenZip(const OpenZip&) = delete;
    OpenZip& operator=(const OpenZip&) = delete;
    ZipHandle* get() const { return m_handle; }
    int32_t Count() const {
        ZipEntry e;
        EXPECT_EQ(ZipGetEntry(m_handle, -1, &e), (uint32_t)ZipOk);
        return e.index;
    }

  private:
    ZipHandle* m_handle;
};

const char* const kInfoNames[] = {"readme.txt", "photo.bin",   "empty.txt",
                                  "img/",       "img/pic.jpg", "locked.txt"};

TEST(ZipReader, OpensArchiveWithLongCommentAndWithDataInFront) {
    for (const char* file : {"info.zip", "prefixed.zip"}) {
        SCOPED_TRACE(file);
        Bytes data = LoadArchive(file);
        OpenZip zip(data);
        ASSERT_NE(zip.get(), nullptr);
        ASSERT_EQ(zip.Count(), 6);
        for (int i = 0; i < 6; ++i) {
            ZipEntry e;
            ASSERT_EQ(ZipGetEntry(zip.get(), i, &e), (uint32_t)ZipOk);
            EXPECT_EQ(e.index, i);
            EXPECT_STREQ(e.name, kInfoNames[i]);
        }
        // Going back restarts the walk from the first entry.
        ZipEntry e;
        ASSERT_EQ(ZipGetEntry(zip.get(), 1, &e), (uint32_t)ZipOk);
        EXPECT_STREQ(e.name, "photo.bin");
        EXPECT_EQ(e.uncompressedSize, 50000);
        EXPECT_EQ(e.compressedSize, 50000);  // stored
        ASSERT_EQ(ZipGetEntry(zip.get(), 0, &e), (uint32_t)ZipOk);
        EXPECT_EQ(e.uncompressedSize, 400 * 28);
        EXPECT_LT(e.compressedSize, e.uncompressedSize);  // deflated

        // Out of range: the record is cleared and the walk still works.
        for (int32_t bad : {-2, 6, 1000}) {
            ZipEntry out;
            memset(&out, 'x', sizeof out);
            EXPECT_EQ(ZipGetEntry(zip.get(), bad, &out), (uint32_t)ZipErrArgs);
            EXPECT_EQ(out.index, 0);
            EXPECT_EQ(out.name[0], '\0');
            EXPECT_EQ(out.uncompressedSize, 0);
        }
        ASSERT_EQ(ZipGetEntry(zip.get(), 5, &e), (uint32_t)ZipOk);
        EXPECT_STREQ(e.name, "locked.txt");
    }
}

TEST(ZipReader, RefusesBlocksThatAreNoUsableArchive) {
    Bytes info = LoadArchive("info.zip");
    Bytes deflated = LoadArchive("deflated.zip");
    Layout l = Locate(deflated);

    struct Case {
        const char* what;
        Bytes data;
    };
    Bytes counts = deflated;  // 2 entries on this disk, 3 in total
    Put16(counts, l.end + 10, 3);
    Bytes disk = deflated;
    Put16(disk, l.end + 4, 1);
    Bytes directoryPastEnd = deflated;  // the directory would end after the record
    Put32(directoryPastEnd, l.end + 16, (uint32_t)l.end);
    Bytes noSignature = deflated;
    noSignature[l.end] = 'Q';
    Case cases[] = {
        {"shorter than an end record", Bytes(deflated.end() - 21, deflated.end())},
        {"no end signature", noSignature},
        {"entry counts differ", counts},
        {"second disk", disk},
        {"directory past its end record", directoryPastEnd},
        {"end record cut", Bytes(deflated.begin(), deflated.end() - 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZipHandle* h = ZipOpenMemory(c.data.data(), (uint32_t)c.data.size(), nullptr);
        EXPECT_EQ(h, nullptr);
        ZipClose(h);
    }
    EXPECT_EQ(ZipOpenMemory(nullptr, 100, nullptr), nullptr);
    // A comment shorter than announced is no reason to refuse the archive.
    Bytes cut(info.begin(), info.end() - 1990);
    ZipHandle* h = ZipOpenMemory(cut.data(), (uint32_t)cut.size(), nullptr);
    EXPECT_NE(h, nullptr);
    ZipClose(h);
    EXPECT_EQ(ZipGetEntry(nullptr, -1, nullptr), (uint32_t)ZipErrArgs);
    ZipEntry e;
    EXPECT_EQ(ZipGetEntry(nullptr, 0, &e), (uint32_t)ZipErrArgs);
    EXPECT_EQ(ZipExtractEntry(nullptr, 0, "x"), (uint32_t)ZipErrArgs);
    EXPECT_STREQ(ZipResultText(ZipErrPassword), "Correct password required");
    EXPECT_STREQ(ZipResultText(0x1234), "unknown zip result code");
}

TEST(ZipReader, ExtractsStoredDeflatedEmptyAndFolderEntries) {
    for (const char* file : {"info.zip", "prefixed.zip"}) {
        SCOPED_TRACE(file);
        TempFolder tmp;
        ASSERT_TRUE(tmp.Ok());
        Bytes data = LoadArchive(file);
        OpenZip zip(data);
        ASSERT_NE(zip.get(), nullptr);
        for (int i = 0; i < 6; ++i) {
            const std::string target = tmp.Win(std::string("out\\") + kInfoNames[i]);
            EXPECT_EQ(ZipExtractEntry(zip.get(), i, target.c_str()), (uint32_t)ZipOk)
                << kInfoNames[i];
        }
        for (const char* name :
             {"readme.txt", "photo.bin", "empty.txt", "img/pic.jpg", "locked.txt"}) {
            bool ok = false;
            std::string got = ReadWholeFile(tmp.Native(std::string("out/") + name), &ok);
            EXPECT_TRUE(ok) << name;
            EXPECT_EQ(got, AsString(SourceFile(name))) << name;
        }
        EXPECT_TRUE(std::filesystem::is_directory(tmp.Native("out/img")));
        MakeWritable(tmp.Native("out/locked.txt"));
    }
}

TEST(ZipReader, AttributesFollowTheHostThatMadeTheEntry) {
    struct Case {
        const char* archive;
        int index;
        uint32_t attributes;
    };
    const Case cases[] = {
        {"info.zip", 0, 0x20},  // Unix 0644
        {"info.zip", 3, 0x30},  // Unix directory
        {"info.zip", 5, 0x21},  // Unix 0444
        {"fat.zip", 0, 0x21},  {"fat.zip", 1, 0x22}, {"fat.zip", 2, 0x24},
        {"fat.zip", 3, 0x10},  {"fat.zip", 4, 0x30},  // Unix 0x41ED0000
    };
    for (const Case& c : cases) {
        Bytes data = LoadArchive(c.archive);
        OpenZip zip(data);
        ZipEntry e;
        ASSERT_EQ(ZipGetEntry(zip.get(), c.index, &e), (uint32_t)ZipOk);
        EXPECT_EQ(e.attributes, c.attributes) << c.archive << " " << e.name;
    }

    // The files carry them: read-only, hidden and system.
    TempFolder tmp;
    Bytes fat = LoadArchive("fat.zip");
    OpenZip zip(fat);
    for (int i = 0; i < 3; ++i) {
        ZipEntry e;
        ASSERT_EQ(ZipGetEntry(zip.get(), i, &e), (uint32_t)ZipOk);
        ASSERT_EQ(ZipExtractEntry(zip.get(), i, tmp.Win(e.name).c_str()), (uint32_t)ZipOk);
    }
    EXPECT_TRUE(IsReadOnly(tmp.Native("ro.txt")));
    EXPECT_FALSE(IsReadOnly(tmp.Native("hidden.txt")));
#ifdef _WIN32
    EXPECT_NE(NativeAttributes(tmp.Native("hidden.txt")) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_NE(NativeAttributes(tmp.Native("system.txt")) & FILE_ATTRIBUTE_SYSTEM, 0u);
    SetFileAttributesA(tmp.Native("hidden.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesA(tmp.Native("system.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
#endif
    // A read-only file is not replaced; once writable again, it is.
    EXPECT_EQ(ZipExtractEntry(zip.get(), 0, tmp.Win("ro.txt").c_str()), (uint32_t)ZipErrCreate);
    MakeWritable(tmp.Native("ro.txt"));
    EXPECT_EQ(ZipExtractEntry(zip.get(), 0, tmp.Win("ro.txt").c_str()), (uint32_t)ZipOk);
    EXPECT_EQ(ReadWholeFile(tmp.Native("ro.txt")), "read-only");
    MakeWritable(tmp.Native("ro.txt"));
}

TEST(ZipReader, TimesComeFromTheExtendedTimestampElseFromDos) {
    // Python's entries carry only the DOS time 2020-01-02 03:04:06, local.
    uint64_t dos = 0;
    ASSERT_TRUE(ClockLocalToFileTime(2020, 1, 2, 3, 4, 6, &dos));
    const uint64_t utc = UtcFileTime(2020, 1, 2, 3, 4, 6);
    const uint64_t fourteenHours = 14ull * 3600 * 10000000;
    EXPECT_LE(dos < utc ? utc - dos : dos - utc, fourteenHours);
    uint64_t none = 1;
    EXPECT_FALSE(ClockLocalToFileTime(2021, 2, 29, 0, 0, 0, &none));
    EXPECT_EQ(none, 0u);

    Bytes fat = LoadArchive("fat.zip");
    OpenZip fatZip(fat);
    ZipEntry e;
    ASSERT_EQ(ZipGetEntry(fatZip.get(), 1, &e), (uint32_t)ZipOk);
    EXPECT_EQ(e.writeTime, dos);
    EXPECT_EQ(e.accessTime, dos);
    EXPECT_EQ(e.creationTime, dos);

    // Info-ZIP's local "UT" block with flags 3: write and access time from
    // it, the creation time from the DOS fields (local time, even seconds).
    Bytes info = LoadArchive("info.zip");
    OpenZip zip(info);
    ASSERT_EQ(ZipGetEntry(zip.get(), 0, &e), (uint32_t)ZipOk);
    const uint64_t written = UtcFileTime(2021, 3, 4, 5, 6, 7);
    EXPECT_EQ(e.writeTime, written);
    EXPECT_EQ(e.accessTime, UtcFileTime(2022, 5, 6, 7, 8, 9));
    EXPECT_NE(e.creationTime, written);
    EXPECT_LE(e.creationTime < written ? written - e.creationTime : e.creationTime - written,
              fourteenHours);

    TempFolder tmp;
    ASSERT_EQ(ZipExtractEntry(zip.get(), 0, tmp.Win("readme.txt").c_str()), (uint32_t)ZipOk);
    FileTimes times = TimesOf(tmp.Native("readme.txt"));
    EXPECT_EQ(times.write, written);
    EXPECT_EQ(times.access, UtcFileTime(2022, 5, 6, 7, 8, 9));
}

TEST(ZipReader, EncryptedEntriesNeedThePassword) {
    struct Case {
        const char* archive;
        int count;
    };
    // Info-ZIP (check byte from the time) and 7-Zip (from the CRC-32).
    for (Case c : {Case{"encrypted.zip", 2}, Case{"encrypted-7z.zip", 1}}) {
        SCOPED_TRACE(c.archive);
        Bytes data = LoadArchive(c.archive);
        TempFolder tmp;
        const char* const names[] = {"readme.txt", "photo.bin"};
        {
            // Without the password the one check byte refuses the entry, except
            // one time in 256 (the header is random), when inflating or the
            // CRC-32 does.
            OpenZip zip(data);
            for (int i = 0; i < c.count; ++i) {
                uint32_t result = ZipExtractEntry(zip.get(), i, tmp.Win(names[i]).c_str());
                EXPECT_TRUE(result == (uint32_t)ZipErrPassword || result == (uint32_t)ZipErrFlate ||
                            result == (uint32_t)ZipErrCrc)
                    << result;
            }
        }
        {
            // A wrong password fails one way or another, never silently.
            OpenZip zip(data, "wrong");
            for (int i = 0; i < c.count; ++i)
                EXPECT_NE(ZipExtractEntry(zip.get(), i, tmp.Win(names[i]).c_str()),
                          (uint32_t)ZipOk);
        }
        OpenZip zip(data, "secret");
        for (int i = 0; i < c.count; ++i) {
            ASSERT_EQ(ZipExtractEntry(zip.get(), i, tmp.Win(names[i]).c_str()), (uint32_t)ZipOk);
            EXPECT_EQ(ReadWholeFile(tmp.Native(names[i])), AsString(SourceFile(names[i])));
        }
    }
}

TEST(ZipReader, NamesAreSanitisedAndKoreanNamesKeptAsStored) {
    Bytes data = LoadArchive("names.zip");
    OpenZip zip(data);
    ASSERT_EQ(zip.Count(), 10);
    // CP949 bytes of "한글/이미지.txt".
    const std::string korean = "\xC7\xD1\xB1\xDB/\xC0\xCC\xB9\xCC\xC1\xF6.txt";
    struct Case {
        int index;
        uint32_t result;
        std::string name;
    };
    const Case cases[] = {
        {0, ZipErrBadName, ""},          // ../x
        {1, ZipOk, "x\\a.txt"},          // C:\x\a.txt
        {2, ZipOk, "abs/b.txt"},         // /abs/b.txt
        {3, ZipOk, "f.txt"},             // dir/../f.txt
        {4, ZipOk, "server\\share\\f"},  // \\server\share\f
        {5, ZipErrBadName, ""},          // a/../../b.txt
        {6, ZipErrBadName, ""},          // ..\y.txt
        {7, ZipOk, "ok.txt"},
        {8, ZipOk, korean},
        {9, ZipErrBadName, ""},  // sub/.. /z.txt
    };
    TempFolder tmp;
    for (const Case& c : cases) {
        ZipEntry e;
        EXPECT_EQ(ZipGetEntry(zip.get(), c.index, &e), c.result) << c.index;
        EXPECT_EQ(std::string(e.name), c.name) << c.index;
        if (c.result != ZipOk) {
            EXPECT_EQ(ZipExtractEntry(zip.get(), c.index, tmp.Win("any").c_str()), c.result);
            continue;
        }
        std::string target = tmp.Win("in\\" + c.name);
        EXPECT_EQ(ZipExtractEntry(zip.get(), c.index, target.c_str()), (uint32_t)ZipOk);
    }
    std::string koreanNative = korean;
#ifdef _WIN32
    koreanNative[4] = '\\';
#endif
    EXPECT_EQ(ReadWholeFile(tmp.Native("in/" + koreanNative)),
              "data of " + std::string("\xC7\xD1\xB1\xDB/\xC0\xCC\xB9\xCC\xC1\xF6.txt"));
    EXPECT_EQ(ReadWholeFile(tmp.Native("in/server/share/f")), "data of \\\\server\\share\\f");
    EXPECT_FALSE(PathExists(tmp.Native("any")));
}

TEST(ZipReader, FolderEntriesMakeFoldersAndRelativeTargetsUseTheOpeningFolder) {
    TempFolder tmp;
    Bytes data = LoadArchive("info.zip");
    std::error_code ec;
    const std::filesystem::path before = std::filesystem::current_path(ec);
    std::filesystem::current_path(tmp.Native(), ec);
    ASSERT_FALSE(ec);
    ZipHandle* zip = ZipOpenMemory(data.data(), (uint32_t)data.size(), nullptr);
    std::filesystem::current_path(before, ec);
    ASSERT_NE(zip, nullptr);

    // Relative: below the folder that was current at opening.
    EXPECT_EQ(ZipExtractEntry(zip, 4, "rel\\deep/pic.jpg"), (uint32_t)ZipOk);
    EXPECT_EQ(ReadWholeFile(tmp.Native("rel/deep/pic.jpg")), "picture bytes");
    // Folder entry "img/" to an absolute target below a missing folder.
    const std::string folder = tmp.Win("t\\img/");
    EXPECT_EQ(ZipExtractEntry(zip, 3, folder.c_str()), (uint32_t)ZipOk);
    EXPECT_TRUE(std::filesystem::is_directory(tmp.Native("t/img")));
    EXPECT_TRUE(std::filesystem::is_empty(tmp.Native("t/img")));
    // A zero-byte entry over an existing file replaces it with nothing.
    EXPECT_EQ(ZipExtractEntry(zip, 0, tmp.Win("t\\empty.txt").c_str()), (uint32_t)ZipOk);
    EXPECT_EQ(ZipExtractEntry(zip, 2, tmp.Win("t\\empty.txt").c_str()), (uint32_t)ZipOk);
    bool ok = false;
    EXPECT_EQ(ReadWholeFile(tmp.Native("t/empty.txt"), &ok), "");
    EXPECT_TRUE(ok);
    // A folder that cannot be made (a file is in the way) is reported.
    EXPECT_EQ(ZipExtractEntry(zip, 3, tmp.Win("t\\empty.txt\\img/").c_str()),
              (uint32_t)ZipErrCreate);
    EXPECT_EQ(ZipClose(zip), (uint32_t)ZipOk);
}

TEST(ZipReader, TheWideTargetWritesThroughUtf16Paths) {
    TempFolder tmp;
    Bytes names = LoadArchive("names.zip");
    OpenZip zip(names);
    ZipEntry e;
    ASSERT_EQ(ZipGetEntry(zip.get(), 8, &e), (uint32_t)ZipOk);  // CP949 "한글/이미지.txt"
    const std::string target = tmp.Win(std::string("w\\") + e.name);
    ASSERT_EQ(ZipExtractEntryTo(zip.get(), 8, target.c_str(), ZipWideFileTarget()),
              (uint32_t)ZipOk);
#ifdef _WIN32
    // Under code page 949 the narrow name is the same file.
    const std::string written = tmp.Native("w\\\xC7\xD1\xB1\xDB\\\xC0\xCC\xB9\xCC\xC1\xF6.txt");
#else
    // POSIX keeps wide names as UTF-8.
    const std::string written = tmp.Native("w/한글/이미지.txt");
#endif
    EXPECT_EQ(ReadWholeFile(written), std::string("data of ") + e.name);

    // Same data, attributes and refusals as the narrow target.
    Bytes info = LoadArchive("info.zip");
    OpenZip infoZip(info);
    for (int i = 0; i < 6; ++i) {
        const std::string path = tmp.Win(std::string("i\\") + kInfoNames[i]);
        EXPECT_EQ(ZipExtractEntryTo(infoZip.get(), i, path.c_str(), ZipWideFileTarget()),
                  (uint32_t)ZipOk);
    }
    Bytes photo = SourceFile("photo.bin");
    EXPECT_EQ(ReadWholeFile(tmp.Native("i/photo.bin")), std::string(photo.begin(), photo.end()));
    EXPECT_TRUE(IsReadOnly(tmp.Native("i/locked.txt")));
    EXPECT_EQ(
        ZipExtractEntryTo(infoZip.get(), 5, tmp.Win("i\\locked.txt").c_str(), ZipWideFileTarget()),
        (uint32_t)ZipErrCreate);
    MakeWritable(tmp.Native("i/locked.txt"));
}

}  // namespace
