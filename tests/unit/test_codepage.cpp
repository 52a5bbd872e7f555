#include <gtest/gtest.h>

#include <string>

#include "opn/core/ovCString.h"
#include "opn/platform/pfCodePage.h"

// The expected CP949 bytes were taken from iconv (UTF-8 to CP949) and are
// written as escapes; the UTF-8 side is plain source text.

namespace {

std::string Bytes(const ovCString& s) {
    return std::string(s.CStr(), s.Length());
}

ovCString Make(const std::string& bytes) {
    ovCString s;
    s.Assign(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return s;
}

std::string ToAnsi(const std::string& utf8) {
    ovCString out("stale");
    EXPECT_EQ(0x40200000u, Utf8ToAnsi(Make(utf8), out));
    return Bytes(out);
}

std::string ToUtf8(const std::string& ansi) {
    ovCString out("stale");
    EXPECT_EQ(0x40200000u, AnsiToUtf8(Make(ansi), out));
    return Bytes(out);
}

struct KoreanText {
    const char* utf8;
    const char* cp949;
};

const KoreanText kTexts[] = {
    {"다운로드", "\xb4\xd9\xbf\xee\xb7\xce\xb5\xe5"},
    {"돋움", "\xb5\xb8\xbf\xf2"},
    {"이미 다운로드가 진행 중 입니다.",
     "\xc0\xcc\xb9\xcc\x20\xb4\xd9\xbf\xee\xb7\xce\xb5\xe5\xb0\xa1\x20\xc1\xf8\xc7\xe0\x20\xc1"
     "\xdf\x20\xc0\xd4\xb4\xcf\xb4\xd9\x2e"},
    {"상기 주의사항과 게임 프로그램 다운로드, 설치에 동의합니다.",
     "\xbb\xf3\xb1\xe2\x20\xc1\xd6\xc0\xc7\xbb\xe7\xc7\xd7\xb0\xfa\x20\xb0\xd4\xc0\xd3\x20\xc7"
     "\xc1\xb7\xce\xb1\xd7\xb7\xa5\x20\xb4\xd9\xbf\xee\xb7\xce\xb5\xe5\x2c\x20\xbc\xb3\xc4\xa1"
     "\xbf\xa1\x20\xb5\xbf\xc0\xc7\xc7\xd5\xb4\xcf\xb4\xd9\x2e"},
    {"선택하신 경로는 사용하실 수 없습니다.",
     "\xbc\xb1\xc5\xc3\xc7\xcf\xbd\xc5\x20\xb0\xe6\xb7\xce\xb4\xc2\x20\xbb\xe7\xbf\xeb\xc7\xcf"
     "\xbd\xc7\x20\xbc\xf6\x20\xbe\xf8\xbd\xc0\xb4\xcf\xb4\xd9\x2e"},
    // Outside KS X 1001: only the Unified Hangul Code extension has it.
    {"똠방각하", "\x8c\x63\xb9\xe6\xb0\xa2\xc7\xcf"},
};

}  // namespace

TEST(CodePageSystem, AnsiCodePageIs949) {
    // On Windows this needs the Korean locale (the tests run Wine with
    // LC_ALL=ko_KR.UTF-8); POSIX always uses CP949.
    EXPECT_EQ(949u, CodePageAnsi());
}

TEST(CodePageKorean, Utf8ToAnsiGivesCp949Bytes) {
    for (const KoreanText& text : kTexts) {
        EXPECT_EQ(text.cp949, ToAnsi(text.utf8)) << text.utf8;
    }
}

TEST(CodePageKorean, AnsiToUtf8GivesUtf8Bytes) {
    for (const KoreanText& text : kTexts) {
        EXPECT_EQ(text.utf8, ToUtf8(text.cp949)) << text.utf8;
    }
}

TEST(CodePageKorean, RoundTripOfLongText) {
    std::string utf8;
    std::string cp949;
    for (int i = 0; i < 300; ++i) {
        utf8 += kTexts[i % 6].utf8;
        cp949 += kTexts[i % 6].cp949;
    }
    ASSERT_EQ(cp949, ToAnsi(utf8));
    EXPECT_EQ(utf8, ToUtf8(cp949));
}

TEST(CodePageKorean, OutputMayBeInput) {
    ovCString s("다운로드");
    EXPECT_EQ(0x40200000u, Utf8ToAnsi(s, s));
    EXPECT_EQ("\xb4\xd9\xbf\xee\xb7\xce\xb5\xe5", Bytes(s));
    EXPECT_EQ(0x40200000u, AnsiToUtf8(s, s));
    EXPECT_EQ("다운로드", Bytes(s));
}

TEST(CodePageAscii, EveryAsciiByteIsKept) {
    // Includes '\\' and '~', which some East Asian code pages remap.
    std::string ascii;
    for (int b = 1; b < 0x80; ++b) {
        ascii += static_cast<char>(b);
    }
    EXPECT_EQ(ascii, ToAnsi(ascii));
    EXPECT_EQ(ascii, ToUtf8(ascii));
}

TEST(CodePageAscii, EmptyAndZeroBytes) {
    EXPECT_EQ("", ToAnsi(""));
    EXPECT_EQ("", ToUtf8(""));
    const std::string utf8("a\0다", 5);
    const std::string cp949("a\0\xb4\xd9", 4);
    EXPECT_EQ(cp949, ToAnsi(utf8));
    EXPECT_EQ(utf8, ToUtf8(cp949));
}

TEST(CodePageBadUtf8, EachBadByteBecomesQuestionMark) {
    EXPECT_EQ("?", ToAnsi("\xff"));
    EXPECT_EQ("a?b", ToAnsi("a\x80"
                            "b"));
    // Cut-off sequence: the first two bytes of a three-byte character.
    EXPECT_EQ("??", ToAnsi("\xeb\x8b"));
    EXPECT_EQ("\xb4\xd9??", ToAnsi("다\xeb\x8b"));
    // Overlong '/', an encoded surrogate, a code point above U+10FFFF.
    EXPECT_EQ("??", ToAnsi("\xc0\xaf"));
    EXPECT_EQ("???", ToAnsi("\xed\xa0\x80"));
    EXPECT_EQ("????", ToAnsi("\xf4\x90\x80\x80"));
    // Good text on both sides survives.
    EXPECT_EQ("\xb4\xd9?\xbf\xee", ToAnsi("다\xfe운"));
}

TEST(CodePageBadUtf8, MissingCharacterBecomesOneQuestionMark) {
    EXPECT_EQ("?", ToAnsi("é"));  // no best-fit 'e'
    EXPECT_EQ("?", ToAnsi("ก"));  // Thai
    EXPECT_EQ("?", ToAnsi("😀"));  // outside the BMP: one '?', not two
    EXPECT_EQ("a?b\xb4\xd9", ToAnsi("a😀b다"));
    EXPECT_EQ("?\xb4\xd9?", ToAnsi("é다ก"));
}

TEST(CodePageBadAnsi, EachBadByteBecomesQuestionMark) {
    EXPECT_EQ("?", ToUtf8("\xb4"));  // lead byte at the end
    EXPECT_EQ("a?", ToUtf8("a\xb4"));
    EXPECT_EQ("다?", ToUtf8("\xb4\xd9\xb4"));      // after a good pair
    EXPECT_EQ("? ", ToUtf8("\xb4\x20"));           // trail byte not allowed
    EXPECT_EQ("?\n다", ToUtf8("\xb4\n\xb4\xd9"));  // decoding resumes
    EXPECT_EQ("운?!", ToUtf8("\xbf\xee\xbf!"));    // '!' is no trail byte
}

TEST(CodePageBadAnsi, ResultCodeIsAlwaysPlatformSuccess) {
    ovCString out;
    EXPECT_EQ(0x40200000u, AnsiToUtf8(ovCString("\xff\xff\xff"), out));
    EXPECT_EQ(0x40200000u, Utf8ToAnsi(ovCString("\xff\xff\xff"), out));
    EXPECT_EQ("???", Bytes(out));
}

TEST(CodePageMemory, OutIsEmptyWhenNoBufferCanBeHad) {
    ovCString out("stale text");
    ovCString::FailAllocationsForTest(1);
    const ResultCode code = Utf8ToAnsi(ovCString("다운로드"), out);
    ovCString::FailAllocationsForTest(0);
    EXPECT_EQ(0x40200000u, code);
    EXPECT_TRUE(out.IsEmpty());

    out = "stale text";
    ovCString::FailAllocationsForTest(1);
    AnsiToUtf8(ovCString("\xb4\xd9\xbf\xee\xb7\xce\xb5\xe5"), out);
    ovCString::FailAllocationsForTest(0);
    EXPECT_TRUE(out.IsEmpty());
}
