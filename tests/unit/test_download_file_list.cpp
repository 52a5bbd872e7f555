// The records of the engine update and their list: modes and keys, tries in
// limited and unlimited mode, the hash-list phase, the checks an archive
// passes before it is unpacked, and the manifest read into the list.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "integration/ApiTestEnv.h"
#include "sdk/download/engine/CDownloadFileList.h"
#include "sdk/support/PublisherSignature.h"
#include "support/EngineHashList.h"
#include "support/Eventually.h"

namespace {

const char kArchive[] = "http://h/engine.zip";
const char kHash[] = "http://h/engine.md4";
const char kFolder[] = "C:\\e\\";

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = (uint8_t)(i * 31 + seed);
    return b;
}

std::string Key(CDownloadFile* record) {
    ovCString key;
    EXPECT_EQ(1, record->GetKey(key));
    return key.CStr();
}

TEST(DownloadFile, ModesAndKeysThroughBothPhases) {
    CDownloadFileList list;
    ASSERT_TRUE(list.AddFile("http://h/manifest.xml", nullptr, nullptr, nullptr));
    ASSERT_TRUE(list.AddFile(kArchive, kHash, "ldDownload.exe", kFolder));
    ASSERT_TRUE(list.AddFile("http://h/plain.zip", "", "ldDownload.exe", kFolder));
    CDownloadFile* manifest = list.At(0);
    CDownloadFile* archive = list.At(1);
    CDownloadFile* plain = list.At(2);
    EXPECT_EQ(kDownloadModeManifest, manifest->GetMode("http://h/manifest.xml"));
    EXPECT_EQ(kDownloadModeUnknown, manifest->GetMode(""));
    EXPECT_EQ(kDownloadModeHashList, archive->GetMode(kHash));
    EXPECT_EQ(kDownloadModeArchive, archive->GetMode(kArchive));
    EXPECT_EQ(kDownloadModeUnknown, archive->GetMode("http://h/other"));
    EXPECT_EQ(kDownloadModeUnknown, archive->GetMode(nullptr));
    EXPECT_EQ(nullptr, plain->Holder());
    EXPECT_EQ(kDownloadModeArchive, plain->GetMode("http://h/plain.zip"));
    EXPECT_EQ("http://h/plain.zip", Key(plain));
    EXPECT_EQ(kDownloadTries, plain->TriesLeft());

    // The hash list first; then the archive is the key and the next phase.
    EXPECT_EQ(kHash, Key(archive));
    const std::vector<uint8_t> hashes = Bytes(32, 1);
    int32_t mode = -1;
    EXPECT_EQ(kDownloadOk, archive->OnDownloaded(kHash, hashes.data(), 32, &mode));
    EXPECT_EQ(kDownloadModeHashList, mode);
    EXPECT_FALSE(archive->IsFinal());
    EXPECT_EQ(kArchive, Key(archive));
    ASSERT_NE(nullptr, archive->Holder());
    EXPECT_EQ(hashes, std::vector<uint8_t>(archive->Holder()->data,
                                           archive->Holder()->data + archive->Holder()->length));
    // Missing data and unknown URLs.
    EXPECT_EQ(kDownloadNoData, archive->OnDownloaded(kArchive, nullptr, 10, &mode));
    EXPECT_EQ(kDownloadNoData, archive->OnDownloaded(kArchive, hashes.data(), 0, &mode));
    EXPECT_EQ(kDownloadUnknownUrl, archive->OnDownloaded("http://h/x", hashes.data(), 3, &mode));
    EXPECT_TRUE(archive->IsFinal());

    // The same URL twice, or none, adds nothing.
    EXPECT_FALSE(list.AddFile(kArchive, kHash, "x", kFolder));
    EXPECT_FALSE(list.AddFile(nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(list.AddFile("", nullptr, nullptr, nullptr));
    EXPECT_EQ(3, list.Count());
}

// With a publisher key the manifest's signature is fetched first and kept
// for the manifest; a failed attempt fetches both again. Without one the
// manifest comes alone.
TEST(DownloadFile, TheManifestsSignatureComesFirst) {
    struct KeyReset {
        ~KeyReset() { SetPublisherKeyForTesting(nullptr); }
    } reset;
    apitest::LogScope log;
    const char kManifest[] = "http://h/KVX_updater.xml";
    const std::string sigUrl = std::string(kManifest) + ".sig";
    const uint8_t key[kPublisherKeySize] = {1, 2, 3};
    SetPublisherKeyForTesting(key);
    CDownloadFileList list;
    ASSERT_TRUE(list.AddManifest(kManifest));
    CDownloadFile* record = list.NextPending();
    ASSERT_NE(nullptr, record);
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt);
        EXPECT_EQ(sigUrl, Key(record));
        EXPECT_EQ(kDownloadModeSignature, record->GetMode(sigUrl.c_str()));
        EXPECT_EQ(kDownloadModeManifest, record->GetMode(kManifest));
        int64_t length = -1;
        EXPECT_EQ(nullptr, record->Signature(&length));
        // Up to the size of a signature file; a longer answer is none.
        const std::vector<uint8_t> sig = Bytes((size_t)kMaxSignatureSize + 1, (uint8_t)attempt);
        int32_t mode = 0;
        EXPECT_EQ(kDownloadNoData,
                  record->OnDownloaded(sigUrl.c_str(), sig.data(), kMaxSignatureSize + 1, &mode));
        EXPECT_TRUE(record->IsFinal());
        EXPECT_EQ(kDownloadOk, record->OnDownloaded(sigUrl.c_str(), sig.data(), 64, &mode));
        EXPECT_EQ(kDownloadModeSignature, mode);
        EXPECT_FALSE(record->IsFinal());
        EXPECT_EQ(kManifest, Key(record));
        ASSERT_NE(nullptr, record->Signature(&length));
        EXPECT_EQ(64, length);
        EXPECT_EQ(
            std::vector<uint8_t>(sig.begin(), sig.begin() + 64),
            std::vector<uint8_t>(record->Signature(nullptr), record->Signature(nullptr) + 64));
        // Not signed by the key in force: refused before it is read.
        const std::string text = "<u><file><ldDownload.exe ver=\"1\"/></file></u>";
        EXPECT_EQ(kDownloadBadManifest,
                  record->OnDownloaded(kManifest, reinterpret_cast<const uint8_t*>(text.data()),
                                       (int64_t)text.size(), &mode));
        EXPECT_EQ(kDownloadModeManifest, mode);
        EXPECT_TRUE(record->IsFinal());
        EXPECT_EQ(CDownloadFileList::kEndKept, list.Ended(kManifest, false, false));
        ASSERT_EQ(record, list.NextPending());
    }
    EXPECT_EQ(
        2u, log.CountOf(std::string("[SwarmFetchLib] Manifest Signature Refused : ") + kManifest));
    EXPECT_TRUE(list.NewVersion().IsEmpty());

    SetNoPublisherKeyForTesting();
    CDownloadFileList unsigned_;
    ASSERT_TRUE(unsigned_.AddManifest(kManifest));
    EXPECT_EQ(kManifest, Key(unsigned_.At(0)));
    EXPECT_EQ(kDownloadModeManifest, unsigned_.At(0)->GetMode(sigUrl.c_str()));
}

TEST(DownloadFileList, TriesLimitedUnlimitedAndUnreachable) {
    struct Case {
        const char* name;
        bool unlimited;
        bool unreachable;
        int attempts;
        CDownloadFileList::EndResult last;
    };
    const Case cases[] = {
        {"limited: removed after the third failure", false, false, 3,
         CDownloadFileList::kEndGivenUp},
        {"unlimited: handed out again and again", true, false, 10, CDownloadFileList::kEndKept},
        {"unreachable host: no try used", false, true, 10, CDownloadFileList::kEndKept},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CDownloadFileList list;
        ASSERT_TRUE(list.AddFile(kArchive, nullptr, "a", kFolder));
        list.SetUnlimited(c.unlimited);
        CDownloadFileList::EndResult result = CDownloadFileList::kEndNoRecord;
        for (int i = 0; i < c.attempts; ++i) {
            CDownloadFile* record = list.NextPending();
            ASSERT_NE(nullptr, record) << i;
            EXPECT_TRUE(record->Busy());
            // Busy records are not handed out twice.
            EXPECT_EQ(nullptr, list.NextPending());
            result = list.Ended(kArchive, false, c.unreachable);
            if (i + 1 < c.attempts) {
                ASSERT_EQ(CDownloadFileList::kEndKept, result) << i;
            }
        }
        EXPECT_EQ(c.last, result);
        if (c.last == CDownloadFileList::kEndKept)
            EXPECT_EQ(kDownloadTries, list.At(0)->TriesLeft());
        else
            EXPECT_TRUE(list.IsEmpty());
    }
    CDownloadFileList list;
    list.AddFile(kArchive, nullptr, "a", kFolder);
    ASSERT_NE(nullptr, list.NextPending());
    EXPECT_EQ(CDownloadFileList::kEndNoRecord, list.Ended("http://h/other", true, false));
    EXPECT_EQ(CDownloadFileList::kEndDone, list.Ended(kArchive, true, false));
    EXPECT_TRUE(list.IsEmpty());
}

// A hash list that cannot be fetched fails the record like any failed
// download: the archive is never fetched without it.
TEST(DownloadFileList, AHashListThatCannotBeFetchedIsNeverDropped) {
    CDownloadFileList list;
    ASSERT_TRUE(list.AddFile(kArchive, kHash, "a", kFolder));
    for (int i = 0; i < kDownloadTries; ++i) {
        CDownloadFile* record = list.NextPending();
        ASSERT_NE(nullptr, record);
        EXPECT_EQ(kHash, Key(record));
        ASSERT_NE(nullptr, record->Holder());
        const CDownloadFileList::EndResult end = list.Ended(kHash, false, false);
        EXPECT_EQ(
            i + 1 < kDownloadTries ? CDownloadFileList::kEndKept : CDownloadFileList::kEndGivenUp,
            end);
    }
    EXPECT_TRUE(list.IsEmpty());
}

// A copy the list can take (it frees what it is given).
uint8_t* Owned(const std::vector<uint8_t>& bytes) {
    uint8_t* copy = static_cast<uint8_t*>(malloc(bytes.size()));
    if (copy)
        memcpy(copy, bytes.data(), bytes.size());
    return copy;
}

// The result of an archive's attempt: at once, or once its unpack in the
// background has ended (bounded).
int32_t Settle(CDownloadFileList& list, int32_t first) {
    if (first != kDownloadUnpacking)
        return first;
    ovCString url;
    int32_t result = -1;
    sftest::Eventually([&] { return list.TakeUnpacked(url, &result); }, 60000);
    EXPECT_FALSE(list.Unpacking());
    return result;
}

TEST(DownloadFileList, AnArchiveIsUnpackedOnlyAfterAWholeMatchingHashList) {
    apitest::LogScope log;
    // Three pieces: a whole list is three digests and the digest of those.
    const std::vector<uint8_t> archive = Bytes(2 * 1048576 + 100000, 7);
    const std::vector<uint8_t> good = sftest::EngineHashList(archive.data(), archive.size());
    ASSERT_EQ(64u, good.size());
    std::vector<uint8_t> flipped = good;
    flipped[20] ^= 1;
    const std::vector<uint8_t> oneByte(good.begin(), good.begin() + 1);
    const std::vector<uint8_t> digestShort(good.begin(), good.end() - 16);
    std::vector<uint8_t> longer = good;
    longer.insert(longer.end(), 16, 0);
    const std::vector<uint8_t> huge((size_t)kMaxHashListSize + 1, 1);
    struct Case {
        const char* name;
        const std::vector<uint8_t>* hashes;  // null: the list never arrived
        int32_t hashResult;
        int32_t archiveResult;
    };
    // The archive is no zip: one that passes the check fails to unpack (5)
    // without leaving anything behind.
    const Case cases[] = {
        {"no hash list arrived", nullptr, 0, kDownloadHashMismatch},
        {"one byte of the list", &oneByte, kDownloadOk, kDownloadHashMismatch},
        {"one digest short", &digestShort, kDownloadOk, kDownloadHashMismatch},
        {"one digest too many", &longer, kDownloadOk, kDownloadHashMismatch},
        {"more than any archive's list", &huge, kDownloadNoData, kDownloadHashMismatch},
        {"one byte differs", &flipped, kDownloadOk, kDownloadHashMismatch},
        {"the matching list", &good, kDownloadOk, kDownloadUnpackFailed},
    };
    ovCString engine;
    GetEngineFolder(engine);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CDownloadFileList list;
        ASSERT_TRUE(list.AddFile("http://h/engine.zip", kHash, "ldDownload.exe", engine.CStr()));
        CDownloadFile* record = list.NextPending();
        int32_t mode = 0;
        if (c.hashes) {
            EXPECT_EQ(c.hashResult, record->OnDownloaded(kHash, c.hashes->data(),
                                                         (int64_t)c.hashes->size(), &mode));
            // A refused list ends the attempt: no second phase.
            EXPECT_EQ(c.hashResult != kDownloadOk, record->IsFinal());
        }
        EXPECT_EQ(c.archiveResult,
                  Settle(list, list.OnArchive(record, record->Holder(), Owned(archive),
                                              (int64_t)archive.size())));
        EXPECT_FALSE(supporttest::PathExists(log.Folder().Native("Ludra\\ldDownloader.staging")));
    }
    // An empty list is no check; an unknown kind fails at once, untouched.
    HashListHolder empty;
    CDownloadFileList list;
    list.AddFile("http://h/engine.exe", kHash, "ldDownload.exe", engine.CStr());
    EXPECT_EQ(kDownloadHashMismatch,
              list.OnArchive(list.At(0), &empty, Owned(archive), (int64_t)archive.size()));
    EXPECT_EQ(kDownloadUnpackFailed,
              list.OnArchive(list.At(0), nullptr, Owned(archive), (int64_t)archive.size()));
    EXPECT_EQ(kDownloadNoData, list.OnArchive(nullptr, nullptr, Owned(archive), 10));
    EXPECT_EQ(kDownloadNoData, list.OnArchive(list.At(0), nullptr, nullptr, 10));
    EXPECT_EQ(std::vector<std::string>{}, log.Lines());
}

TEST(DownloadFileList, AThreeMebibyteArchiveHasFourDigests) {
    const std::vector<uint8_t> archive = Bytes(3145728, 3);
    const std::vector<uint8_t> list = sftest::EngineHashList(archive.data(), archive.size());
    EXPECT_EQ(64u, list.size());
    EXPECT_TRUE(VerifyChunkedMd4(list.data(), list.size(), archive.data(), 3145728));
    EXPECT_FALSE(VerifyChunkedMd4(list.data(), list.size(), archive.data(), 3145727));
    EXPECT_EQ(64, ChunkedMd4ListSize(3145728));
    EXPECT_EQ(80, ChunkedMd4ListSize(3145729));
    EXPECT_EQ(16, ChunkedMd4ListSize(0));
    EXPECT_EQ(32, ChunkedMd4ListSize(1));
    EXPECT_EQ(-1, ChunkedMd4ListSize(-1));
}

TEST(DownloadFileList, TheManifestFillsTheList) {
    const std::string version = SF_ENGINE_NEW_VERSION;
    const std::string manifest =
        "<u><all><all url=\"http://h/all.7z\"/></all><file><ldDownload.exe ver=\"" + version +
        "\" url=\"http://h/e.zip\" hash=\"http://h/e.md4\"/></file></u>";
    struct Case {
        const char* name;
        std::string text;
        bool blockFolder;  // a file where the engine's base folder belongs
        int32_t result;
        int32_t count;  // records after the manifest's
    };
    const Case cases[] = {
        {"one archive selected", manifest, false, kDownloadOk, 1},
        {"no version", "<u><file><ldDownload.exe url=\"http://h/e.zip\"/></file></u>", false,
         kDownloadBadManifest, 0},
        {"no archive URL", "<u><file><ldDownload.exe ver=\"2\"/></file></u>", false,
         kDownloadBadManifest, 0},
        {"engine folder cannot be made", manifest, true, kDownloadNoEngineFolder, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        apitest::LogScope log;
        // A file named like the base folder, in an application-data folder
        // of its own (the log scope's already holds the engine folder).
        supporttest::TempFolder other;
        std::unique_ptr<supporttest::AppDataRedirect> blocked;
        if (c.blockFolder) {
            FILE* f = fopen(other.Native("Ludra").c_str(), "wb");
            ASSERT_NE(nullptr, f);
            fclose(f);
            blocked.reset(new supporttest::AppDataRedirect(other.Win(), other.Native()));
        }
        CDownloadFileList list;
        ASSERT_TRUE(list.AddFile("http://h/KVX_updater.xml", nullptr, nullptr, nullptr));
        CDownloadFile* record = list.NextPending();
        int32_t mode = 0;
        EXPECT_EQ(c.result, record->OnDownloaded("http://h/KVX_updater.xml",
                                                 reinterpret_cast<const uint8_t*>(c.text.data()),
                                                 (int64_t)c.text.size(), &mode));
        EXPECT_EQ(kDownloadModeManifest, mode);
        EXPECT_EQ(1 + c.count, list.Count());
        if (c.result == kDownloadOk) {
            EXPECT_EQ(version, list.NewVersion().CStr());
            EXPECT_EQ("http://h/e.md4", Key(list.At(1)));
        }
    }
}

}  // namespace
