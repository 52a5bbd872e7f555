// The engine update end to end against nginx: the manifest, hash lists and
// archives (made by zip and 7-Zip at test time) are laid out per case in a
// folder of the document root; the downloader runs on this thread's library
// loop, installs into a scratch application-data folder and starts the
// engine (a small real program that leaves a marker). Also: a content host
// that refuses connections, with a network and without one, and updates
// signed by a publisher key made in the test (with sfpublish's own code).
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "integration/ApiTestEnv.h"
#include "opn/platform/cpCMutex.h"
#include "opn/opeerqos/COpn.h"
#include "opn/platform/pfFileVersion.h"
#include "opn/platform/pfMessageLoop.h"
#include "sdk/download/engine/CDownloadFileList.h"
#include "sdk/download/engine/CDownloader.h"
#include "sdk/download/engine/CEngineDownloader.h"
#include "sdk/download/Connectivity.h"
#include "sdk/download/engine/EngineManifestUrl.h"
#include "sdk/download/engine/PartialArchive.h"
#include "sdk/support/PublisherSignature.h"
#include "sdk/support/SignatureFile.h"
#include "support/EngineHashList.h"
#include "support/EnginePrograms.h"
#include "support/Eventually.h"
#include "support/FastTimerClock.h"
#include "support/LibraryLoop.h"
#include "support/Sha256Hex.h"
#include "support/TestData.h"
#include "support/TestPeers.h"
#include "support/TestServers.h"
#include "tools/sfpublish/ManifestHashes.h"
#include "tools/sfpublish/SigningKey.h"
#include "unit/ZipTestSupport.h"

namespace {

using sftest::kEngineRelative;
using sftest::Sha256Hex;
const char kOld[] = SF_ENGINE_OLD;
const char kNew[] = SF_ENGINE_NEW;
const char kNewVersion[] = SF_ENGINE_NEW_VERSION;
const std::string kInstallFailedLog =
    "[SwarmFetchLib] \xBF\xA3\xC1\xF8 \xB4\xD9\xBF\xEE\xB7\xCE\xB5\xE5 \xBD\xC7\xC6\xD0 result : ";

bool WriteFile(const std::string& native, const std::vector<uint8_t>& bytes) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(native).parent_path(), ec);
    FILE* f = fopen(native.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

std::vector<uint8_t> Text(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// What the downloader reported.
class Recorder final : public IDownloaderEventListener {
  public:
    void OnWaitingForNetwork() override { ++waiting; }
    void OnSizeKnown(const char* url, int32_t low, int32_t high) override {
        (void)url;
        size = ((int64_t)high << 32) | (uint32_t)low;
    }
    void OnProgress(const char* url, int32_t low, int32_t high) override {
        (void)url;
        progress = ((int64_t)high << 32) | (uint32_t)low;
    }
    void OnFinished(int32_t launchedIn, int32_t allOkIn, const char* versionIn) override {
        ++finished;
        launched = launchedIn;
        allOk = allOkIn;
        version = versionIn ? versionIn : "<null>";
    }
    void OnInstallFailed(int32_t kind) override {
        ++installFailed;
        failKind = kind;
    }
    bool Ended() const { return finished > 0 || installFailed > 0; }

    int waiting = 0;
    int finished = 0;
    int installFailed = 0;
    int32_t failKind = 0;
    int32_t launched = -1;
    int32_t allOk = -1;
    std::string version;
    int64_t size = 0;
    int64_t progress = 0;
};

class EngineUpdateNet : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sftest::Servers().Ok()) << sftest::Servers().Error();
        // Unsigned updates unless a case sets a key.
        SetNoPublisherKeyForTesting();
        ASSERT_TRUE(OV_SUCCEEDED(PfMessageLoopInit()));
        ASSERT_TRUE(lock.CreateInstance(OV_CLSID_MUTEX));
        module.reset(new COpn(lock));
    }
    void TearDown() override {
        SetEngineManifestUrlForTesting(nullptr);
        SetPublisherKeyForTesting(nullptr);
        module.reset();
        lock.Reset();
        PfMessageLoopDone();
        COpn::NetworkCleanup();
    }

    // One update run to its end (bounded); the downloader is gone afterwards.
    void RunUpdate(Recorder& recorder, uint32_t maxMs = 60000) {
        CDownloader downloader(&recorder);
        downloader.BeginUpdate();
        EXPECT_TRUE(libraryloop::RunUntil([&] { return recorder.Ended(); }, maxMs));
        // Kept fixed: nothing marks the last report (the run's timers and
        // the started console engine may still report), so the loop runs
        // on a moment for a late one to be seen.
        libraryloop::RunUntil([] { return false; }, 200);
    }

    ovSmartPtr lock;
    std::unique_ptr<COpn> module;
};

void Install(const apitest::LogScope& scope, const char* program) {
    sftest::InstallEngineProgram(scope.Folder(), program);
}

std::string InstalledVersion(const apitest::LogScope& scope) {
    ovCString version;
    if (!PfReadFileVersion(scope.Folder().Win(kEngineRelative).c_str(), version))
        return supporttest::PathExists(scope.Folder().Native(kEngineRelative)) ? "<no version>"
                                                                               : "<missing>";
    return version.CStr();
}

bool WaitForMarker(const std::string& engine) {
    return sftest::Eventually([&] { return supporttest::PathExists(engine + ".ran"); }, 5000);
}

enum HashMode {
    kNoHash,
    kGoodHash,
    kFlippedHash,
    kLongerHash,
    kOneByteHash,
    kDigestShortHash,
    kEmptyHash,
    kMissingHash
};

// What the engine folder holds, or the archive suffers, before the update.
enum Setup {
    kPlain,
    kReadOnlyOld,       // the installed files are read-only
    kDamagedLastEntry,  // the archive's last entry fails its CRC-32 (hashed as served)
};

struct Case {
    const char* name;
    const char* installed;  // program installed first, or null
    const char* archive;    // test-data file served as the archive; null: none listed
    bool twoFiles;          // the manifest lists two files (the package is fetched)
    HashMode hash;
    bool installFails;
    int32_t launched;
    int32_t allOk;
    const char* versionAfter;   // "<missing>" when no engine is there
    const char* sessionErrors;  // "(Code: n)" of each session error, in order
    int archiveFailures;        // outcomes with result 4
    Setup setup;
};

TEST_F(EngineUpdateNet, UpdateChainCases) {
    const sftest::TestServers& servers = sftest::Servers();
    const Case cases[] = {
        {"nothing to update", kNew, nullptr, false, kGoodHash, false, 1, 1, kNewVersion, "", 0,
         kPlain},
        {"executable missing", nullptr, "single.zip", false, kGoodHash, false, 1, 1, kNewVersion,
         "", 0, kPlain},
        {"version change, one file", kOld, "single.zip", false, kGoodHash, false, 1, 1, kNewVersion,
         "", 0, kPlain},
        {"version change, two files (7z)", kOld, "all.7z", true, kGoodHash, false, 1, 1,
         kNewVersion, "", 0, kPlain},
        {"version change, two files (zip)", kOld, "all.zip", true, kGoodHash, false, 1, 1,
         kNewVersion, "", 0, kPlain},
        {"7z with BCJ", kOld, "all-bcj.7z", true, kGoodHash, false, 1, 1, kNewVersion, "", 0,
         kPlain},
        {"no hash list named", kOld, "single.zip", false, kNoHash, false, 1, 1, kNewVersion, "", 0,
         kPlain},
        {"3 MiB archive, four digests", kOld, "big.zip", false, kGoodHash, false, 1, 1, kNewVersion,
         "", 0, kPlain},
        // Never unpacked: the old engine stays and is started; the update
        // reports the failure.
        {"hash list mismatch", kOld, "single.zip", false, kFlippedHash, false, 1, 0,
         SF_ENGINE_OLD_VERSION, "", 3, kPlain},
        {"hash list longer than the archive's", kOld, "single.zip", false, kLongerHash, false, 1, 0,
         SF_ENGINE_OLD_VERSION, "", 3, kPlain},
        // A list must cover the whole archive: a prefix of it is no check.
        {"hash list of one byte", kOld, "big.zip", false, kOneByteHash, false, 1, 0,
         SF_ENGINE_OLD_VERSION, "", 3, kPlain},
        {"hash list one digest short", kOld, "big.zip", false, kDigestShortHash, false, 1, 0,
         SF_ENGINE_OLD_VERSION, "", 3, kPlain},
        // Read-only files of the older engine are replaced.
        {"read-only older engine", kOld, "all.zip", true, kGoodHash, false, 1, 1, kNewVersion, "",
         0, kReadOnlyOld},
        // Nothing of a half-written archive is installed: the old engine
        // stays whole and nothing of the new one appears.
        {"damaged last entry", kOld, "all.zip", true, kGoodHash, true, -1, -1,
         SF_ENGINE_OLD_VERSION, "", 0, kDamagedLastEntry},
        // The hash list cannot be had: nothing is installed and nothing
        // starts.
        {"hash list 404", nullptr, "single.zip", false, kMissingHash, false, 0, 0, "<missing>",
         "444", 0, kPlain},
        {"hash list empty", nullptr, "single.zip", false, kEmptyHash, false, 0, 0, "<missing>",
         "444", 0, kPlain},
        {"unpack failure", kOld, "notzip.zip", false, kGoodHash, true, -1, -1,
         SF_ENGINE_OLD_VERSION, "", 0, kPlain},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        apitest::LogScope log;
        if (c.installed)
            Install(log, c.installed);
        const std::string readme = log.Folder().Native("Ludra\\ldDownloader\\readme.txt");
        if (c.setup == kReadOnlyOld) {
            ASSERT_TRUE(WriteFile(readme, Text("old readme")));
            ziptest::MakeReadOnly(readme);
            ziptest::MakeReadOnly(log.Folder().Native(kEngineRelative));
        }
        const std::string folder =
            "engine-update/case" + std::to_string(index++) + "-" +
            std::to_string((long long)std::chrono::steady_clock::now().time_since_epoch().count());
        std::vector<uint8_t> archive;
        std::string archiveUrl = servers.HttpUrl("/" + folder + "/none.zip");
        std::string hashUrl = servers.HttpUrl("/" + folder + "/engine.md4");
        if (c.archive) {
            bool ok = false;
            archive =
                sftest::ReadFile(sftest::DataPath(std::string("engine-update/") + c.archive), &ok);
            ASSERT_TRUE(ok) << c.archive;
            if (c.setup == kDamagedLastEntry) {
                const ziptest::Layout layout = ziptest::Locate(archive);
                const size_t local = layout.local.back();
                archive[local + 30 + ziptest::Get16(archive, local + 26) +
                        ziptest::Get16(archive, local + 28)] ^= 0x20;
            }
            archiveUrl = servers.HttpUrl("/" + folder + "/" + c.archive);
            ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/" + c.archive), archive));
            std::vector<uint8_t> hashes = sftest::EngineHashList(archive.data(), archive.size());
            if (c.hash == kFlippedHash)
                hashes[3] ^= 0x40;
            if (c.hash == kLongerHash)
                hashes.insert(hashes.end(), hashes.end() - 16, hashes.end());
            if (c.hash == kOneByteHash)
                hashes.resize(1);
            if (c.hash == kDigestShortHash)
                hashes.resize(hashes.size() - 16);
            if (c.hash == kEmptyHash)
                hashes.clear();
            if (c.hash != kMissingHash && c.hash != kNoHash) {
                ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/engine.md4"), hashes));
            }
        }
        const std::string hashAttribute = c.hash == kNoHash ? "" : " hash=\"" + hashUrl + "\"";
        std::string manifest = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<KVX_updater>\r\n";
        manifest += " <all><all url=\"" + archiveUrl + "\"" + hashAttribute + "/></all>\r\n";
        manifest += " <file><ldDownload.exe ver=\"" + std::string(kNewVersion) + "\" url=\"" +
                    (c.twoFiles ? servers.HttpUrl("/" + folder + "/unused.zip") : archiveUrl) +
                    "\"" + hashAttribute + "/>";
        if (c.twoFiles)
            manifest += "<ldHelper.dll url=\"" + archiveUrl + "\"/>";
        manifest += "</file>\r\n</KVX_updater>\r\n";
        ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/KVX_updater.xml"), Text(manifest)));
        const std::string manifestUrl = servers.HttpUrl("/" + folder + "/KVX_updater.xml");
        SetEngineManifestUrlForTesting(manifestUrl.c_str());

        Recorder recorder;
        RunUpdate(recorder);
        EXPECT_EQ(0, recorder.waiting);
        if (c.installFails) {
            EXPECT_EQ(1, recorder.installFailed);
            EXPECT_EQ(IDownloaderEventListener::kInstallFolder, recorder.failKind);
            EXPECT_EQ(0, recorder.finished);
            EXPECT_TRUE(log.Has(kInstallFailedLog + "5"));
        } else {
            EXPECT_EQ(1, recorder.finished);
            EXPECT_EQ(c.launched, recorder.launched);
            EXPECT_EQ(c.allOk, recorder.allOk);
            EXPECT_EQ(kNewVersion, recorder.version);
        }
        EXPECT_EQ(c.versionAfter, InstalledVersion(log));
        if (c.launched == 1) {
            EXPECT_TRUE(WaitForMarker(log.Folder().Native(kEngineRelative)));
        }
        std::string errors;
        int archiveFailures = 0;
        for (const std::string& line : log.Lines()) {
            if (line.find("[SwarmFetchLib] Session Error (URL: ") == 0)
                errors += line.substr(line.size() - 2, 1);
            if (line == "[SwarmFetchLib] Download Completed (URL: " + archiveUrl + ")(Code: 4)")
                ++archiveFailures;
        }
        EXPECT_EQ(c.sessionErrors, errors);
        EXPECT_EQ(c.archiveFailures, archiveFailures);
        if (c.archive && c.launched == 1 && c.allOk == 1) {
            // The archive's size and progress reached the listener.
            EXPECT_EQ((int64_t)archive.size(), recorder.size);
            EXPECT_EQ((int64_t)archive.size(), recorder.progress);
        }
        EXPECT_FALSE(supporttest::PathExists(log.Folder().Native("Ludra\\ldDownloader.staging")));
        if (c.setup == kReadOnlyOld) {
            EXPECT_EQ("engine readme\r\n", supporttest::ReadWholeFile(readme));
        }
        if (c.setup == kDamagedLastEntry) {
            EXPECT_FALSE(supporttest::PathExists(readme));
            EXPECT_FALSE(supporttest::PathExists(
                log.Folder().Native("Ludra\\ldDownloader\\data\\info.txt")));
        }
        if (c.twoFiles && c.allOk == 1) {
            EXPECT_TRUE(supporttest::PathExists(
                log.Folder().Native("Ludra\\ldDownloader\\data\\info.txt")));
            EXPECT_TRUE(
                supporttest::PathExists(log.Folder().Native("Ludra\\ldDownloader\\readme.txt")));
        }
        if (std::string(c.name) == "3 MiB archive, four digests") {
            EXPECT_GT(archive.size(), 2u * 1048576u);
            EXPECT_LE(archive.size(), 3u * 1048576u);
            EXPECT_EQ(64u, sftest::EngineHashList(archive.data(), archive.size()).size());
        }
        if (std::string(c.name) == "nothing to update") {
            const std::vector<std::string> expected = {
                "[SwarmFetchLib] Initialize Downloader",
                "[SwarmFetchLib] Begin Update",
                std::string("[SwarmFetchLib] Current Version: ") + kNewVersion +
                    " / New Version: " + kNewVersion,
                "[SwarmFetchLib] Update File (Count: 0)",
                "[SwarmFetchLib] Download Completed (URL: " + manifestUrl + ")(Code: 0)",
                "[SwarmFetchLib] Execute OK(0)",
                "[SwarmFetchLib] Begin WFII",
                "[SwarmFetchLib] End WFII",
                "[SwarmFetchLib] Finalize Downloader",
            };
            EXPECT_EQ(expected, log.Lines());
        }
    }
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// With a publisher key the update takes only what the publisher signed:
// the manifest's signature, each archive's SHA-256 (and its MD4 list), and
// never an engine older than the installed one. Manifests are hashed and
// signed by sfpublish's own code with a key made here. What each run did is
// traced from the log: M<n>/A<n> an attempt of the manifest/archive ended
// with result n, S<n> a session error of the signature's download.
TEST_F(EngineUpdateNet, SignedUpdateCases) {
    const sftest::TestServers& servers = sftest::Servers();
    sfpublish::SigningKey key;
    std::string error;
    std::string publicHex;
    ASSERT_TRUE(key.Generate(&error)) << error;
    ASSERT_TRUE(key.PublicHex(&publicHex, &error)) << error;
    uint8_t publicKey[kPublisherKeySize];
    ASSERT_TRUE(ParsePublisherKeyHex(publicHex.c_str(), publicKey));

    enum Sig { kSigned, kNoSig, kTampered, kShortSig, kLongSig, kBareSig, kOtherManifest };
    enum Sha { kShaRight, kShaNone, kShaMalformed, kShaUnusedMissing };
    struct SignedCase {
        const char* name;
        bool key;
        const char* installed;
        const char* version;   // announced by the manifest
        const char* archive;   // served
        const char* hashedAs;  // the archive whose SHA-256 the manifest names
        bool md4Flipped;
        Sig sig;
        Sha sha;
        int32_t launched;
        int32_t allOk;
        const char* versionAfter;
        const char* trace;
        const char* refusal;  // a log line every refused attempt writes
        // What the manifest's signature file names, and the serial this
        // machine took before (0: none kept).
        const char* product = EngineUpdateProduct();
        int64_t serial = 1000;
        int64_t seen = 0;
    };
    const char* kOldVersion = SF_ENGINE_OLD_VERSION;
    const std::string downgrade =
        std::string("[SwarmFetchLib] Downgrade Refused (Current Version: ") + kNewVersion +
        " / New Version: " + kOldVersion + ")";
    const char* replay = "[SwarmFetchLib] Manifest Replay Refused (Serial: 1000 / Seen: 2000)";
    const SignedCase cases[] = {
        {"signed, installed", true, kOld, kNewVersion, "single.zip", "single.zip", false, kSigned,
         kShaRight, 1, 1, kNewVersion, "M0 A0", nullptr},
        {"signed, nothing installed yet", true, nullptr, kNewVersion, "single.zip", "single.zip",
         false, kSigned, kShaRight, 1, 1, kNewVersion, "M0 A0", nullptr},
        {"tampered manifest", true, kOld, kNewVersion, "single.zip", "single.zip", false, kTampered,
         kShaRight, 1, 0, kOldVersion, "M3 M3 M3", "[SwarmFetchLib] Manifest Signature Refused"},
        // Nothing installed: the update has failed (event 521 follows and
        // the jobs go to the plain downloader).
        {"missing .sig", true, nullptr, kNewVersion, "single.zip", "single.zip", false, kNoSig,
         kShaRight, 0, 0, "<missing>", "S4 S4 S4", nullptr},
        {"missing .sig, engine installed", true, kOld, kNewVersion, "single.zip", "single.zip",
         false, kNoSig, kShaRight, 1, 0, kOldVersion, "S4 S4 S4", nullptr},
        {".sig one byte short", true, kOld, kNewVersion, "single.zip", "single.zip", false,
         kShortSig, kShaRight, 1, 0, kOldVersion, "M3 M3 M3",
         "[SwarmFetchLib] Manifest Signature Refused"},
        // Longer than a signature file can be: refused by its Content-Length.
        {".sig too long", true, kOld, kNewVersion, "single.zip", "single.zip", false, kLongSig,
         kShaRight, 1, 0, kOldVersion, "S4 S4 S4", nullptr},
        // The 64 raw bytes alone bind no product and no serial.
        {"bare signature", true, kOld, kNewVersion, "single.zip", "single.zip", false, kBareSig,
         kShaRight, 1, 0, kOldVersion, "M3 M3 M3", "[SwarmFetchLib] Manifest Signature Refused"},
        // Signed by the publisher, for another product.
        {"another product's manifest", true, kOld, kNewVersion, "single.zip", "single.zip", false,
         kSigned, kShaRight, 1, 0, kOldVersion, "M3 M3 M3",
         "[SwarmFetchLib] Manifest Signature Refused", "otherProduct"},
        // An older publication than this machine took, replayed: with an
        // engine installed it stays; without one (deleted) nothing installs.
        {"older serial, engine installed", true, kOld, kNewVersion, "single.zip", "single.zip",
         false, kSigned, kShaRight, 1, 0, kOldVersion, "M9", replay, EngineUpdateProduct(), 1000,
         2000},
        {"older serial, nothing installed", true, nullptr, kNewVersion, "single.zip", "single.zip",
         false, kSigned, kShaRight, 0, 0, "<missing>", "M9", replay, EngineUpdateProduct(), 1000,
         2000},
        {"the same serial again", true, kOld, kNewVersion, "single.zip", "single.zip", false,
         kSigned, kShaRight, 1, 1, kNewVersion, "M0 A0", nullptr, EngineUpdateProduct(), 1000,
         1000},
        {"a newer serial", true, kOld, kNewVersion, "single.zip", "single.zip", false, kSigned,
         kShaRight, 1, 1, kNewVersion, "M0 A0", nullptr, EngineUpdateProduct(), 2001, 2000},
        // A right signature, by the key, of another manifest (an older one).
        {"signature of another manifest", true, kOld, kNewVersion, "single.zip", "single.zip",
         false, kOtherManifest, kShaRight, 1, 0, kOldVersion, "M3 M3 M3",
         "[SwarmFetchLib] Manifest Signature Refused"},
        {"no sha256", true, kOld, kNewVersion, "single.zip", "single.zip", false, kSigned, kShaNone,
         1, 0, kOldVersion, "M3 M3 M3", "[SwarmFetchLib] Manifest Refused (no sha256)"},
        {"sha256 of 63 digits", true, kOld, kNewVersion, "single.zip", "single.zip", false, kSigned,
         kShaMalformed, 1, 0, kOldVersion, "M3 M3 M3",
         "[SwarmFetchLib] Manifest Refused (no sha256)"},
        // The archive the update takes is hashed; the other one is not.
        {"an unused entry without sha256", true, kOld, kNewVersion, "single.zip", "single.zip",
         false, kSigned, kShaUnusedMissing, 1, 0, kOldVersion, "M3 M3 M3",
         "[SwarmFetchLib] Manifest Refused (no sha256)"},
        // A whole engine package under the name of the signed archive, with
        // an MD4 list that matches it: never unpacked.
        {"archive bytes differ", true, kOld, kNewVersion, "all.zip", "single.zip", false, kSigned,
         kShaRight, 1, 0, kOldVersion, "M0 A4 A4 A4", nullptr},
        {"sha256 right, MD4 list wrong", true, kOld, kNewVersion, "single.zip", "single.zip", true,
         kSigned, kShaRight, 1, 0, kOldVersion, "M0 A4 A4 A4", nullptr},
        {"downgrade refused", true, kNew, kOldVersion, "old.zip", "old.zip", false, kSigned,
         kShaRight, 1, 0, kNewVersion, "M9", downgrade.c_str()},
        // Without a key: as before, .sig is not looked at and versions may
        // go back; a sha256 that is given is still checked.
        {"no key, unsigned", false, kOld, kNewVersion, "single.zip", "single.zip", false, kNoSig,
         kShaNone, 1, 1, kNewVersion, "M0 A0", nullptr},
        {"no key, right sha256", false, kOld, kNewVersion, "single.zip", "single.zip", false,
         kNoSig, kShaRight, 1, 1, kNewVersion, "M0 A0", nullptr},
        {"no key, wrong sha256", false, kOld, kNewVersion, "single.zip", "old.zip", false, kNoSig,
         kShaRight, 1, 0, kOldVersion, "M0 A4 A4 A4", nullptr},
        {"no key, unreadable sha256", false, kOld, kNewVersion, "single.zip", "single.zip", false,
         kNoSig, kShaMalformed, 1, 0, kOldVersion, "M3 M3 M3",
         "[SwarmFetchLib] Manifest Refused (no sha256)"},
        {"no key, an older version", false, kNew, kOldVersion, "old.zip", "old.zip", false, kNoSig,
         kShaNone, 1, 1, kOldVersion, "M0 A0", nullptr},
    };
    int index = 0;
    for (const SignedCase& c : cases) {
        SCOPED_TRACE(c.name);
        apitest::LogScope log;
        if (c.installed)
            Install(log, c.installed);
        if (c.key)
            SetPublisherKeyForTesting(publicKey);
        else
            SetNoPublisherKeyForTesting();
        const std::string folder =
            "engine-signed/case" + std::to_string(index++) + "-" +
            std::to_string((long long)std::chrono::steady_clock::now().time_since_epoch().count());
        const std::string base = servers.HttpUrl("/" + folder + "/");
        bool ok = false;
        const std::vector<uint8_t> archive =
            sftest::ReadFile(sftest::DataPath(std::string("engine-update/") + c.archive), &ok);
        ASSERT_TRUE(ok);
        const std::vector<uint8_t> hashed =
            sftest::ReadFile(sftest::DataPath(std::string("engine-update/") + c.hashedAs), &ok);
        ASSERT_TRUE(ok);
        // Served under the name the manifest gives it.
        const std::string archiveName = "engine.zip";
        ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/" + archiveName), archive));
        std::vector<uint8_t> md4 = sftest::EngineHashList(archive.data(), archive.size());
        if (c.md4Flipped)
            md4[3] ^= 0x40;
        ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/engine.md4"), md4));
        const std::string item =
            "url=\"" + base + archiveName + "\" hash=\"" + base + "engine.md4\"";
        std::string manifest = "<?xml version=\"1.0\"?>\r\n<KVX_updater>\r\n <all><all " + item +
                               "/></all>\r\n <file><ldDownload.exe ver=\"" + c.version + "\" " +
                               item + "/></file>\r\n</KVX_updater>\r\n";
        if (c.sha != kShaNone) {
            const std::string hex = Sha256Hex(hashed);
            std::string hashedManifest;
            ASSERT_TRUE(sfpublish::AddManifestHashes(manifest, {{archiveName, hex}},
                                                     &hashedManifest, &error))
                << error;
            manifest = c.sha == kShaMalformed ? Replaced(hashedManifest, hex, hex.substr(1))
                                              : hashedManifest;
            if (c.sha == kShaUnusedMissing) {
                const std::string attribute = " sha256=\"" + hex + "\"";
                manifest.erase(manifest.rfind(attribute), attribute.size());
            }
        }
        std::string sig;
        const std::string other = Replaced(manifest, c.version, kOldVersion);
        ASSERT_TRUE(sfpublish::MakeSignatureFile(
            key, c.product, c.serial, c.sig == kOtherManifest ? other : manifest, &sig, &error))
            << error;
        if (c.sig == kShortSig)
            sig.resize(sig.size() - 1);
        if (c.sig == kLongSig)
            sig += std::string(kSignatureFileMax, '\n');
        if (c.sig == kBareSig) {
            ASSERT_TRUE(key.Sign(manifest, &sig, &error)) << error;
        }
        const std::string seenFile = log.Folder().Native(
            std::string("Ludra\\ldDownloader\\config\\serial-") + EngineUpdateProduct());
        if (c.seen > 0) {
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::path(seenFile).parent_path(), ec);
            ASSERT_TRUE(WriteFile(seenFile, Text(std::to_string(c.seen))));
        }
        if (c.sig == kTampered)
            manifest = Replaced(manifest, "<KVX_updater>", "<KVX_updater >");
        ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/KVX_updater.xml"), Text(manifest)));
        if (c.sig != kNoSig) {
            ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/KVX_updater.xml.sig"), Text(sig)));
        }
        const std::string manifestUrl = base + "KVX_updater.xml";
        SetEngineManifestUrlForTesting(manifestUrl.c_str());

        Recorder recorder;
        RunUpdate(recorder);
        EXPECT_EQ(1, recorder.finished);
        EXPECT_EQ(0, recorder.installFailed);
        EXPECT_EQ(c.launched, recorder.launched);
        EXPECT_EQ(c.allOk, recorder.allOk);
        EXPECT_EQ(c.versionAfter, InstalledVersion(log));
        if (c.launched == 1) {
            EXPECT_TRUE(WaitForMarker(log.Folder().Native(kEngineRelative)));
        }
        std::string trace;
        for (const std::string& line : log.Lines()) {
            const size_t code = line.rfind(")(Code: ");
            if (code == std::string::npos)
                continue;
            const std::string n = line.substr(code + 8, line.size() - code - 9);
            if (line ==
                "[SwarmFetchLib] Download Completed (URL: " + manifestUrl + ")(Code: " + n + ")")
                trace += " M" + n;
            if (line == "[SwarmFetchLib] Download Completed (URL: " + base + archiveName +
                            ")(Code: " + n + ")")
                trace += " A" + n;
            if (line.find("[SwarmFetchLib] Session Error (URL: " + manifestUrl + ".sig)") == 0)
                trace += " S" + n;
        }
        EXPECT_EQ(c.trace, trace.empty() ? trace : trace.substr(1)) << log.Text();
        if (c.refusal) {
            // One per attempt of the manifest.
            size_t refusals = 0;
            for (const std::string& line : log.Lines())
                refusals += line.find(c.refusal) == 0 ? 1 : 0;
            EXPECT_EQ((size_t)std::count(trace.begin(), trace.end(), 'M'), refusals);
        }
        // A manifest taken keeps its serial when it is higher; a refused
        // one leaves what was kept.
        if (c.key) {
            const bool taken = trace.compare(0, 3, " M0") == 0;
            const int64_t kept = taken && c.serial > c.seen ? c.serial : c.seen;
            bool read = false;
            const std::vector<uint8_t> text = sftest::ReadFile(seenFile, &read);
            EXPECT_EQ(kept > 0 ? std::to_string(kept) : std::string(),
                      read ? std::string(text.begin(), text.end()) : std::string());
        }
        // Nothing of a refused archive was unpacked.
        EXPECT_FALSE(supporttest::PathExists(log.Folder().Native("Ludra\\ldDownloader.staging")));
        EXPECT_FALSE(
            supporttest::PathExists(log.Folder().Native("Ludra\\ldDownloader\\readme.txt")));
        SetNoPublisherKeyForTesting();
    }
}

// What a server controls is bounded and every failure ends the attempt:
// each case is tried three times, then the update ends as failed (no engine
// is installed, so none starts).
TEST_F(EngineUpdateNet, ServerFaultsUseUpTheTriesAndFail) {
    struct FaultCase {
        const char* scenario;
        const char* sessionErrors;
        int badManifests;  // outcomes with result 3
    };
    const FaultCase cases[] = {
        {"/status/404", "444", 0},
        {"/zero-length", "444", 0},
        {"/huge-length", "444", 0},  // refused by its Content-Length
        {"/short-body", "666", 0},   // cut short: not left hanging
        {"/reset-mid-body", "666", 0},
        {"/close-before-head", "666", 0},
        {"/redirect-loop", "444", 0},  // bounded
        {"/redirect-no-location", "444", 0},
        {"/hops/2", "", 3},  // followed: "fault server ok" is no manifest
        // A Location no request can be opened to is a wrong answer, not a
        // host out of reach: a user part, an IPv6 literal, port 0.
        {"/redirect-to?loc=http%3A%2F%2Fu%40127.0.0.1%2Fok", "444", 0},
        {"/redirect-to?loc=http%3A%2F%2F%5B%3A%3A1%5D%2Fok", "444", 0},
        {"/redirect-to?loc=http%3A%2F%2F127.0.0.1%3A0%2Fok", "444", 0},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.scenario);
        apitest::LogScope log;
        const std::string url = sftest::Servers().FaultUrl(c.scenario);
        SetEngineManifestUrlForTesting(url.c_str());
        Recorder recorder;
        RunUpdate(recorder);
        EXPECT_EQ(1, recorder.finished);
        EXPECT_EQ(0, recorder.launched);
        EXPECT_EQ(0, recorder.allOk);
        EXPECT_EQ("", recorder.version);
        std::string errors;
        for (const std::string& line : log.Lines())
            if (line.find("[SwarmFetchLib] Session Error (URL: " + url + ")") == 0)
                errors += line.substr(line.size() - 2, 1);
        EXPECT_EQ(c.sessionErrors, errors);
        EXPECT_EQ((size_t)c.badManifests,
                  log.CountOf("[SwarmFetchLib] Download Completed (URL: " + url + ")(Code: 3)"));
    }
}

// A content host that trickles keeps no update going: each try ends as a
// receive time-out once its window (30 timer seconds) brought too little,
// and after three the update ends. The timers run five times as fast as
// real time; the fault server drips a byte every 100 ms.
TEST_F(EngineUpdateNet, ATrickleUsesUpTheTriesAndFails) {
    apitest::LogScope log;
    const std::string url = sftest::Servers().FaultUrl("/trickle/100/100000");
    SetEngineManifestUrlForTesting(url.c_str());
    Recorder recorder;
    {
        sftest::FastTimerClock clock(5);
        RunUpdate(recorder, 300000);
    }
    EXPECT_EQ(1, recorder.finished);
    EXPECT_EQ(0, recorder.launched);
    EXPECT_EQ(0, recorder.allOk);
    EXPECT_EQ(3u, log.CountOf("[SwarmFetchLib] Session Error (URL: " + url + ")(Code: 5)"))
        << log.Text();
}

// Nothing listens on the content host's port. With a network that is a
// failed connect: three tries, then the update ends (the installed engine is
// started). Without one the update waits for the network, tries once a
// second without using up tries, and goes on as soon as the network is back
// and a server answers there.
TEST_F(EngineUpdateNet, RefusedUsesUpTheTriesOnlyWithANetwork) {
    struct ConnectivityReset {
        ~ConnectivityReset() { SetConnectivityForTesting(kConnectivityFromSystem); }
    } reset;
    apitest::LogScope log;
    Install(log, kNew);
    const uint16_t port = testpeers::RefusedPort();
    ASSERT_NE(0, port);
    const std::string url =
        "http://127.0.0.1:" + std::to_string(port) + "/ActiveX/update/KVX_updater.xml";
    SetEngineManifestUrlForTesting(url.c_str());
    const std::string failedTry = "[SwarmFetchLib] Session Error (URL: " + url + ")(Code: 3)";
    const std::string unreachable = "[SwarmFetchLib] Session Error (URL: " + url + ")(Code: 7)";

    {
        SCOPED_TRACE("with a network");
        SetConnectivityForTesting(kConnectivityConnected);
        Recorder recorder;
        RunUpdate(recorder, 15000);
        EXPECT_EQ(3u, log.CountOf(failedTry)) << log.Text();
        EXPECT_EQ(0u, log.CountOf(unreachable));
        EXPECT_EQ(0, recorder.waiting);
        EXPECT_EQ(1, recorder.finished);
        EXPECT_EQ(1, recorder.launched);
        EXPECT_EQ(0, recorder.allOk);
        EXPECT_TRUE(WaitForMarker(log.Folder().Native(kEngineRelative)));
    }

    SCOPED_TRACE("without a network");
    SetConnectivityForTesting(kConnectivityLost);
    Recorder recorder;
    CDownloader downloader(&recorder);
    downloader.BeginUpdate();
    ASSERT_TRUE(libraryloop::RunUntil([&] { return log.CountOf(unreachable) >= 4; }, 15000));
    EXPECT_EQ(1, recorder.waiting);
    EXPECT_TRUE(downloader.WaitingForNetwork());
    ASSERT_EQ(1, downloader.Files().Count());
    EXPECT_EQ(kDownloadTries, downloader.Files().At(0)->TriesLeft());
    EXPECT_EQ(0, recorder.finished);

    const std::string manifest = std::string("<u><file><ldDownload.exe ver=\"") + kNewVersion +
                                 "\" url=\"http://127.0.0.1:1/x.zip\"/></file></u>";
    testpeers::ScriptedOptions options;
    options.port = port;
    testpeers::Scripted server(
        {testpeers::Step::ExpectText("\r\n\r\n"),
         testpeers::Step::Send("HTTP/1.1 200 OK\r\nContent-Length: " +
                               std::to_string(manifest.size()) + "\r\n\r\n" + manifest),
         testpeers::Step::Close()},
        options);
    ASSERT_TRUE(server.Ok());
    SetConnectivityForTesting(kConnectivityConnected);
    ASSERT_TRUE(libraryloop::RunUntil([&] { return recorder.Ended(); }, 15000));
    EXPECT_EQ(1, recorder.finished);
    EXPECT_EQ(1, recorder.launched);
    EXPECT_EQ(1, recorder.allOk);
    EXPECT_EQ(kNewVersion, recorder.version);
    EXPECT_EQ(1, recorder.waiting);
    EXPECT_FALSE(downloader.WaitingForNetwork());
    EXPECT_TRUE(log.Has("[SwarmFetchLib] Download Completed (URL: " + url + ")(Code: 0)"));
}

// The library's own engine update, started by SwarmFetch_Initialize, with a
// manifest that selects large.zip: 300 MiB to unpack over the old engine.
// nginx's access-log lines of requests for `path`, in order.
std::vector<std::string> AccessLines(const std::string& path) {
    std::ifstream in(sftest::Servers().DocRootPath("../nginx/logs/access.log"));
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line))
        if (line.find("GET " + path + " ") != std::string::npos)
            out.push_back(line);
    return out;
}

// The status of an access-log line ("... HTTP/1.1" 206 1234 ...).
std::string StatusOf(const std::string& line) {
    const size_t quote = line.find("\" ");
    return quote == std::string::npos ? "" : line.substr(quote + 2, 3);
}

std::string Statuses(const std::string& path) {
    std::string out;
    for (const std::string& line : AccessLines(path))
        out += StatusOf(line) + " ";
    return out;
}

// Where the partial file of `url` lies (the engine folder of the log scope
// in force).
std::string PartialNative(const std::string& url) {
    ovCString path;
    EXPECT_TRUE(PartialArchivePath(url.c_str(), path));
    return apitest::NativeFromWin(path.CStr());
}

// What lies at the archive's partial-file name before the update.
enum PartialSetup {
    kKeptHalf,       // the archive's first half, no validator: asked for the rest
    kKeptHalfStale,  // the first half with an ETag the server no longer has
    kKeptGarbage,    // half of other bytes: the archive fails its hash list
    kLinkToOutside,  // a symbolic link to a file outside the engine folder
    kFolder,         // a folder with a file in it
    kOversized,      // a file longer than any archive may be
    kBadHeader,      // a file of another form
    kFifo,           // a FIFO no one writes (POSIX): never waited on
};

// An archive with kept bytes is asked for from where they end, and taken
// only when the whole matches its hash list; anything hostile at the
// partial file's name is removed, never followed, and the archive is
// fetched whole. The partial file is gone after the update in every case.
TEST_F(EngineUpdateNet, KeptArchiveBytesResumeOrStartOver) {
    const sftest::TestServers& servers = sftest::Servers();
    struct ResumeCase {
        const char* name;
        PartialSetup setup;
        const char* statuses;  // nginx's answers to the archive's requests
    };
    const ResumeCase cases[] = {
        {"kept half", kKeptHalf, "206 "},
        {"kept half, validator changed", kKeptHalfStale, "200 "},
        {"kept bytes spoil the archive", kKeptGarbage, "206 200 "},
        {"link to outside", kLinkToOutside, "200 "},
        {"folder", kFolder, "200 "},
        {"oversized", kOversized, "200 "},
        {"bad header", kBadHeader, "200 "},
        {"fifo", kFifo, "200 "},
    };
    bool ok = false;
    const std::vector<uint8_t> archive =
        sftest::ReadFile(sftest::DataPath("engine-update/big.zip"), &ok);
    ASSERT_TRUE(ok);
    int index = 0;
    for (const ResumeCase& c : cases) {
        SCOPED_TRACE(c.name);
        apitest::LogScope log;
        Install(log, kOld);
        const std::string folder =
            "engine-update/resume" + std::to_string(index++) + "-" +
            std::to_string((long long)std::chrono::steady_clock::now().time_since_epoch().count());
        const std::string archivePath = "/" + folder + "/big.zip";
        const std::string archiveUrl = servers.HttpUrl(archivePath);
        const std::string hashUrl = servers.HttpUrl("/" + folder + "/big.md4");
        ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/big.zip"), archive));
        ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/big.md4"),
                              sftest::EngineHashList(archive.data(), archive.size())));
        const std::string item = "url=\"" + archiveUrl + "\" hash=\"" + hashUrl + "\"";
        ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/KVX_updater.xml"),
                              Text("<u><all><all " + item + "/></all><file><ldDownload.exe ver=\"" +
                                   kNewVersion + "\" " + item + "/></file></u>")));
        const std::string manifestUrl = servers.HttpUrl("/" + folder + "/KVX_updater.xml");
        SetEngineManifestUrlForTesting(manifestUrl.c_str());

        const std::string partial = PartialNative(archiveUrl);
        const std::string outside = log.Folder().Native("outside.bin");
        ASSERT_TRUE(WriteFile(outside, Text("not the engine's")));
        const int64_t half = (int64_t)archive.size() / 2;
        std::vector<uint8_t> garbage(archive.begin(), archive.begin() + half);
        for (uint8_t& b : garbage)
            b ^= 0x5A;
        std::error_code ec;
        switch (c.setup) {
            case kKeptHalf:
            case kKeptHalfStale:
                ASSERT_TRUE(SavePartialArchive(archiveUrl.c_str(), archive.data(), half,
                                               (int64_t)archive.size(),
                                               c.setup == kKeptHalfStale ? "\"stale-0\"" : ""));
                break;
            case kKeptGarbage:
                ASSERT_TRUE(SavePartialArchive(archiveUrl.c_str(), garbage.data(), half,
                                               (int64_t)archive.size(), ""));
                break;
            case kLinkToOutside:
                std::filesystem::create_symlink(outside, partial, ec);
                if (ec) {
                    // Some hosts allow no links; the other cases still run.
                    printf("no symbolic link made: %s\n", ec.message().c_str());
                    continue;
                }
                break;
            case kFolder:
                ASSERT_TRUE(WriteFile(partial + "/inside.bin", Text("x")));
                break;
            case kOversized: {
                ASSERT_TRUE(WriteFile(partial, Text("SFPART1\n")));
                std::filesystem::resize_file(partial, (uintmax_t)kMaxArchiveSize + 4096, ec);
                ASSERT_FALSE(ec) << ec.message();
                break;
            }
            case kBadHeader:
                ASSERT_TRUE(WriteFile(partial, Text("not a partial archive at all")));
                break;
            case kFifo:
#ifdef _WIN32
                continue;
#else
                ASSERT_EQ(0, mkfifo(partial.c_str(), 0600));
                break;
#endif
        }

        Recorder recorder;
        RunUpdate(recorder);
        EXPECT_EQ(1, recorder.finished);
        // A try whose archive failed its check counts against the update.
        EXPECT_EQ(c.setup == kKeptGarbage ? 0 : 1, recorder.allOk);
        EXPECT_EQ(kNewVersion, InstalledVersion(log));
        EXPECT_EQ(c.statuses, Statuses(archivePath));
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(partial, ec)))
            << "the partial file stayed";
        EXPECT_EQ("not the engine's", supporttest::ReadWholeFile(outside));
        if (c.setup == kKeptHalf) {
            // Only the rest was sent.
            const std::vector<std::string> lines = AccessLines(archivePath);
            ASSERT_EQ(1u, lines.size());
            EXPECT_NE(
                std::string::npos,
                lines[0].find(" 206 " + std::to_string((long long)archive.size() - half) + " "))
                << lines[0];
        }
        if (c.setup == kKeptGarbage) {
            EXPECT_TRUE(
                log.Has("[SwarmFetchLib] Download Completed (URL: " + archiveUrl + ")(Code: 4)"))
                << log.Text();
        }
    }
}

// A download cut off where it stands (as the update's deadline or the
// library's end cut it: the downloader is destroyed) keeps what arrived; one
// cut off by the host keeps it too, and the next try asks only for the rest.
TEST_F(EngineUpdateNet, ACutOffArchiveKeepsItsBytesAndAsksForTheRest) {
    const sftest::TestServers& servers = sftest::Servers();
    apitest::LogScope log;
    Install(log, kOld);
    const std::string stamp =
        std::to_string((long long)std::chrono::steady_clock::now().time_since_epoch().count());
    const std::string folder = "engine-update/cut-" + stamp;
    auto serve = [&](const std::string& archiveUrl) {
        ASSERT_TRUE(WriteFile(
            servers.DocRootPath(folder + "/KVX_updater.xml"),
            Text("<u><all><all url=\"" + archiveUrl + "\"/></all><file><ldDownload.exe ver=\"" +
                 kNewVersion + "\" url=\"" + archiveUrl + "\"/></file></u>")));
        const std::string manifestUrl = servers.HttpUrl("/" + folder + "/KVX_updater.xml");
        SetEngineManifestUrlForTesting(manifestUrl.c_str());
    };

    // Destroyed mid-body: the bytes so far stay in the partial file.
    const std::string drip = servers.FaultUrl("/drip/resume-" + stamp + ".zip?ms=20");
    serve(drip);
    {
        Recorder recorder;
        CDownloader downloader(&recorder);
        downloader.BeginUpdate();
        ASSERT_TRUE(libraryloop::RunUntil([&] { return recorder.progress >= 20; }, 20000));
    }
    PartialArchive kept;
    ASSERT_TRUE(LoadPartialArchive(drip.c_str(), &kept));
    EXPECT_EQ(1000, kept.total);
    EXPECT_GE(kept.have, 20);
    for (int64_t i = 0; i < kept.have; ++i)
        ASSERT_EQ((uint8_t)(i % 256), kept.data[i]) << i;
    free(kept.data);
    RemovePartialArchive(drip.c_str());

    // The host closes after half the body: the next try asks for the rest.
    const std::string key = "resume-" + stamp;
    const std::string cut = servers.FaultUrl("/cut/" + key + "/1/4000?x=.zip");
    serve(cut);
    Recorder recorder;
    RunUpdate(recorder);
    bool ranged = false;
    for (const std::string& line : servers.FaultRequestLines())
        ranged = ranged || line.find("cut " + key + " range bytes=2000-") != std::string::npos;
    EXPECT_TRUE(ranged) << log.Text();
    EXPECT_TRUE(log.Has("[SwarmFetchLib] Session Error (URL: " + cut + ")(Code: 6)")) << log.Text();
    // The pattern is no archive: used and refused, its partial file gone.
    ovCString path;
    ASSERT_TRUE(PartialArchivePath(cut.c_str(), path));
    std::error_code ec;
    EXPECT_FALSE(std::filesystem::exists(apitest::NativeFromWin(path.CStr()), ec));
}

class EngineUpdateHost : public ::testing::Test {
  protected:
    void SetUp() override {
        const sftest::TestServers& servers = sftest::Servers();
        ASSERT_TRUE(servers.Ok()) << servers.Error();
        log.reset(new apitest::LogScope());
        Install(*log, kOld);
        staging = log->Folder().Native("Ludra/ldDownloader.staging");
        bool ok = false;
        const std::vector<uint8_t> archive =
            sftest::ReadFile(sftest::DataPath("engine-update/large.zip"), &ok);
        ASSERT_TRUE(ok);
        const std::string folder =
            "engine-update/host-" +
            std::to_string((long long)std::chrono::steady_clock::now().time_since_epoch().count());
        const std::string archiveUrl = servers.HttpUrl("/" + folder + "/large.zip");
        const std::string hashUrl = servers.HttpUrl("/" + folder + "/large.md4");
        ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/large.zip"), archive));
        ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/large.md4"),
                              sftest::EngineHashList(archive.data(), archive.size())));
        const std::string item = "url=\"" + archiveUrl + "\" hash=\"" + hashUrl + "\"";
        ASSERT_TRUE(WriteFile(servers.DocRootPath(folder + "/KVX_updater.xml"),
                              Text("<u><all><all " + item + "/></all><file><ldDownload.exe ver=\"" +
                                   kNewVersion + "\" " + item + "/></file></u>")));
        const std::string manifestUrl = servers.HttpUrl("/" + folder + "/KVX_updater.xml");
        SetEngineManifestUrlForTesting(manifestUrl.c_str());
        CEngineDownloader::SetEnginePortForTesting(testpeers::RefusedPort());
        SetNoPublisherKeyForTesting();
    }
    void TearDown() override {
        SetEngineManifestUrlForTesting(nullptr);
        SetPublisherKeyForTesting(nullptr);
        CEngineDownloader::SetEnginePortForTesting(0);
        log.reset();
    }

    std::unique_ptr<apitest::LogScope> log;
    std::string staging;
};

// Meanwhile the host keeps calling in, and its calls end while the unpack
// runs: the unpack runs beside the library thread and never holds the
// library lock.
TEST_F(EngineUpdateHost, HostCallsAnswerWhileAnArchiveUnpacks) {
    // Calls are made from the start until the new engine is in place. A call
    // made while the unpack ran saw the staging folder before or after it,
    // or the new engine arrived while it waited.
    int64_t slowestUs = 0;
    int calls = 0;
    {
        apitest::Library library(false, true, 1, true);
        ASSERT_EQ(SF_RESULT_OK, library.Result());
        const uint32_t job = library.NewJob();
        // A call every 2 ms until the new engine is in place.
        const bool installed = sftest::Eventually(
            [&] {
                const bool before = supporttest::PathExists(staging);
                SwarmFetchProgress progress;
                const auto start = std::chrono::steady_clock::now();
                EXPECT_EQ(SF_RESULT_OK, SwarmFetch_GetProgress(job, &progress));
                const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::steady_clock::now() - start)
                                       .count();
                // The program is read only while no unpack shows, so that
                // the reading never stands in the way of its replacement.
                const bool after = supporttest::PathExists(staging);
                const bool done = !after && InstalledVersion(*log) == kNewVersion;
                if (before || after || done) {
                    ++calls;
                    slowestUs = std::max(slowestUs, us);
                }
                return done;
            },
            120000, 2);
        EXPECT_TRUE(installed);
    }
    EXPECT_EQ(kNewVersion, InstalledVersion(*log));
    RecordProperty("calls_while_unpacking", calls);
    RecordProperty("slowest_call_us", (int)slowestUs);
    // The unpack lasted long enough to be watched, and calls ended while it
    // ran (a call that waited for it would end with it). The slowest call is
    // recorded, not asserted: a loaded machine stalls any call now and then.
    EXPECT_GE(calls, 10);
}

// Finalising while the archive unpacks stops the unpack: the library is
// gone within its usual bounds, the staging folder with it, and the engine
// is either the old one or, when the stop came as the files were being
// moved, the new one; never half of it.
TEST_F(EngineUpdateHost, FinalizeDuringAnUnpackStopsIt) {
    std::chrono::steady_clock::duration finalize{};
    {
        apitest::Library library(false, true, 1, true);
        ASSERT_EQ(SF_RESULT_OK, library.Result());
        sftest::Eventually([&] { return supporttest::PathExists(staging); }, 60000, 1);
        EXPECT_TRUE(supporttest::PathExists(staging));
        const auto start = std::chrono::steady_clock::now();
        SwarmFetch_Finalize();
        finalize = std::chrono::steady_clock::now() - start;
    }
    EXPECT_LT(finalize, std::chrono::seconds(10));
    EXPECT_FALSE(supporttest::PathExists(staging));
    const std::string version = InstalledVersion(*log);
    EXPECT_TRUE(version == SF_ENGINE_OLD_VERSION || version == kNewVersion) << version;
    if (version == SF_ENGINE_OLD_VERSION) {
        EXPECT_FALSE(
            supporttest::PathExists(log->Folder().Native("Ludra\\ldDownloader\\zeros.bin")));
    }
}

}  // namespace
