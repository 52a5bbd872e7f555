// What someone who can write the download folder may have left under the
// names the download session writes and reads, against the fault server: a
// partial or final file that is a symbolic link, a dangling link or a hard
// link to a file elsewhere, or a FIFO, and a partial file swapped for
// another while it is written. Nothing outside the folder is read, written,
// emptied or created, a FIFO never blocks the job or its deletion, and only
// the file that was written and hashed goes into place.
#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

// First: it brings winsock2.h, which must come before windows.h.
#include "integration/FileDownloadTestEnv.h"

#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "support/Sha256Hex.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using filedl::S;
using Bytes = std::vector<unsigned char>;

enum Kind { kSymlink, kDangling, kHardLink, kFifo };

const char* KindName(Kind kind) {
    static const char* const names[] = {"a link to a file outside", "a dangling link",
                                        "a hard link to a file outside", "a FIFO"};
    return names[kind];
}

// Puts `kind` at `native`, naming `outside` (or the missing `missing`);
// false when this system cannot make it (Wine: FIFOs, and symbolic links
// by version).
bool Make(Kind kind, const std::string& native, const std::string& outside,
          const std::string& missing) {
    std::error_code ec;
    switch (kind) {
        // Some Wine versions answer success and make nothing: only a link
        // that is there counts.
        case kSymlink:
            std::filesystem::create_symlink(outside, native, ec);
            return !ec && std::filesystem::is_symlink(native, ec);
        case kDangling:
            std::filesystem::create_symlink(missing, native, ec);
            return !ec && std::filesystem::is_symlink(native, ec);
        case kHardLink:
            std::filesystem::create_hard_link(outside, native, ec);
            return !ec;
        case kFifo:
#ifdef _WIN32
            return false;
#else
            return mkfifo(native.c_str(), 0600) == 0;
#endif
    }
    return false;
}

void WriteBytes(const std::string& native, const Bytes& bytes) {
    FILE* f = fopen(native.c_str(), "wb");
    ASSERT_NE(nullptr, f) << native;
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

class LocalLinks : public filedl::FileDownloadTest {
  protected:
    void SetUp() override {
        filedl::FileDownloadTest::SetUp();
        ASSERT_TRUE(FsCreateFolders(Win("dl").c_str()));
        ASSERT_TRUE(FsCreateFolders(Win("elsewhere").c_str()));
    }
    std::string Url(const std::string& key, bool hashed, bool sized = true) const {
        return S().FaultUrl("/cut/" + key + "/0/" + std::to_string(kSize)) +
               (hashed ? "#sha256=" + sftest::Sha256Hex(m_good) : "") +
               (hashed && sized ? "&size=" + std::to_string(kSize) : "");
    }
    // Runs a new job of the one file to its end.
    void Run(const std::string& url, const std::string& name, filedl::SessionRecorder& events) {
        DropAll();
        m_job.reset(new CJob(++m_handle, 0, HostTarget()));
        m_job->SetName("brightwave7");
        Add(url, Win("dl"), name);
        StartSession(1, (int64_t)kSize, &events);
        ASSERT_TRUE(events.WaitEnd());
    }
    // The file in place is a sole file of the right bytes.
    void ExpectInPlace(const std::string& name) {
        EXPECT_EQ((int64_t)kSize, PfFileSoleSize(Win("dl\\" + name).c_str()));
        EXPECT_TRUE(filedl::ReadFile(Native("dl\\" + name), nullptr) == m_good);
        bool exists = true;
        filedl::ReadFile(Native("dl\\" + name + ".part"), &exists);
        EXPECT_FALSE(exists);
    }

    static const size_t kSize = 200000;
    const Bytes m_good = sftest::FaultPattern(kSize);
    uint32_t m_handle = 100;
};

// A partial file that links elsewhere is replaced by a file of its own:
// before, a file without a hash emptied and rewrote the outside file, one
// with a hash appended to it, and a dangling link created its target.
TEST_F(LocalLinks, APartialFileThatLinksElsewhereIsReplacedNotFollowed) {
    const Bytes outsideBytes = sftest::FaultPattern(5000);
    int ran = 0;
    for (Kind kind : {kSymlink, kDangling, kHardLink, kFifo}) {
        for (bool hashed : {false, true}) {
            SCOPED_TRACE(std::string(KindName(kind)) + (hashed ? ", hashed" : ""));
            const std::string key = filedl::UniqueKey("partlink-");
            const std::string name = key + ".bin";
            const std::string outside = Native("elsewhere\\" + key + ".out");
            const std::string missing = Native("elsewhere\\" + key + ".missing");
            WriteBytes(outside, outsideBytes);
            if (!Make(kind, Native("dl\\" + name + ".part"), outside, missing)) {
                ASSERT_TRUE(kind == kFifo || kind == kSymlink || kind == kDangling);
                continue;
            }
            ++ran;
            filedl::SessionRecorder events;
            Run(Url(key, hashed), name, events);
            EXPECT_EQ("all", events.Kinds().back()) << m_log->Text();
            ExpectInPlace(name);
            EXPECT_TRUE(filedl::ReadFile(outside, nullptr) == outsideBytes);
            bool exists = true;
            filedl::ReadFile(missing, &exists);
            EXPECT_FALSE(exists);
            for (const std::string& v : events.Violations())
                ADD_FAILURE() << v;
        }
    }
    EXPECT_GE(ran, 2);
}

// A final file that links to a file elsewhere with exactly the right bytes
// is not taken as already complete: it is fetched, and the link replaced.
// A FIFO there neither blocks the hash worker, the job nor its deletion
// (before, the worker waited in its open for a writer, the session for the
// worker, and deleting the session for the worker again, all for good).
TEST_F(LocalLinks, AFinalFileThatLinksElsewhereOrIsAFifoIsFetchedAnew) {
    int ran = 0;
    for (Kind kind : {kSymlink, kHardLink, kFifo}) {
        SCOPED_TRACE(KindName(kind));
        const std::string key = filedl::UniqueKey("finallink-");
        const std::string name = key + ".bin";
        const std::string outside = Native("elsewhere\\" + key + ".out");
        WriteBytes(outside, m_good);
        if (!Make(kind, Native("dl\\" + name), outside, "")) {
            ASSERT_TRUE(kind == kFifo || kind == kSymlink);
            continue;
        }
        ++ran;
        // The FIFO without a size: any file at the name would be hashed.
        filedl::SessionRecorder events;
        Run(Url(key, true, kind != kFifo), name, events);
        EXPECT_EQ("all", events.Kinds().back()) << m_log->Text();
        EXPECT_EQ(1, filedl::RequestsWith("cut " + key + " range ")) << m_log->Text();
        EXPECT_FALSE(m_log->Has("[SwarmFetchLib] Already Complete : " + Win("dl\\" + name)));
        ExpectInPlace(name);
        EXPECT_TRUE(filedl::ReadFile(outside, nullptr) == m_good);
    }
    EXPECT_GE(ran, 1);
}

// The partial file is swapped for another file while it is written: what
// goes into place is never that other file.
std::mutex g_swapMutex;
std::string g_swapPart;  // library path of the partial file to swap
std::string g_swapFrom;  // native path of the file swapped in
std::string g_swapTo;    // native path of the partial file
bool g_swapped = false;

size_t SwapOnFirstWrite(const char* path, int64_t offset, size_t size) {
    (void)offset;
    std::lock_guard<std::mutex> hold(g_swapMutex);
    if (!g_swapped && g_swapPart == path) {
        g_swapped = true;
        std::error_code ec;
        // Windows refuses while the file is open; POSIX swaps the name.
        std::filesystem::rename(g_swapFrom, g_swapTo, ec);
    }
    return size;
}

// The validator kept beside a partial file without a hash, when it is a
// link, a second name or a FIFO: never read (no If-Range goes out, though
// the file it names holds a sane one), never written through, and the file
// is fetched from byte 0 and put in place.
TEST_F(LocalLinks, AKeptValidatorThatLinksElsewhereIsNeitherReadNorWrittenThrough) {
    const std::string sane = "SwarmFetch If-Range 1\n\"v1\"\n";
    const Bytes outsideBytes(sane.begin(), sane.end());
    int ran = 0;
    for (Kind kind : {kSymlink, kDangling, kHardLink, kFifo}) {
        SCOPED_TRACE(KindName(kind));
        const std::string key = filedl::UniqueKey("validatorlink-");
        const std::string name = key + ".bin";
        const std::string outside = Native("elsewhere\\" + key + ".out");
        const std::string missing = Native("elsewhere\\" + key + ".missing");
        WriteBytes(outside, outsideBytes);
        WriteBytes(Native("dl\\" + name + ".part"), Bytes(m_good.begin(), m_good.begin() + 1000));
        if (!Make(kind, Native("dl\\" + name + ".part.part"), outside, missing)) {
            ASSERT_TRUE(kind == kFifo || kind == kSymlink || kind == kDangling);
            continue;
        }
        ++ran;
        filedl::SessionRecorder events;
        Run(S().FaultUrl("/cut/" + key + "/0/" + std::to_string(kSize) + "?etag=%22v1%22"), name,
            events);
        EXPECT_EQ("all", events.Kinds().back()) << m_log->Text();
        EXPECT_EQ(1, filedl::RequestsWith("cut " + key + " range bytes=0-"));
        EXPECT_EQ(0, filedl::RequestsWith("cut " + key + " if-range "));
        ExpectInPlace(name);
        EXPECT_TRUE(filedl::ReadFile(outside, nullptr) == outsideBytes);
        bool exists = true;
        filedl::ReadFile(missing, &exists);
        EXPECT_FALSE(exists);
        std::error_code ec;
        EXPECT_FALSE(std::filesystem::exists(
            std::filesystem::symlink_status(Native("dl\\" + name + ".part.part"), ec)));
        for (const std::string& v : events.Violations())
            ADD_FAILURE() << v;
    }
#ifdef _WIN32
    // Wine makes hard links; which symbolic links it makes varies.
    EXPECT_GE(ran, 1);
#else
    EXPECT_EQ(ran, 4);
#endif
}

TEST_F(LocalLinks, APartialFileSwappedWhileWrittenIsNeverPutInPlace) {
    for (bool hashed : {false, true}) {
        SCOPED_TRACE(hashed ? "hashed" : "no hash");
        const std::string key = filedl::UniqueKey("swap-");
        const std::string name = key + ".bin";
        Bytes stranger = m_good;
        stranger[kSize / 2] ^= 0x01;
        WriteBytes(Native("elsewhere\\" + key + ".evil"), stranger);
        {
            std::lock_guard<std::mutex> hold(g_swapMutex);
            g_swapPart = Win("dl\\" + name + ".part");
            g_swapFrom = Native("elsewhere\\" + key + ".evil");
            g_swapTo = Native("dl\\" + name + ".part");
            g_swapped = false;
        }
        PfFileSetWriteHookForTesting(&SwapOnFirstWrite);
        filedl::SessionRecorder events;
        Run(Url(key, hashed), name, events);
        PfFileSetWriteHookForTesting(nullptr);
        bool strangerLeft = false;
        filedl::ReadFile(g_swapFrom, &strangerLeft);
#ifdef _WIN32
        EXPECT_TRUE(strangerLeft);
        EXPECT_EQ("all", events.Kinds().back());
        ExpectInPlace(name);
#else
        ASSERT_FALSE(strangerLeft) << "the swap did not happen";
        EXPECT_EQ("failed", events.Kinds().back());
        EXPECT_TRUE(m_log->Has("[SwarmFetchLib] Rename Failed(32) : " + Win("dl\\" + name)))
            << m_log->Text();
        bool exists = true;
        filedl::ReadFile(Native("dl\\" + name), &exists);
        EXPECT_FALSE(exists);
#endif
    }
}

}  // namespace
