// The launcher's window-free rules: file-list lines, display texts, the
// folder choice, the file-done text and the single-instance name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/DisplayFormat.h"
#include "launcher/FileDoneText.h"
#include "launcher/FileList.h"
#include "launcher/FolderRules.h"
#include "launcher/SingleInstance.h"
#include "sdk/support/ExpectedContent.h"

namespace {

FileListParse Parse(const std::string& text) {
    return ParseFileList(text.data(), text.size());
}

TEST(FileList, LineRules) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> urls;
        int overlong;
    };
    const std::string line1023(1023, 'a');
    const std::string line1024(1024, 'a');
    const Case cases[] = {
        {"empty", "", {}, 0},
        {"last line of 2 bytes is dropped", "ab", {}, 0},
        {"last line of 3 bytes is taken", "abc", {"abc"}, 0},
        {"crlf with empty line between",
         "http://h/a\r\n\r\nhttp://h/b\r\n",
         {"http://h/a", "http://h/b"},
         0},
        {"lone cr stays in the line", "http://h/a\rhttp://h/b\n", {"http://h/a\rhttp://h/b"}, 0},
        {"lf only", "u1\nu2\n", {"u1", "u2"}, 0},
        {"trimmed both ends", "  \thttp://h/a \t\n", {"http://h/a"}, 0},
        {"white space line gives an empty entry", "   \n", {""}, 0},
        {"mirror list kept whole", "http://a/x|http://b/x\n", {"http://a/x|http://b/x"}, 0},
        {"1023 bytes accepted", line1023 + "\n", {line1023}, 0},
        {"1024 bytes overlong", line1024 + "\nabc\n", {"abc"}, 1},
        {"each overlong line counts", line1024 + "\n" + line1024, {}, 2},
        {"trailing cr of last line is trimmed", "abc\r", {"abc"}, 0},
    };
    for (const Case& c : cases) {
        FileListParse parse = Parse(c.text);
        EXPECT_EQ(parse.urls, c.urls) << c.name;
        EXPECT_EQ(parse.overlongLines, c.overlong) << c.name;
    }
    EXPECT_TRUE(ParseFileList(nullptr, 10).urls.empty());
}

TEST(FileList, NamesAndRunFile) {
    EXPECT_EQ(FileNameOfUrl("http://h/dir/setup.exe"), "setup.exe");
    EXPECT_EQ(FileNameOfUrl("http://a/x.bin|http://b/y.bin"), "y.bin");
    EXPECT_EQ(FileNameOfUrl("nofolder"), "");
    // The longest name on disk is the partial file's: ".part" is reserved.
    EXPECT_EQ(LongestFileName({"http://h/a", "http://h/abcdef", "x"}), 6u + kPartFileReserve);
    EXPECT_EQ(LongestFileName({}), 0u);

    // A single file is always the installer, whatever it is called.
    EXPECT_TRUE(IsRunFile(1, "C:\\d\\readme.txt"));
    EXPECT_TRUE(IsRunFile(1, ""));
    const struct {
        const char* path;
        bool run;
    } cases[] = {{"C:\\d\\Setup.EXE", true}, {"C:\\d\\a.exe", true},  {"C:\\d\\a.exe.txt", false},
                 {"C:\\d\\a.ex", false},     {"C:\\d\\noext", false}, {"", false},
                 {"C:\\d.exe\\file", false}, {"C:\\d\\a.exex", false}};
    for (const auto& c : cases)
        EXPECT_EQ(IsRunFile(3, c.path), c.run) << c.path;
    EXPECT_FALSE(IsRunFile(3, nullptr));
}

// A fragment carries the file's hash and size and is no part of its name,
// however long it is; the installer is still told by its name.
TEST(FileList, FragmentsAreNoPartOfTheName) {
    const std::string hash = "#sha256=" + std::string(64, 'a') + "&size=123456";
    const struct {
        std::string url;
        std::string name;
    } cases[] = {
        {"http://h/dir/setup.exe" + hash, "setup.exe"},
        {"http://h/x.bin#", "x.bin"},
        {"http://h/x.bin#a/b/c", "x.bin"},
        {"http://a/x.bin" + hash + "|http://b/x.bin" + hash, "x.bin"},
        {"http://a/x.bin|http://b/y.bin#z/w", "y.bin"},
        {"nofolder#a/b", ""},
        {"http://h/" + hash, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FileNameOfUrl(c.url), c.name) << c.url;
    EXPECT_EQ(LongestFileName({"http://h/abcdef" + hash, "http://h/a"}), 6u + kPartFileReserve);

    // The folder check measures the name and ".part", not the fragment: a
    // name that just fits, and one byte more.
    const std::string name(100, 'n');
    const std::vector<std::string> urls = {"http://h/" + name + hash};
    const std::string fits =
        "C:\\" + std::string(kDownloadPathMax - 1 - 3 - 1 - name.size() - kPartFileReserve, 'f') +
        "\\";
    const RefusedFolders refused = {"", "C:\\Windows", "C:\\Program Files\\Orvane\\"};
    EXPECT_EQ(CheckChosenFolder(fits, LongestFileName(urls), refused), FolderVerdict::kAccepted);
    const std::string over = "C:\\f" + fits.substr(3);
    EXPECT_EQ(CheckChosenFolder(over, LongestFileName(urls), refused), FolderVerdict::kTooLong);

    // The completed file's path carries no fragment: the installer is found
    // among several files.
    const std::string folder = "C:\\g\\";
    const std::string path = FileDonePath(
        "http://h/setup.exe" + hash + "|http://m/setup.exe," + folder + "setup.exe", folder);
    EXPECT_EQ(path, "C:\\g\\setup.exe");
    EXPECT_TRUE(IsRunFile(3, path.c_str()));
}

// Under a publisher key every line of a signed list must carry its file's
// hash; the first line that does not refuses the list.
TEST(FileList, SignedListsNeedAHashOnEveryLine) {
    const std::string a = "#sha256=" + std::string(64, 'a');
    const std::string b = "#sha256=" + std::string(64, 'b');
    const struct {
        const char* name;
        std::vector<std::string> urls;
        size_t firstUnhashed;
    } cases[] = {
        {"no lines", {}, 0},
        {"every line hashed", {"http://h/x.bin" + a, "http://h/y.exe" + b + "&size=12"}, 2},
        {"second line plain", {"http://h/x.bin" + a, "http://h/y.exe"}, 1},
        {"empty line", {"http://h/x.bin" + a, ""}, 1},
        {"only other parameters", {"http://h/x.bin#size=12&v=1"}, 0},
        {"size without hash", {"http://h/x.bin#size=12"}, 0},
        {"short hash", {"http://h/x.bin#sha256=" + std::string(63, 'a')}, 0},
        {"hash not hex", {"http://h/x.bin#sha256=" + std::string(63, 'a') + "g"}, 0},
        {"hash given twice", {"http://h/x.bin" + a + "&sha256=" + std::string(64, 'a')}, 0},
        {"bad size", {"http://h/x.bin" + a + "&size=-1"}, 0},
        {"one mirror hashed", {"http://m/x.bin|http://h/x.bin" + a}, 1},
        {"mirrors agree", {"http://m/x.bin" + a + "|http://h/x.bin" + a}, 1},
        {"mirrors disagree", {"http://m/x.bin" + a + "|http://h/x.bin" + b}, 0},
        {"hash in the path, not the fragment", {"http://h/sha256=" + std::string(64, 'a')}, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FirstUnhashedLine(c.urls), c.firstUnhashed) << c.name;
}

// A line that names its size beside its hash is not measured.
TEST(FileList, ListedSizes) {
    const std::string hash = "#sha256=" + std::string(64, 'c');
    const struct {
        std::string line;
        int64_t size;
    } cases[] = {
        {"http://h/a.bin", -1},
        {"http://h/a.bin" + hash, -1},
        {"http://h/a.bin" + hash + "&size=0", 0},
        {"http://h/a.bin" + hash + "&size=123456789012345678", 123456789012345678},
        {"http://h/a.bin" + hash + "&size=1234567890123456789", -1},  // 19 digits
        {"http://h/a.bin#size=12", -1},                               // no hash
        {"http://h/a.bin#sha256=12&size=12", -1},
        {"http://m/a.bin|http://h/a.bin" + hash + "&size=7", 7},
        {"http://m/a.bin" + hash + "&size=8|http://h/a.bin" + hash + "&size=7", -1},
        {"", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ListedFileSize(c.line), c.size) << c.line;
}

// The installer's expected content comes from the lines that name its file.
TEST(FileList, TheInstallersContentComesFromItsLine) {
    const std::string a(64, 'a');
    const std::string b(64, 'b');
    const std::string path = "C:\\Games\\bw7\\setup.exe";
    const struct {
        const char* name;
        std::vector<std::string> urls;
        bool key;
        bool known;   // the content can be told
        char sha256;  // 0: no hash to check; else every digit of it
        int64_t size;
    } cases[] = {
        {"plain list, no key", {"http://h/a.bin", "http://h/setup.exe"}, false, true, 0, -1},
        {"plain list under a key", {"http://h/a.bin", "http://h/setup.exe"}, true, false, 0, -1},
        {"hashed installer",
         {"http://h/a.bin#sha256=" + b, "http://h/setup.exe#sha256=" + a + "&size=9"},
         true,
         true,
         'a',
         9},
        {"hashed without a key", {"http://h/setup.exe#sha256=" + a}, false, true, 'a', -1},
        {"letter case aside", {"http://h/SETUP.EXE#sha256=" + a}, true, true, 'a', -1},
        {"other file hashed only", {"http://h/a.bin#sha256=" + a}, true, false, 0, -1},
        {"named twice alike",
         {"http://h/setup.exe#sha256=" + a, "http://m/setup.exe#sha256=" + a},
         true,
         true,
         'a',
         -1},
        {"named twice differently",
         {"http://h/setup.exe#sha256=" + a, "http://m/setup.exe#sha256=" + b},
         false,
         false,
         0,
         -1},
        {"bad fragment", {"http://h/setup.exe#sha256=xyz"}, false, false, 0, -1},
        {"mirror list", {"http://m/setup.exe|http://h/setup.exe#sha256=" + b}, true, true, 'b', -1},
        {"longer name is another file", {"http://h/setup.exe2#sha256=" + a}, true, false, 0, -1},
    };
    for (const auto& c : cases) {
        ExpectedContent content;
        EXPECT_EQ(RunFileContent(c.urls, path, c.key, &content), c.known) << c.name;
        if (!c.known)
            continue;
        EXPECT_EQ(content.hasSha256, c.sha256 != 0) << c.name;
        if (c.sha256) {
            const uint8_t digit = c.sha256 == 'a' ? 0xaa : 0xbb;
            for (uint8_t byte : content.sha256)
                EXPECT_EQ(byte, digit) << c.name;
        }
        EXPECT_EQ(content.size, c.size) << c.name;
    }
    ExpectedContent content;
    EXPECT_FALSE(RunFileContent({"http://h/setup.exe"}, "", true, &content));
    EXPECT_TRUE(RunFileContent({"http://h/setup.exe"}, "", false, &content));
}

TEST(DisplayFormat, SizesSpeedsDurations) {
    const int64_t kTB = 1024LL * 1024 * 1024 * 1024;
    const struct {
        int64_t bytes;
        const char* text;
    } sizes[] = {{0, "0 Bytes"},       {1023, "1023 Bytes"},
                 {1024, "1.00 KB"},    {1048575, "1024.00 KB"},
                 {1048576, "1.00 MB"}, {1536, "1.50 KB"},
                 {-5, "-5 Bytes"},     {5 * 1024 * kTB / 1024, "5.00 TB"},
                 {1024 * kTB, ""}};
    for (const auto& c : sizes)
        EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;

    const struct {
        int64_t speed;
        const char* text;
    } speeds[] = {{0, "0 Bytes/Sec"},         {-5, "0 Bytes/Sec"},
                  {1, "1 Bytes/Sec"},         {1536, "1.50 KB/Sec"},
                  {393216, "384.00 KB/Sec"},  {104857600, "100.00 MB/Sec"},
                  {1024 * kTB, "0 Bytes/Sec"}};
    for (const auto& c : speeds)
        EXPECT_EQ(FormatSpeed(c.speed), c.text) << c.speed;

    const struct {
        int64_t seconds;
        const char* text;
    } durations[] = {{0, "00:00:00"},     {86399, "23:59:59"}, {86400, "00:00:00"},
                     {90061, "01:01:01"}, {3599, "00:59:59"},  {3600, "01:00:00"}};
    for (const auto& c : durations)
        EXPECT_EQ(FormatDuration(c.seconds), c.text) << c.seconds;
}

TEST(DisplayFormat, FileLabel) {
    std::vector<std::string> urls = {"http://h/a.bin", "http://h/b.bin", "http://h/setup.exe"};
    std::string label = "unchanged";
    ASSERT_TRUE(FileLabelText(urls, 0, 1, &label));
    EXPECT_EQ(label, "[1/3]a.bin");
    ASSERT_TRUE(FileLabelText(urls, 2, 3, &label));
    EXPECT_EQ(label, "[3/3]setup.exe");
    // After the last file the label keeps its last value.
    EXPECT_FALSE(FileLabelText(urls, 3, 4, &label));
    EXPECT_EQ(label, "[3/3]setup.exe");
    ASSERT_TRUE(FileLabelText({"nofolder"}, 0, 1, &label));
    EXPECT_EQ(label, "[1/1]");
}

TEST(FolderRules, DefaultsAndChoices) {
    EXPECT_EQ(DefaultDownloadFolder("C:\\Program Files", "brightwave7"),
              "C:\\Download\\brightwave7\\");
    EXPECT_EQ(DefaultDownloadFolder("\\\\srv\\apps", "g"), "\\Download\\g\\");
    EXPECT_EQ(EngineInstallFolder("C:\\Program Files"),
              "C:\\Program Files\\Orvane\\ZVTDownloader\\");
    EXPECT_EQ(WithTrailingBackslash("D:\\x"), "D:\\x\\");
    EXPECT_EQ(WithTrailingBackslash("D:\\x\\"), "D:\\x\\");

    RefusedFolders refused;
    refused.computer = "";
    refused.windows = "C:\\windows";
    refused.engine = EngineInstallFolder("C:\\Program Files");

    auto folderOfLength = [](size_t length) {
        std::string folder = "D:\\";
        folder += std::string(length - 4, 'x');
        return folder + "\\";
    };
    const struct {
        std::string folder;
        size_t longest;
        FolderVerdict verdict;
    } cases[] = {
        {folderOfLength(217), 20, FolderVerdict::kAccepted},  // 217 + 32 + 1 = 250
        {folderOfLength(218), 20, FolderVerdict::kTooLong},
        {folderOfLength(199), 50, FolderVerdict::kAccepted},  // 199 + 50 + 1 = 250
        {folderOfLength(200), 50, FolderVerdict::kTooLong},
        {"C:\\", 5, FolderVerdict::kRefused},
        {"c:\\", 5, FolderVerdict::kRefused},  // letter case aside, as Windows compares
        {"\\", 5, FolderVerdict::kRefused},    // the computer folder
        {"C:\\windows\\", 5, FolderVerdict::kRefused},
        {"C:\\windows\\system32\\", 5, FolderVerdict::kRefused},
        {"C:\\WINDOWS\\system32\\", 5, FolderVerdict::kRefused},
        {"c:\\program files\\orvane\\zvtdownloader\\", 5, FolderVerdict::kRefused},
        {"C:\\Program Files\\Orvane\\ZVTDownloader\\", 5, FolderVerdict::kRefused},
        {"C:\\Program Files\\Orvane\\", 5, FolderVerdict::kAccepted},
        {"D:\\Games\\", 5, FolderVerdict::kAccepted},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckChosenFolder(c.folder, c.longest, refused), c.verdict) << c.folder;
}

TEST(FolderRules, CaseIsFoldedForSingleByteLettersOnly) {
    EXPECT_TRUE(SameFolderText("C:\\Windows\\", "c:\\WINDOWS\\"));
    EXPECT_FALSE(SameFolderText("C:\\Windows", "C:\\Windows\\"));
    // 0xB0 0x61 and 0xB0 0x41 are two Korean characters, not one in two cases.
    EXPECT_FALSE(SameFolderText("D:\\\xB0\x61\\", "D:\\\xB0\x41\\"));
    EXPECT_TRUE(SameFolderText("D:\\\xB0\x61x\\", "d:\\\xB0\x61X\\"));
    EXPECT_TRUE(StartsWithFolderText("c:\\windowsApps\\", "C:\\Windows"));
    EXPECT_FALSE(StartsWithFolderText("C:\\Win", "C:\\Windows"));
}

TEST(FolderRules, StoredFoldersAreCheckedLikeAChoice) {
    RefusedFolders refused;
    refused.windows = "C:\\windows";
    refused.engine = EngineInstallFolder("C:\\Program Files");
    const struct {
        std::string stored;
        std::string accepted;
    } cases[] = {
        {"D:\\Games\\bw\\", "D:\\Games\\bw\\"},
        {"D:\\Games\\bw", "D:\\Games\\bw\\"},  // the backslash is added
        {"D:\\\xB0\xA1\\", "D:\\\xB0\xA1\\"},  // Korean names stay
        {"", ""},
        {"Games\\bw\\", ""},  // relative
        {"\\\\server\\share\\", ""},
        {"1:\\x\\", ""},
        {"D:x\\", ""},
        {"C:\\WINDOWS\\Temp\\", ""},
        {"c:\\", ""},
        {"C:\\Program Files\\Orvane\\ZVTDownloader\\", ""},
        {"D:\\a\\..\\b\\", ""},
        {"D:\\a\\.\\b\\", ""},
        {"D:\\a\\\\b\\", ""},
        {"D:\\a|b\\", ""},
        {"D:\\a:b\\", ""},
        {"D:\\a/b\\", ""},
        {"D:\\a\nb\\", ""},
        {"D:\\a\xB0", ""},  // a lead byte without its trail
        // Windows drops a name's final dots and spaces: these are C:\ and
        // the Windows and engine folders.
        {"C:\\...\\", ""},
        {"C:\\ \\", ""},
        {"C:\\Windows.\\", ""},
        {"C:\\Program Files\\Orvane\\ZVTDownloader.\\", ""},
        {"C:\\Program Files\\Orvane\\ZVTDownloader \\", ""},
        {"D:\\a.\\b\\", ""},
        {"D:\\a\\b..", ""},
        {"D:\\.a\\b c\\", "D:\\.a\\b c\\"},
        // Short names may stand for the Windows or the engine folder.
        {"C:\\WINDOW~1\\", ""},
        {"C:\\PROGRA~1\\Orvane\\ZVTDOW~1\\", ""},
        {"D:\\a~b\\~\\", "D:\\a~b\\~\\"},
        // A lead byte hides no separator or forbidden byte behind it.
        {"D:\\a\xB0/b\\", ""},
        {"D:\\a\xB0:b\\", ""},
        {"D:\\a\xB0\nb\\", ""},
        {"D:\\a\xB0\\b\\", ""},
        {"D:\\a\xB0<\\", ""},
        {"D:\\\xB0\x61\xB0\xFE\\", "D:\\\xB0\x61\xB0\xFE\\"},
        {"D:\\" + std::string(216, 'x'), ""},  // 218 + 32 + 1 > 250
    };
    for (const auto& c : cases)
        EXPECT_EQ(AcceptStoredFolder(c.stored, 10, refused), c.accepted) << c.stored;
}

TEST(FileDoneText, ThePathIsTheFolderAndOneNameAtTheEnd) {
    const std::string folder = "C:\\Games, new\\bw,7\\";
    const struct {
        std::string text;
        std::string path;
    } cases[] = {
        {"http://h/a.exe,C:\\Games, new\\bw,7\\a.exe", "C:\\Games, new\\bw,7\\a.exe"},
        // Commas in the URL, its query and the name.
        {"http://h/x,y/se,tup.exe?v=1,2,C:\\Games, new\\bw,7\\se,tup.exe",
         "C:\\Games, new\\bw,7\\se,tup.exe"},
        // A mirror list, the folder in other letter case.
        {"http://a/s.exe|http://b/s.exe,c:\\games, NEW\\BW,7\\s.exe",
         "c:\\games, NEW\\BW,7\\s.exe"},
        // A URL that itself names the folder: the path is still the last one.
        {"http://h/,C:\\Games, new\\bw,7\\evil.exe,C:\\Games, new\\bw,7\\ok.exe",
         "C:\\Games, new\\bw,7\\ok.exe"},
        // Not a file directly in the folder.
        {"http://h/a.exe,C:\\Games, new\\bw,7\\sub\\a.exe", ""},
        {"http://h/a.exe,D:\\Other\\a.exe", ""},
        {"http://h/a.exe C:\\Games, new\\bw,7\\a.exe", ""},  // no comma before it
        {"C:\\Games, new\\bw,7\\a.exe", ""},
        {"http://h/a.exe,C:\\Games, new\\bw,7\\", ""},  // no name
        // Names Windows would not keep as written.
        {"http://h/a.exe,C:\\Games, new\\bw,7\\..", ""},
        {"http://h/a.exe,C:\\Games, new\\bw,7\\.", ""},
        {"http://h/a.exe,C:\\Games, new\\bw,7\\a.exe.", ""},
        {"http://h/a.exe,C:\\Games, new\\bw,7\\a.exe ", ""},
        // A URL that ends in a lead byte right before the comma.
        {"http://h/\xB0,C:\\Games, new\\bw,7\\a.exe", "C:\\Games, new\\bw,7\\a.exe"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FileDonePath(c.text, folder), c.path) << c.text;
    // The library writes the folder with backslashes; the launcher may have
    // given it with slashes.
    EXPECT_EQ(FileDonePath("u,C:\\g\\a.exe", "C:/g"), "C:\\g\\a.exe");
    EXPECT_EQ(FileDonePath("u,C:\\g\\a.exe", ""), "");
}

TEST(SingleInstance, MutexName) {
    EXPECT_EQ(InstanceMutexName("http://h/orvane/filelist.txt"),
              "ZVTDownloadV3::http://h/orvane/filelist.txt");
    std::string longUrl = "http://h/" + std::string(300, 'a');
    EXPECT_EQ(InstanceMutexName(longUrl).size(), kInstanceNameMax);
    EXPECT_EQ(InstanceMutexName(std::string(245, 'b')).size(), kInstanceNameMax);
    EXPECT_EQ(InstanceMutexName(std::string(244, 'b')).size(), 259u);
}

}  // namespace
