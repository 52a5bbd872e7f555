// The hash and size a URL's fragment gives its file, the streaming SHA-256
// that checks it, the file calls that continue and rename partial files, and
// the job's names, which never include the fragment.
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "opn/platform/pfFile.h"
#include "opn/platform/pfFileSystem.h"
#include "sdk/download/CJob.h"
#include "sdk/download/FileDigest.h"
#include "sdk/support/ExpectedContent.h"
#include "sdk/support/Sha256Stream.h"
#include "unit/SupportTestEnv.h"

namespace {

// SHA-256 of "abc" (FIPS 180-2).
const char kAbcHex[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char kEmptyHex[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

TEST(ExpectedContent, FragmentsThatAreReadAndFragmentsThatAreRefused) {
    const std::string h = kAbcHex;
    std::string upper = h;
    for (char& c : upper)
        c = (char)toupper((unsigned char)c);
    struct Case {
        std::string url;
        bool ok;
        bool hasSha256;
        int64_t size;
    };
    const Case cases[] = {
        {"http://h/a.bin", true, false, -1},
        {"http://h/a.bin#", true, false, -1},
        {"http://h/a.bin#sha256=" + h, true, true, -1},
        {"http://h/a.bin#sha256=" + upper, true, true, -1},
        {"http://h/a.bin#sha256=" + h + "&size=1048576", true, true, 1048576},
        {"http://h/a.bin#sha256=" + h + "&size=0", true, true, 0},
        {"http://h/a.bin#size=3&sha256=" + h, true, true, 3},
        {"http://h/a.bin#sha256=" + h + "&mirror=eu&x", true, true, -1},
        {"http://h/a.bin#page=2", true, false, -1},
        {"http://h/a.bin?q=1#sha256=" + h + "&", true, true, -1},
        {"http://h/a.bin#sha256=" + h + "&size=999999999999999999", true, true, 999999999999999999},
        // Refused: the wrong number of digits, other characters, values
        // given twice, a size that is no number or too long, a size alone.
        {"http://h/a.bin#sha256=" + h.substr(1), false, false, -1},
        {"http://h/a.bin#sha256=" + h + "0", false, false, -1},
        {"http://h/a.bin#sha256=" + h.substr(1) + "g", false, false, -1},
        {"http://h/a.bin#sha256=", false, false, -1},
        {"http://h/a.bin#sha256", false, false, -1},
        {"http://h/a.bin#sha256=" + h + "&sha256=" + h, false, false, -1},
        {"http://h/a.bin#sha256=" + h + "&size=1&size=1", false, false, -1},
        {"http://h/a.bin#sha256=" + h + "&size=", false, false, -1},
        {"http://h/a.bin#sha256=" + h + "&size=-1", false, false, -1},
        {"http://h/a.bin#sha256=" + h + "&size=1e3", false, false, -1},
        {"http://h/a.bin#sha256=" + h + "&size=1000000000000000000", false, false, -1},
        {"http://h/a.bin#sha256=" + h + "&size= 5", false, false, -1},
        {"http://h/a.bin#size=5", false, false, -1},
        // Other spellings of what the file must be: taken as nothing, they
        // would switch the check off.
        {"http://h/a.bin#SHA256=" + h, false, false, -1},
        {"http://h/a.bin#Sha256=" + h, false, false, -1},
        {"http://h/a.bin#sha-256=" + h, false, false, -1},
        {"http://h/a.bin#sha_256=" + h, false, false, -1},
        {"http://h/a.bin#sha256:" + h, false, false, -1},
        {"http://h/a.bin#sha256%3D" + h, false, false, -1},
        {"http://h/a.bin# sha256=" + h, false, false, -1},
        {"http://h/a.bin#sha512=" + h + h, false, false, -1},
        {"http://h/a.bin#md5=0123456789abcdef0123456789abcdef", false, false, -1},
        {"http://h/a.bin#hash=" + h, false, false, -1},
        {"http://h/a.bin#sha256=" + h + "&Size=3", false, false, -1},
        {"http://h/a.bin#sha256=" + h + "&SIZE=3", false, false, -1},
        {"http://h/a.bin#sha256=" + h + "&sha256sum=" + h, false, false, -1},
        {"http://h/a.bin#sha256=" + h + "&size:3", false, false, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        ExpectedContent content;
        EXPECT_EQ(c.ok, ReadUrlContent(c.url.data(), c.url.size(), &content));
        if (!c.ok)
            continue;
        EXPECT_EQ(c.hasSha256, content.hasSha256);
        EXPECT_EQ(c.size, content.size);
        if (c.hasSha256) {
            EXPECT_EQ(h, Hex(content.sha256, sizeof content.sha256));
        }
        EXPECT_EQ(c.url.find('#') == std::string::npos ? c.url.size() : c.url.find('#'),
                  UrlLengthWithoutFragment(c.url.data(), c.url.size()));
    }
}

TEST(ExpectedContent, MirrorsMayEachCarryTheFragmentButMustAgree) {
    const std::string h = kAbcHex;
    const std::string e = kEmptyHex;
    struct Case {
        std::string list;
        bool ok;
        std::string hex;  // empty: no hash
        int64_t size;
    };
    const Case cases[] = {
        {"http://a/x|http://b/x", true, "", -1},
        {"http://a/x#sha256=" + h + "|http://b/x", true, h, -1},
        {"http://a/x|http://b/x#sha256=" + h + "&size=3", true, h, 3},
        {"http://a/x#sha256=" + h + "|http://b/x#sha256=" + h + "&size=3", true, h, 3},
        {"http://a/x#sha256=" + h + "&size=3|http://b/x#sha256=" + h, true, h, 3},
        {"http://a/x#sha256=" + h + "|http://b/x#sha256=" + e, false, "", -1},
        {"http://a/x#sha256=" + h + "&size=3|http://b/x#sha256=" + h + "&size=4", false, "", -1},
        {"http://a/x|http://b/x#sha256=12", false, "", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        ExpectedContent content;
        EXPECT_EQ(c.ok, ReadUrlListContent(c.list.c_str(), &content));
        if (!c.ok)
            continue;
        EXPECT_EQ(!c.hex.empty(), content.hasSha256);
        if (content.hasSha256) {
            EXPECT_EQ(c.hex, Hex(content.sha256, sizeof content.sha256));
        }
        EXPECT_EQ(c.size, content.size);
    }
}

TEST(ExpectedContent, TorrentHashIsKeptAndMustAgreeAcrossMirrors) {
    const std::string h = kAbcHex;
    const std::string e = kEmptyHex;
    struct Case {
        std::string list;
        bool ok;
        std::string btih;  // empty: none
    };
    // A v1-only torrent's hash: 40 digits.
    const std::string v1 = h.substr(0, 40);
    const Case cases[] = {
        {"http://a/x#sha256=" + e + "&size=0&btih=" + h, true, h},
        {"http://a/x#btih=" + v1, true, v1},
        {"http://a/x#btih=" + v1 + "|http://b/x#btih=" + v1, true, v1},
        {"http://a/x#btih=" + h, true, h},
        {"http://a/x#btih=" + h + "|http://b/x", true, h},
        {"http://a/x#btih=" + h + "|http://b/x#btih=" + h, true, h},
        {"http://a/x#sha256=" + e, true, ""},
        // Refused: mirrors that disagree, a short or long hash, one given twice.
        {"http://a/x#btih=" + h + "|http://b/x#btih=" + e, false, ""},
        {"http://a/x#btih=" + h.substr(20), false, ""},
        {"http://a/x#btih=" + h + "00", false, ""},
        {"http://a/x#btih=" + h + "&btih=" + h, false, ""},
        {"http://a/x#btih=", false, ""},
        // Between the two lengths, or not hex, or mirrors of both kinds.
        {"http://a/x#btih=" + v1.substr(1), false, ""},
        {"http://a/x#btih=" + v1 + "0", false, ""},
        {"http://a/x#btih=" + v1.substr(1) + "g", false, ""},
        {"http://a/x#btih=" + v1 + "|http://b/x#btih=" + h, false, ""},
        {"http://a/x#btih=" + h + "|http://b/x#btih=" + h.substr(0, 40), false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        ExpectedContent content;
        EXPECT_EQ(c.ok, ReadUrlListContent(c.list.c_str(), &content));
        if (!c.ok)
            continue;
        EXPECT_EQ(!c.btih.empty(), content.hasBtih);
        if (content.hasBtih) {
            EXPECT_EQ(c.btih.size() / 2, content.btihSize);
            EXPECT_EQ(c.btih, Hex(content.btih, content.btihSize));
        }
    }
}

TEST(Sha256Stream, KnownDigestsInAnyPieces) {
    struct Case {
        std::string data;
        const char* hex;
    };
    const Case cases[] = {
        {"", kEmptyHex},
        {"abc", kAbcHex},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        for (size_t piece : {(size_t)1, (size_t)7, (size_t)64, (size_t)65536}) {
            if (c.data.size() > 100000 && piece < 64)
                continue;
            SCOPED_TRACE(std::to_string(c.data.size()) + " bytes in pieces of " +
                         std::to_string(piece));
            Sha256Stream hash;
            for (size_t at = 0; at < c.data.size(); at += piece)
                ASSERT_TRUE(hash.Add(c.data.data() + at, std::min(piece, c.data.size() - at)));
            EXPECT_EQ((int64_t)c.data.size(), hash.Bytes());
            uint8_t digest[kSha256Size];
            ASSERT_TRUE(hash.Finish(digest));
            EXPECT_EQ(c.hex, Hex(digest, sizeof digest));
            // Finished: nothing more is added until it starts again.
            EXPECT_FALSE(hash.Add("x", 1));
            ASSERT_TRUE(hash.Reset());
            EXPECT_EQ(0, hash.Bytes());
        }
    }
}

void Write(const std::string& native, const std::string& bytes) {
    FILE* f = fopen(native.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

TEST(PartialFiles, AreContinuedWithoutTruncatingAndRenamedOverTheOldFile) {
    supporttest::TempFolder folder;
    const std::string part = folder.Win("f.bin.part");
    const std::string final = folder.Win("f.bin");
    Write(folder.Native("f.bin.part"), "abc");
    Write(folder.Native("f.bin"), "old bytes");

    int32_t error = -1;
    PfFile* file = PfFileOpenAlways(part.c_str(), &error);
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(kPfErrorAlreadyExists, error);
    Sha256Stream hash;
    EXPECT_EQ(3, HashRestOfFile(file, hash));
    EXPECT_EQ(3, PfFileSeekEnd(file));
    ASSERT_TRUE(PfFileWrite(file, "def", 3, &error));
    ASSERT_TRUE(PfFileSeekStart(file));
    char back[8] = {0};
    EXPECT_EQ(6, PfFileRead(file, back, sizeof back, &error));
    EXPECT_STREQ("abcdef", back);
    EXPECT_EQ(0, PfFileRead(file, back, sizeof back, &error));
    PfFileClose(file);

    // The hash of "abc" names the file only with the size it has.
    Write(folder.Native("abc.bin"), "abc");
    ExpectedContent abc;
    const std::string url = std::string("http://h/x#sha256=") + kAbcHex;
    ASSERT_TRUE(ReadUrlContent(url.data(), url.size(), &abc));
    int64_t length = -1;
    EXPECT_TRUE(FileHasContent(folder.Win("abc.bin").c_str(), -1, abc.sha256, &length));
    EXPECT_EQ(3, length);
    EXPECT_TRUE(FileHasContent(folder.Win("abc.bin").c_str(), 3, abc.sha256, nullptr));
    EXPECT_FALSE(FileHasContent(folder.Win("abc.bin").c_str(), 4, abc.sha256, nullptr));
    EXPECT_FALSE(FileHasContent(part.c_str(), -1, abc.sha256, nullptr));
    EXPECT_FALSE(FileHasContent(folder.Win("none.bin").c_str(), -1, abc.sha256, nullptr));

    // A missing file is created empty.
    file = PfFileOpenAlways(folder.Win("new.part").c_str(), &error);
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(kPfErrorNone, error);
    EXPECT_EQ(0, PfFileSeekEnd(file));
    PfFileClose(file);
    EXPECT_EQ(nullptr, PfFileOpenForReading(folder.Win("none.bin").c_str(), &error));
    EXPECT_EQ(kPfErrorPathNotFound, error);

    // The rename replaces the old file; a folder in the way is refused.
    ASSERT_TRUE(PfFileMoveReplacing(part.c_str(), final.c_str(), &error));
    EXPECT_EQ("abcdef", supporttest::ReadWholeFile(folder.Native("f.bin")));
    EXPECT_FALSE(supporttest::PathExists(folder.Native("f.bin.part")));
    ASSERT_TRUE(FsCreateFolder(folder.Win("dir").c_str()));
    EXPECT_FALSE(PfFileMoveReplacing(final.c_str(), folder.Win("dir").c_str(), &error));
    EXPECT_EQ(kPfErrorAccessDenied, error);
    EXPECT_EQ("abcdef", supporttest::ReadWholeFile(folder.Native("f.bin")));
    EXPECT_FALSE(PfFileMoveReplacing(part.c_str(), final.c_str(), &error));
    EXPECT_EQ(kPfErrorPathNotFound, error);
}

TEST(JobNames, TheFragmentIsNoPartOfTheNameAndItsHashAndSizeReachTheEntry) {
    const std::string h = kAbcHex;
    const std::string folder = "C:\\Games\\";
    struct Case {
        std::string url;
        int64_t hostSize;
        int32_t result;
        const char* name;
        int64_t size;
    };
    const Case cases[] = {
        {"http://h/a.bin#sha256=" + h, -1, SF_RESULT_OK, "a.bin", -1},
        {"http://h/b.bin#sha256=" + h + "&size=3", -1, SF_RESULT_OK, "b.bin", 3},
        {"http://h/c.bin#sha256=" + h + "&size=3", 3, SF_RESULT_OK, "c.bin", 3},
        {"http://h/d.bin#sha256=" + h + "&size=3", 4, SF_RESULT_NO_URL, "", 0},
        {"http://h/e.bin#x/y.bin", -1, SF_RESULT_OK, "e.bin", -1},
        {"http://h/f.bin#sha256=" + h + "|http://m/f.bin", -1, SF_RESULT_OK, "f.bin", -1},
        {"http://h/g.bin#sha256=" + h + "|http://m/G.bin", -1, SF_RESULT_NO_URL, "", 0},
        {"http://h/h.bin#sha256=" + h + "|http://m/h.bin#sha256=" + std::string(kEmptyHex), -1,
         SF_RESULT_NO_URL, "", 0},
        {"http://h/i.bin#sha256=xyz", -1, SF_RESULT_NO_URL, "", 0},
        {"http://h/#sha256=" + h, -1, SF_RESULT_NO_URL, "", 0},
        {"http://h/con#sha256=" + h, -1, SF_RESULT_NO_URL, "", 0},
    };
    CJob job(1, 0, HostTarget());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const int32_t before = job.EntryCount();
        EXPECT_EQ(c.result, job.AddFile(c.url.c_str(), folder.c_str(), nullptr, c.hostSize, 0, 0));
        if (c.result != SF_RESULT_OK) {
            EXPECT_EQ(before, job.EntryCount());
            continue;
        }
        const DownloadEntry* entry = job.EntryAt(before);
        ASSERT_NE(nullptr, entry);
        EXPECT_STREQ(c.name, entry->fileName.CStr());
        EXPECT_EQ(c.url, entry->urlList.CStr()) << "the URL list is kept as given";
        EXPECT_EQ(c.size, entry->size);
        EXPECT_EQ(c.url.find("sha256=") != std::string::npos, entry->hasSha256);
        if (entry->hasSha256) {
            EXPECT_EQ(h, Hex(entry->sha256, sizeof entry->sha256));
        }
    }
    EXPECT_TRUE(job.HasRefusedFile());

    // Folder, name and ".part" together stay below the path limit.
    CJob bounded(2, 0, HostTarget());
    const size_t room = kJobPathSize - 1 - folder.size() - kPartFileSuffixLength;
    for (size_t extra = 0; extra <= kPartFileSuffixLength; ++extra) {
        const std::string url = "http://h/" + std::string(room + extra, 'n') + "#sha256=" + h;
        EXPECT_EQ(extra == 0 ? SF_RESULT_OK : SF_RESULT_NO_URL,
                  bounded.AddFile(url.c_str(), folder.c_str(), nullptr, -1, 0, 0))
            << extra;
    }
}

}  // namespace
