// Starting the engine program: the verb by system and elevation choice, the
// attempt chain with its log lines, the bounded idle wait, and the
// platform's process starts (ShellExecuteExA / CreateProcessA under Wine,
// fork and exec natively) with real small programs.
#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "integration/ApiTestEnv.h"
#include "opn/platform/pfProcess.h"
#include "sdk/support/EnginePath.h"
#include "sdk/download/engine/CBinaryExecute_V3.h"
#include "sdk/download/engine/Elevation.h"
#include "support/EnginePrograms.h"
#include "support/Eventually.h"

namespace {

using apitest::LogScope;

const char kEngineRelative[] = "Ludra\\ldDownloader\\ldDownload.exe";

// Puts `program` (a native path) where the engine belongs below the log
// scope's application-data folder; the engine's native path.
std::string InstallEngine(const LogScope& scope, const std::string& program) {
    std::error_code ec;
    const std::string target = scope.Folder().Native(kEngineRelative);
    std::filesystem::create_directories(std::filesystem::path(target).parent_path(), ec);
    std::filesystem::copy_file(program, target, std::filesystem::copy_options::overwrite_existing,
                               ec);
    EXPECT_FALSE(ec) << ec.message();
    return target;
}

// Waits (bounded) for the marker the started program writes.
bool WaitForMarker(const std::string& engine) {
    return sftest::Eventually([&] { return supporttest::PathExists(engine + ".ran"); });
}

// Restores the elevation flag and the platform's starts however a test ends.
struct ExecuteGuard {
    ~ExecuteGuard() {
        SetElevationFlag(1);
        SetProcessStarterForTesting(nullptr);
    }
};

// --- the verb -------------------------------------------------------------------

TEST(ExecuteVerb, ElevationOnlyOnNtAboveVersionFiveWhenAllowed) {
    struct Case {
        bool nt;
        uint32_t major;
        int32_t elevation;
        const char* verb;
    };
    const Case cases[] = {
        {true, 6, 1, "runas"}, {true, 10, 1, "runas"}, {true, 5, 1, "open"},
        {true, 6, 0, "open"},  {false, 6, 1, "open"},  {true, 6, 2, "open"},
    };
    for (const Case& c : cases) {
        const PfOsVersion os = {c.major, 0, c.nt};
        EXPECT_STREQ(c.verb, ChooseExecuteVerb(os, c.elevation))
            << c.nt << " " << c.major << " " << c.elevation;
    }
}

TEST(ExecuteVerb, ThisSystem) {
    ExecuteGuard guard;
    PfOsVersion os = {0, 0, false};
    ASSERT_TRUE(ProcessGetOsVersion(&os));
#ifdef _WIN32
    // Wine imitates Windows 7.
    EXPECT_TRUE(os.ntFamily);
    EXPECT_EQ(6u, os.major);
    EXPECT_EQ(1u, os.minor);
    SetElevationFlag(1);
    EXPECT_STREQ("runas", ExecuteVerb());
#else
    // No elevation on POSIX.
    EXPECT_FALSE(os.ntFamily);
    SetElevationFlag(1);
    EXPECT_STREQ("open", ExecuteVerb());
#endif
    SetElevationFlag(0);
    EXPECT_STREQ("open", ExecuteVerb());
}

// --- the platform's starts --------------------------------------------------------

TEST(ProcessStart, AMissingProgramFailsWithFileNotFound) {
    supporttest::TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    const std::string missing = tmp.Win("no-such-program.exe");
    PfProcess* process = nullptr;
    uint32_t error = 0;
    EXPECT_FALSE(ProcessCreate(missing.c_str(), &process, &error));
    EXPECT_EQ(nullptr, process);
    EXPECT_EQ(2u, error);  // ERROR_FILE_NOT_FOUND and ENOENT alike
    error = 0;
    EXPECT_FALSE(ProcessShellExecute("open", missing.c_str(), &process, &error));
    EXPECT_NE(0u, error);
    EXPECT_FALSE(ProcessCreate(nullptr, &process, &error));
    ProcessClose(nullptr);
}

// A file that is there but is no program is refused with the code the
// system gives for it: Windows finds no program in it, POSIX may not execute
// a file without the execute permission.
TEST(ProcessStart, AFileThatIsNoProgramIsRefusedWithItsCode) {
    supporttest::TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    FILE* file = fopen(tmp.Native("notes.exe").c_str(), "wb");
    ASSERT_NE(nullptr, file);
    fputs("not a program\n", file);
    fclose(file);
    PfProcess* process = nullptr;
    uint32_t error = 0;
    EXPECT_FALSE(ProcessCreate(tmp.Win("notes.exe").c_str(), &process, &error));
    EXPECT_EQ(nullptr, process);
#ifdef _WIN32
    EXPECT_EQ((uint32_t)kPfErrorBadExeFormat, error);
#else
    EXPECT_EQ((uint32_t)kPfErrorAccessDenied, error);
#endif
}

TEST(ProcessStart, BothStartsRunARealProgram) {
    supporttest::TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        const std::string copy = tmp.Native("program" + std::to_string(start) + ".exe");
        std::error_code ec;
        std::filesystem::copy_file(sftest::BuildTreeProgram(SF_MARKER_PROGRAM), copy, ec);
        ASSERT_FALSE(ec) << ec.message();
        const std::string win = tmp.Win("program" + std::to_string(start) + ".exe");
        PfProcess* process = nullptr;
        uint32_t error = 0;
        const bool started = start == 0 ? ProcessShellExecute("open", win.c_str(), &process, &error)
                                        : ProcessCreate(win.c_str(), &process, &error);
        ASSERT_TRUE(started) << error;
        ASSERT_NE(nullptr, process);
        ProcessWaitForInputIdle(process, kInputIdleWaitMs);
        ProcessClose(process);
        EXPECT_TRUE(WaitForMarker(copy));
    }
}

// --- the engine start ---------------------------------------------------------------

TEST(RunEngine, NoProgramNoStart) {
    LogScope log;
    EXPECT_EQ(0, RunEngine());
    EXPECT_TRUE(log.Has("[SwarmFetchLib] Run Binary (no executable file)"));
}

TEST(RunEngine, StartsTheEngineWithTheVerbOfTheSystem) {
    ExecuteGuard guard;
    LogScope log;
    const std::string engine = InstallEngine(log, sftest::BuildTreeProgram(SF_MARKER_PROGRAM));
    // The platform's own start, watched on its way through.
    static std::vector<std::string> verbs;
    verbs.clear();
    static const ProcessStarter watched = {
        [](const char* verb, const char* path, PfProcess** process, uint32_t* error) {
            verbs.push_back(verb);
            return ProcessShellExecute(verb, path, process, error);
        },
        &ProcessCreate};
    SetProcessStarterForTesting(&watched);
    SetElevationFlag(1);
    EXPECT_EQ(1, RunEngine());
    EXPECT_TRUE(WaitForMarker(engine));
#ifdef _WIN32
    EXPECT_EQ((std::vector<std::string>{"runas"}), verbs);
#else
    EXPECT_EQ((std::vector<std::string>{"open"}), verbs);
#endif
    const std::vector<std::string> expected = {
        "[SwarmFetchLib] Execute OK(0)", "[SwarmFetchLib] Begin WFII", "[SwarmFetchLib] End WFII"};
    EXPECT_EQ(expected, log.Lines());
}

// The attempt chain, driven through the seam: the user's answer to the
// elevation prompt is outside this system; the starts that follow are real.
TEST(RunEngine, DeclinedElevationAndFailedStartsFallBackInOrder) {
    ExecuteGuard guard;
    LogScope log;
    const std::string engine = InstallEngine(log, sftest::BuildTreeProgram(SF_MARKER_PROGRAM));
    ovCString winPath;
    GetEnginePath(winPath);
    const std::string path = winPath.CStr();

    typedef bool (*Shell)(const char*, const char*, PfProcess**, uint32_t*);
    typedef bool (*Create)(const char*, PfProcess**, uint32_t*);
    // The first start is the one that asks for elevation ("runas" where the
    // system has it): the user declines it.
    static int shellCalls = 0;
    const Shell declineFirst = [](const char* verb, const char* p, PfProcess** process,
                                  uint32_t* error) {
        if (++shellCalls == 1) {
            *error = kErrorCancelled;
            return false;
        }
        return ProcessShellExecute(verb, p, process, error);
    };
    const Shell alwaysDeclined = [](const char*, const char*, PfProcess**, uint32_t* error) {
        *error = kErrorCancelled;
        return false;
    };
    const Shell notFound = [](const char*, const char*, PfProcess**, uint32_t* error) {
        *error = 2;
        return false;
    };
    const Create createFails = [](const char*, PfProcess**, uint32_t* error) {
        *error = 5;
        return false;
    };
    struct Case {
        ProcessStarter starter;
        int32_t result;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{declineFirst, &ProcessCreate},
         1,
         {"[SwarmFetchLib] Execute Fail(0) " + path + ":1223", "[SwarmFetchLib] Execute OK(1)"}},
        {{alwaysDeclined, &ProcessCreate},
         1,
         {"[SwarmFetchLib] Execute Fail(0) " + path + ":1223",
          "[SwarmFetchLib] Execute Fail(1) " + path + ":1223", "[SwarmFetchLib] Execute OK(2)"}},
        {{alwaysDeclined, createFails},
         0,
         {"[SwarmFetchLib] Execute Fail(0) " + path + ":1223",
          "[SwarmFetchLib] Execute Fail(1) " + path + ":1223",
          "[SwarmFetchLib] Execute Fail(2) " + path + ":5"}},
        {{notFound, &ProcessCreate},
         1,
         {"[SwarmFetchLib] Execute Fail(0) " + path + ":2", "[SwarmFetchLib] Execute OK(3)"}},
        {{notFound, createFails},
         0,
         {"[SwarmFetchLib] Execute Fail(0) " + path + ":2",
          "[SwarmFetchLib] Execute Fail(3) " + path + ":5"}},
    };
    SetElevationFlag(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.back());
        LogReset();
        shellCalls = 0;
        std::error_code ec;
        std::filesystem::remove(engine + ".ran", ec);
        SetProcessStarterForTesting(&c.starter);
        EXPECT_EQ(c.result, RunEngine());
        std::vector<std::string> expected = c.lines;
        if (c.result == 1) {
            expected.push_back("[SwarmFetchLib] Begin WFII");
            expected.push_back("[SwarmFetchLib] End WFII");
            EXPECT_TRUE(WaitForMarker(engine));
        }
        EXPECT_EQ(expected, log.Lines());
    }
}

TEST(RunEngine, AFileThatIsNoProgramIsNotStarted) {
    ExecuteGuard guard;
    LogScope log;
    const std::string engine = log.Folder().Native(kEngineRelative);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(engine).parent_path(), ec);
    FILE* text = fopen(engine.c_str(), "wb");
    ASSERT_NE(nullptr, text);
    fputs("not a program\n", text);
    fclose(text);
    EXPECT_EQ(0, RunEngine());
    const std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(0u, lines[0].find("[SwarmFetchLib] Execute Fail(0) "));
    EXPECT_EQ(0u, lines[1].find("[SwarmFetchLib] Execute Fail(3) "));
}

#ifdef _WIN32
// Without a bound the call would return only when the program ends; the
// program ends only when the test lets it, after the call returned.
TEST(RunEngine, AProgramThatNeverBecomesIdleDoesNotHoldTheCaller) {
    ExecuteGuard guard;
    LogScope log;
    const std::string engine = InstallEngine(log, sftest::BuildTreeProgram(SF_NEVER_IDLE_PROGRAM));
    EXPECT_EQ(1, RunEngine());
    EXPECT_TRUE(WaitForMarker(engine));
    EXPECT_FALSE(supporttest::PathExists(engine + ".done")) << "the program still runs";
    EXPECT_TRUE(log.Has("[SwarmFetchLib] End WFII"));
    FILE* release = fopen((engine + ".release").c_str(), "wb");
    ASSERT_NE(nullptr, release);
    fclose(release);
    // Gone before its folder is removed: a running program's file cannot
    // be deleted, so its deletion shows the program has ended.
    EXPECT_TRUE(sftest::Eventually([&] { return supporttest::PathExists(engine + ".done"); }));
    EXPECT_TRUE(sftest::Eventually([&] {
        std::error_code removed;
        std::filesystem::remove(engine, removed);
        return !supporttest::PathExists(engine);
    }));
}
#endif

}  // namespace
