#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <openssl/opensslconf.h>
#ifndef OPENSSL_NO_MD4
#include <openssl/md4.h>
#define SF_HAVE_OPENSSL_MD4 1
#endif

#include "opn/core/ctCMD4.h"

namespace {

typedef std::vector<uint8_t> Bytes;

std::string Hex(const uint8_t* data, size_t n) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof(two), "%02x", data[i]);
        out += two;
    }
    return out;
}

std::string Hex(const Bytes& b) {
    return Hex(b.data(), b.size());
}

Bytes Md4(const void* data, size_t n) {
    ctCMD4 md4;
    Bytes out(kMd4DigestSize);
    EXPECT_TRUE(md4.Update(data ? data : "", static_cast<int64_t>(n)));
    EXPECT_TRUE(md4.Final(out.data()));
    return out;
}

Bytes Md4(const std::string& s) {
    return Md4(s.data(), s.size());
}

Bytes RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (uint8_t& b : out)
        b = static_cast<uint8_t>(rng());
    return out;
}

#ifdef SF_HAVE_OPENSSL_MD4
// The low-level MD4 calls are deprecated in OpenSSL 3 but still the simplest
// independent reference.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
Bytes OpenSslMd4(const uint8_t* data, size_t n) {
    MD4_CTX ctx;
    Bytes out(MD4_DIGEST_LENGTH);
    MD4_Init(&ctx);
    MD4_Update(&ctx, data, n);
    MD4_Final(out.data(), &ctx);
    return out;
}
#pragma GCC diagnostic pop
#endif

// The reference digest for the hash-list tests: OpenSSL where it offers MD4,
// otherwise this hasher used in one shot.
Bytes ReferenceMd4(const uint8_t* data, size_t n) {
#ifdef SF_HAVE_OPENSSL_MD4
    return OpenSslMd4(data, n);
#else
    return Md4(data, n);
#endif
}

// The hash list built piece by piece on its own, for comparison.
Bytes HashList(const Bytes& data) {
    const size_t piece = 1048576;
    Bytes list;
    for (size_t offset = 0; offset < data.size(); offset += piece) {
        size_t n = data.size() - offset < piece ? data.size() - offset : piece;
        Bytes d = ReferenceMd4(data.data() + offset, n);
        list.insert(list.end(), d.begin(), d.end());
    }
    Bytes last = ReferenceMd4(list.data(), list.size());
    list.insert(list.end(), last.begin(), last.end());
    return list;
}

bool Verify(const Bytes& expected, const Bytes& data) {
    return VerifyChunkedMd4(expected.data(), expected.size(), data.data(),
                            static_cast<int64_t>(data.size()));
}

}  // namespace

TEST(Md4Digest, Rfc1320TestSuite) {
    struct Vector {
        const char* message;
        const char* digest;
    };
    const Vector vectors[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {"message digest", "d9130a8164549fe818874806e1c7014b"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "043f8582f241db351ce627e153e7f0e4"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
         "0",
         "e33b4ddc9c38f2199c3e7b164fcc0536"},
    };
    for (const Vector& v : vectors)
        EXPECT_EQ(v.digest, Hex(Md4(std::string(v.message)))) << '"' << v.message << '"';
}

TEST(Md4Digest, UpdateRefusesNullDataAndNegativeLength) {
    ctCMD4 md4;
    const char abc[] = "abc";
    EXPECT_FALSE(md4.Update(nullptr, 0));
    EXPECT_FALSE(md4.Update(nullptr, 3));
    EXPECT_FALSE(md4.Update(abc, -1));
    EXPECT_FALSE(md4.Update(abc, INT64_MIN));
    EXPECT_TRUE(md4.Update(abc, 0));
    uint8_t out[16];
    ASSERT_TRUE(md4.Final(out));
    EXPECT_EQ("31d6cfe0d16ae931b73c59d7e0c089c0", Hex(out, 16));  // nothing was added

    EXPECT_TRUE(md4.Update(abc, 2));
    EXPECT_FALSE(md4.Update(nullptr, 1));
    EXPECT_FALSE(md4.Update(abc, -5));
    EXPECT_TRUE(md4.Update(abc + 2, 0));
    EXPECT_TRUE(md4.Update(abc + 2, 1));
    ASSERT_TRUE(md4.Final(out));
    EXPECT_EQ("a448017aaf21d8525fc10ae87aa6729d", Hex(out, 16));
}

TEST(Md4Digest, FinalRefusesNullAndKeepsTheState) {
    ctCMD4 md4;
    EXPECT_TRUE(md4.Update("ab", 2));
    EXPECT_FALSE(md4.Final(nullptr));
    EXPECT_TRUE(md4.Update("c", 1));
    uint8_t out[16];
    ASSERT_TRUE(md4.Final(out));
    EXPECT_EQ("a448017aaf21d8525fc10ae87aa6729d", Hex(out, 16));
}

TEST(Md4Digest, FinalStartsOverAndResetForgets) {
    ctCMD4 md4;
    uint8_t out[16];
    md4.Update("abc", 3);
    md4.Final(out);
    md4.Update("abc", 3);
    ASSERT_TRUE(md4.Final(out));
    EXPECT_EQ("a448017aaf21d8525fc10ae87aa6729d", Hex(out, 16));

    md4.Update("garbage", 7);
    md4.Reset();
    md4.Update("a", 1);
    ASSERT_TRUE(md4.Final(out));
    EXPECT_EQ("bde52cb31de33e46245e05fbdbd6fb24", Hex(out, 16));
}

// Every split of messages around the block and padding edges gives the
// one-shot digest, whether the buffer is partly filled or not.
TEST(Md4Digest, SplitAtEveryOffsetMatchesOneShot) {
    const size_t lengths[] = {55, 56, 63, 64, 65, 119, 120, 128, 200};
    for (size_t length : lengths) {
        Bytes data = RandomBytes(length, static_cast<uint32_t>(length));
        const Bytes whole = Md4(data.data(), data.size());
        for (size_t cut = 0; cut <= length; ++cut) {
            ctCMD4 md4;
            ASSERT_TRUE(md4.Update(data.data(), static_cast<int64_t>(cut)));
            ASSERT_TRUE(md4.Update(data.data() + cut, static_cast<int64_t>(length - cut)));
            Bytes out(16);
            md4.Final(out.data());
            EXPECT_EQ(Hex(whole), Hex(out)) << "length " << length << " cut " << cut;
        }
        for (size_t first = 1; first < 64 && first < length; first += 7) {
            // Three pieces: a partial block, then a run that spans whole blocks.
            for (size_t second = 0; first + second <= length; second += 13) {
                ctCMD4 md4;
                md4.Update(data.data(), static_cast<int64_t>(first));
                md4.Update(data.data() + first, static_cast<int64_t>(second));
                md4.Update(data.data() + first + second,
                           static_cast<int64_t>(length - first - second));
                Bytes out(16);
                md4.Final(out.data());
                EXPECT_EQ(Hex(whole), Hex(out)) << length << ": " << first << "+" << second;
            }
        }
        ctCMD4 byteByByte;
        for (size_t i = 0; i < length; ++i)
            byteByByte.Update(&data[i], 1);
        Bytes out(16);
        byteByByte.Final(out.data());
        EXPECT_EQ(Hex(whole), Hex(out)) << "byte by byte, length " << length;
    }
}

#ifdef SF_HAVE_OPENSSL_MD4
TEST(Md4Digest, SameAsOpenSslOnRandomData) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n)
        lengths.push_back(n);
    const size_t large[] = {1000, 4095, 4096, 65536, 65537, 1048576 + 13};
    lengths.insert(lengths.end(), std::begin(large), std::end(large));
    for (size_t n : lengths) {
        Bytes data = RandomBytes(n, static_cast<uint32_t>(n * 31 + 7));
        EXPECT_EQ(Hex(OpenSslMd4(data.data(), n)), Hex(Md4(data.data(), n))) << n;
    }
    // Odd-sized updates over a larger buffer.
    Bytes data = RandomBytes(300000, 99);
    ctCMD4 md4;
    std::mt19937 rng(5);
    for (size_t offset = 0; offset < data.size();) {
        size_t n = rng() % 5000;
        if (n > data.size() - offset)
            n = data.size() - offset;
        md4.Update(data.data() + offset, static_cast<int64_t>(n));
        offset += n;
    }
    Bytes out(16);
    md4.Final(out.data());
    EXPECT_EQ(Hex(OpenSslMd4(data.data(), data.size())), Hex(out));
}
#endif

TEST(ChunkedMd4, EmptyDataIsTheDigestOfNothing) {
    const Bytes empty;
    const Bytes list = HashList(empty);
    ASSERT_EQ(16u, list.size());
    EXPECT_EQ("31d6cfe0d16ae931b73c59d7e0c089c0", Hex(list));
    EXPECT_TRUE(VerifyChunkedMd4(list.data(), list.size(), nullptr, 0));
    uint8_t dummy = 0;
    EXPECT_TRUE(VerifyChunkedMd4(list.data(), list.size(), &dummy, 0));
    Bytes longer(17, 0);
    memcpy(longer.data(), list.data(), 16);
    EXPECT_FALSE(VerifyChunkedMd4(longer.data(), longer.size(), nullptr, 0));
}

TEST(ChunkedMd4, HundredBytesIsOnePiece) {
    const Bytes data = RandomBytes(100, 1);
    const Bytes plain = ReferenceMd4(data.data(), data.size());
    const Bytes list = HashList(data);
    ASSERT_EQ(32u, list.size());
    EXPECT_EQ(Hex(plain), Hex(Bytes(list.begin(), list.begin() + 16)));
    EXPECT_EQ(Hex(ReferenceMd4(plain.data(), 16)), Hex(Bytes(list.begin() + 16, list.end())));

    EXPECT_TRUE(Verify(plain, data));  // 16 bytes: the data's plain MD4
    EXPECT_TRUE(Verify(list, data));
    Bytes tooLong = list;
    tooLong.push_back(0);
    EXPECT_FALSE(Verify(tooLong, data));
}

TEST(ChunkedMd4, PieceCountsAroundOneMebibyte) {
    struct Case {
        size_t length;
        size_t pieces;
    };
    const Case cases[] = {
        {1048575, 1}, {1048576, 1}, {1048577, 2}, {2097152, 2}, {3145728, 3},
    };
    for (const Case& c : cases) {
        const Bytes data = RandomBytes(c.length, static_cast<uint32_t>(c.length));
        const Bytes list = HashList(data);
        ASSERT_EQ((c.pieces + 1) * 16, list.size()) << c.length;
        EXPECT_TRUE(Verify(list, data)) << c.length;
        Bytes tooLong = list;
        tooLong.push_back(list[0]);
        EXPECT_FALSE(Verify(tooLong, data)) << c.length;
    }
}

TEST(ChunkedMd4, TwoMebibytesListIsTwoPiecesThenTheirDigest) {
    const Bytes data = RandomBytes(2097152, 2);
    const Bytes first = ReferenceMd4(data.data(), 1048576);
    const Bytes second = ReferenceMd4(data.data() + 1048576, 1048576);
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    Bytes expected = both;
    const Bytes last = ReferenceMd4(both.data(), both.size());
    expected.insert(expected.end(), last.begin(), last.end());
    EXPECT_TRUE(Verify(expected, data));

    // Prefixes of the list match; one flipped byte does not. Lengths and
    // positions at the edges of each of the three digests.
    const size_t edges[] = {0, 1, 15, 16, 17, 31, 32, 33, 47, 48};
    for (size_t n : edges) {
        Bytes prefix(expected.begin(), expected.begin() + n);
        EXPECT_TRUE(Verify(prefix, data)) << n;
    }
    const size_t positions[] = {0, 7, 15, 16, 24, 31, 32, 40, 47};
    for (size_t i : positions) {
        Bytes flipped = expected;
        flipped[i] ^= 0x01;
        EXPECT_FALSE(Verify(flipped, data)) << i;
    }
}

TEST(ChunkedMd4, ChangedDataByteFailsWhereTheListCoversIt) {
    Bytes data = RandomBytes(3145728, 3);
    const Bytes list = HashList(data);
    data[1048576 + 500] ^= 0x80;  // inside the second piece
    EXPECT_FALSE(Verify(list, data));
    // The first piece's digest alone still matches.
    EXPECT_TRUE(Verify(Bytes(list.begin(), list.begin() + 16), data));
    EXPECT_FALSE(Verify(Bytes(list.begin(), list.begin() + 17), data));
    data[1048576 + 500] ^= 0x80;
    data.back() ^= 0x01;
    EXPECT_FALSE(Verify(list, data));
    EXPECT_TRUE(Verify(Bytes(list.begin(), list.begin() + 32), data));
}

TEST(ChunkedMd4, BadArgumentsNeverMatch) {
    const Bytes data = RandomBytes(100, 4);
    const Bytes list = HashList(data);
    EXPECT_FALSE(VerifyChunkedMd4(list.data(), list.size(), nullptr, 100));
    EXPECT_FALSE(VerifyChunkedMd4(list.data(), list.size(), data.data(), -1));
    EXPECT_FALSE(VerifyChunkedMd4(nullptr, 16, data.data(), 100));
    // Shorter by one than the data: a different piece digest.
    EXPECT_FALSE(VerifyChunkedMd4(list.data(), list.size(), data.data(), 99));
}

// An empty expected value has nothing to compare and so matches.
TEST(ChunkedMd4, EmptyExpectedValueMatches) {
    const Bytes data = RandomBytes(100, 5);
    EXPECT_TRUE(VerifyChunkedMd4(nullptr, 0, data.data(), 100));
}
