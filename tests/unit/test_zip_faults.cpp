// The zip reader on damaged and hostile archives: data that do not match
// their CRC-32, sizes and offsets that lie, archives cut at every length, and
// entry names that would leave the target folder or be cut to another name.

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "SupportTestEnv.h"
#include "ZipTestSupport.h"
#include "sdk/support/StringList.h"
#include "sdk/support/zip/ZipFolder.h"
#include "sdk/support/zip/ZipReader.h"

using supporttest::PathExists;
using supporttest::ReadWholeFile;
using supporttest::TempFolder;
using namespace ziptest;

namespace {

uint32_t ExtractOne(const Bytes& data, int index, const std::string& target) {
    ZipHandle* zip = ZipOpenMemory(data.data(), (uint32_t)data.size(), nullptr);
    if (!zip)
        return 0xFFFFFFFFu;
    const uint32_t rc = ZipExtractEntry(zip, index, target.c_str());
    ZipClose(zip);
    return rc;
}

uintmax_t SizeOf(const std::string& path) {
    std::error_code ec;
    uintmax_t n = std::filesystem::file_size(path, ec);
    return ec ? 0 : n;
}

TEST(ZipFaults, DataThatDoNotMatchTheirCrcAreAFailedExtraction) {
    TempFolder tmp;
    struct Case {
        const char* archive;
        const char* entry;
        std::string content;
    };
    Bytes photo = SourceFile("photo.bin");
    std::string big;
    for (int i = 0; i < 4096; ++i)
        big += "0123456789abcdef";
    // A deflated and a stored entry.
    const Case cases[] = {{"deflated.zip", "big.txt", big},
                          {"info.zip", "photo.bin", std::string(photo.begin(), photo.end())}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        Bytes data = LoadArchive(c.archive);
        Layout l = Locate(data);
        const int i = IndexOf(l, c.entry);
        Patch32(data, l, i, kCrcField, Get32(data, l.central[i] + 16) ^ 0x00010000u);
        EXPECT_EQ(ExtractOne(data, i, tmp.Win(c.entry)), (uint32_t)ZipErrCrc);
        // The data themselves were read whole and stay on disk.
        EXPECT_EQ(ReadWholeFile(tmp.Native(c.entry)), c.content);
    }
}

TEST(ZipFaults, AnEntryNeverYieldsMoreThanItsStatedSize) {
    TempFolder tmp;
    Bytes original = LoadArchive("deflated.zip");
    Layout l = Locate(original);
    const uint32_t real = 16 * 4096;
    ASSERT_EQ(Get32(original, l.central[0] + 24), real);

    struct Case {
        const char* what;
        Field field;
        uint32_t value;
        uint32_t result;
        uintmax_t maxSize;
    };
    const Case cases[] = {
        // Stated smaller than the data: cut at the stated size, and the CRC
        // of what was produced cannot match.
        {"size stated too small", kUncompressedField, 1000, ZipErrCrc, 1000},
        // Stated larger: the stream ends early.
        {"size stated too large", kUncompressedField, real + 5000, ZipErrFlate, real},
        // Compressed size past the end of the block.
        {"compressed size past the block", kCompressedField, 0x7FFFFFF0u, ZipErrFlate, real},
        // Compressed size too small: the stream runs dry.
        {"compressed size too small", kCompressedField, 20, ZipErrFlate, real},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes data = original;
        Patch32(data, l, 0, c.field, c.value);
        const std::string target = tmp.Win("big.txt");
        EXPECT_EQ(ExtractOne(data, 0, target), c.result);
        EXPECT_LE(SizeOf(tmp.Native("big.txt")), c.maxSize);
        // The next entry is untouched by the damage.
        EXPECT_EQ(ExtractOne(data, 1, tmp.Win("next.txt")), (uint32_t)ZipOk);
    }
    EXPECT_EQ(ReadWholeFile(tmp.Native("next.txt")), "next entry");
}

TEST(ZipFaults, LyingOffsetsAndCountsStayInsideTheBlock) {
    TempFolder tmp;
    Bytes original = LoadArchive("deflated.zip");
    Layout l = Locate(original);

    // Open works, the damaged entry fails with the given code.
    struct Case {
        const char* what;
        size_t at;
        uint32_t value;
        int width;
        uint32_t result;
    };
    const Case cases[] = {
        {"local header offset far away", l.central[1] + 42, 0xFFFFFFF0u, 4, ZipErrCorrupt},
        {"local header offset inside data", l.central[1] + 42, 40, 4, ZipErrCorrupt},
        {"local extra length past the block", l.local[1] + 28, 0xFFFF, 2, ZipErrRead},
        {"central name length past the block", l.central[1] + 28, 0xFFFF, 2, ZipErrCorrupt},
        {"unknown method", l.local[1] + 8, 12, 2, ZipErrCorrupt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes data = original;
        if (c.width == 4)
            Put32(data, c.at, c.value);
        else
            Put16(data, c.at, (uint16_t)c.value);
        ZipHandle* zip = ZipOpenMemory(data.data(), (uint32_t)data.size(), nullptr);
        ASSERT_NE(zip, nullptr);
        ZipEntry e;
        EXPECT_EQ(ZipGetEntry(zip, 1, &e), c.result);
        EXPECT_EQ(ZipExtractEntry(zip, 1, tmp.Win("next.txt").c_str()), c.result);
        EXPECT_EQ(ZipExtractEntry(zip, 0, tmp.Win("big.txt").c_str()), (uint32_t)ZipOk);
        ZipClose(zip);
    }
    EXPECT_FALSE(PathExists(tmp.Native("next.txt")));

    // 65535 entries announced, two present: the walk stops at the damage and
    // does not start over for every later index.
    Bytes many = original;
    Put16(many, l.end + 8, 0xFFFF);
    Put16(many, l.end + 10, 0xFFFF);
    StringList names;
    EXPECT_TRUE(ListZipEntries(names, many.data(), (int64_t)many.size()));
    ASSERT_EQ(names.Count(), 2);
    EXPECT_STREQ(names.At(1), "next.txt");
    EXPECT_FALSE(
        UnzipAllToFolder((tmp.Win("many") + "\\").c_str(), many.data(), (int64_t)many.size()));
    EXPECT_EQ(ReadWholeFile(tmp.Native("many/next.txt")), "next entry");
}

TEST(ZipFaults, ArchivesCutAtEveryLengthFailCleanly) {
    TempFolder tmp;
    for (const char* file : {"deflated.zip", "fat.zip"}) {
        Bytes whole = LoadArchive(file);
        for (size_t n = 0; n < whole.size(); ++n) {
            Bytes cut(whole.begin(), whole.begin() + (ptrdiff_t)n);
            cut.shrink_to_fit();  // so that AddressSanitizer sees the real end
            StringList names;
            const std::string folder = tmp.Win("cut") + "\\";
            EXPECT_FALSE(UnzipAllToFolder(folder.c_str(), cut.data(), (int64_t)cut.size()))
                << file << " cut to " << n;
            EXPECT_FALSE(ListZipEntries(names, cut.data(), (int64_t)cut.size()));
        }
    }
}

TEST(ZipFaults, NamesThatLeaveTheFolderAreRefusedAndTheOthersWritten) {
    TempFolder tmp;
    Bytes data = LoadArchive("names.zip");
    const std::string inside = tmp.Win("a\\inside") + "\\";
    EXPECT_FALSE(UnzipAllToFolder(inside.c_str(), data.data(), (int64_t)data.size()));
    // Nothing above the target folder.
    for (const char* outside :
         {"x", "b.txt", "y.txt", "z.txt", "a/x", "a/b.txt", "a/y.txt", "a/z.txt", "a/sub"}) {
        EXPECT_FALSE(PathExists(tmp.Native(outside))) << outside;
    }
    for (const char* written : {"x/a.txt", "abs/b.txt", "f.txt", "server/share/f", "ok.txt"})
        EXPECT_TRUE(PathExists(tmp.Native(std::string("a/inside/") + written))) << written;

    // Listing leaves them out as well.
    StringList names;
    EXPECT_TRUE(ListZipEntries(names, data.data(), (int64_t)data.size()));
    ASSERT_EQ(names.Count(), 6);
    for (int32_t i = 0; i < names.Count(); ++i)
        EXPECT_EQ(strstr(names.At(i), ".."), nullptr) << names.At(i);

    // The same check guards any composition of folder and name.
    char out[kZipPathSize];
    EXPECT_EQ(ZipComposeTarget("C:\\t\\", "../x", out), (uint32_t)ZipErrBadName);
    EXPECT_EQ(ZipComposeTarget("C:\\t\\", "a\\...\\x", out), (uint32_t)ZipErrBadName);
    EXPECT_EQ(ZipComposeTarget("C:\\t\\", "D:x", out), (uint32_t)ZipErrBadName);
    EXPECT_EQ(ZipComposeTarget("C:\\t\\", "", out), (uint32_t)ZipErrBadName);
    EXPECT_EQ(ZipComposeTarget("C:\\t\\", "a\\.x\\..b", out), (uint32_t)ZipOk);
    EXPECT_STREQ(out, "C:\\t\\a\\.x\\..b");
}

TEST(ZipFaults, DeviceNamesAndNamesWindowsWouldChangeAreRefused) {
    Bytes data = LoadArchive("devices.zip");
    const struct {
        int index;
        uint32_t result;
    } cases[] = {
        {0, ZipErrBadName},   // CON
        {1, ZipErrBadName},   // aux.txt
        {2, ZipErrBadName},   // dir/nul.dat: every part counts
        {3, ZipErrBadName},   // Com1.log
        {4, ZipErrBadName},   // LPT9
        {5, ZipErrBadName},   // "prn .txt"
        {6, ZipErrBadName},   // dots./x.txt
        {7, ZipErrBadName},   // trail.
        {8, ZipErrBadName},   // "space "
        {9, ZipErrBadName},   // stream.txt:ads
        {10, ZipErrBadName},  // a*b.txt
        {11, ZipErrBadName},  // q?.txt
        {12, ZipErrBadName},  // a control byte
        {13, ZipErrBadName},  // dir/./x.txt
        {14, ZipErrBadName},  // dir//x.txt
        {15, ZipOk},          // con-ok.txt
        {16, ZipOk},          // console.txt
        {17, ZipOk},          // COM10.txt
        {18, ZipOk},          // ok/inner.txt
        {19, ZipOk},          // ok/
    };
    ZipHandle* zip = ZipOpenMemory(data.data(), (uint32_t)data.size(), nullptr);
    ASSERT_NE(zip, nullptr);
    ZipEntry e;
    ASSERT_EQ(ZipGetEntry(zip, -1, &e), (uint32_t)ZipOk);
    ASSERT_EQ(e.index, 20);
    for (const auto& c : cases)
        EXPECT_EQ(ZipGetEntry(zip, c.index, &e), c.result) << c.index;
    ZipClose(zip);

    // Unpacking writes the plain names and nothing else.
    TempFolder tmp;
    const std::string folder = tmp.Win("skin") + "\\";
    EXPECT_FALSE(UnzipAllToFolder(folder.c_str(), data.data(), (int64_t)data.size()));
    std::vector<std::string> written;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(tmp.Native(), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        written.push_back(it->path().lexically_relative(tmp.Native()).generic_string());
    std::sort(written.begin(), written.end());
    const std::vector<std::string> expected = {
        "skin",    "skin/COM10.txt",   "skin/con-ok.txt", "skin/console.txt",
        "skin/ok", "skin/ok/inner.txt"};
    EXPECT_EQ(expected, written);

    // The same rule for any folder and name put together.
    const struct {
        const char* name;
        uint32_t result;
    } names[] = {{"nul", ZipErrBadName},
                 {"a\\CONOUT$\\b", ZipErrBadName},
                 {"a\\b.", ZipErrBadName},
                 {"a.\\b", ZipErrBadName},
                 {"a \\b", ZipErrBadName},
                 {"a\\b:c", ZipErrBadName},
                 {"a\\<b>", ZipErrBadName},
                 {"a\\\"b\"", ZipErrBadName},
                 {"a|b", ZipErrBadName},
                 {"lpt0.txt", ZipErrBadName},
                 {"a\\", ZipOk},
                 {"nul0\\lpt10", ZipOk},
                 {"\xC7\xD1\xB1\xDB\\\xC0\xCC.txt", ZipOk}};
    char out[kZipPathSize];
    for (const auto& n : names)
        EXPECT_EQ(ZipComposeTarget("C:\\t\\", n.name, out), n.result) << n.name;
}

TEST(ZipFaults, LongNamesAndPathsAreRefusedNeverCut) {
    TempFolder tmp;
    Bytes data = LoadArchive("long.zip");
    ZipHandle* zip = ZipOpenMemory(data.data(), (uint32_t)data.size(), nullptr);
    ASSERT_NE(zip, nullptr);
    ZipEntry e;
    EXPECT_EQ(ZipGetEntry(zip, 0, &e), (uint32_t)ZipErrBadName);  // 300-byte name
    EXPECT_EQ(ZipGetEntry(zip, 2, &e), (uint32_t)ZipOk);          // 254 bytes fits alone
    // A target of 260 bytes or more, whole or once joined to the base folder.
    const std::string longTarget = tmp.Win(std::string(270, 'p'));
    EXPECT_EQ(ZipExtractEntry(zip, 1, longTarget.c_str()), (uint32_t)ZipErrBadName);
    EXPECT_EQ(ZipExtractEntry(zip, 1, std::string(258, 'r').c_str()), (uint32_t)ZipErrBadName);
    ZipClose(zip);

    // Joined to the folder, the 254-byte name would pass 259 bytes.
    const std::string folder = tmp.Win("f") + "\\";
    EXPECT_FALSE(UnzipAllToFolder(folder.c_str(), data.data(), (int64_t)data.size()));
    EXPECT_EQ(ReadWholeFile(tmp.Native("f/short.txt")), "short");
    int files = 0;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(tmp.Native("f"), ec)) {
        (void)item;
        ++files;
    }
    EXPECT_EQ(files, 1);
    int top = 0;
    for (const auto& item : std::filesystem::directory_iterator(tmp.Native(), ec)) {
        EXPECT_EQ(item.path().filename().string(), "f");
        ++top;
    }
    EXPECT_EQ(top, 1);
}

}  // namespace
