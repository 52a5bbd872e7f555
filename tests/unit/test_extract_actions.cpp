// Unpacking engine archives: the kind from the URL, the zip and 7z actions
// and their dispatch, on archives made by 7-Zip and Info-ZIP at test time
// (tests/support/make-extract-archives.sh), including hostile ones.

#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "SupportTestEnv.h"
#include "ZipTestSupport.h"
#include "opn/core/ovCString.h"
#include "opn/platform/pfFileSystem.h"
#include "opn/platform/pfVolume.h"
#include "sdk/download/extract/ArchiveKind.h"
#include "sdk/download/extract/C7ZipExtractAction.h"
#include "sdk/download/extract/CZipExtractAction.h"
#include "sdk/download/extract/ExtractArchive.h"
#include "sdk/support/ExtractOutput.h"
#include "sdk/download/extract/SevenZipExtraction.h"
#include "support/TestData.h"

using supporttest::PathExists;
using supporttest::ReadWholeFile;
using supporttest::TempFolder;
using ziptest::Bytes;
using ziptest::IsReadOnly;
using ziptest::MakeWritable;

namespace {

const char* const kTreeFiles[] = {"readme.txt", "sub/deep/random.bin", "sub/engine.exe",
                                  "empty.txt", "locked.txt"};

int32_t Unpack(int32_t kind, const Bytes& data, const std::string& folder) {
    return ExtractArchive(kind, data.data(), (int64_t)data.size(), folder.c_str());
}

// Every file of the tree is in `native` with the same bytes; when `fresh`
// (written into an empty folder) the read-only one is read-only. It is made
// writable again so that it can be replaced and the folder removed.
void ExpectTree(const std::string& native, const std::string& label, bool fresh = true) {
    for (const char* name : kTreeFiles) {
        bool ok = false;
        const std::string path = native + "/" + name;
        // Compared as a whole: a byte dump of a mismatch would drown the log.
        EXPECT_TRUE(ReadWholeFile(path, &ok) == ziptest::ExtractTestSource(name))
            << label << ": " << name;
        EXPECT_TRUE(ok) << label << ": " << name;
    }
    if (fresh) {
        EXPECT_TRUE(IsReadOnly(native + "/locked.txt")) << label;
    }
    MakeWritable(native + "/locked.txt");
}

TEST(ArchiveKind, ComesFromTheLastExtension) {
    const struct {
        const char* url;
        int32_t kind;
    } cases[] = {
        {"http://cdn.example/engine/ld.7z", kArchive7z},
        {"http://cdn.example/engine/ld.7Z", kArchive7z},
        {"http://cdn.example/engine/ld.zip", kArchiveZip},
        {"http://cdn.example/engine/LD.ZIP", kArchiveZip},
        {"http://cdn.example/engine.zip/ld.exe", kArchiveNone},
        {"http://cdn.example/engine/ld.zip.md4", kArchiveNone},
        {"http://cdn/ld", kArchiveNone},
        {".zip", kArchiveNone},
        {"a.zipx", kArchiveNone},
        {"a.", kArchiveNone},
        {"", kArchiveNone},
        {nullptr, kArchiveNone},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ArchiveKind(c.url), c.kind) << (c.url ? c.url : "(null)");
}

TEST(ExtractArchive, UnpacksEveryMethodByteForByte) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    for (const char* name : {"lzma.7z", "lzma2.7z", "bcj.7z", "bcj2.7z", "info.zip"}) {
        Bytes data = ziptest::ExtractTestArchive(name);
        // Folders that do not exist yet, with and without the final separator.
        const std::string sub = std::string(name) + "\\out";
        EXPECT_EQ(Unpack(ArchiveKind(name), data, tmp.Win(sub) + "\\"), kExtractArchiveOk) << name;
        ExpectTree(tmp.Native(sub), name);
        EXPECT_EQ(Unpack(ArchiveKind(name), data, tmp.Win(sub)), kExtractArchiveOk) << name;
        ExpectTree(tmp.Native(sub), std::string(name) + " again", false);
        EXPECT_FALSE(PathExists(tmp.Native(sub + "readme.txt"))) << name;
    }
}

TEST(ExtractArchive, RefusesBadInputWithoutTouchingTheDisk) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    Bytes zip = ziptest::ExtractTestArchive("info.zip");
    Bytes sevenZip = ziptest::ExtractTestArchive("lzma2.7z");
    const std::string folder = tmp.Win("out") + "\\";
    CZipExtractAction zipAction;
    C7ZipExtractAction sevenZipAction;
    IExtractAction* actions[] = {&zipAction, &sevenZipAction};
    for (IExtractAction* action : actions) {
        EXPECT_EQ(action->Extract(zip.data(), 0, folder.c_str()), kExtractBadArguments);
        EXPECT_EQ(action->Extract(zip.data(), -1, folder.c_str()), kExtractBadArguments);
        EXPECT_EQ(action->Extract(nullptr, 10, folder.c_str()), kExtractBadArguments);
        EXPECT_EQ(action->Extract(zip.data(), (int64_t)zip.size(), ""), kExtractBadArguments);
        EXPECT_EQ(action->Extract(zip.data(), (int64_t)zip.size(), nullptr), kExtractBadArguments);
    }
    EXPECT_EQ(ExtractArchive(kArchiveZip, zip.data(), 0, folder.c_str()), kExtractArchiveFailed);
    EXPECT_EQ(Unpack(kArchiveNone, zip, folder), kExtractArchiveFailed);
    EXPECT_EQ(Unpack(ArchiveKind("http://h/ld.exe"), zip, folder), kExtractArchiveFailed);
    EXPECT_EQ(CreateExtractAction(kArchiveNone), nullptr);
    EXPECT_EQ(CreateExtractAction(3), nullptr);
    EXPECT_FALSE(PathExists(tmp.Native("out")));

    // Each kind refuses the other's archive: not opened.
    EXPECT_EQ(zipAction.Extract(sevenZip.data(), (int64_t)sevenZip.size(), folder.c_str()),
              kExtractEntryFailed);
    EXPECT_EQ(sevenZipAction.Extract(zip.data(), (int64_t)zip.size(), folder.c_str()),
              kExtractOpenFailed);
    EXPECT_EQ(Unpack(kArchive7z, zip, folder), kExtractArchiveFailed);
    EXPECT_EQ(Unpack(kArchiveZip, sevenZip, folder), kExtractArchiveFailed);
}

// The zip action stops at the first entry it cannot write (the third here,
// blocked by a folder of its name); the two before it stay, the rest is not
// written.
TEST(ZipExtract, StopsAtTheFirstEntryThatFails) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    Bytes data = ziptest::ExtractTestArchive("info.zip");
    std::error_code ec;
    std::filesystem::create_directories(tmp.Native("out/sub/engine.exe"), ec);
    CZipExtractAction action;
    const std::string folder = tmp.Win("out") + "\\";
    EXPECT_EQ(action.Extract(data.data(), (int64_t)data.size(), folder.c_str()),
              kExtractEntryFailed);
    EXPECT_TRUE(ReadWholeFile(tmp.Native("out/readme.txt")) ==
                ziptest::ExtractTestSource("readme.txt"));
    EXPECT_TRUE(ReadWholeFile(tmp.Native("out/sub/deep/random.bin")) ==
                ziptest::ExtractTestSource("sub/deep/random.bin"));
    EXPECT_FALSE(PathExists(tmp.Native("out/empty.txt")));
    EXPECT_EQ(Unpack(kArchiveZip, data, folder), kExtractArchiveFailed);
}

// A file that fails after the archive opened fails the extraction; the ones
// written before it stay.
TEST(SevenZipExtract, FailureAfterOpeningIsReported) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    Bytes damaged = ziptest::ExtractTestArchive("lzma.7z");
    // A byte inside the packed data (the header is at the end).
    damaged[32 + damaged.size() / 2] ^= 0x55;
    EXPECT_EQ(Unpack(kArchive7z, damaged, tmp.Win("damaged")), kExtractArchiveFailed);

    // A folder where the last file (in archive order) should go blocks it.
    Bytes data = ziptest::ExtractTestArchive("lzma2.7z");
    std::error_code ec;
    std::filesystem::create_directories(tmp.Native("blocked/sub/engine.exe"), ec);
    C7ZipExtractAction action;
    EXPECT_EQ(action.Extract(data.data(), (int64_t)data.size(), tmp.Win("blocked").c_str()),
              kExtractDecodeFailed);
    EXPECT_TRUE(ReadWholeFile(tmp.Native("blocked/readme.txt")) ==
                ziptest::ExtractTestSource("readme.txt"));
    MakeWritable(tmp.Native("blocked/locked.txt"));
}

TEST(SevenZipExtract, NamesStayInsideTheFolder) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    // In archive order: "../../esc.txt" loses what climbs, as zip names do,
    // and lands inside; "ok.txt"; "../up.txt" cannot be made to stay inside
    // and fails the extraction. Nothing is written above the folder.
    Bytes climbing = ziptest::ExtractTestArchive("names.7z");
    EXPECT_EQ(Unpack(kArchive7z, climbing, tmp.Win("a\\b")), kExtractArchiveFailed);
    EXPECT_EQ(ReadWholeFile(tmp.Native("a/b/esc.txt")), "escaped");
    EXPECT_EQ(ReadWholeFile(tmp.Native("a/b/ok.txt")), "inside");
    for (const char* outside : {"esc.txt", "up.txt", "a/esc.txt", "a/up.txt", "a/b/up.txt"})
        EXPECT_FALSE(PathExists(tmp.Native(outside))) << outside;

    // A Korean name goes through the system code page (CP949) and lands
    // under its own name: UTF-8 on POSIX, CP949 for the narrow calls here.
    Bytes korean = ziptest::ExtractTestArchive("korean.7z");
    EXPECT_EQ(Unpack(kArchive7z, korean, tmp.Win("k")), kExtractArchiveOk);
#ifdef _WIN32
    const char* koreanPath = "k/\xC7\xD1\xB1\xDB/\xC0\xCC\xB9\xCC\xC1\xF6.txt";
#else
    const char* koreanPath = "k/\xED\x95\x9C\xEA\xB8\x80/\xEC\x9D\xB4\xEB\xAF\xB8\xEC\xA7\x80.txt";
#endif
    EXPECT_EQ(ReadWholeFile(tmp.Native(koreanPath)), "korean");

    // "/abs/in.txt" loses its root and lands inside.
    Bytes rooted = ziptest::ExtractTestArchive("rooted.7z");
    EXPECT_EQ(Unpack(kArchive7z, rooted, tmp.Win("r")), kExtractArchiveOk);
    EXPECT_EQ(ReadWholeFile(tmp.Native("r/abs/in.txt")), "rooted");
    EXPECT_EQ(ReadWholeFile(tmp.Native("r/ok.txt")), "inside");
    // Folder entries are skipped: the empty "hollow" is not made.
    EXPECT_FALSE(PathExists(tmp.Native("r/hollow")));
}

// A relative folder is taken from the current folder once; the extraction
// itself never moves the current folder (other threads rely on it).
TEST(SevenZipExtract, LeavesTheCurrentFolderAlone) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    std::error_code ec;
    const std::filesystem::path before = std::filesystem::current_path(ec);
    std::filesystem::current_path(tmp.Native(), ec);
    ASSERT_FALSE(ec);
    ovCString start;
    ASSERT_TRUE(FsGetCurrentFolder(start));

    std::atomic<bool> done{false};
    std::atomic<int> moved{0};
    std::thread watcher([&] {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (int i = 0; i < 10000000 && !done && std::chrono::steady_clock::now() < limit; ++i) {
            ovCString now;
            if (FsGetCurrentFolder(now) && strcmp(now.CStr(), start.CStr()) != 0)
                ++moved;
        }
    });
    Bytes many = ziptest::ExtractTestArchive("many.7z");
    for (int round = 0; round < 5; ++round)
        EXPECT_EQ(Unpack(kArchive7z, many, "rel\\out"), kExtractArchiveOk);
    done = true;
    watcher.join();
    EXPECT_EQ(moved.load(), 0);
    EXPECT_EQ(ReadWholeFile(tmp.Native("rel/out/f1.txt")), "file 1\n");
    EXPECT_EQ(ReadWholeFile(tmp.Native("rel/out/f300.txt")), "file 300\n");
    std::filesystem::current_path(before, ec);
}

// Sizes in the archive cannot make the decoder take any amount of memory.
TEST(SevenZipExtract, MemoryStaysWithinItsLimit) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    // A 1000-byte stored file that claims 2^40 bytes: refused, not allocated.
    Bytes huge = ziptest::ExtractTestArchive("huge.7z");
    EXPECT_EQ(Unpack(kArchive7z, huge, tmp.Win("huge")), kExtractArchiveFailed);
    EXPECT_FALSE(PathExists(tmp.Native("huge/huge.bin")));

    // A real archive needs more than 64 KiB at once (its solid block).
    Bytes data = ziptest::ExtractTestArchive("lzma2.7z");
    const std::string small = tmp.Win("small") + "\\";
    const std::string enough = tmp.Win("enough") + "\\";
    std::filesystem::create_directories(tmp.Native("small"));
    std::filesystem::create_directories(tmp.Native("enough"));
    ExtractOutput output;
    EXPECT_EQ(
        Extract7zToFolder(data.data(), (uint32_t)data.size(), small.c_str(), 64 << 10, output),
        kSevenZipFailed);
    EXPECT_EQ(Extract7zToFolder(data.data(), (uint32_t)data.size(), enough.c_str(),
                                kSevenZipMemoryLimit, output),
              kSevenZipOk);
    ExpectTree(tmp.Native("enough"), "enough");
}

// Regular files below `native`, however deep.
int FilesBelow(const std::string& native) {
    std::error_code ec;
    int n = 0;
    for (std::filesystem::recursive_directory_iterator it(native, ec), end; !ec && it != end;
         it.increment(ec))
        n += it->is_regular_file() ? 1 : 0;
    return n;
}

std::atomic<int64_t> g_freeBytes{-1};
bool FreeBytesHook(const char* folder, int64_t* freeBytes) {
    (void)folder;
    *freeBytes = g_freeBytes.load();
    return true;
}

// Archives made of zeros that unpack to more than an extraction may write:
// refused from what they declare, before a byte is written.
TEST(ExtractArchive, BombsAreRefusedBeforeAnythingIsWritten) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    for (const char* name : {"bomb.zip", "bomb.7z"}) {
        SCOPED_TRACE(name);
        Bytes data = ziptest::ExtractTestArchive(name);
        ASSERT_LT(data.size(), 1000000u);
        EXPECT_EQ(Unpack(ArchiveKind(name), data, tmp.Win(name) + "\\"), kExtractArchiveFailed);
        EXPECT_EQ(0, FilesBelow(tmp.Native(name)));
    }
}

// What an archive declares is held to the output's caps and to the free
// space of the volume; nothing is written when it is refused.
TEST(ExtractArchive, DeclaredEntriesAndBytesAreBounded) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    int64_t treeBytes = 0;
    for (const char* name : kTreeFiles)
        treeBytes += (int64_t)ziptest::ExtractTestSource(name).size();
    const int64_t kNoHook = -1;
    struct Case {
        const char* name;
        const char* archive;
        int64_t maxBytes;
        int64_t maxEntries;
        int64_t freeBytes;
        bool ok;
    };
    const Case cases[] = {
        {"zip at the byte cap", "info.zip", treeBytes, 5, kNoHook, true},
        {"zip a byte over the cap", "info.zip", treeBytes - 1, 5, kNoHook, false},
        {"zip over the entry cap", "info.zip", treeBytes, 4, kNoHook, false},
        {"7z at the byte cap", "lzma2.7z", treeBytes, 5, kNoHook, true},
        {"7z a byte over the cap", "lzma2.7z", treeBytes - 1, 5, kNoHook, false},
        {"300 files at the entry cap", "many.7z", kExtractMaxBytes, 300, kNoHook, true},
        {"300 files over the entry cap", "many.7z", kExtractMaxBytes, 299, kNoHook, false},
        {"zip with just enough space", "info.zip", kExtractMaxBytes, 5, treeBytes, true},
        {"zip without the space", "info.zip", kExtractMaxBytes, 5, treeBytes - 1, false},
        {"7z without the space", "bcj.7z", kExtractMaxBytes, 5, treeBytes - 1, false},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string sub = "case" + std::to_string(index++);
        g_freeBytes = c.freeBytes;
        PfSetFreeDiskSpaceHookForTesting(c.freeBytes == kNoHook ? nullptr : &FreeBytesHook);
        ExtractOutput output(c.maxBytes, c.maxEntries);
        Bytes data = ziptest::ExtractTestArchive(c.archive);
        const int32_t result =
            ExtractArchiveTo(ArchiveKind(c.archive), data.data(), (int64_t)data.size(),
                             (tmp.Win(sub) + "\\").c_str(), output);
        PfSetFreeDiskSpaceHookForTesting(nullptr);
        EXPECT_EQ(c.ok ? kExtractArchiveOk : kExtractArchiveFailed, result);
        if (c.ok) {
            EXPECT_EQ(std::string(c.archive) == "many.7z" ? 300 : 5, output.Files().Count());
            EXPECT_EQ(std::string(c.archive) == "many.7z" ? 300 : 5, FilesBelow(tmp.Native(sub)));
        } else {
            EXPECT_EQ(0, FilesBelow(tmp.Native(sub)));
            EXPECT_EQ(0, output.BytesWritten());
        }
        MakeWritable(tmp.Native(sub + "/locked.txt"));
    }
}

// Declared sizes can lie: the output counts what really goes out and
// refuses files and bytes beyond what was admitted, and everything once it
// is cancelled.
TEST(ExtractOutput, RefusesWhatWasNotAdmitted) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    std::filesystem::create_directories(tmp.Native("o"));
    const std::string folder = tmp.Win("o") + "\\";
    const std::string a = folder + "a.bin";
    const std::string b = folder + "sub\\b.bin";
    std::atomic<bool> cancel{false};
    ExtractOutput output(100, 2, &cancel);
    const char bytes[16] = "0123456789abcde";

    EXPECT_EQ(nullptr, output.CreateOutputFile(a.c_str(), 0)) << "nothing admitted yet";
    EXPECT_FALSE(output.Admit(folder.c_str(), 3, 10));
    EXPECT_FALSE(output.Admit(folder.c_str(), 1, 101));
    ASSERT_TRUE(output.Admit(folder.c_str(), 2, 10));
    FsFile* file = output.CreateOutputFile(a.c_str(), 0);
    ASSERT_NE(nullptr, file);
    EXPECT_TRUE(output.Write(file, bytes, 6));
    EXPECT_FALSE(output.Write(file, bytes, 5)) << "11 of 10 admitted bytes";
    EXPECT_TRUE(output.Write(file, bytes, 4));
    EXPECT_TRUE(FsCloseFile(file));
    ASSERT_TRUE(output.CreateFolder((folder + "sub").c_str()));
    file = output.CreateOutputFile(b.c_str(), 0);
    ASSERT_NE(nullptr, file);
    EXPECT_FALSE(output.Write(file, bytes, 1));
    EXPECT_TRUE(FsCloseFile(file));
    EXPECT_EQ(nullptr, output.CreateOutputFile((folder + "c.bin").c_str(), 0)) << "a third file";
    EXPECT_EQ(10, output.BytesWritten());
    ASSERT_EQ(2, output.Files().Count());
    EXPECT_STREQ("a.bin", output.Files().At(0));
    EXPECT_STREQ("sub\\b.bin", output.Files().At(1));
    EXPECT_EQ("0123450123", ReadWholeFile(tmp.Native("o/a.bin")));

    ASSERT_TRUE(output.Admit(folder.c_str(), 2, 10));
    EXPECT_EQ(0, output.Files().Count());
    file = output.CreateOutputFile(a.c_str(), 0);
    ASSERT_NE(nullptr, file);
    cancel = true;
    EXPECT_FALSE(output.Write(file, bytes, 1));
    EXPECT_TRUE(FsCloseFile(file));
    EXPECT_EQ(nullptr, output.CreateOutputFile(a.c_str(), 0));
    EXPECT_FALSE(output.CreateFolder((folder + "other").c_str()));
    EXPECT_FALSE(output.Admit(folder.c_str(), 1, 1));

    // A cancelled extraction writes nothing.
    for (const char* name : {"info.zip", "lzma2.7z"}) {
        ExtractOutput cancelled(kExtractMaxBytes, kExtractMaxEntries, &cancel);
        Bytes data = ziptest::ExtractTestArchive(name);
        EXPECT_EQ(kExtractArchiveFailed,
                  ExtractArchiveTo(ArchiveKind(name), data.data(), (int64_t)data.size(),
                                   (tmp.Win(name) + "\\").c_str(), cancelled))
            << name;
        EXPECT_EQ(0, FilesBelow(tmp.Native(name))) << name;
    }
}

}  // namespace
