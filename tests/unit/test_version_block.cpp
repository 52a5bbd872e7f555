// The FileVersion reader: the walker of VS_VERSIONINFO blocks on blocks that
// tools/engine/version-resource.py wrote, on damaged copies of them and
// inside other bytes; and the platform reader on real programs whose version
// the build set (the version API under Wine, the embedded block natively).
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "opn/core/ovCString.h"
#include "opn/platform/pfFileVersion.h"
#include "opn/platform/pfVersionBlock.h"
#include "support/EnginePrograms.h"
#include "unit/SupportTestEnv.h"

extern "C" const unsigned char sf_blob_ko[];
extern "C" const unsigned char sf_blob_en[];

namespace {

// A block's own length is in its first two bytes.
std::vector<uint8_t> Blob(const unsigned char* blob) {
    const size_t length = (size_t)(blob[0] | (blob[1] << 8));
    return std::vector<uint8_t>(blob, blob + length);
}

std::string Read(const std::vector<uint8_t>& bytes, uint16_t defaultLang = 0x0412) {
    ovCString out;
    if (!VersionBlockFileVersion(bytes.data(), bytes.size(), defaultLang, out))
        return "<none>";
    return out.CStr();
}

// Offset of the UTF-16 text `key` in `bytes`.
size_t FindKey(const std::vector<uint8_t>& bytes, const char* key) {
    std::vector<uint8_t> pattern;
    for (const char* p = key; *p; ++p) {
        pattern.push_back((uint8_t)*p);
        pattern.push_back(0);
    }
    for (size_t i = 0; i + pattern.size() <= bytes.size(); ++i)
        if (memcmp(bytes.data() + i, pattern.data(), pattern.size()) == 0)
            return i;
    return std::string::npos;
}

TEST(VersionBlock, ReadsTheTableTheTranslationNames) {
    EXPECT_EQ("3.1.4.1", Read(Blob(sf_blob_ko)));
    EXPECT_EQ("2.0.10.0", Read(Blob(sf_blob_en)));
    // The default language matters only without a usable translation.
    EXPECT_EQ("2.0.10.0", Read(Blob(sf_blob_en), 0x0407));
}

TEST(VersionBlock, WithoutOneTranslationPairTheDefaultLanguageTableIsAsked) {
    for (const unsigned char* blob : {sf_blob_ko, sf_blob_en}) {
        std::vector<uint8_t> bytes = Blob(blob);
        const size_t key = FindKey(bytes, "Translation");
        ASSERT_NE(std::string::npos, key);
        // The value length (bytes) sits 4 bytes before the key: half a pair,
        // so the translation no longer names one table.
        bytes[key - 4] = 2;
        const bool korean = blob == sf_blob_ko;
        // "<default>04B0": the Korean block has that table, the English not.
        EXPECT_EQ(korean ? "3.1.4.1" : "<none>", Read(bytes, 0x0412));
        EXPECT_EQ("<none>", Read(bytes, 0x0409));
    }
}

TEST(VersionBlock, KeysCompareWithoutCaseAndAMissingValueIsNone) {
    std::vector<uint8_t> bytes = Blob(sf_blob_ko);
    const size_t file = FindKey(bytes, "FileVersion");
    ASSERT_NE(std::string::npos, file);
    bytes[file] = 'f';  // "fileVersion"
    EXPECT_EQ("3.1.4.1", Read(bytes));
    bytes[file + 2] = 'X';  // "fXleVersion"
    EXPECT_EQ("<none>", Read(bytes));
}

TEST(VersionBlock, ABlockThatIsNoVersionBlockIsRefused) {
    std::vector<uint8_t> bytes = Blob(sf_blob_ko);
    const size_t root = FindKey(bytes, "VS_VERSION_INFO");
    ASSERT_EQ(6u, root);
    std::vector<uint8_t> badSignature = bytes;
    // The fixed info (signature first) follows the padded key.
    const size_t fixed = (root + 32 + 3) & ~(size_t)3;
    badSignature[fixed] ^= 0xFF;
    EXPECT_EQ("<none>", Read(badSignature));
    std::vector<uint8_t> badKey = bytes;
    badKey[root + 2] = 'X';
    EXPECT_EQ("<none>", Read(badKey));
    EXPECT_EQ("<none>", Read(std::vector<uint8_t>()));
    ovCString out;
    EXPECT_FALSE(VersionBlockFileVersion(nullptr, 100, 0x0412, out));
}

// Every cut and many corruptions of a real block: no read outside the
// bytes given (AddressSanitizer watches), and a cut block never yields a
// version it does not hold whole.
TEST(VersionBlock, DamagedBlocksAreReadWithinTheirBytes) {
    for (const unsigned char* blob : {sf_blob_ko, sf_blob_en}) {
        const std::vector<uint8_t> whole = Blob(blob);
        const std::string expected = Read(whole);
        for (size_t cut = 0; cut < whole.size(); ++cut) {
            // A copy of exactly `cut` bytes, so any overrun is caught.
            std::vector<uint8_t> part(whole.begin(), whole.begin() + (ptrdiff_t)cut);
            const std::string got = Read(part);
            EXPECT_TRUE(got == "<none>" || expected.compare(0, got.size(), got) == 0)
                << cut << ": " << got;
        }
        const uint8_t values[] = {0x00, 0x01, 0x06, 0x7F, 0xFF};
        for (size_t at = 0; at < whole.size(); ++at) {
            for (uint8_t value : values) {
                std::vector<uint8_t> bytes = whole;
                bytes[at] = value;
                Read(bytes);
            }
        }
    }
}

TEST(VersionBlock, FoundInsideOtherBytesPastFalseStarts) {
    const std::vector<uint8_t> block = Blob(sf_blob_en);
    std::vector<uint8_t> file;
    for (int i = 0; i < 1001; ++i)
        file.push_back((uint8_t)(i * 7));
    // The key alone, without a block around it, and a second false start
    // with a header that claims more than there is.
    const size_t key = FindKey(block, "VS_VERSION_INFO");
    file.insert(file.end(), block.begin() + (ptrdiff_t)key, block.begin() + (ptrdiff_t)key + 32);
    file.push_back(0xFF);
    file.push_back(0xFF);
    file.insert(file.end(), block.begin() + 2, block.begin() + 40);
    file.insert(file.end(), 3, 0x55);
    file.insert(file.end(), block.begin(), block.end());
    file.insert(file.end(), 500, 0xAB);
    ovCString out;
    ASSERT_TRUE(FindVersionBlockFileVersion(file.data(), file.size(), 0x0412, out));
    EXPECT_STREQ("2.0.10.0", out.CStr());
    // Cut before the block ends: nothing.
    EXPECT_FALSE(FindVersionBlockFileVersion(file.data(), file.size() - 500 - 10, 0x0412, out));
    EXPECT_TRUE(out.IsEmpty());
}

TEST(VersionBlock, TheSearchTriesABoundedNumberOfPlaces) {
    const std::vector<uint8_t> block = Blob(sf_blob_ko);
    const size_t key = FindKey(block, "VS_VERSION_INFO");
    std::vector<uint8_t> file;
    for (int i = 0; i < kVersionBlockMaxCandidates; ++i) {
        file.insert(file.end(), 6, 0);
        file.insert(file.end(), block.begin() + (ptrdiff_t)key,
                    block.begin() + (ptrdiff_t)key + 32);
    }
    file.insert(file.end(), block.begin(), block.end());
    ovCString out;
    EXPECT_FALSE(FindVersionBlockFileVersion(file.data(), file.size(), 0x0412, out));
    // One false start fewer and the real block is reached.
    const size_t oneCandidate = 6 + 32;
    std::vector<uint8_t> fewer(file.begin() + (ptrdiff_t)oneCandidate, file.end());
    EXPECT_TRUE(FindVersionBlockFileVersion(fewer.data(), fewer.size(), 0x0412, out));
    EXPECT_STREQ("3.1.4.1", out.CStr());
}

TEST(FileVersion, RealProgramsCarryTheVersionTheBuildSet) {
    ovCString out;
    ASSERT_TRUE(PfReadFileVersion(sftest::BuildTreeProgram(SF_ENGINE_OLD).c_str(), out));
    EXPECT_STREQ(SF_ENGINE_OLD_VERSION, out.CStr());
    ASSERT_TRUE(PfReadFileVersion(sftest::BuildTreeProgram(SF_ENGINE_NEW).c_str(), out));
    EXPECT_STREQ(SF_ENGINE_NEW_VERSION, out.CStr());
}

TEST(FileVersion, FilesWithoutAVersionAndMissingOnes) {
    supporttest::TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    FILE* f = fopen(tmp.Native("plain.exe").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fputs("MZ not really a program", f);
    fclose(f);
    ovCString out("x");
    EXPECT_FALSE(PfReadFileVersion(tmp.Win("plain.exe").c_str(), out));
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_FALSE(PfReadFileVersion(tmp.Win("missing.exe").c_str(), out));
    EXPECT_FALSE(PfReadFileVersion(tmp.Win().c_str(), out));
    EXPECT_FALSE(PfReadFileVersion("", out));
    EXPECT_FALSE(PfReadFileVersion(nullptr, out));
}

#ifndef _WIN32
// Natively a file holding the block anywhere has that version.
TEST(FileVersion, TheEmbeddedBlockIsFoundInAnyFile) {
    supporttest::TempFolder tmp;
    ASSERT_TRUE(tmp.Ok());
    const std::vector<uint8_t> block = Blob(sf_blob_ko);
    FILE* f = fopen(tmp.Native("engine.exe").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fputs(
        "\x7f"
        "ELF and some code",
        f);
    fwrite(block.data(), 1, block.size(), f);
    fclose(f);
    ovCString out;
    ASSERT_TRUE(PfReadFileVersion(tmp.Win("engine.exe").c_str(), out));
    EXPECT_STREQ("3.1.4.1", out.CStr());
}
#endif

}  // namespace
