// The service log: line layout, long messages, reset, silent failures, debug
// traces, whole lines under concurrent writers; and the clock it stamps with.

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SupportTestEnv.h"
#include "opn/platform/pfClock.h"
#include "sdk/support/EnginePath.h"
#include "opn/core/ovLog.h"
#include "sdk/support/ServiceLog.h"
#include "support/Eventually.h"

using supporttest::AppDataRedirect;
using supporttest::EndsWith;
using supporttest::PathExists;
using supporttest::ReadWholeFile;
using supporttest::TempFolder;

namespace {

const char kLogTail[] = "Ludra\\ldDownloader\\config\\service.log";

// Weekday, month, day (space- or zero-padded, as the C library pads it),
// hh:mm:ss, year: exactly 24 characters.
const char kStampPattern[] =
    "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[ 0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}";

// "[" + 24-character stamp + "] ".
const size_t kHeadSize = 27;

// Splits on CR LF; `rest` gets whatever follows the last CR LF.
std::vector<std::string> SplitLines(const std::string& text, std::string* rest) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    if (rest)
        *rest = text.substr(start);
    return lines;
}

// The stamp as a time_t through the C library's own local-time rules.
bool StampToTime(const std::string& stamp, time_t* out) {
    static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char weekday[4] = {0};
    char month[4] = {0};
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    if (sscanf(stamp.c_str(), "%3s %3s %d %d:%d:%d %d", weekday, month, &tm.tm_mday, &tm.tm_hour,
               &tm.tm_min, &tm.tm_sec, &tm.tm_year) != 7)
        return false;
    tm.tm_mon = -1;
    for (int i = 0; i < 12; ++i)
        if (strcmp(month, kMonths[i]) == 0)
            tm.tm_mon = i;
    if (tm.tm_mon < 0)
        return false;
    tm.tm_year -= 1900;
    tm.tm_isdst = -1;
    *out = mktime(&tm);
    return *out != (time_t)-1;
}

// The C library's ctime text without its line feed.
std::string CtimeText(time_t t) {
    const char* text = ctime(&t);
    return text ? std::string(text, strnlen(text, 24)) : std::string();
}

class ServiceLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_tmp.Ok());
        m_redirect.reset(new AppDataRedirect(m_tmp.Win("appdata"), m_tmp.Native("appdata")));
    }
    void TearDown() override { m_redirect.reset(); }

    std::string LogNative() const { return m_tmp.Native(std::string("appdata\\") + kLogTail); }
    std::string LogText(bool* ok = nullptr) const { return ReadWholeFile(LogNative(), ok); }

    // Every line of the log as its message; fails the test on a bad layout.
    std::vector<std::string> Messages() const {
        std::string rest;
        std::vector<std::string> lines = SplitLines(LogText(), &rest);
        EXPECT_EQ(rest, "") << "text after the last CR LF";
        std::vector<std::string> messages;
        // Only the fixed-size head goes through std::regex: its matcher
        // recurses per character and long lines would exhaust the stack.
        const std::regex head(std::string("^\\[") + kStampPattern + "\\] $");
        for (const std::string& l : lines) {
            if (l.size() < kHeadSize || !std::regex_match(l.substr(0, kHeadSize), head) ||
                l.find_first_of("\r\n", kHeadSize) != std::string::npos) {
                ADD_FAILURE() << "bad line: " << l.substr(0, 120);
                continue;
            }
            messages.push_back(l.substr(kHeadSize));
        }
        return messages;
    }

    TempFolder m_tmp;
    std::unique_ptr<AppDataRedirect> m_redirect;
};

TEST_F(ServiceLogTest, PathIsBelowTheEngineFolder) {
    ovCString folder;
    GetEngineFolder(folder);
    ovCString path;
    LogGetPath(path);
    EXPECT_EQ(std::string(path.CStr()), std::string(folder.CStr()) + "config\\service.log");
    EXPECT_EQ(std::string(path.CStr()), m_tmp.Win("appdata\\") + kLogTail);
}

TEST_F(ServiceLogTest, PathIsKeptAfterFirstUse) {
    ovCString first;
    LogGetPath(first);
    AppDataRedirect other(m_tmp.Win("other"), m_tmp.Native("other"));
    // The redirect forgot the path; compute it for "other", then move app data
    // again without forgetting: the kept path must not follow.
    ovCString second;
    LogGetPath(second);
    EXPECT_EQ(std::string(second.CStr()), m_tmp.Win("other\\") + kLogTail);
#ifdef _WIN32
    ShellSetAppDataFolderForTesting(m_tmp.Win("third").c_str());
#else
    setenv("XDG_DATA_HOME", m_tmp.Native("third").c_str(), 1);
#endif
    ovCString kept;
    LogGetPath(kept);
    EXPECT_STREQ(kept.CStr(), second.CStr());
    LogResetPathForTesting();
    ovCString fresh;
    LogGetPath(fresh);
    EXPECT_EQ(std::string(fresh.CStr()), m_tmp.Win("third\\") + kLogTail);
    EXPECT_STRNE(first.CStr(), second.CStr());
}

TEST_F(ServiceLogTest, LineLayoutAndTime) {
    LogReset();
    time_t before = time(nullptr);
    LogWrite("[SwarmFetchLib] hello");
    time_t after = time(nullptr);

    bool ok = false;
    std::string text = LogText(&ok);
    ASSERT_TRUE(ok);
    const std::regex layout(std::string("^\\[") + kStampPattern +
                            "\\] \\[SwarmFetchLib\\] hello\\r\\n$");
    ASSERT_TRUE(std::regex_match(text, layout)) << text;
    EXPECT_EQ(text.size(), 1 + 24 + 2 + strlen("[SwarmFetchLib] hello") + 2);
    // Exactly one CR before the LF: the file is written in binary mode.
    EXPECT_EQ(text.find("\r\r"), std::string::npos);

    time_t stamped = 0;
    ASSERT_TRUE(StampToTime(text.substr(1, 24), &stamped));
    EXPECT_GE((long long)stamped, (long long)before - 2);
    EXPECT_LE((long long)stamped, (long long)after + 2);
}

TEST_F(ServiceLogTest, LinesAreAppendedInOrder) {
    LogReset();
    LogWrite("[SwarmFetchLib] one");
    LogWrite("[SwarmFetchLib] two");
    LogPrintf("[SwarmFetchLib] Execute Fail(0) %s:%d", "C:\\x\\ldDownload.exe", 1223);
    std::vector<std::string> messages = Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "[SwarmFetchLib] one");
    EXPECT_EQ(messages[1], "[SwarmFetchLib] two");
    EXPECT_EQ(messages[2], "[SwarmFetchLib] Execute Fail(0) C:\\x\\ldDownload.exe:1223");
}

TEST_F(ServiceLogTest, MessageBytesAreWrittenAsGiven) {
    LogReset();
    // Code-page 949 bytes and a lone LF inside a message stay untouched.
    const std::string korean = "[SwarmFetchLib] \xB4\xD9\xBF\xEE\xB7\xCE\xB5\xE5 a\nb";
    LogWrite(korean.c_str());
    std::string text = LogText();
    ASSERT_GE(text.size(), 27u);
    EXPECT_EQ(text.substr(27), korean + "\r\n");
}

TEST_F(ServiceLogTest, NullAndEmptyMessages) {
    LogReset();
    LogWrite(nullptr);
    LogWrite("");
    LogPrintf(nullptr);
    std::vector<std::string> messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "");
    EXPECT_EQ(messages[1], "");
}

TEST_F(ServiceLogTest, LongMessagesAreWrittenWhole) {
    LogReset();
    std::string big(2000, 'x');
    for (size_t i = 0; i < big.size(); i += 100)
        big[i] = (char)('A' + (i / 100) % 26);
    LogWrite(big.c_str());

    // Around the fixed 512-byte format buffer: 511 characters fit with the
    // terminator, 512 and more take the exact-size heap buffer.
    const size_t lengths[] = {511, 512, 513, 5000};
    std::vector<std::string> expected;
    expected.push_back(big);
    for (size_t n : lengths) {
        std::string body(n - 10, (char)('a' + n % 26));
        char number[16];
        snprintf(number, sizeof number, "%010zu", n);
        LogPrintf("%s%s", number, body.c_str());
        expected.push_back(std::string(number) + body);
        ASSERT_EQ(expected.back().size(), n);
    }
    std::vector<std::string> messages = Messages();
    ASSERT_EQ(messages.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(messages[i], expected[i]) << i;
}

TEST_F(ServiceLogTest, ResetCreatesMissingFoldersAndAnEmptyFile) {
    EXPECT_FALSE(PathExists(m_tmp.Native("appdata")));
    LogReset();
    EXPECT_TRUE(PathExists(m_tmp.Native("appdata\\Ludra\\ldDownloader\\config")));
    bool ok = false;
    EXPECT_EQ(LogText(&ok), "");
    EXPECT_TRUE(ok);

    LogWrite("[SwarmFetchLib] first run");
    LogWrite("[SwarmFetchLib] more");
    EXPECT_EQ(Messages().size(), 2u);

    LogReset();
    EXPECT_EQ(LogText(&ok), "");
    EXPECT_TRUE(ok);
    LogWrite("[SwarmFetchLib] second run");
    std::vector<std::string> messages = Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "[SwarmFetchLib] second run");
}

TEST_F(ServiceLogTest, ResetKeepsExistingFolders) {
    std::error_code ec;
    std::filesystem::create_directories(m_tmp.Native("appdata\\Ludra\\ldDownloader"), ec);
    ASSERT_FALSE(ec);
    FILE* f = fopen(m_tmp.Native("appdata\\Ludra\\ldDownloader\\keep.txt").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("engine file", f);
    fclose(f);
    LogReset();
    EXPECT_EQ(ReadWholeFile(m_tmp.Native("appdata\\Ludra\\ldDownloader\\keep.txt")), "engine file");
    bool ok = false;
    EXPECT_EQ(LogText(&ok), "");
    EXPECT_TRUE(ok);
}

TEST_F(ServiceLogTest, WritesFailSilentlyWithoutTheFolder) {
    LogWrite("[SwarmFetchLib] lost");
    LogPrintf("[SwarmFetchLib] lost %d", 2);
    EXPECT_FALSE(PathExists(LogNative()));
    EXPECT_FALSE(PathExists(m_tmp.Native("appdata")));

    // With the engine folder present but no config folder, still nothing.
    std::error_code ec;
    std::filesystem::create_directories(m_tmp.Native("appdata\\Ludra\\ldDownloader"), ec);
    ASSERT_FALSE(ec);
    LogWrite("[SwarmFetchLib] lost too");
    EXPECT_FALSE(PathExists(m_tmp.Native("appdata\\Ludra\\ldDownloader\\config")));
}

TEST_F(ServiceLogTest, LogPathTakenByAFolderFailsSilently) {
    std::error_code ec;
    std::filesystem::create_directories(LogNative(), ec);
    ASSERT_FALSE(ec);
    LogWrite("[SwarmFetchLib] nowhere to go");
    LogReset();
    LogWrite("[SwarmFetchLib] still nowhere");
    EXPECT_TRUE(std::filesystem::is_directory(LogNative(), ec));
}

TEST_F(ServiceLogTest, DebugTracesAreDiscarded) {
    LogReset();
    LogDebugTrace("[SwarmFetchLib_D] state %d", 3);
    LogDebugTrace("[SwarmFetchLib] even this %s", "entry point drops everything");
    LogWrite("[SwarmFetchLib_D] through the plain entry");
    LogPrintf("[SwarmFetchLib_D] formatted %d", 4);
    bool ok = false;
    EXPECT_EQ(LogText(&ok), "");
    EXPECT_TRUE(ok);
    // Only the exact prefix marks a trace.
    LogWrite("[SwarmFetchLib_X] kept");
    LogWrite("[SwarmFetchLib] kept");
    std::vector<std::string> messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "[SwarmFetchLib_X] kept");
}

TEST_F(ServiceLogTest, LinesStayWholeUnderTwoWriters) {
    LogReset();
    const int kThreads = 2;
    const int kLines = 500;
    auto body = [](int t, int i) {
        // Lengths from 0 to 1799: some lines fit the stack buffer, some not.
        size_t n = (size_t)((i * 131 + t * 17) % 1800);
        return std::string(n, (char)('a' + t));
    };
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t, &body] {
            for (int i = 0; i < kLines; ++i)
                LogPrintf("[SwarmFetchLib] t%d i%d %s end", t, i, body(t, i).c_str());
        });
    }
    for (std::thread& w : writers)
        w.join();

    std::vector<std::string> messages = Messages();
    ASSERT_EQ(messages.size(), (size_t)(kThreads * kLines));
    std::set<std::pair<int, int>> seen;
    int lastIndex[kThreads] = {-1, -1};
    for (const std::string& m : messages) {
        int t = -1;
        int i = -1;
        int used = 0;
        ASSERT_EQ(sscanf(m.c_str(), "[SwarmFetchLib] t%d i%d%n", &t, &i, &used), 2)
            << m.substr(0, 80);
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        ASSERT_GE(i, 0);
        ASSERT_LT(i, kLines);
        EXPECT_EQ(m.substr((size_t)used), " " + body(t, i) + " end") << m.substr(0, 80);
        EXPECT_TRUE(seen.insert(std::make_pair(t, i)).second);
        // Each writer's own lines keep their order.
        EXPECT_GT(i, lastIndex[t]);
        lastIndex[t] = i;
    }
    EXPECT_EQ(seen.size(), (size_t)(kThreads * kLines));
}

TEST_F(ServiceLogTest, FirstUseFromSeveralThreadsAtOnce) {
    LogReset();
    LogResetPathForTesting();  // every writer below races to compute the path
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] { LogPrintf("[SwarmFetchLib] first %d", t); });
    for (std::thread& w : writers)
        w.join();
    std::vector<std::string> messages = Messages();
    std::set<std::string> unique(messages.begin(), messages.end());
    EXPECT_EQ(messages.size(), 4u);
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(unique.count("[SwarmFetchLib] first " + std::to_string(t)), 1u) << t;
    ovCString path;
    LogGetPath(path);
    EXPECT_EQ(std::string(path.CStr()), m_tmp.Win("appdata\\") + kLogTail);
}

TEST_F(ServiceLogTest, TooLongPathDisablesTheLog) {
    // app data + "\Ludra\ldDownloader\" + "config\service.log" adds 38
    // characters; make the whole path 260 characters.
    std::string base = m_tmp.Win();
    ASSERT_LT(base.size() + 1 + 38, 260u);
    std::string name(260 - 38 - base.size() - 1, 'n');
    AppDataRedirect redirect(m_tmp.Win(name), m_tmp.Native(name));
    ovCString path;
    LogGetPath(path);
    EXPECT_STREQ(path.CStr(), "");
    LogReset();
    LogWrite("[SwarmFetchLib] not written");
    EXPECT_FALSE(PathExists(m_tmp.Native(name)));
}

#ifndef _WIN32
// Windows' folder functions stop short of MAX_PATH, so the exact limit is
// checked where folders may be that long.
TEST_F(ServiceLogTest, PathOfExactly259CharactersWorks) {
    std::string base = m_tmp.Win();
    std::string name(259 - 38 - base.size() - 1, 'm');
    AppDataRedirect redirect(m_tmp.Win(name), m_tmp.Native(name));
    ovCString path;
    LogGetPath(path);
    EXPECT_EQ(path.Length(), 259u);
    LogReset();
    LogWrite("[SwarmFetchLib] at the limit");
    std::string text = ReadWholeFile(m_tmp.Native(name + "\\" + kLogTail));
    EXPECT_TRUE(EndsWith(text, "] [SwarmFetchLib] at the limit\r\n")) << text;
}
#endif

#ifdef _WIN32
// The real application-data folder of the Wine prefix:
// C:\users\<user>\AppData\Roaming.
TEST(ServiceLogRealAppData, LogAppearsInTheUsersAppData) {
    ShellSetAppDataFolderForTesting(nullptr);
    LogResetPathForTesting();
    ovCString appData;
    ASSERT_TRUE(ShellGetAppDataFolder(appData));
    std::string ludra = std::string(appData.CStr()) + "\\Ludra";
    const bool existed = PathExists(ludra);

    ovCString path;
    LogGetPath(path);
    std::string lower = path.CStr();
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    EXPECT_TRUE(EndsWith(lower, "\\appdata\\roaming\\ludra\\lddownloader\\config\\service.log"))
        << path.CStr();
    LogReset();
    LogWrite("[SwarmFetchLib] real app data");
    std::string text = ReadWholeFile(path.CStr());
    EXPECT_TRUE(EndsWith(text, "] [SwarmFetchLib] real app data\r\n")) << text;

    if (!existed) {
        std::error_code ec;
        std::filesystem::remove_all(ludra, ec);
    }
    LogResetPathForTesting();
}
#endif

TEST(Clock, LocalTimeTextMatchesCtime) {
    // Retry when the second turns between the two reads (bounded).
    bool compared = false;
    for (int attempt = 0; attempt < 5 && !compared; ++attempt) {
        time_t before = time(nullptr);
        char text[kClockTextSize];
        ASSERT_TRUE(ClockLocalTimeText(text, sizeof text));
        time_t after = time(nullptr);
        if (before != after)
            continue;
        EXPECT_EQ(strlen(text), 24u);
        EXPECT_EQ(std::string(text), CtimeText(before));
        EXPECT_TRUE(std::regex_match(std::string(text), std::regex(kStampPattern))) << text;
        compared = true;
    }
    EXPECT_TRUE(compared);
}

TEST(Clock, LocalTimeTextRejectsSmallBuffers) {
    char text[kClockTextSize];
    memset(text, 'z', sizeof text);
    EXPECT_FALSE(ClockLocalTimeText(text, 24));
    EXPECT_EQ(text[0], '\0');
    EXPECT_FALSE(ClockLocalTimeText(text, 0));
    EXPECT_FALSE(ClockLocalTimeText(nullptr, 25));
}

TEST(Clock, UnixSecondsAgreeWithTheCLibrary) {
    long long before = (long long)time(nullptr);
    long long now = (long long)ClockUnixSeconds();
    long long after = (long long)time(nullptr);
    EXPECT_GE(now, before - 1);
    EXPECT_LE(now, after + 1);
    EXPECT_GT(now, 1600000000LL);  // after September 2020
}

TEST(Clock, TickNeverGoesBackAndAdvances) {
    uint64_t previous = ClockTickMs();
    for (int i = 0; i < 10000; ++i) {
        uint64_t now = ClockTickMs();
        ASSERT_GE(now, previous);
        previous = now;
    }
    EXPECT_TRUE(sftest::Eventually([&] { return ClockTickMs() > previous; }, 1000, 1));
}

}  // namespace

namespace {

std::vector<std::string>* g_sunk = nullptr;

void CaptureSink(const char* message) {
    g_sunk->push_back(message);
}

}  // namespace

// The network stack's messages reach the service log only through the sink
// the library installs; before that, and with none, they go nowhere.
TEST_F(ServiceLogTest, NetworkMessagesGoThroughTheInstalledSink) {
    std::vector<std::string> sunk;
    g_sunk = &sunk;
    LogReset();
    ovLogSetSink(nullptr);
    ovLogPrintf("[SwarmFetchLib] nowhere %d", 1);
    ovLogSetSink(&CaptureSink);
    ovLogPrintf("[SwarmFetchLib] captured %d", 2);
    const std::string longText(700, 'x');  // beyond the stack buffer
    ovLogPrintf("%s", longText.c_str());
    ovLogDebugTrace(SF_LOG_DEBUG_PREFIX " trace %d", 3);
    EXPECT_EQ((std::vector<std::string>{"[SwarmFetchLib] captured 2", longText}), sunk);

    LogInstallSink();
    ovLogPrintf("[SwarmFetchLib] logged %d", 4);
    ovLogSetSink(nullptr);
    ovLogPrintf("[SwarmFetchLib] nowhere %d", 5);
    LogInstallSink();  // as the library leaves it
    EXPECT_EQ((std::vector<std::string>{"[SwarmFetchLib] logged 4"}), Messages());
    g_sunk = nullptr;
}
