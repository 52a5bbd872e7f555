// The plain downloader's kept connections, files in flight and resumed
// files against a hostile server (the fault server, nginx) and hostile
// files in the download folder: an answer nothing asked for is never taken
// for the next file or size check, bytes a server goes on sending close the
// kept connection, connections and TLS sessions stay with their scheme,
// host and port, one file spelled two ways is never listed twice, and a
// partial file or validator name that is not what it should be is never
// continued nor taken beyond the file.
#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

// First: it brings winsock2.h, which must come before windows.h.
#include "integration/FileDownloadTestEnv.h"

#include "opn/opeerqos/Lib_SSL/TlsGlobal.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/download/plain/FilesInFlight.h"

namespace {

using filedl::NginxRequest;
using filedl::NginxRequests;
using filedl::OnLibraryThread;
using filedl::S;
using filedl::WriteBytes;
using Bytes = std::vector<unsigned char>;

Bytes Disk(const std::string& native) {
    bool exists = false;
    Bytes bytes = filedl::ReadFile(native, &exists);
    EXPECT_TRUE(exists) << native;
    return bytes;
}

class PlainAttacks : public filedl::FileDownloadTest {
  protected:
    void NewJob() {
        DropAll();
        m_job.reset(new CJob(++m_handle, 0, HostTarget()));
        m_job->SetName("brightwave7");
    }
    uint32_t m_handle = 100;
};

// A server sends, right behind an answer and in the same send, a second
// answer nothing asked for. Before, a kept connection handed on at once to
// the next file (an empty file's answer completes at its head) read that
// stale answer as the next file's: 0xEE bytes written as the file.
TEST_F(PlainAttacks, AnAnswerNothingAskedForIsNeverTakenForTheNextFile) {
    struct Case {
        const char* name;
        int64_t firstSize;  // the first file's, answered with the stale one behind it
    };
    const Case cases[] = {
        {"behind-an-empty-answer", 0},
        {"behind-a-body", 3000},
    };
    const int64_t kSize = 3000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewJob();
        const std::string key = filedl::UniqueKey((std::string(c.name) + "-").c_str());
        const std::string base = "/keep/" + key + "/";
        Add(S().FaultUrl(base + std::to_string(c.firstSize) + "?forge=" + std::to_string(kSize)),
            Win(key), "first.bin");
        Add(S().FaultUrl(base + std::to_string(kSize)), Win(key), "second.bin", kSize);
        filedl::SessionRecorder events;
        UsePool();
        StartSession(1, c.firstSize + kSize, &events);
        ASSERT_TRUE(events.WaitEnd());
        EXPECT_EQ("all", events.Kinds().back()) << m_log->Text();
        EXPECT_EQ(2, events.Count("file"));
        for (const std::string& v : events.Violations())
            ADD_FAILURE() << v;
        EXPECT_TRUE(Disk(Native(key + "\\first.bin")) == sftest::FaultPattern((size_t)c.firstSize));
        EXPECT_TRUE(Disk(Native(key + "\\second.bin")) == sftest::FaultPattern((size_t)kSize));
        const filedl::KeepCount count = filedl::CountKeep(key);
        EXPECT_EQ(1, count.forged);
        // The second file was answered by the server, on a connection of its own.
        EXPECT_EQ(2, count.answers);
        EXPECT_EQ(2, count.connections);
    }
}

// The same behind a size check's answer: the checks beyond the first
// kMaxSessions start as earlier ones end, on the connections those leave.
// Before, such a check read the stale answer's length as its file's size.
TEST_F(PlainAttacks, AStaleAnswerIsNeverTakenForTheNextSizeCheck) {
    const int32_t kFiles = CPlatformFileSizeChecker::kMaxSessions + 2;
    const int64_t kSize = 100;
    const std::string key = filedl::UniqueKey("stale-check-");
    for (int32_t i = 0; i < kFiles; ++i)
        Add(S().FaultUrl("/keep/" + key + "/" + std::to_string(kSize) +
                         "?forge=999&f=" + std::to_string(i)),
            Win(key), "f" + std::to_string(i) + ".bin");
    UsePool();
    StartChecker();
    const filedl::CheckerRecorder::Outcome outcome = m_checkerEvents.WaitEnd();
    ASSERT_EQ(1, outcome.completed) << outcome.code << " " << outcome.text;
    std::vector<int64_t> sizes;
    ASSERT_TRUE(OnLibraryThread([&] {
        for (int32_t i = 0; i < kFiles; ++i)
            sizes.push_back(m_checker->CheckedSize(i));
    }));
    for (int32_t i = 0; i < kFiles; ++i)
        EXPECT_EQ(kSize, sizes[(size_t)i]) << i;
    EXPECT_EQ(kFiles, filedl::CountKeep(key).answers);
}

// A server keeps sending after a size check's one byte, on the connection
// kept for the next request. Before, the kept connection read and dropped
// those bytes for as long as the server sent them; now they are left
// unread, so the connection closes at its receive bound.
TEST_F(PlainAttacks, BytesAfterAKeptAnswerCloseTheConnection) {
    const std::string key = filedl::UniqueKey("trailing-");
    Add(S().FaultUrl("/probe/" + key + "/trailing/500"), Win(key), "f.bin");
    UsePool();
    StartChecker();
    const filedl::CheckerRecorder::Outcome outcome = m_checkerEvents.WaitEnd();
    ASSERT_EQ(1, outcome.completed) << outcome.code << " " << outcome.text;
    int64_t size = -1;
    ASSERT_TRUE(OnLibraryThread([&] { size = m_checker->CheckedSize(0); }));
    EXPECT_EQ(500, size);
    EXPECT_TRUE(netdl::FaultServerLogged("probe " + key + " closed", 20000));
    int32_t kept = -1;
    ASSERT_TRUE(sftest::Eventually(
        [&] {
            EXPECT_TRUE(OnLibraryThread([&] { kept = m_pool->KeptCount(); }));
            return kept == 0;
        },
        10000));
}

// A list that names one file twice (the same folder and name, written
// alike or not, another source). The job refuses the second entry; if it
// took it, with files in flight both would write the one partial file at
// once: the file must end as one entry wrote it.
TEST_F(PlainAttacks, AFileListedTwiceIsNeverWrittenByTwoEntriesAtOnce) {
    struct Case {
        const char* name;
        const char* folderTail;  // appended to the first entry's folder
        const char* fileName;
    };
    const Case cases[] = {
        {"same", "", "same.bin"},
        {"other-case", "", "SAME.bin"},
        {"slashes", "/", "same.bin"},
        {"doubled-separator", "\\\\", "same.bin"},
        {"dot-folder", "\\.\\", "same.bin"},
        {"folder-and-back", "\\sub\\..\\", "same.bin"},
        {"dropped-dot", ".", "same.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewJob();
        const std::string key = filedl::UniqueKey((std::string(c.name) + "-").c_str());
        const int64_t kFirst = 300000;
        const int64_t kSecond = 100000;
        Add(S().FaultUrl("/keep/" + key + "a/" + std::to_string(kFirst)), Win(key) + "\\",
            "same.bin", kFirst);
        const int32_t added =
            m_job->AddFile(S().FaultUrl("/keep/" + key + "b/" + std::to_string(kSecond)).c_str(),
                           (Win(key) + c.folderTail).c_str(), c.fileName, kSecond, 0, 0);
        EXPECT_NE(SF_RESULT_OK, added);
        if (added != SF_RESULT_OK)
            continue;
        filedl::SessionRecorder events;
        std::unique_ptr<FilesInFlight> flight;
        ASSERT_TRUE(OnLibraryThread([&] {
            flight.reset(new FilesInFlight());
            flight->SetListener(&events, &events);
            flight->SetConnectionPool(m_pool.get());
            flight->Start(*m_job);
        }));
        ASSERT_TRUE(events.WaitEnd());
        EXPECT_EQ("all", events.Kinds().back()) << m_log->Text();
        EXPECT_EQ(2, events.Count("file"));
        EXPECT_TRUE(Disk(Native(key + "\\same.bin")) == sftest::FaultPattern((size_t)kSecond));
        EXPECT_TRUE(OnLibraryThread([&] { flight.reset(); }));
    }
}

// One job's files on the same port under another host name, and then in
// plain http: a kept connection and a kept TLS session are for their own
// scheme, host and port only. The host name's certificate names both hosts;
// plain http to the TLS port gets nginx's 400 and fails the file.
TEST_F(PlainAttacks, KeptConnectionsAndTlsSessionsStayWithTheirSchemeAndHost) {
    ResultCode added = OV_E_PLATFORM;
    ASSERT_TRUE(OnLibraryThread(
        [&] { added = AddTrustedCertificate("swarmfetch-test", S().CertPem().c_str()); }));
    ASSERT_TRUE(OV_SUCCEEDED(added));
    bool ok = false;
    const Bytes list = S().DocRootFile("files/list.txt", &ok);
    ASSERT_TRUE(ok);
    const int64_t size = (int64_t)list.size();
    const std::string marker = "tls=" + filedl::UniqueKey("cross-");
    const std::string path = "/files/list.txt?" + marker;
    const std::string byAddress = S().HttpsUrl(path + "-a");
    const std::string byName = S().HttpsUrl(path + "-b", "localhost");
    std::string plain = S().HttpsUrl(path + "-c");
    plain.replace(0, 5, "http");
    Add(byAddress, Win("cross"), "a.txt", size);
    Add(byName, Win("cross"), "b.txt", size);
    Add(plain, Win("cross"), "c.txt", size);
    UsePool();
    StartSession(1, 3 * size);
    ASSERT_TRUE(m_sessionEvents.WaitEnd());
    EXPECT_EQ("failed", m_sessionEvents.Kinds().back());
    EXPECT_EQ(2, m_sessionEvents.Count("file"));
    EXPECT_TRUE(Disk(Native("cross\\a.txt")) == list);
    EXPECT_TRUE(Disk(Native("cross\\b.txt")) == list);
    int32_t reuses = -1;
    ASSERT_TRUE(OnLibraryThread([&] { reuses = m_pool->ReuseCount(); }));
    EXPECT_EQ(0, reuses);
    const std::vector<NginxRequest> requests = NginxRequests(marker + "-", 2);
    ASSERT_LE(2u, requests.size());
    EXPECT_NE(requests[0].connection, requests[1].connection);
    EXPECT_FALSE(requests[0].resumed);
    EXPECT_FALSE(requests[1].resumed);
}

// A partial file as long as the file or longer, kept under the validator
// the server still names, and a size the job knows: one as long is
// continued at its end (the server's 416 confirms it), one longer is never
// continued nor put in place but fetched whole from byte 0, and no count
// runs past the file's size.
TEST_F(PlainAttacks, APartialFileAsLongAsTheFileOrLongerIsNeverTakenBeyondIt) {
    struct Case {
        const char* name;
        size_t partBytes;
        int64_t rangeFrom;  // the one request's
    };
    const size_t kSize = 3000;
    const Case cases[] = {
        {"as-long", kSize, (int64_t)kSize},
        {"longer", kSize + 2000, 0},
    };
    const std::string kept = "SwarmFetch If-Range 1\n\"v1\"\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewJob();
        const std::string key = filedl::UniqueKey((std::string(c.name) + "-").c_str());
        ASSERT_TRUE(FsCreateFolders(Win(key).c_str()));
        const Bytes part = sftest::FaultPattern(c.partBytes);
        WriteBytes(Native(key + "\\f.bin.part"), std::string(part.begin(), part.end()));
        WriteBytes(Native(key + "\\f.bin.part.part"), kept);
        Add(S().FaultUrl("/cut/" + key + "/0/" + std::to_string(kSize) + "?etag=%22v1%22"),
            Win(key), "f.bin", (int64_t)kSize);
        filedl::SessionRecorder events;
        StartSession(1, (int64_t)kSize, &events);
        ASSERT_TRUE(events.WaitEnd());
        EXPECT_EQ("all", events.Kinds().back()) << m_log->Text();
        EXPECT_TRUE(Disk(Native(key + "\\f.bin")) == sftest::FaultPattern(kSize));
        EXPECT_EQ(1, filedl::GetsWith(key));
        EXPECT_EQ(1, filedl::RequestsWith("cut " + key +
                                          " range bytes=" + std::to_string(c.rangeFrom) + "-"));
        for (const std::string& v : events.Violations())
            ADD_FAILURE() << v;
    }
}

// A folder (with a file in it) where the validator is kept: neither read,
// emptied nor removed; the partial file beside it is not continued and the
// file is fetched whole.
TEST_F(PlainAttacks, AFolderAtTheValidatorsNameIsLeftAlone) {
    const size_t kSize = 3000;
    const std::string key = filedl::UniqueKey("validator-folder-");
    ASSERT_TRUE(FsCreateFolders(Win(key + "\\f.bin.part.part").c_str()));
    const std::string inside = "SwarmFetch If-Range 1\n\"v1\"\n";
    WriteBytes(Native(key + "\\f.bin.part.part\\keep.txt"), inside);
    const Bytes part = sftest::FaultPattern(1000);
    WriteBytes(Native(key + "\\f.bin.part"), std::string(part.begin(), part.end()));
    Add(S().FaultUrl("/cut/" + key + "/0/" + std::to_string(kSize) + "?etag=%22v1%22"), Win(key),
        "f.bin", (int64_t)kSize);
    filedl::SessionRecorder events;
    StartSession(1, (int64_t)kSize, &events);
    ASSERT_TRUE(events.WaitEnd());
    EXPECT_EQ("all", events.Kinds().back()) << m_log->Text();
    EXPECT_TRUE(Disk(Native(key + "\\f.bin")) == sftest::FaultPattern(kSize));
    EXPECT_EQ(1, filedl::RequestsWith("cut " + key + " range bytes=0-"));
    const Bytes still = Disk(Native(key + "\\f.bin.part.part\\keep.txt"));
    EXPECT_EQ(inside, std::string(still.begin(), still.end()));
    for (const std::string& v : events.Violations())
        ADD_FAILURE() << v;
}

}  // namespace
