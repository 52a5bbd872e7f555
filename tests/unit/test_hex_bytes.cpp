// Bytes to hex digits and back: lower-case digits out, either case in, and
// every length or digit that is not one refused.

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

#include "sdk/support/HexBytes.h"

namespace {

TEST(HexBytes, BytesToHexWritesLowerCaseDigitsAndANul) {
    const struct {
        std::string bytes;
        const char* hex;
    } cases[] = {
        {"", ""},
        {std::string(1, '\0'), "00"},
        {"\x01\x23\x45\x67\x89\xab\xcd\xef", "0123456789abcdef"},
        {"\xff\x10\x0f", "ff100f"},
    };
    for (const auto& c : cases) {
        char out[32];
        memset(out, 'x', sizeof out);
        BytesToHex(c.bytes.data(), c.bytes.size(), out);
        EXPECT_STREQ(c.hex, out);
        EXPECT_EQ('x', out[2 * c.bytes.size() + 1]) << "wrote past its NUL";
    }
}

TEST(HexBytes, EveryByteValueComesBack) {
    uint8_t bytes[256];
    for (int i = 0; i < 256; ++i)
        bytes[i] = (uint8_t)i;
    char hex[2 * sizeof bytes + 1];
    BytesToHex(bytes, sizeof bytes, hex);
    uint8_t back[sizeof bytes];
    ASSERT_TRUE(HexToBytes(hex, strlen(hex), back, sizeof back));
    EXPECT_EQ(0, memcmp(bytes, back, sizeof bytes));
}

TEST(HexBytes, HexToBytesTakesEitherCaseAndRefusesTheRest) {
    const struct {
        const char* hex;
        size_t size;
        bool ok;
    } cases[] = {
        {"0aF9", 2, true},  {"0AF9", 2, true},      {"0af", 2, false}, {"0af90", 2, false},
        {"0ag9", 2, false}, {"0a 9", 2, false},     {"", 0, true},     {"-1", 1, false},
        {"0x", 1, false},   {"\xc3\xa9", 1, false},
    };
    for (const auto& c : cases) {
        uint8_t out[4] = {};
        EXPECT_EQ(c.ok, HexToBytes(c.hex, strlen(c.hex), out, c.size)) << '"' << c.hex << '"';
        if (c.ok && c.size == 2) {
            EXPECT_EQ(0x0a, out[0]);
            EXPECT_EQ(0xf9, out[1]);
        }
    }
    EXPECT_FALSE(HexToBytes(nullptr, 0, nullptr, 0));
}

}  // namespace
