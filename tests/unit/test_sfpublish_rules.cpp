// sfpublish's rules without running the program: which names and base URLs
// a list takes, the list's exact text, and the manifest editor against
// well-formed and hostile manifests, and the digests of the files it lists.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "launcher/FileList.h"
#include "tests/unit/SupportTestEnv.h"
#include "sdk/support/CXMLParserOrvane.h"
#include "tools/sfpublish/ManifestHashes.h"
#include "tools/sfpublish/SignedFileList.h"
#include "tools/sfpublish/ToolFiles.h"

using namespace sfpublish;
namespace fs = std::filesystem;

namespace {

const std::string kShaAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kShaEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

const std::string kManifest =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<update>\n"
    "  <all>\n"
    "    <all url=\"http://h/u/pkg.zip\" hash=\"http://h/u/pkg.zip.hash\"/>\n"
    "  </all>\n"
    "  <file>\n"
    "    <ldDownload.exe url=\"http://h/u/exe.7z\" hash=\"http://h/u/exe.7z.hash\" "
    "ver=\"1.0.0.2\"/>\n"
    "    <readme.txt url=\"http://h/u/readme.zip\"/>\n"
    "  </file>\n"
    "</update>\n";

const ArchiveDigests kDigests = {
    {"pkg.zip", std::string(64, 'a')},
    {"exe.7z", std::string(64, 'b')},
    {"readme.zip", std::string(64, 'c')},
};

}  // namespace

TEST(SfpublishRules, NamesTakenAsTheyStand) {
    std::string why;
    for (const char* name :
         {"client.pak", "a-b_c.1.txt", "Setup.EXE", "x+y@z", "a.parts", "part.txt"})
        EXPECT_TRUE(IsListableName(name, &why)) << name;
    const std::string refused[] = {"", ".", "..", "a b.txt", "a#b", "100%.txt", "CON", "nul.txt",
                                   "x.", "a|b", "a?b", "a:b", "a\tb", "\xED\x95\x9C.pak", "a\\b",
                                   "a\"b",
                                   // A neighbour's partial file.
                                   "client.pak.part", "Setup.EXE.PART"};
    for (const std::string& name : refused)
        EXPECT_FALSE(IsListableName(name, &why)) << "'" << name << "'";
}

TEST(SfpublishRules, BaseUrls) {
    std::string base, error;
    ASSERT_TRUE(TakeBaseUrl("http://cdn.example", &base, &error));
    EXPECT_EQ("http://cdn.example", base);
    ASSERT_TRUE(TakeBaseUrl("https://cdn.example:8443/game/v2//", &base, &error));
    EXPECT_EQ("https://cdn.example:8443/game/v2", base);
    const std::string refused[] = {"",
                                   "cdn.example",
                                   "ftp://cdn.example",
                                   "http://",
                                   "http:///x",
                                   "http://h/a b",
                                   "http://h/a#b",
                                   "http://h/a|b",
                                   "http://h/a?b",
                                   "http://h/\x01",
                                   "http://h/\xEA",
                                   "HTTP://h"};
    for (const std::string& url : refused)
        EXPECT_FALSE(TakeBaseUrl(url, &base, &error)) << "'" << url << "'";
}

TEST(SfpublishRules, ListTextIsExactAndReadsBack) {
    supporttest::TempFolder temp;
    const fs::path root = temp.Native();
    fs::create_directories(root / "game" / "sub");
    WriteFile(root / "game" / "b.pak", "abc");
    WriteFile(root / "game" / "A.txt", "");
    WriteFile(root / "game" / "sub" / "inner.bin", "x");
    WriteFile(root / "setup.exe", "abc");

    std::vector<ListedFile> files;
    std::string error, text;
    ASSERT_TRUE(
        CollectFiles({(root / "setup.exe").string(), (root / "game").string()}, &files, &error))
        << error;
    ASSERT_EQ(3u, files.size());
    EXPECT_EQ("setup.exe", files[0].name);  // arguments in order,
    EXPECT_EQ("A.txt", files[1].name);      // a folder's files by name,
    EXPECT_EQ("b.pak", files[2].name);      // sub-folders not entered
    ASSERT_TRUE(BuildFileList("http://h/g", files, &text, &error)) << error;
    EXPECT_EQ("http://h/g/setup.exe#sha256=" + kShaAbc + "&size=3\r\n" +
                  "http://h/g/A.txt#sha256=" + kShaEmpty + "&size=0\r\n" +
                  "http://h/g/b.pak#sha256=" + kShaAbc + "&size=3\r\n",
              text);
    EXPECT_EQ(3u, ParseFileList(text.data(), text.size()).urls.size());

    // The same name twice (letter case ignored), a missing path, nothing at
    // all, a name the library would refuse.
    files.clear();
    WriteFile(root / "a.txt", "");
    EXPECT_FALSE(
        CollectFiles({(root / "game").string(), (root / "a.txt").string()}, &files, &error));
    files.clear();
    EXPECT_FALSE(CollectFiles({(root / "missing").string()}, &files, &error));
    files.clear();
    EXPECT_FALSE(CollectFiles({(root / "game" / "sub" / "none").string()}, &files, &error));
    fs::create_directories(root / "empty");
    files.clear();
    EXPECT_FALSE(CollectFiles({(root / "empty").string()}, &files, &error));
    WriteFile(root / "bad name.txt", "");
    files.clear();
    EXPECT_FALSE(CollectFiles({(root / "bad name.txt").string()}, &files, &error));

    // The longest line the launcher reads is 1023 bytes; one more is refused.
    // Here a line is the base, '/', "a.txt", "#sha256=", 64 digits, "&size=0".
    files = {ListedFile{root / "a.txt", "a.txt", ""}};
    const size_t longest = kFileListLineMax - 1 - (1 + 5 + 8 + 64 + 7) - 9;
    ASSERT_TRUE(BuildFileList("http://h/" + std::string(longest, 'd'), files, &text, &error))
        << error;
    EXPECT_EQ(kFileListLineMax + 1, text.size());  // 1023 bytes and CR LF
    EXPECT_FALSE(BuildFileList("http://h/" + std::string(longest + 1, 'd'), files, &text, &error));
}

TEST(SfpublishRules, ManifestGetsItsDigestsAndNothingElseChanges) {
    std::string result, error;
    ASSERT_TRUE(AddManifestHashes(kManifest, kDigests, &result, &error)) << error;
    std::string expected = kManifest;
    auto insertAfter = [&](const std::string& marker, const std::string& digest) {
        const size_t at = expected.find(marker);
        ASSERT_NE(std::string::npos, at) << marker;
        expected.insert(at + marker.size(), " sha256=\"" + digest + "\"");
    };
    insertAfter("hash=\"http://h/u/pkg.zip.hash\"", std::string(64, 'a'));
    insertAfter("ver=\"1.0.0.2\"", std::string(64, 'b'));
    insertAfter("url=\"http://h/u/readme.zip\"", std::string(64, 'c'));
    EXPECT_EQ(expected, result);

    // Signing again with new archives replaces the values in place.
    ArchiveDigests renewed = kDigests;
    renewed["exe.7z"] = std::string(64, 'e');
    std::string again;
    ASSERT_TRUE(AddManifestHashes(result, renewed, &again, &error)) << error;
    std::string expectedAgain = result;
    const size_t at = expectedAgain.find(std::string(64, 'b'));
    expectedAgain.replace(at, 64, std::string(64, 'e'));
    EXPECT_EQ(expectedAgain, again);
}

TEST(SfpublishRules, ManifestMarkupVariants) {
    struct Case {
        const char* what;
        std::string manifest;
        size_t entries;  // sha256 attributes expected in the result
    };
    const Case cases[] = {
        {"element names in other letter case, entries with bodies, '>' in a value",
         "<u><ALL><All url=\"http://h/pkg.zip\" note=\"a>b\"></All></ALL>"
         "<File><x.exe url=\"http://h/exe.7z\" ver=\"1\">text</x.exe>"
         "<r url = \"http://h/readme.zip\" /></File></u>",
         3},
        {"comments, CDATA and a second root are not entries",
         "<!-- <all><all url=\"http://h/evil.zip\"/></all> -->"
         "<u><all><all url=\"http://h/pkg.zip\"/></all><![CDATA[<file><z url=\"q\"/></file>]]>"
         "<file><x url=\"http://h/exe.7z\"/><r url=\"http://h/readme.zip\"/></file></u>"
         "<other><all><all url=\"http://h/evil.zip\"/></all></other>",
         3},
        {"entity in a url, query after the archive",
         "<u><all><all url=\"http://h/pkg.zip?a=1&amp;b=2\"/></all>"
         "<file><x url=\"http://h/exe.7z\"/><r url=\"http://h/readme.zip\"/></file></u>",
         3},
    };
    for (const Case& c : cases) {
        std::string result, error;
        ASSERT_TRUE(AddManifestHashes(c.manifest, kDigests, &result, &error))
            << c.what << ": " << error;
        size_t count = 0;
        for (size_t at = result.find("sha256=\""); at != std::string::npos;
             at = result.find("sha256=\"", at + 1))
            ++count;
        EXPECT_EQ(c.entries, count) << c.what;
    }
}

TEST(SfpublishRules, HostileManifestsAreRefused) {
    const std::string body =
        "<file><x url=\"http://h/exe.7z\"/><r url=\"http://h/readme.zip\"/></file>";
    const std::string all = "<all><all url=\"http://h/pkg.zip\"/></all>";
    const std::string refused[] = {
        "",
        "no markup at all",
        "<u>" + all + body,                                           // never closed
        "<u>" + all + body + "</u></u>",                              // closed twice
        "<u>" + all + "<file><x url='http://h/exe.7z'/></file></u>",  // single quotes
        "<u>" + all + "<file><x url=\"http://h/exe.7z\" url=\"http://h/readme.zip\"/></file></u>",
        "<u>" + all + "<file><x hash=\"h\"/></file></u>",                  // no url
        "<u>" + all + "<file><x url=\"http://h/other.zip\"/></file></u>",  // not given
        "<u>" + all + "</u>",                                              // archives unused
        "<u>" + all + "<file><x url=\"http://h/exe.7z\" sha256=\"1\" sha256=\"2\"/></file></u>",
        "<u>" + all + "<file><x url=\"http://h/exe.7z\" bare/></file></u>",
        "<u>" + all + "<file><x url=\"http://h/exe.7z/></file></u>",  // open quote
        "<u><!-- " + all + body + "</u>",                             // open comment
        "<u>" + all + std::string(1, '\0') + body + "</u>",
        "<u>" + all + body + std::string(kXmlMaxDocument, ' ') + "</u>",
    };
    for (const std::string& manifest : refused) {
        std::string result = "untouched", error;
        EXPECT_FALSE(AddManifestHashes(manifest, kDigests, &result, &error))
            << manifest.substr(0, 120);
        EXPECT_FALSE(error.empty());
    }
}

TEST(SfpublishRules, StagedFileLeavesNothingBehindUntilCommitted) {
    supporttest::TempFolder temp;
    const fs::path target = fs::path(temp.Native()) / "out.txt";
    WriteFile(target, "old");
    std::string error;
    {
        StagedFile staged(target);
        ASSERT_TRUE(staged.Write("new", false, &error)) << error;
    }
    std::string bytes;
    ASSERT_TRUE(ReadSmallFile(target, 16, &bytes, &error));
    EXPECT_EQ("old", bytes);
    EXPECT_EQ(1, std::distance(fs::directory_iterator(temp.Native()), fs::directory_iterator()));
    {
        StagedFile staged(target);
        ASSERT_TRUE(staged.Write("new", false, &error)) << error;
        ASSERT_TRUE(staged.Commit(&error)) << error;
    }
    ASSERT_TRUE(ReadSmallFile(target, 16, &bytes, &error));
    EXPECT_EQ("new", bytes);
    EXPECT_FALSE(ReadSmallFile(target, 2, &bytes, &error));  // above the bound
    EXPECT_EQ(1, std::distance(fs::directory_iterator(temp.Native()), fs::directory_iterator()));
}

// Digests and sizes of files read in several pieces, against published
// vectors and sha256sum (digests written out, not computed by the code under
// test).
TEST(SfpublishRules, HashFileDigestsAndSizes) {
    supporttest::TempFolder temp;
    const struct {
        std::string bytes;
        std::string sha256;
    } cases[] = {
        {"", kShaEmpty},
        {"abc", kShaAbc},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        // Two whole pieces of 1 MiB and a short third.
        {std::string(2 * 1024 * 1024 + 5, 'a'),
         "f077ad66a499663ea49bdb0067bb7d51745c75a651e17c458435756986bbc523"},
    };
    const fs::path file = fs::path(temp.Native()) / "f.bin";
    for (const auto& c : cases) {
        WriteFile(file, c.bytes);
        std::string hex, error;
        uint64_t size = 0;
        ASSERT_TRUE(HashFile(file, &hex, &size, &error)) << error;
        EXPECT_EQ(c.sha256, hex) << c.bytes.size();
        EXPECT_EQ(c.bytes.size(), size);
    }
    std::string hex, error;
    uint64_t size = 0;
    EXPECT_FALSE(HashFile(fs::path(temp.Native()) / "missing", &hex, &size, &error));
    EXPECT_FALSE(HashFile(temp.Native(), &hex, &size, &error));  // a folder
}
