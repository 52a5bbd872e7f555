// Installing an engine archive in the background: checked, unpacked into the
// staging folder, moved over an older engine (read-only files too) only when
// every entry was written, the program last; refused archives, damaged ones
// and a cancelled run leave the installed engine as it was. Archives made by
// 7-Zip and Info-ZIP at test time (tests/support/make-extract-archives.sh).
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "SupportTestEnv.h"
#include "ZipTestSupport.h"
#include "sdk/download/extract/ArchiveKind.h"
#include "sdk/download/engine/CDownloadFile.h"
#include "sdk/download/engine/EngineUnpack.h"
#include "support/EngineHashList.h"
#include "support/Eventually.h"
#include "support/TestData.h"

using supporttest::PathExists;
using supporttest::ReadWholeFile;
using supporttest::TempFolder;
using ziptest::Bytes;

namespace {

// The installed engine before the update: older copies of some archive
// files (read-only), and files of its own the update leaves alone.
const char* const kOldFiles[][2] = {
    {"readme.txt", "old readme"}, {"locked.txt", "old locked"},  {"sub/engine.exe", "old program"},
    {"extra.txt", "kept"},        {"config/service.log", "log"},
};
const char* const kNewFiles[] = {"readme.txt", "sub/deep/random.bin", "sub/engine.exe", "empty.txt",
                                 "locked.txt"};
// The program the engine folder is started by, moved last.
const char kProgram[] = "readme.txt";

bool WriteText(const std::string& native, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(native).parent_path(), ec);
    FILE* f = fopen(native.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

class EngineFolder {
  public:
    EngineFolder() {
        for (const auto& file : kOldFiles) {
            EXPECT_TRUE(WriteText(Native(file[0]), file[1]));
            if (std::string(file[0]) != "extra.txt" && std::string(file[0]) != "config/service.log")
                ziptest::MakeReadOnly(Native(file[0]));
        }
    }
    // Read-only files are made writable so the folder can be removed.
    ~EngineFolder() {
        std::error_code ec;
        for (std::filesystem::recursive_directory_iterator it(m_tmp.Native(), ec), end;
             !ec && it != end; it.increment(ec))
            ziptest::MakeWritable(it->path().string());
    }
    std::string Win() const { return m_tmp.Win("Ludra\\ldDownloader") + "\\"; }
    std::string Native(const std::string& relative = "") const {
        return m_tmp.Native("Ludra/ldDownloader" + (relative.empty() ? "" : "/" + relative));
    }
    std::string Staging() const { return m_tmp.Native("Ludra/ldDownloader.staging"); }

    void ExpectOld(const std::string& label) const {
        for (const auto& file : kOldFiles)
            EXPECT_EQ(file[1], ReadWholeFile(Native(file[0]))) << label << ": " << file[0];
        for (const char* name : {"sub/deep/random.bin", "empty.txt"})
            EXPECT_FALSE(PathExists(Native(name))) << label << ": " << name;
    }
    void ExpectNew(const std::string& label) const {
        for (const char* name : kNewFiles)
            EXPECT_TRUE(ReadWholeFile(Native(name)) == ziptest::ExtractTestSource(name))
                << label << ": " << name;
        EXPECT_TRUE(ziptest::IsReadOnly(Native("locked.txt"))) << label;
        EXPECT_FALSE(ziptest::IsReadOnly(Native("readme.txt"))) << label;
        EXPECT_EQ("kept", ReadWholeFile(Native("extra.txt"))) << label;
        EXPECT_EQ("log", ReadWholeFile(Native("config/service.log"))) << label;
    }

  private:
    TempFolder m_tmp;
};

// Starts an install and waits for its end (bounded); -1 when it did not end.
int32_t Install(const EngineFolder& engine, const char* name, const Bytes& archive,
                const std::vector<uint8_t>* hashList, const uint8_t* sha256 = nullptr) {
    uint8_t* data = static_cast<uint8_t*>(malloc(archive.size()));
    if (!data)
        return -1;
    memcpy(data, archive.data(), archive.size());
    EngineUnpack* unpack = EngineUnpack::Start(
        ArchiveKind(name), data, (int64_t)archive.size(), hashList ? hashList->data() : nullptr,
        hashList ? (int64_t)hashList->size() : 0, sha256, engine.Win().c_str(), kProgram);
    if (!unpack)
        return -1;
    sftest::Eventually([&] { return unpack->Done(); }, 60000, 5);
    const int32_t result = unpack->Done() ? unpack->Result() : -1;
    delete unpack;
    return result;
}

// The data of the last entry differs by one byte: every other entry
// unpacks, the last one fails its CRC-32.
Bytes DamageLastEntry(Bytes zip) {
    const ziptest::Layout layout = ziptest::Locate(zip);
    const size_t local = layout.local.back();
    const size_t data =
        local + 30 + ziptest::Get16(zip, local + 26) + ziptest::Get16(zip, local + 28);
    zip[data] ^= 0x20;
    return zip;
}

TEST(EngineUnpack, InstallsOnlyWholeArchivesOverTheOlderEngine) {
    const Bytes info = ziptest::ExtractTestArchive("info.zip");
    const std::vector<uint8_t> infoList = sftest::EngineHashList(info.data(), info.size());
    std::vector<uint8_t> flippedList = infoList;
    flippedList[5] ^= 1;
    uint8_t infoSha[kSha256Size];
    Sha256Stream sha;
    ASSERT_TRUE(sha.Add(info.data(), info.size()) && sha.Finish(infoSha));
    uint8_t otherSha[kSha256Size];
    memcpy(otherSha, infoSha, sizeof otherSha);
    otherSha[31] ^= 1;
    enum Setup { kNone, kStaleStaging, kFolderInTheWay };
    struct Case {
        const char* name;
        const char* archive;
        Bytes bytes;
        const std::vector<uint8_t>* hashList;
        Setup setup;
        int32_t result;
        const uint8_t* sha256;
    };
    const Case cases[] = {
        {"zip over read-only files", "info.zip", info, &infoList, kNone, kDownloadOk, nullptr},
        {"7z over read-only files", "bcj2.7z", ziptest::ExtractTestArchive("bcj2.7z"), nullptr,
         kNone, kDownloadOk, nullptr},
        {"a stale staging folder", "lzma.7z", ziptest::ExtractTestArchive("lzma.7z"), nullptr,
         kStaleStaging, kDownloadOk, nullptr},
        {"the last entry is damaged", "info.zip", DamageLastEntry(info), nullptr, kNone,
         kDownloadUnpackFailed, nullptr},
        {"zip bomb", "bomb.zip", ziptest::ExtractTestArchive("bomb.zip"), nullptr, kNone,
         kDownloadUnpackFailed, nullptr},
        {"7z bomb", "bomb.7z", ziptest::ExtractTestArchive("bomb.7z"), nullptr, kNone,
         kDownloadUnpackFailed, nullptr},
        {"the hash list differs", "info.zip", info, &flippedList, kNone, kDownloadHashMismatch,
         nullptr},
        {"not an archive", "info.7z", info, nullptr, kNone, kDownloadUnpackFailed, nullptr},
        // A folder where locked.txt belongs: its move fails; the files moved
        // before stay new, the program keeps its old version.
        {"a move fails", "info.zip", info, nullptr, kFolderInTheWay, kDownloadUnpackFailed,
         nullptr},
        {"its SHA-256 and hash list match", "info.zip", info, &infoList, kNone, kDownloadOk,
         infoSha},
        // The MD4 list matches, the SHA-256 does not: nothing is installed.
        {"the SHA-256 differs", "info.zip", info, &infoList, kNone, kDownloadHashMismatch,
         otherSha},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineFolder engine;
        if (c.setup == kStaleStaging) {
            ASSERT_TRUE(WriteText(engine.Staging() + "/junk/stale.txt", "stale"));
            ziptest::MakeReadOnly(engine.Staging() + "/junk/stale.txt");
        }
        if (c.setup == kFolderInTheWay) {
            ziptest::MakeWritable(engine.Native("locked.txt"));
            std::error_code ec;
            std::filesystem::remove(engine.Native("locked.txt"), ec);
            std::filesystem::create_directories(engine.Native("locked.txt/x"), ec);
        }
        EXPECT_EQ(c.result, Install(engine, c.archive, c.bytes, c.hashList, c.sha256));
        EXPECT_FALSE(PathExists(engine.Staging()));
        if (c.result == kDownloadOk) {
            engine.ExpectNew(c.name);
            EXPECT_FALSE(PathExists(engine.Native("junk")));
        } else if (c.setup == kFolderInTheWay) {
            EXPECT_EQ("old readme", ReadWholeFile(engine.Native(kProgram)));
            EXPECT_TRUE(ReadWholeFile(engine.Native("sub/engine.exe")) ==
                        ziptest::ExtractTestSource("sub/engine.exe"));
        } else {
            engine.ExpectOld(c.name);
            for (const char* zeros : {"zeros1.bin", "zeros2.bin", "zeros3.bin"})
                EXPECT_FALSE(PathExists(engine.Native(zeros)));
        }
    }
}

// Destroying an install under way stops its worker within a short wait: no
// file of the archive is installed and the staging folder is gone.
TEST(EngineUnpack, StopsWhenDestroyedWhileWriting) {
    EngineFolder engine;
    const Bytes slow = ziptest::ExtractTestArchive("slow.zip");
    uint8_t* data = static_cast<uint8_t*>(malloc(slow.size()));
    ASSERT_NE(nullptr, data);
    memcpy(data, slow.data(), slow.size());
    EngineUnpack* unpack = EngineUnpack::Start(kArchiveZip, data, (int64_t)slow.size(), nullptr, 0,
                                               nullptr, engine.Win().c_str(), kProgram);
    ASSERT_NE(nullptr, unpack);
    // The large file is being written.
    const std::string zeros = engine.Staging() + "/zeros.bin";
    sftest::Eventually([&] { return PathExists(zeros) || unpack->Done(); }, 30000, 1);
    EXPECT_TRUE(PathExists(zeros));
    EXPECT_FALSE(unpack->Done());
    const auto before = std::chrono::steady_clock::now();
    delete unpack;
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_FALSE(PathExists(engine.Staging()));
    engine.ExpectOld("stopped");
    EXPECT_FALSE(PathExists(engine.Native("zeros.bin")));
}

}  // namespace
