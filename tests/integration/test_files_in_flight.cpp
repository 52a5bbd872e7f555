// The files of a job in flight at once (FilesInFlight): kept connections
// across files, servers that refuse to keep them, file-done reports in the
// job's order while later files finish first, one receive budget for the
// whole job over several connections, and a stop that leaves nothing
// running.
#include "integration/FileDownloadTestEnv.h"

#include <set>
#include <sstream>

#include "opn/opeerqos/COpn.h"
#include "opn/opeerqos/cpCQoS.h"
#include "opn/opeerqos/cpCSharedBudget.h"
#include "sdk/download/plain/FilesInFlight.h"
#include "support/SteppedTimerClock.h"

namespace {

using filedl::FaultGet;
using filedl::S;
using filedl::SessionRecorder;
using netdl::FaultServerLogged;
using netdl::OnLibraryThread;

const int32_t kMax = FilesInFlight::kMaxFilesInFlight;

class FilesInFlightTest : public filedl::FileDownloadTest {
  protected:
    void TearDown() override {
        EXPECT_TRUE(OnLibraryThread([&] { m_flight.reset(); }));
        filedl::FileDownloadTest::TearDown();
        m_clock.reset();
    }

    void StartFlight(int32_t fullSpeed = 1) {
        ASSERT_TRUE(OnLibraryThread([&] {
            m_flight.reset(new FilesInFlight());
            m_flight->SetListener(m_events.get(), m_events.get());
            m_flight->SetFullSpeed(fullSpeed);
            m_flight->SetConnectionPool(m_pool.get());
            m_flight->Start(*m_job);
        }));
    }

    // Names of the files reported done, in report order; "all" for the end.
    std::vector<std::string> Done() {
        std::vector<std::string> names;
        for (const SessionRecorder::Report& r : m_events->Reports()) {
            if (r.kind == "file")
                names.push_back(r.text);
            else if (r.kind == "all" || r.kind == "failed" || r.kind == "error")
                names.push_back(r.kind);
        }
        return names;
    }

    // The fault server's kept-connection answers of `key`: the connections
    // they came on, and how many there were.
    std::set<int> KeepConnections(const std::string& key, int* answers = nullptr,
                                  int* dropped = nullptr) {
        std::set<int> connections;
        int n = 0;
        int d = 0;
        for (const std::string& line : S().FaultRequestLines()) {
            std::istringstream in(line);
            std::string word, k, conn, what;
            int number = 0;
            if (!(in >> word >> k >> conn >> number >> what) || word != "keep" || k != key)
                continue;
            connections.insert(number);
            n += what == "answer" ? 1 : 0;
            d += what == "dropped" ? 1 : 0;
        }
        if (answers)
            *answers = n;
        if (dropped)
            *dropped = d;
        return connections;
    }

    std::string Dump() {
        std::string out;
        OnLibraryThread([&] {
            cpCSharedBudget* b = m_flight->Budget();
            out = "left=" + std::to_string(b->Left()) + " members=" + std::to_string(b->Members()) +
                  " taken=" + std::to_string(b->TotalTaken()) +
                  " ticks=" + std::to_string(OpnSocketManager()->TickCount()) +
                  " running=" + std::to_string(m_flight->Running()) +
                  " total=" + std::to_string(m_flight->GetTotalBytes());
        });
        for (const SessionRecorder::Report& r : m_events->Reports())
            if (r.kind != "progress")
                out += " " + r.kind + ":" + r.text;
        out += "\n" + m_log->Text();
        return out;
    }
    std::string Name(int i) const { return "f" + std::to_string(i) + ".bin"; }

    std::unique_ptr<FilesInFlight> m_flight;
    std::unique_ptr<SessionRecorder> m_events{new SessionRecorder()};
    std::unique_ptr<sftest::SteppedTimerClock> m_clock;
};

TEST_F(FilesInFlightTest, FilesOfAJobShareKeptConnectionsToNginx) {
    UsePool();
    const std::string key = filedl::UniqueKey("kept-");
    const int files = 12;
    bool ok = false;
    const std::vector<unsigned char> list = S().DocRootFile("files/list.txt", &ok);
    ASSERT_TRUE(ok);
    for (int i = 0; i < files; ++i)
        Add(S().HttpUrl("/files/list.txt?k=" + key + "&i=" + std::to_string(i)), Win("dl"), Name(i),
            (int64_t)list.size());
    StartFlight();
    ASSERT_TRUE(m_events->WaitEnd());
    std::vector<std::string> expected;
    for (int i = 0; i < files; ++i)
        expected.push_back(Name(i));
    expected.push_back("all");
    EXPECT_EQ(expected, Done());
    for (const std::string& v : m_events->Violations())
        ADD_FAILURE() << v;
    for (int i = 0; i < files; ++i) {
        bool exists = false;
        EXPECT_EQ(std::vector<unsigned char>(list.begin(), list.end()),
                  filedl::ReadFile(Native("dl/" + Name(i)), &exists))
            << i;
    }
    EXPECT_TRUE(OnLibraryThread([&] {
        EXPECT_EQ(kMax, m_flight->MostRunning());
        EXPECT_EQ(0, m_flight->Running());
        EXPECT_EQ((int64_t)list.size() * files, m_flight->GetTotalBytes());
    }));
    // Twelve requests on at most one connection per file in flight.
    std::set<std::string> connections;
    int requests = 0;
    for (const std::string& line : S().NginxConnectionLines()) {
        if (line.find("k=" + key + "&") == std::string::npos)
            continue;
        ++requests;
        connections.insert(line.substr(0, line.find(' ')));
    }
    EXPECT_EQ(files, requests);
    EXPECT_GE((size_t)kMax, connections.size());
    EXPECT_LE(1u, connections.size());
}

// Servers that will not keep a connection: every file still arrives, each
// on a connection of its own, without a failed attempt.
TEST_F(FilesInFlightTest, ServersThatRefuseKeptConnectionsStillServeEveryFile) {
    struct Case {
        const char* option;
        bool oneConnectionPerFile;
    } cases[] = {
        {"close=1", true},     // "Connection: close" on every answer
        {"close=2", true},     // closes after every answer without saying so
        {"answers=1", false},  // closes a kept connection as the next request comes
    };
    const int files = 6;
    const int size = 3000;
    const std::vector<unsigned char> body = sftest::FaultPattern((size_t)size);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        DropAll();
        UsePool();
        m_events.reset(new SessionRecorder());
        m_job.reset(new CJob(1, 0, HostTarget()));
        m_job->SetName("brightwave7");
        const std::string key = filedl::UniqueKey("refuse-");
        const std::string folder = std::string("dl-") + c.option;
        for (int i = 0; i < files; ++i)
            Add(S().FaultUrl("/keep/" + key + "/" + std::to_string(size) + "?" + c.option),
                Win(folder), Name(i), size);
        StartFlight();
        ASSERT_TRUE(m_events->WaitEnd());
        std::vector<std::string> expected;
        for (int i = 0; i < files; ++i)
            expected.push_back(Name(i));
        expected.push_back("all");
        EXPECT_EQ(expected, Done());
        for (int i = 0; i < files; ++i) {
            bool exists = false;
            EXPECT_EQ(body, filedl::ReadFile(Native(folder + "/" + Name(i)), &exists)) << i;
        }
        int answers = 0;
        int dropped = 0;
        const std::set<int> connections = KeepConnections(key, &answers, &dropped);
        EXPECT_EQ(files, answers) << "no file was fetched twice";
        if (c.oneConnectionPerFile) {
            EXPECT_EQ((size_t)files, connections.size());
            EXPECT_EQ(0, dropped);
        }
        EXPECT_TRUE(OnLibraryThread([&] { EXPECT_EQ(0, m_flight->Running()); }));
        EXPECT_TRUE(OnLibraryThread([&] { m_flight.reset(); }));
    }
}

TEST_F(FilesInFlightTest, LaterFilesThatFinishFirstWaitForTheirTurn) {
    UsePool();
    const std::string key = filedl::UniqueKey("order-");
    const int size = 2000;
    // The first file is held by the server until the test releases it.
    Add(S().FaultUrl("/hold/" + key), Win("dl"), Name(0));
    for (int i = 1; i < kMax; ++i)
        Add(S().FaultUrl("/keep/" + key + "/" + std::to_string(size)), Win("dl"), Name(i), size);
    StartFlight();
    // The later files are complete on disk (renamed from their partial files).
    ASSERT_TRUE(sftest::Eventually(
        [&] {
            for (int i = 1; i < kMax; ++i) {
                bool exists = false;
                if (filedl::ReadFile(Native("dl/" + Name(i)), &exists).size() != (size_t)size)
                    return false;
            }
            return true;
        },
        20000));
    ASSERT_TRUE(FaultServerLogged("GET /hold/" + key + " "));
    // Yet nothing is reported before the first file, which is the current one.
    EXPECT_TRUE(OnLibraryThread([&] {
        EXPECT_TRUE(Done().empty());
        const DownloadEntry* current = m_flight->CurrentEntry();
        ASSERT_NE(nullptr, current);
        EXPECT_EQ(0, current->index);
        EXPECT_EQ(1, m_flight->Running());
    }));
    EXPECT_EQ("released\n", FaultGet("/release/" + key));
    ASSERT_TRUE(m_events->WaitEnd());
    std::vector<std::string> expected;
    for (int i = 0; i < kMax; ++i)
        expected.push_back(Name(i));
    expected.push_back("all");
    EXPECT_EQ(expected, Done());
    bool exists = false;
    const std::vector<unsigned char> first = filedl::ReadFile(Native("dl/" + Name(0)), &exists);
    EXPECT_EQ("fault server ok\n", std::string(first.begin(), first.end()));
}

// A failed file ends the job only after the files before it were reported;
// the files after it are not reported.
TEST_F(FilesInFlightTest, AFailedFileEndsTheJobInItsTurn) {
    UsePool();
    const std::string key = filedl::UniqueKey("failturn-");
    const int size = 1500;
    Add(S().FaultUrl("/hold/" + key), Win("dl"), Name(0));
    Add(S().FaultUrl("/status/404?m=" + key), Win("dl"), Name(1));
    Add(S().FaultUrl("/keep/" + key + "/" + std::to_string(size)), Win("dl"), Name(2), size);
    StartFlight();
    // The missing file has failed (and the last one ended), while the first
    // is held.
    ASSERT_TRUE(FaultServerLogged("GET /hold/" + key + " "));
    ASSERT_TRUE(sftest::Eventually(
        [&] {
            int32_t running = -1;
            OnLibraryThread([&] { running = m_flight->Running(); });
            return running == 1;
        },
        20000));
    EXPECT_TRUE(OnLibraryThread([&] {
        EXPECT_TRUE(Done().empty());
        EXPECT_FALSE(m_flight->Ended());
    }));
    EXPECT_EQ("released\n", FaultGet("/release/" + key));
    ASSERT_TRUE(m_events->WaitEnd());
    const std::vector<std::string> expected = {Name(0), "failed"};
    EXPECT_EQ(expected, Done());
    const std::vector<SessionRecorder::Report> reports = m_events->Reports();
    EXPECT_EQ(S().FaultUrl("/status/404?m=" + key), reports.back().text);
    EXPECT_TRUE(OnLibraryThread([&] {
        EXPECT_TRUE(m_flight->Ended());
        EXPECT_EQ(0, m_flight->Running());
        EXPECT_EQ(nullptr, m_flight->Connection());
    }));
}

// Four connections under the normal budget move no more than 393,216 bytes
// in any window of the socket manager: the windows are stepped by hand.
TEST_F(FilesInFlightTest, TheJobBudgetHoldsOverSeveralConnections) {
    m_clock.reset(new sftest::SteppedTimerClock(sftest::SteppedTimerClock::kFrozen));
    UsePool();
    const std::string key = filedl::UniqueKey("budget-");
    // More than four windows' parts of one connection.
    const int size = 500000;
    for (int i = 0; i < kMax; ++i)
        Add(S().FaultUrl("/keep/" + key + "/" + std::to_string(size)), Win("dl"), Name(i), size);
    uint32_t ticksBefore = 0;
    ASSERT_TRUE(OnLibraryThread([&] { ticksBefore = OpnSocketManager()->TickCount(); }));
    StartFlight(0);
    const uint32_t limit = CPlatformSession::kNormalSpeedBudget;
    const ovSmartPtr lock = apitest::TheManager().LockObject();
    const int windows = 4;
    for (int w = 0; w < windows; ++w) {
        SCOPED_TRACE(w);
        ASSERT_TRUE(m_clock->Step(cpCQoS::kTickPeriodMs, lock));
        // The window's budget is spent: the four files want more.
        ASSERT_TRUE(sftest::Eventually(
            [&] {
                uint32_t left = 1;
                OnLibraryThread([&] { left = m_flight->Budget()->Left(); });
                return left == 0;
            },
            20000))
            << Dump();
        EXPECT_TRUE(OnLibraryThread([&] {
            const uint32_t ticks = OpnSocketManager()->TickCount() - ticksBefore;
            const cpCSharedBudget* budget = m_flight->Budget();
            // The first window is a share of one; each tick brings one more.
            EXPECT_LE(budget->TotalTaken(), (uint64_t)limit * (ticks + 1));
            EXPECT_LE((uint64_t)m_flight->GetTotalBytes(), budget->TotalTaken());
            EXPECT_EQ(limit, budget->Limit());
            EXPECT_EQ(kMax, m_flight->MostRunning());
        }));
    }
    // Each connection has its part of every window: all of them moved bytes.
    EXPECT_TRUE(OnLibraryThread([&] {
        EXPECT_EQ(kMax, m_flight->GetReport(nullptr, 0));
        EXPECT_GE(m_flight->Budget()->TotalTaken(), (uint64_t)limit * (windows - 1));
    }));
}

// Stopping or deleting a job's files in flight closes every connection.
TEST_F(FilesInFlightTest, StopAndDeleteLeaveNothingRunning) {
    for (int end = 0; end < 2; ++end) {
        SCOPED_TRACE(end == 0 ? "stop" : "delete");
        DropAll();
        UsePool();
        m_events.reset(new SessionRecorder());
        m_job.reset(new CJob(1, 0, HostTarget()));
        m_job->SetName("brightwave7");
        const std::string key = filedl::UniqueKey("cancel-");
        const int files = kMax + 2;
        for (int i = 0; i < files; ++i)
            Add(S().FaultUrl("/hold/" + key + "-" + std::to_string(i)), Win("dl"), Name(i));
        StartFlight();
        for (int i = 0; i < kMax; ++i)
            ASSERT_TRUE(FaultServerLogged("GET /hold/" + key + "-" + std::to_string(i) + " "));
        EXPECT_TRUE(OnLibraryThread([&] {
            EXPECT_EQ(kMax, m_flight->Running());
            if (end == 0) {
                m_flight->Stop();
                EXPECT_TRUE(m_flight->Ended());
                EXPECT_EQ(0, m_flight->Running());
                EXPECT_EQ(nullptr, m_flight->Connection());
            } else {
                m_flight.reset();
            }
        }));
        // The server sees each held request's connection close.
        for (int i = 0; i < kMax; ++i)
            EXPECT_TRUE(FaultServerLogged("hold " + key + "-" + std::to_string(i) + " closed"))
                << i;
        EXPECT_TRUE(Done().empty());
        EXPECT_EQ(0, netdl::RequestsWith("GET /hold/" + key + "-" + std::to_string(kMax) + " "))
            << "no file starts after a stop";
        EXPECT_TRUE(OnLibraryThread([&] { m_flight.reset(); }));
    }
}

}  // namespace
