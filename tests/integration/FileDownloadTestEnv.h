// Shared pieces of the file-size check and file download session tests: a
// library with its thread and a scratch folder (the service log lands there
// too), jobs built the way the job manager builds them, recorders for both
// listeners that also check the byte counts on every report, a unique marker
// per test for the fault server's log, a plain HTTP GET for the fault
// server's counters, and the connections its kept-connection answers saw.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// First: it brings winsock2.h, which must come before windows.h.
#include "integration/NetDownloadTestEnv.h"

#include <gtest/gtest.h>

#include "integration/ApiTestEnv.h"
#include "sdk/download/CJob.h"
#include "sdk/download/plain/CPlatformFileSizeChecker.h"
#include "sdk/download/HttpConnectionPool.h"
#include "sdk/download/plain/CPlatformSession.h"
#include "support/Eventually.h"
#include "support/TestServers.h"

namespace filedl {

using netdl::OnLibraryThread;

inline const sftest::TestServers& S() {
    return sftest::Servers();
}

using netdl::FaultGet;
using netdl::GetsWith;
using netdl::RequestsWith;
using netdl::UniqueKey;

// What the fault server's /keep/ answers of `key` saw: the connections that
// answered, the answers, the requests it read and closed unanswered, and the
// unasked answers it sent.
struct KeepCount {
    int connections = 0;
    int answers = 0;
    int dropped = 0;
    int forged = 0;  // answers sent that nothing asked for (?forge=)
};
inline KeepCount CountKeep(const std::string& key) {
    KeepCount count;
    std::vector<std::string> seen;
    const std::string prefix = "keep " + key + " conn ";
    for (const std::string& line : S().FaultRequestLines()) {
        if (line.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string rest = line.substr(prefix.size());
        if (rest.find(" dropped") != std::string::npos) {
            ++count.dropped;
            continue;
        }
        if (rest.find(" forged") != std::string::npos) {
            ++count.forged;
            continue;
        }
        ++count.answers;
        const std::string connection = rest.substr(0, rest.find(' '));
        if (std::find(seen.begin(), seen.end(), connection) == seen.end())
            seen.push_back(connection);
    }
    count.connections = (int)seen.size();
    return count;
}

inline std::vector<unsigned char> ReadFile(const std::string& nativePath, bool* exists) {
    const std::string bytes = supporttest::ReadWholeFile(nativePath, exists);
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

inline void WriteBytes(const std::string& native, const std::string& bytes) {
    FILE* f = fopen(native.c_str(), "wb");
    ASSERT_NE(nullptr, f) << native;
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// nginx's lines of requests whose target holds `marker`: connection number
// and whether its TLS session was resumed, in the order nginx logged them.
struct NginxRequest {
    std::string connection;
    bool resumed;
};
inline std::vector<NginxRequest> NginxRequests(const std::string& marker, size_t wanted) {
    std::vector<NginxRequest> found;
    sftest::Eventually(
        [&] {
            found.clear();
            for (const std::string& line : S().NginxConnectionLines()) {
                if (line.find(marker) == std::string::npos)
                    continue;
                const size_t first = line.find(' ');
                const size_t second = line.find(' ', first + 1);
                if (first == std::string::npos || second == std::string::npos)
                    continue;
                found.push_back(
                    NginxRequest{line.substr(0, first), line.compare(second + 1, 2, "r ") == 0});
            }
            return found.size() >= wanted;
        },
        10000);
    return found;
}

// What a CPlatformSession reported, in order. Every report runs on the
// library thread; the counts are checked there against the session.
class SessionRecorder : public IPlatFormSessionEventListener {
  public:
    struct Report {
        std::string kind;  // "all", "failed", "file", "progress", "opened", "error"
        std::string text;  // url or path
        int32_t code = 0;
        int32_t index = -1;  // entry index for "file"
        int64_t received = -1;
    };

    CPlatformSession* session = nullptr;
    // Sum of the true sizes of the job's files; 0 skips that check.
    int64_t jobSize = 0;

    void OnAllFilesComplete(void* context) override { Add(context, "all", "", 0, nullptr); }
    void OnSessionFailed(void* context, const char* url) override {
        Add(context, "failed", url, 0, nullptr);
    }
    void OnFileComplete(void* context, const DownloadEntry* entry) override {
        Add(context, "file", entry->fileName.CStr(), 0, entry);
    }
    void OnProgress(void* context) override { Add(context, "progress", "", 0, nullptr); }
    void OnFileOpened(const char* path, void* context) override {
        Add(context, "opened", path, 0, nullptr);
    }
    void OnSessionError(void* context, int32_t code, const char* url) override {
        Add(context, "error", url, code, nullptr);
    }

    std::vector<Report> Reports() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_reports;
    }
    std::vector<std::string> Kinds(bool withProgress = false) {
        std::vector<std::string> kinds;
        for (const Report& r : Reports())
            if (withProgress || r.kind != "progress")
                kinds.push_back(r.kind);
        return kinds;
    }
    int Count(const std::string& kind) {
        int n = 0;
        for (const Report& r : Reports())
            n += r.kind == kind ? 1 : 0;
        return n;
    }
    bool Ended() { return Count("all") + Count("failed") + Count("error") > 0; }
    // Waits (bounded) for a terminal report.
    bool WaitEnd(uint32_t timeoutMs = 60000) {
        return sftest::Eventually([&] { return Ended(); }, timeoutMs);
    }
    std::vector<std::string> Violations() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_violations;
    }

  private:
    void Add(void* context, const char* kind, const char* text, int32_t code,
             const DownloadEntry* entry) {
        std::lock_guard<std::mutex> hold(m_mutex);
        if (context != this)
            m_violations.push_back(std::string("wrong context in ") + kind);
        if (!text)
            m_violations.push_back(std::string("null text in ") + kind);
        Report r;
        r.kind = kind;
        r.text = text ? text : "";
        r.code = code;
        if (entry) {
            r.index = entry->index;
            r.received = entry->received;
        }
        if (session) {
            const DownloadEntry* current = session->CurrentEntry();
            // Progress never runs past the file's size or the job's.
            if (current && current->size > 0 && current->received > current->size)
                m_violations.push_back("received " + std::to_string(current->received) +
                                       " above size " + std::to_string(current->size));
            const int64_t total = session->GetTotalBytes();
            if (total < m_lastTotal && r.kind == "progress")
                m_violations.push_back("job total went back while data arrived");
            if (jobSize > 0 && total > jobSize)
                m_violations.push_back("job total " + std::to_string(total) + " above " +
                                       std::to_string(jobSize));
            m_lastTotal = total;
        }
        m_reports.push_back(r);
    }

    std::mutex m_mutex;
    std::vector<Report> m_reports;
    std::vector<std::string> m_violations;
    int64_t m_lastTotal = 0;
};

// What a CPlatformFileSizeChecker reported.
class CheckerRecorder : public ICheckerEventListener {
  public:
    struct Outcome {
        int completed = 0;
        int failed = 0;
        FileSizeCheckResult result = {-1, -1, -1};
        int32_t code = 0;
        std::string text;
        bool rightContext = true;
    };

    void OnFileSizeCheckCompleted(void* context, const FileSizeCheckResult& result) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        ++m_outcome.completed;
        m_outcome.result = result;
        m_outcome.rightContext = m_outcome.rightContext && context == this;
    }
    void OnFileSizeCheckFailed(void* context, int32_t code, const char* text) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        ++m_outcome.failed;
        m_outcome.code = code;
        m_outcome.text = text ? text : "(null)";
        m_outcome.rightContext = m_outcome.rightContext && context == this;
    }
    Outcome Get() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_outcome;
    }
    // Waits (bounded) for the first report.
    Outcome WaitEnd(uint32_t timeoutMs = 60000) {
        Outcome now = Get();
        sftest::Eventually(
            [&] {
                now = Get();
                return now.completed + now.failed > 0;
            },
            timeoutMs);
        return now;
    }

  private:
    std::mutex m_mutex;
    Outcome m_outcome;
};

// A library running on its thread (with the test task window) and a scratch
// folder for the downloads; the service log goes into the folder as well.
class FileDownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(S().Ok()) << S().Error();
        m_log.reset(new apitest::LogScope());
        CDownloadLibThread::EnableTaskWindowForTesting(true);
        m_lib.reset(new apitest::Library(false, true));
        CDownloadLibThread::EnableTaskWindowForTesting(false);
        ASSERT_EQ(SF_RESULT_OK, m_lib->Result());
        m_job.reset(new CJob(1, 0, HostTarget()));
        m_job->SetName("brightwave7");
    }
    void TearDown() override {
        DropAll();
        m_job.reset();
        m_lib.reset();
        m_log.reset();
    }

    // Library form and native form of a path below the scratch folder.
    std::string Win(const std::string& relative) const { return m_log->Folder().Win(relative); }
    std::string Native(const std::string& relative) const {
        return m_log->Folder().Native(relative);
    }

    // Adds a file to the test's job the way SwarmFetch_AddFile does.
    void Add(const std::string& urls, const std::string& folder, const std::string& name,
             int64_t size = -1) {
        ASSERT_EQ(SF_RESULT_OK,
                  m_job->AddFile(urls.c_str(), folder.c_str(), name.c_str(), size, 0, 0));
    }

    // Starts a new session for the job on the library thread, reporting to
    // `events` (the fixture's recorder when null).
    void StartSession(int32_t fullSpeed = 1, int64_t jobSize = 0,
                      SessionRecorder* events = nullptr) {
        if (!events)
            events = &m_sessionEvents;
        events->jobSize = jobSize;
        ASSERT_TRUE(OnLibraryThread([&] {
            m_session.reset(new CPlatformSession());
            events->session = m_session.get();
            m_session->SetListener(events, events);
            m_session->SetFullSpeed(fullSpeed);
            m_session->SetConnectionPool(m_pool.get());
            m_session->Start(*m_job);
        }));
    }
    // Starts a new check of the job, reporting to `events` (the fixture's
    // recorder when null).
    void StartChecker(CheckerRecorder* events = nullptr) {
        if (!events)
            events = &m_checkerEvents;
        ASSERT_TRUE(OnLibraryThread([&] {
            m_checker.reset(new CPlatformFileSizeChecker());
            m_checker->SetListener(events, events);
            m_checker->SetConnectionPool(m_pool.get());
            m_checker->Start(*m_job);
        }));
    }
    // Deletes the session and the checker on the library thread.
    void DropAll() {
        EXPECT_TRUE(OnLibraryThread([&] {
            m_session.reset();
            m_checker.reset();
            m_pool.reset();
        }));
    }
    // Sessions and checks started from now on keep their connections in
    // one pool (dropped with them).
    void UsePool() {
        ASSERT_TRUE(OnLibraryThread([&] { m_pool.reset(new HttpConnectionPool()); }));
    }

    std::unique_ptr<apitest::LogScope> m_log;
    std::unique_ptr<apitest::Library> m_lib;
    std::unique_ptr<CJob> m_job;
    std::unique_ptr<HttpConnectionPool> m_pool;
    std::unique_ptr<CPlatformSession> m_session;
    std::unique_ptr<CPlatformFileSizeChecker> m_checker;
    SessionRecorder m_sessionEvents;
    CheckerRecorder m_checkerEvents;
};

}  // namespace filedl
