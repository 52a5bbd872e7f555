#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "opn/core/ovCString.h"
#include "opn/opeerqos/utCUriCodec.h"

namespace {

const ResultCode kOk = 0x40600000u;
const ResultCode kFail = 0x80600000u;

// Runs the codec the way callers do: once for the length, once into an
// exactly sized buffer followed by guard bytes that must stay untouched.
std::string Run(bool encode, const std::string& in) {
    utCUriCodec codec;
    uint32_t length = 0xDEAD;
    ResultCode rc = encode ? codec.Encode(in.c_str(), nullptr, &length)
                           : codec.Decode(in.c_str(), nullptr, &length);
    EXPECT_EQ(kOk, rc) << in;
    if (rc != kOk)
        return "<failed>";
    std::vector<char> buffer(static_cast<size_t>(length) + 1 + 8, '#');
    uint32_t second = 0;
    rc = encode ? codec.Encode(in.c_str(), buffer.data(), &second)
                : codec.Decode(in.c_str(), buffer.data(), &second);
    EXPECT_EQ(kOk, rc);
    EXPECT_EQ(length, second);
    EXPECT_EQ('\0', buffer[length]);
    for (size_t i = static_cast<size_t>(length) + 1; i < buffer.size(); ++i)
        EXPECT_EQ('#', buffer[i]) << "written past the end at " << i;
    return std::string(buffer.data(), length);
}

std::string Encode(const std::string& in) {
    return Run(true, in);
}

std::string Decode(const std::string& in) {
    return Run(false, in);
}

// The text in a heap block of exactly strlen + 1 bytes, so that AddressSanitizer
// reports any read past the terminator.
struct ExactCopy {
    explicit ExactCopy(const char* text) : size(strlen(text) + 1) {
        data = static_cast<char*>(malloc(size));
        memcpy(data, text, size);
    }
    ~ExactCopy() { free(data); }
    ExactCopy(const ExactCopy&) = delete;
    ExactCopy& operator=(const ExactCopy&) = delete;
    size_t size;
    char* data;
};

}  // namespace

TEST(UriCodecEncode, ExamplesFromTheProtocol) {
    EXPECT_EQ("a%20b%2Fc.txt", Encode("a b/c.txt"));
    EXPECT_EQ("%EA", Encode("\xEA"));
    EXPECT_EQ("%2520", Encode("%20"));  // an encoded value is encoded again
}

TEST(UriCodecEncode, KeepsOnlyLettersDigitsAndSixMarks) {
    const std::string kept = "*+-.@_";
    for (int c = 1; c < 256; ++c) {
        SCOPED_TRACE(c);
        const std::string in(1, static_cast<char>(c));
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || kept.find(static_cast<char>(c)) != kept.npos;
        if (keep) {
            EXPECT_EQ(in, Encode(in));
        } else {
            char expected[4];
            snprintf(expected, sizeof(expected), "%%%02X", c);
            EXPECT_EQ(expected, Encode(in));
        }
    }
    // A few that other encoders keep but this one does not.
    EXPECT_EQ("%7E%21%27%28%29%3D%26%3F%23%3A%2C%3B%25", Encode("~!'()=&?#:,;%"));
}

TEST(UriCodecEncode, NullOrEmptyInputFailsAndWritesNothing) {
    utCUriCodec codec;
    uint32_t length = 77;
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(kFail, codec.Encode(nullptr, out, &length));
    EXPECT_EQ(kFail, codec.Encode("", out, &length));
    EXPECT_EQ(77u, length);
    EXPECT_EQ('x', out[0]);
}

TEST(UriCodecEncode, LengthAndOutputAreEachOptional) {
    utCUriCodec codec;
    uint32_t length = 0;
    EXPECT_EQ(kOk, codec.Encode("a b", nullptr, &length));
    EXPECT_EQ(5u, length);
    char out[6];
    EXPECT_EQ(kOk, codec.Encode("a b", out, nullptr));
    EXPECT_STREQ("a%20b", out);
    EXPECT_EQ(kOk, codec.Encode("a b", nullptr, nullptr));
}

TEST(UriCodecDecode, ExamplesFromTheProtocol) {
    EXPECT_EQ("A%2x%4", Decode("%41%2x%4"));
    EXPECT_EQ("a+b", Decode("a+b"));
}

TEST(UriCodecDecode, HexDigitsInEitherCase) {
    EXPECT_EQ("JJ", Decode("%4a%4A"));
    EXPECT_EQ("\xEA\xB0\x80", Decode("%EA%b0%80"));
    EXPECT_EQ("a b", Decode("a%20b"));
}

TEST(UriCodecDecode, BadPercentSequencesAreCopied) {
    EXPECT_EQ("%", Decode("%"));
    EXPECT_EQ("%4", Decode("%4"));
    EXPECT_EQ("ab%", Decode("ab%"));
    EXPECT_EQ("ab%F", Decode("ab%F"));
    EXPECT_EQ("%G1", Decode("%G1"));
    EXPECT_EQ("%1G", Decode("%1G"));
    EXPECT_EQ("% 1", Decode("% 1"));
    // The copied '%' does not swallow what follows: a good triple after it
    // still decodes.
    EXPECT_EQ("%A", Decode("%%41"));
    EXPECT_EQ("%4A", Decode("%4%41"));
    EXPECT_EQ("%%%", Decode("%%%"));
    // A decoded '%' is not decoded again.
    EXPECT_EQ("%41", Decode("%2541"));
}

TEST(UriCodecDecode, NeverReadsPastTheTerminator) {
    const char* const inputs[] = {"%", "%4", "x%", "x%4", "%4%", "%%", "abc%e", "%41%"};
    for (const char* input : inputs) {
        SCOPED_TRACE(input);
        ExactCopy copy(input);
        utCUriCodec codec;
        uint32_t length = 0;
        EXPECT_EQ(kOk, codec.Decode(copy.data, nullptr, &length));
        std::vector<char> out(copy.size);
        EXPECT_EQ(kOk, codec.Decode(copy.data, out.data(), &length));
        EXPECT_LE(length, copy.size - 1);
    }
}

TEST(UriCodecDecode, DecodedZeroEndsTheText) {
    EXPECT_EQ("ab", Decode("ab%00cd"));
    utCUriCodec codec;
    uint32_t length = 99;
    EXPECT_EQ(kOk, codec.Decode("%00", nullptr, &length));
    EXPECT_EQ(0u, length);
}

TEST(UriCodecDecode, NullOrEmptyInputFails) {
    utCUriCodec codec;
    uint32_t length = 5;
    char out[2] = {'x', 'x'};
    EXPECT_EQ(kFail, codec.Decode(nullptr, out, &length));
    EXPECT_EQ(kFail, codec.Decode("", out, &length));
    EXPECT_EQ(5u, length);
    EXPECT_EQ('x', out[0]);
}

TEST(UriCodecRoundTrip, EveryByteSurvivesEncodeThenDecode) {
    std::string all;
    for (int c = 1; c < 256; ++c)
        all.push_back(static_cast<char>(c));
    const std::string encoded = Encode(all);
    EXPECT_EQ(std::string::npos, encoded.find(' '));
    EXPECT_EQ(all, Decode(encoded));
}

TEST(UriCodecRoundTrip, VeryLongInput) {
    // 1 MiB of bytes that all need encoding, and as many that do not.
    const std::string spaces(1 << 20, ' ');
    const std::string encoded = Encode(spaces);
    ASSERT_EQ(3u * spaces.size(), encoded.size());
    EXPECT_EQ("%20%20", encoded.substr(encoded.size() - 6));
    EXPECT_EQ(spaces, Decode(encoded));

    const std::string letters(1 << 20, 'q');
    EXPECT_EQ(letters, Encode(letters));
    EXPECT_EQ(letters, Decode(letters));

    // A long run of lone percent signs is copied, not decoded.
    const std::string percents(1 << 16, '%');
    EXPECT_EQ(percents, Decode(percents));
}

TEST(UriCodecInPlace, EncodesAndDecodesAString) {
    ovCString text("my file/\xEA.zip");
    EXPECT_EQ(kOk, utCUriCodec::PercentEncodeInPlace(text));
    EXPECT_STREQ("my%20file%2F%EA.zip", text.CStr());
    EXPECT_EQ(kOk, utCUriCodec::PercentDecodeInPlace(text));
    EXPECT_STREQ("my file/\xEA.zip", text.CStr());
    EXPECT_EQ(13u, text.Length());

    ovCString location("http://h/a%20b");
    EXPECT_EQ(kOk, utCUriCodec::PercentDecodeInPlace(location));
    EXPECT_STREQ("http://h/a b", location.CStr());
}

TEST(UriCodecInPlace, EmptyTextStaysUnchanged) {
    ovCString text;
    EXPECT_EQ(kFail, utCUriCodec::PercentEncodeInPlace(text));
    EXPECT_EQ(kFail, utCUriCodec::PercentDecodeInPlace(text));
    EXPECT_TRUE(text.IsEmpty());
}

TEST(UriCodecInPlace, FailedAllocationLeavesTheTextAlone) {
    ovCString text("a b c d");
    ovCString::FailAllocationsForTest(1);
    const ResultCode rc = utCUriCodec::PercentEncodeInPlace(text);
    ovCString::FailAllocationsForTest(0);
    EXPECT_EQ(kFail, rc);
    EXPECT_STREQ("a b c d", text.CStr());
}

TEST(UriCodecInPlace, StopsAtAZeroInsideTheString) {
    ovCString text;
    ASSERT_TRUE(text.Assign("a b\0c d", 7));
    EXPECT_EQ(kOk, utCUriCodec::PercentEncodeInPlace(text));
    EXPECT_STREQ("a%20b", text.CStr());
    EXPECT_EQ(5u, text.Length());
}

TEST(UriCodecInPlace, DecodeOfADecodedZeroShortensTheString) {
    ovCString text("key%00tail");
    EXPECT_EQ(kOk, utCUriCodec::PercentDecodeInPlace(text));
    EXPECT_STREQ("key", text.CStr());
    EXPECT_EQ(3u, text.Length());
}

namespace {

std::string EncodeKeeping(const char* in) {
    utCUriCodec codec;
    uint32_t length = 0;
    if (OV_FAILED(codec.EncodeKeepingEscapes(in, nullptr, &length)))
        return "<failed>";
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '#');
    uint32_t second = 0;
    EXPECT_EQ(kOk, codec.EncodeKeepingEscapes(in, buffer.data(), &second));
    EXPECT_EQ(length, second);
    EXPECT_EQ('\0', buffer[length]);
    return std::string(buffer.data(), length);
}

TEST(UriCodecEncodeKeepingEscapes, CopiesEscapesAndEncodesEverythingElse) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"%2F%26%3D%2B%20", "%2F%26%3D%2B%20"},
        {"%2f%e2%82%ac", "%2f%e2%82%ac"},
        {"%00", "%00"},
        {"a b", "a%20b"},
        {"100%", "100%25"},
        {"%4", "%254"},
        {"%zz", "%25zz"},
        {"%%41", "%25%41"},
        {"/x:y", "%2Fx%3Ay"},
        {"\xC7\xD1", "%C7%D1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, EncodeKeeping(c.in)) << c.in;
    EXPECT_EQ("<failed>", EncodeKeeping(""));
    EXPECT_EQ("<failed>", EncodeKeeping(nullptr));
    // Plain Encode still encodes every '%'.
    EXPECT_EQ("%2520", Encode("%20"));
}

TEST(UriCodecControlBytes, EveryByteBelow0x20AndDelCounts) {
    for (int byte = 1; byte < 256; ++byte) {
        const char text[] = {'a', static_cast<char>(byte), 'b', '\0'};
        const bool control = byte < 0x20 || byte == 0x7F;
        EXPECT_EQ(control, utCUriCodec::HasControlBytes(text)) << byte;
        EXPECT_EQ(control && byte != '\t', utCUriCodec::HasControlBytes(text, '\t')) << byte;
    }
    EXPECT_FALSE(utCUriCodec::HasControlBytes(nullptr));
    EXPECT_FALSE(utCUriCodec::HasControlBytes(""));
}

}  // namespace
