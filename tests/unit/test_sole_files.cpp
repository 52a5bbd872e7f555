// Sole files of the download folder: what someone with write access to the
// folder may have put under a name the library writes or reads (a symbolic
// link or a hard link to a file elsewhere, a dangling link, a FIFO, a
// folder) never leads a read, a write, a truncation or a creation outside
// the folder; and the rename of a finished file moves the file that was
// written, whatever its name holds by then. Natively with real links and
// FIFOs; under Wine with the links Windows offers.
#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "unit/SupportTestEnv.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using supporttest::TempFolder;

enum Kind { kNothing, kSole, kSymlink, kDangling, kHardLink, kFifo, kFolder };

const char* KindName(Kind kind) {
    static const char* const names[] = {"nothing",
                                        "a sole file",
                                        "a link to a file outside",
                                        "a dangling link",
                                        "a hard link to a file outside",
                                        "a FIFO",
                                        "a folder"};
    return names[kind];
}

void Write(const std::string& native, const std::string& bytes) {
    FILE* f = fopen(native.c_str(), "wb");
    ASSERT_NE(nullptr, f) << native;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

#ifdef _WIN32
bool IsLink(const std::string& native) {
    const DWORD attributes = GetFileAttributesA(native.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
#endif

// Puts `kind` at `native`; `outside` is a file elsewhere, `missing` a name
// elsewhere that does not exist. False when this system cannot make it.
bool Make(Kind kind, const std::string& native, const std::string& outside,
          const std::string& missing) {
    switch (kind) {
        case kNothing:
            return true;
        case kSole:
            Write(native, "abc");
            return true;
        case kFolder:
            return std::filesystem::create_directory(native);
#ifdef _WIN32
        // Some Wine versions answer success and make nothing: only a link
        // that is there counts.
        case kSymlink:
            return CreateSymbolicLinkA(native.c_str(), outside.c_str(), 0) != 0 && IsLink(native);
        case kDangling:
            return CreateSymbolicLinkA(native.c_str(), missing.c_str(), 0) != 0 && IsLink(native);
        case kHardLink:
            return CreateHardLinkA(native.c_str(), outside.c_str(), nullptr) != 0;
        case kFifo:
            return false;
#else
        case kSymlink:
            return symlink(outside.c_str(), native.c_str()) == 0;
        case kDangling:
            return symlink(missing.c_str(), native.c_str()) == 0;
        case kHardLink:
            return link(outside.c_str(), native.c_str()) == 0;
        case kFifo:
            return mkfifo(native.c_str(), 0600) == 0;
#endif
    }
    return false;
}

// What is at the name afterwards, as the sole-file rule sees it.
TEST(SoleFiles, WhatIsAtTheNameNeverLeadsOutsideTheFolder) {
    struct Case {
        Kind kind;
        PfSoleMode mode;
        bool opens;
        int32_t error;  // the open's code
        int64_t size;   // of the sole file at the name afterwards; -1 none
    };
    const int32_t kOld = kPfErrorAlreadyExists;
    const int32_t kNew = kPfErrorNone;
    const int32_t kRefused = kPfErrorAccessDenied;
    const Case cases[] = {
        {kNothing, kPfSoleRead, false, kPfErrorPathNotFound, -1},
        {kNothing, kPfSoleKeep, true, kNew, 0},
        {kNothing, kPfSoleEmpty, true, kNew, 0},
        {kSole, kPfSoleRead, true, kNew, 3},
        {kSole, kPfSoleHeld, true, kNew, 3},
        {kSole, kPfSoleKeep, true, kOld, 3},
        {kSole, kPfSoleEmpty, true, kOld, 0},
        // Anything else is refused for reading, and replaced for writing.
        {kSymlink, kPfSoleRead, false, kRefused, -1},
        {kSymlink, kPfSoleHeld, false, kRefused, -1},
        {kSymlink, kPfSoleKeep, true, kNew, 0},
        {kSymlink, kPfSoleEmpty, true, kNew, 0},
        {kDangling, kPfSoleRead, false, kRefused, -1},
        {kDangling, kPfSoleKeep, true, kNew, 0},
        {kDangling, kPfSoleEmpty, true, kNew, 0},
        {kHardLink, kPfSoleRead, false, kRefused, -1},
        {kHardLink, kPfSoleHeld, false, kRefused, -1},
        {kHardLink, kPfSoleKeep, true, kNew, 0},
        {kHardLink, kPfSoleEmpty, true, kNew, 0},
        // Opened without waiting for a writer, and never read.
        {kFifo, kPfSoleRead, false, kRefused, -1},
        {kFifo, kPfSoleKeep, true, kNew, 0},
        {kFifo, kPfSoleEmpty, true, kNew, 0},
        // A folder is neither opened nor taken away.
        {kFolder, kPfSoleRead, false, kRefused, -1},
        {kFolder, kPfSoleKeep, false, kRefused, -1},
        {kFolder, kPfSoleEmpty, false, kRefused, -1},
    };
    int made = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(KindName(c.kind)) + ", mode " + std::to_string(c.mode));
        TempFolder folder;
        TempFolder elsewhere;
        ASSERT_TRUE(folder.Ok() && elsewhere.Ok());
        const std::string outside = elsewhere.Native("outside.bin");
        const std::string missing = elsewhere.Native("missing.bin");
        Write(outside, "outside bytes");
        if (!Make(c.kind, folder.Native("f.bin.part"), outside, missing)) {
            // Wine makes no FIFOs and, by version, no symbolic links.
            ASSERT_TRUE(c.kind == kFifo || c.kind == kSymlink || c.kind == kDangling);
            continue;
        }
        ++made;
        const std::string path = folder.Win("f.bin.part");
        int32_t error = -1;
        PfFile* file = PfFileOpenSole(path.c_str(), c.mode, &error);
        EXPECT_EQ(c.opens, file != nullptr);
        EXPECT_EQ(c.error, error);
        // Written at its end: through the name, into the file found or made.
        const bool writes = file && c.mode != kPfSoleRead && c.mode != kPfSoleHeld;
        if (writes) {
            EXPECT_EQ(c.size, PfFileSeekEnd(file));
            EXPECT_TRUE(PfFileWrite(file, "new", 3, &error));
        }
        PfFileClose(file);
        EXPECT_EQ(c.size < 0 ? -1 : writes ? c.size + 3 : c.size, PfFileSoleSize(path.c_str()));
        // Nothing elsewhere was written, emptied or created.
        EXPECT_EQ("outside bytes", supporttest::ReadWholeFile(outside));
        EXPECT_FALSE(supporttest::PathExists(missing));
    }
    // Wine makes neither FIFOs nor, by version, symbolic links.
    EXPECT_GE(made, 14);
}

TEST(SoleFiles, SizeIsThatOfASoleFileOnly) {
    TempFolder folder;
    TempFolder elsewhere;
    ASSERT_TRUE(folder.Ok() && elsewhere.Ok());
    const std::string outside = elsewhere.Native("outside.bin");
    Write(outside, "outside bytes");
    for (Kind kind : {kNothing, kSole, kSymlink, kDangling, kHardLink, kFifo, kFolder}) {
        SCOPED_TRACE(KindName(kind));
        const std::string name = std::string("k") + std::to_string(kind);
        if (!Make(kind, folder.Native(name), outside, elsewhere.Native("missing.bin")))
            continue;
        EXPECT_EQ(kind == kSole ? 3 : -1, PfFileSoleSize(folder.Win(name).c_str()));
    }
    EXPECT_EQ(-1, PfFileSoleSize(nullptr));
    EXPECT_EQ(-1, PfFileSoleSize(""));
}

// The finished file goes into place through what was written, not through
// its name: a link at the final name is replaced itself, and a partial file
// swapped for another one meanwhile never puts that one in place.
TEST(SoleFiles, TheMoveTakesTheFileWrittenAndReplacesALinkItself) {
    TempFolder folder;
    TempFolder elsewhere;
    ASSERT_TRUE(folder.Ok() && elsewhere.Ok());
    const std::string outside = elsewhere.Native("outside.bin");
    Write(outside, "outside bytes");
    const bool linked = Make(kSymlink, folder.Native("f.bin"), outside, "") ||
                        Make(kHardLink, folder.Native("f.bin"), outside, "");
    ASSERT_TRUE(linked);

    int32_t error = -1;
    PfFile* file = PfFileOpenSole(folder.Win("f.bin.part").c_str(), kPfSoleEmpty, &error);
    ASSERT_NE(nullptr, file);
    ASSERT_TRUE(PfFileWrite(file, "good", 4, &error));
    EXPECT_TRUE(PfFileMoveOpen(file, folder.Win("f.bin").c_str(), &error));
    EXPECT_EQ(kPfErrorNone, error);
    PfFileClose(file);
    EXPECT_EQ("good", supporttest::ReadWholeFile(folder.Native("f.bin")));
    EXPECT_EQ(4, PfFileSoleSize(folder.Win("f.bin").c_str()));
    EXPECT_FALSE(supporttest::PathExists(folder.Native("f.bin.part")));
    EXPECT_EQ("outside bytes", supporttest::ReadWholeFile(outside));

    // A folder at the final name stays.
    ASSERT_TRUE(FsCreateFolder(folder.Win("d.bin").c_str()));
    file = PfFileOpenSole(folder.Win("d.bin.part").c_str(), kPfSoleEmpty, &error);
    ASSERT_NE(nullptr, file);
    EXPECT_FALSE(PfFileMoveOpen(file, folder.Win("d.bin").c_str(), &error));
    EXPECT_NE(kPfErrorNone, error);
    PfFileClose(file);
    EXPECT_TRUE(FsIsFolder(folder.Win("d.bin").c_str()));
    EXPECT_FALSE(PfFileMoveOpen(nullptr, folder.Win("d.bin").c_str(), &error));
}

TEST(SoleFiles, APartialFileSwappedWhileWrittenIsNeverPutInPlace) {
    TempFolder folder;
    ASSERT_TRUE(folder.Ok());
    Write(folder.Native("evil.bin"), "evil");
    int32_t error = -1;
    PfFile* file = PfFileOpenSole(folder.Win("f.bin.part").c_str(), kPfSoleEmpty, &error);
    ASSERT_NE(nullptr, file);
    ASSERT_TRUE(PfFileWrite(file, "good", 4, &error));
    const bool swapped = PfFileMoveReplacing(folder.Win("evil.bin").c_str(),
                                             folder.Win("f.bin.part").c_str(), &error);
    const bool moved = PfFileMoveOpen(file, folder.Win("f.bin").c_str(), &error);
    PfFileClose(file);
#ifdef _WIN32
    // Windows refuses the swap while the file is open, and the rename
    // through the handle moves it.
    EXPECT_FALSE(swapped);
    EXPECT_TRUE(moved);
    EXPECT_EQ("good", supporttest::ReadWholeFile(folder.Native("f.bin")));
#else
    EXPECT_TRUE(swapped);
    EXPECT_FALSE(moved);
    EXPECT_EQ(kPfErrorSharingViolation, error);
    EXPECT_FALSE(supporttest::PathExists(folder.Native("f.bin")));
    EXPECT_EQ("evil", supporttest::ReadWholeFile(folder.Native("f.bin.part")));
#endif
}

}  // namespace
