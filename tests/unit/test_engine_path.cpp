// Where the engine lives: the path provider, the shell folders it asks, the
// POSIX path mapping and the file functions the service log builds on.

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "SupportTestEnv.h"
#include "opn/platform/pfFileSystem.h"
#include "opn/platform/pfShellFolders.h"
#include "sdk/support/EnginePath.h"

#ifndef _WIN32
#include "opn/platform/posix/pfPath.h"
#endif

using supporttest::AppDataRedirect;
using supporttest::EndsWith;
using supporttest::PathExists;
using supporttest::ReadWholeFile;
using supporttest::TempFolder;

namespace {

std::string Str(const ovCString& s) {
    return std::string(s.CStr(), s.Length());
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return s;
}

// The running program's folder as the provider must derive it.
std::string ModuleFolder() {
    ovCString module;
    EXPECT_TRUE(ShellGetModuleFileName(module));
    std::string name = Str(module);
    size_t slash = name.rfind('\\');
    return slash == std::string::npos ? name : name.substr(0, slash);
}

// Restores the system's answer however a test ends.
struct OverrideGuard {
    ~OverrideGuard() { ShellSetAppDataFolderForTesting(nullptr); }
};

// ---- path provider ----

TEST(EnginePath, FoldersAndProgramBelowAppData) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    AppDataRedirect redirect(tmp.Win("data"), tmp.Native("data"));
    CGetPath_Ludra provider;
    ovCString base, folder, program;
    provider.GetBaseFolder(base);
    provider.GetProgramFolder(folder);
    provider.GetProgramPath(program);
    EXPECT_EQ(Str(base), tmp.Win("data\\Ludra\\"));
    EXPECT_EQ(Str(folder), tmp.Win("data\\Ludra\\ldDownloader\\"));
    EXPECT_EQ(Str(program), tmp.Win("data\\Ludra\\ldDownloader\\ldDownload.exe"));

    ovCString globalFolder, globalPath;
    GetEngineFolder(globalFolder);
    GetEnginePath(globalPath);
    EXPECT_EQ(Str(globalFolder), Str(folder));
    EXPECT_EQ(Str(globalPath), Str(program));

    ovCString viaInterface;
    GetPathProvider().GetProgramPath(viaInterface);
    EXPECT_EQ(Str(viaInterface), Str(program));
}

TEST(EnginePath, OutputIsReplacedNotAppended) {
    OverrideGuard guard;
    ShellSetAppDataFolderForTesting("C:\\AppData");
    CGetPath_Ludra provider;
    ovCString out("left over text");
    provider.GetBaseFolder(out);
    EXPECT_EQ(Str(out), "C:\\AppData\\Ludra\\");
    out = "more left over text";
    GetEnginePath(out);
    EXPECT_EQ(Str(out), "C:\\AppData\\Ludra\\ldDownloader\\ldDownload.exe");
}

TEST(EnginePath, BackslashAddedOnlyWhenMissing) {
    OverrideGuard guard;
    CGetPath_Ludra provider;
    ovCString base;
    ShellSetAppDataFolderForTesting("D:\\Users\\kim\\Roaming\\");
    provider.GetBaseFolder(base);
    EXPECT_EQ(Str(base), "D:\\Users\\kim\\Roaming\\Ludra\\");
    ShellSetAppDataFolderForTesting("D:\\Users\\kim\\Roaming");
    provider.GetBaseFolder(base);
    EXPECT_EQ(Str(base), "D:\\Users\\kim\\Roaming\\Ludra\\");
    ShellSetAppDataFolderForTesting("D:\\");
    provider.GetBaseFolder(base);
    EXPECT_EQ(Str(base), "D:\\Ludra\\");
    // Korean (code page 949) folder names pass through untouched.
    ShellSetAppDataFolderForTesting("C:\\\xB0\xD4\xC0\xD3");
    provider.GetProgramFolder(base);
    EXPECT_EQ(Str(base), "C:\\\xB0\xD4\xC0\xD3\\Ludra\\ldDownloader\\");
}

TEST(EnginePath, FallsBackToTheProgramFolderWithoutAppData) {
    OverrideGuard guard;
    ShellSetAppDataFolderForTesting("");
    ovCString appData("x");
    EXPECT_FALSE(ShellGetAppDataFolder(appData));
    EXPECT_EQ(Str(appData), "");

    const std::string moduleFolder = ModuleFolder();
    ASSERT_FALSE(moduleFolder.empty());
    ovCString path;
    GetEnginePath(path);
    EXPECT_EQ(Str(path), moduleFolder + "\\Ludra\\ldDownloader\\ldDownload.exe");
    CGetPath_Ludra provider;
    ovCString base;
    provider.GetBaseFolder(base);
    EXPECT_EQ(Str(base), moduleFolder + "\\Ludra\\");
}

#ifndef _WIN32
TEST(EnginePath, FallsBackWhenNeitherXdgNorHomeIsSet) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    AppDataRedirect redirect(tmp.Win(), tmp.Native());  // restores both variables
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    ovCString folder;
    EXPECT_FALSE(ShellGetAppDataFolder(folder));
    GetEngineFolder(folder);
    EXPECT_EQ(Str(folder), ModuleFolder() + "\\Ludra\\ldDownloader\\");
}
#endif

// ---- shell folders ----

TEST(ShellFolders, ModuleFileNameIsThisProgram) {
    ovCString module;
    ASSERT_TRUE(ShellGetModuleFileName(module));
    std::string name = Lower(Str(module));
#ifdef _WIN32
    EXPECT_TRUE(EndsWith(name, "\\unit_support.exe")) << name;
    EXPECT_EQ(name[1], ':');
#else
    EXPECT_TRUE(EndsWith(name, "\\unit_support")) << name;
    EXPECT_EQ(name.substr(0, 3), "z:\\");
    EXPECT_EQ(name.find('/'), std::string::npos);
#endif
}

TEST(ShellFolders, OverrideAndRestore) {
    OverrideGuard guard;
    ovCString system;
    bool hadSystem = ShellGetAppDataFolder(system);
    ShellSetAppDataFolderForTesting("Q:\\Override");
    ovCString folder;
    EXPECT_TRUE(ShellGetAppDataFolder(folder));
    EXPECT_EQ(Str(folder), "Q:\\Override");
    ShellSetAppDataFolderForTesting("");
    EXPECT_FALSE(ShellGetAppDataFolder(folder));
    ShellSetAppDataFolderForTesting(nullptr);
    EXPECT_EQ(ShellGetAppDataFolder(folder), hadSystem);
    EXPECT_EQ(Str(folder), Str(system));
}

#ifdef _WIN32
TEST(ShellFolders, RealAppDataIsTheRoamingFolder) {
    ShellSetAppDataFolderForTesting(nullptr);
    ovCString folder;
    ASSERT_TRUE(ShellGetAppDataFolder(folder));
    std::string name = Lower(Str(folder));
    EXPECT_TRUE(EndsWith(name, "\\appdata\\roaming")) << name;
    EXPECT_TRUE(FsIsFolder(folder.CStr()));

    ovCString path;
    GetEnginePath(path);
    EXPECT_EQ(Str(path), Str(folder) + "\\Ludra\\ldDownloader\\ldDownload.exe");
}
#else
TEST(ShellFolders, XdgDataHomeWins) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    AppDataRedirect redirect(tmp.Win(), tmp.Native());
    setenv("HOME", "/home/nobody", 1);
    setenv("XDG_DATA_HOME", "/srv/data//", 1);
    ovCString folder;
    ASSERT_TRUE(ShellGetAppDataFolder(folder));
    EXPECT_EQ(Str(folder), "Z:\\srv\\data");
}

TEST(ShellFolders, HomeLocalShareWhenXdgIsUnsetOrRelative) {
    TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    AppDataRedirect redirect(tmp.Win(), tmp.Native());
    setenv("HOME", "/home/kim/", 1);
    unsetenv("XDG_DATA_HOME");
    ovCString folder;
    ASSERT_TRUE(ShellGetAppDataFolder(folder));
    EXPECT_EQ(Str(folder), "Z:\\home\\kim\\.local\\share");
    // A relative XDG_DATA_HOME is ignored.
    setenv("XDG_DATA_HOME", "relative/data", 1);
    ASSERT_TRUE(ShellGetAppDataFolder(folder));
    EXPECT_EQ(Str(folder), "Z:\\home\\kim\\.local\\share");
    setenv("XDG_DATA_HOME", "", 1);
    ASSERT_TRUE(ShellGetAppDataFolder(folder));
    EXPECT_EQ(Str(folder), "Z:\\home\\kim\\.local\\share");
    setenv("HOME", "/", 1);
    ASSERT_TRUE(ShellGetAppDataFolder(folder));
    EXPECT_EQ(Str(folder), "Z:\\.local\\share");
    // A relative HOME counts as none.
    setenv("HOME", "kim", 1);
    EXPECT_FALSE(ShellGetAppDataFolder(folder));
    EXPECT_EQ(Str(folder), "");
}

// ---- path mapping ----

std::string ToPosix(const char* in) {
    ovCString out("junk");
    PathToPosix(in, out);
    return Str(out);
}

std::string FromPosix(const char* in) {
    ovCString out("junk");
    PathFromPosix(in, out);
    return Str(out);
}

TEST(PosixPath, WindowsFormToPosix) {
    EXPECT_EQ(ToPosix("Z:\\a\\b"), "/a/b");
    EXPECT_EQ(ToPosix("C:\\Games\\file.bin"), "/Games/file.bin");
    EXPECT_EQ(ToPosix("z:\\lower"), "/lower");
    EXPECT_EQ(ToPosix("Z:\\"), "/");
    EXPECT_EQ(ToPosix("Z:"), "");
    EXPECT_EQ(ToPosix("Z:rel"), "rel");
    EXPECT_EQ(ToPosix("rel\\dir\\"), "rel/dir/");
    EXPECT_EQ(ToPosix("\\\\double"), "//double");
    EXPECT_EQ(ToPosix("1:\\not a drive"), "1:/not a drive");
    EXPECT_EQ(ToPosix("a:b:\\c"), "b:/c");  // only the leading drive goes
    EXPECT_EQ(ToPosix("already/posix"), "already/posix");
    EXPECT_EQ(ToPosix(""), "");
    EXPECT_EQ(ToPosix(nullptr), "");
    EXPECT_EQ(ToPosix("C:\\\xB0\xD4\xC0\xD3\\x"), "/\xB0\xD4\xC0\xD3/x");
}

TEST(PosixPath, PosixToWindowsForm) {
    EXPECT_EQ(FromPosix("/a/b"), "Z:\\a\\b");
    EXPECT_EQ(FromPosix("/"), "Z:\\");
    EXPECT_EQ(FromPosix("rel/x"), "rel\\x");
    EXPECT_EQ(FromPosix("/trailing/"), "Z:\\trailing\\");
    EXPECT_EQ(FromPosix(""), "");
    EXPECT_EQ(FromPosix(nullptr), "");
}

TEST(PosixPath, RoundTrip) {
    const char* paths[] = {"/", "/tmp/x y/z.log", "/a//b", "relative/path"};
    for (const char* p : paths)
        EXPECT_EQ(ToPosix(FromPosix(p).c_str()), p);
}
#endif

// ---- file system ----

class FileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(m_tmp.Ok()); }
    std::string W(const std::string& rel) const { return m_tmp.Win(rel); }
    std::string N(const std::string& rel) const { return m_tmp.Native(rel); }
    TempFolder m_tmp;
};

TEST_F(FileSystemTest, AppendCreatesAndAppendsBytesExactly) {
    const std::string file = W("a.bin");
    const char first[] = {'o', 'n', 'e', '\r', '\n', '\0', 'x'};
    EXPECT_TRUE(FsAppendFile(file.c_str(), first, sizeof first));
    EXPECT_TRUE(FsAppendFile(file.c_str(), "two\n", 4));
    EXPECT_TRUE(FsAppendFile(file.c_str(), "", 0));
    EXPECT_EQ(ReadWholeFile(N("a.bin")), std::string(first, sizeof first) + "two\n");
}

TEST_F(FileSystemTest, AppendLargeBuffer) {
    std::string big(3 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char)(i * 7 + i / 4096);
    EXPECT_TRUE(FsAppendFile(W("big.bin").c_str(), big.data(), big.size()));
    EXPECT_EQ(ReadWholeFile(N("big.bin")), big);
}

TEST_F(FileSystemTest, ConcurrentAppendsAreNeitherLostNorCut) {
    const std::string file = W("race.txt");
    const int kPerThread = 2000;
    auto writer = [&file](char fill, int spread) {
        for (int i = 0; i < kPerThread; ++i) {
            std::string line((size_t)(20 + (i * 37) % spread), fill);
            line += '\n';
            FsAppendFile(file.c_str(), line.data(), line.size());
        }
    };
    // Four writers on two cores keep the appends overlapping.
    const int kThreads = 4;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back(writer, (char)('a' + t), 500 + 300 * t);
    for (std::thread& w : writers)
        w.join();
    std::string text = ReadWholeFile(N("race.txt"));
    int counts[kThreads] = {0, 0, 0, 0};
    size_t start = 0;
    size_t end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        std::string line = text.substr(start, end - start);
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << "mixed line";
        ASSERT_TRUE(line[0] >= 'a' && line[0] < 'a' + kThreads);
        ++counts[line[0] - 'a'];
        start = end + 1;
    }
    EXPECT_EQ(start, text.size());
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(counts[t], kPerThread) << (char)('a' + t);
}

TEST_F(FileSystemTest, AppendFailsWithoutFolder) {
    EXPECT_FALSE(FsAppendFile(W("missing\\a.txt").c_str(), "x", 1));
    EXPECT_FALSE(PathExists(N("missing")));
    EXPECT_FALSE(FsAppendFile(nullptr, "x", 1));
    EXPECT_FALSE(FsAppendFile(W("n.txt").c_str(), nullptr, 1));
    // Appending to a folder fails.
    EXPECT_FALSE(FsAppendFile(W("").c_str(), "x", 1));
}

TEST_F(FileSystemTest, CreateFolderOneLevelAtATime) {
    EXPECT_FALSE(FsCreateFolder(W("p\\q").c_str()));  // parent missing
    EXPECT_FALSE(PathExists(N("p")));
    EXPECT_TRUE(FsCreateFolder(W("p").c_str()));
    EXPECT_TRUE(FsCreateFolder(W("p").c_str()));       // already there
    EXPECT_TRUE(FsCreateFolder(W("p\\q\\").c_str()));  // trailing backslash
    EXPECT_TRUE(FsIsFolder(W("p\\q").c_str()));
    ASSERT_TRUE(FsCreateEmptyFile(W("f").c_str()));
    EXPECT_FALSE(FsCreateFolder(W("f").c_str()));  // a file is in the way
    EXPECT_FALSE(FsCreateFolder(nullptr));
    EXPECT_FALSE(FsCreateFolder(""));
}

TEST_F(FileSystemTest, ExistsAndIsFolder) {
    ASSERT_TRUE(FsCreateEmptyFile(W("file").c_str()));
    ASSERT_TRUE(FsCreateFolder(W("dir").c_str()));
    EXPECT_TRUE(FsExists(W("file").c_str()));
    EXPECT_TRUE(FsExists(W("dir").c_str()));
    EXPECT_TRUE(FsExists(W("dir\\").c_str()));
    EXPECT_FALSE(FsExists(W("nothing").c_str()));
    EXPECT_FALSE(FsIsFolder(W("file").c_str()));
    EXPECT_TRUE(FsIsFolder(W("dir").c_str()));
    EXPECT_FALSE(FsIsFolder(W("nothing").c_str()));
    EXPECT_FALSE(FsExists(nullptr));
    EXPECT_FALSE(FsExists(""));
    EXPECT_FALSE(FsIsFolder(nullptr));
}

TEST_F(FileSystemTest, DeletesFilesOnly) {
    ASSERT_TRUE(FsAppendFile(W("gone.txt").c_str(), "abc", 3));
    EXPECT_TRUE(FsDeleteFile(W("gone.txt").c_str()));
    EXPECT_FALSE(PathExists(N("gone.txt")));
    EXPECT_FALSE(FsDeleteFile(W("gone.txt").c_str()));
    ASSERT_TRUE(FsCreateFolder(W("dir").c_str()));
    EXPECT_FALSE(FsDeleteFile(W("dir").c_str()));
    EXPECT_TRUE(FsIsFolder(W("dir").c_str()));
    EXPECT_FALSE(FsDeleteFile(nullptr));
}

TEST_F(FileSystemTest, CreateEmptyFileTruncates) {
    ASSERT_TRUE(FsAppendFile(W("e.txt").c_str(), "content", 7));
    EXPECT_TRUE(FsCreateEmptyFile(W("e.txt").c_str()));
    bool ok = false;
    EXPECT_EQ(ReadWholeFile(N("e.txt"), &ok), "");
    EXPECT_TRUE(ok);
    EXPECT_FALSE(FsCreateEmptyFile(W("no\\such\\dir.txt").c_str()));
    EXPECT_FALSE(FsCreateEmptyFile(nullptr));
}

}  // namespace
