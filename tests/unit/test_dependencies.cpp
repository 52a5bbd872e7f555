// Proves that the third-party libraries really link into this target and
// work: zlib's raw deflate, the LZMA SDK's 7z decoder on an archive made by
// the real 7z tool, and OpenSSL's TLS start-up.
#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <zlib.h>

extern "C" {
#include "7z.h"
#include "7zAlloc.h"
#include "7zCrc.h"
}

#include "sdk/download/extract/SevenZipMemoryStream.h"
#include "support/TestData.h"

namespace {

std::vector<unsigned char> RawDeflate(const std::vector<unsigned char>& in) {
    z_stream z;
    memset(&z, 0, sizeof z);
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<unsigned char> out(deflateBound(&z, in.size()));
    z.next_in = const_cast<unsigned char*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

TEST(Zlib, RawDeflateRoundTripAndCrc) {
    std::vector<unsigned char> data(200000);
    std::mt19937 rng(7);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i % 251 < 100 ? 'a' + i % 7 : rng());
    std::vector<unsigned char> packed = RawDeflate(data);
    ASSERT_LT(packed.size(), data.size());
    // A raw stream has no zlib header: inflating it as zlib must fail.
    ASSERT_NE(packed[0] & 0x0F, 8);

    z_stream z;
    memset(&z, 0, sizeof z);
    ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
    std::vector<unsigned char> back(data.size());
    z.next_in = packed.data();
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = back.data();
    z.avail_out = static_cast<uInt>(back.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.total_out, data.size());
    inflateEnd(&z);
    EXPECT_EQ(back, data);

    // CRC-32 of "123456789" is the standard check value.
    EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>("123456789"), 9), 0xCBF43926u);
}

std::string NameOf(const CSzArEx* db, UInt32 i) {
    size_t len = SzArEx_GetFileNameUtf16(db, i, nullptr);
    std::vector<UInt16> wide(len);
    SzArEx_GetFileNameUtf16(db, i, wide.data());
    std::string name;
    for (size_t k = 0; k + 1 < len; ++k)
        name += static_cast<char>(wide[k]);  // ASCII names
    return name;
}

// The test archive made by the 7z tool; empty when it is missing.
std::vector<unsigned char> SampleArchive() {
    bool ok = false;
    std::vector<unsigned char> archive = sftest::ReadFile(sftest::DataPath("sample.7z"), &ok);
    EXPECT_TRUE(ok) << "sample.7z missing: " << sftest::DataPath("sample.7z");
    return ok ? archive : std::vector<unsigned char>();
}

// The SDK's archive database read through a look-ahead stream over bytes in
// memory, freed on the way out.
struct SevenZipReader {
    explicit SevenZipReader(const std::vector<unsigned char>& archive) : lookBuf(1 << 16) {
        CrcGenerateTable();
        SevenZipMemoryStreamInit(mem, archive.data(), archive.size(), nullptr);
        LookToRead2_CreateVTable(&look, False);
        look.buf = lookBuf.data();
        look.bufSize = lookBuf.size();
        look.realStream = &mem.vt;
        LookToRead2_INIT(&look);
        SzArEx_Init(&db);
    }
    ~SevenZipReader() { SzArEx_Free(&db, &alloc); }
    SevenZipReader(const SevenZipReader&) = delete;
    SevenZipReader& operator=(const SevenZipReader&) = delete;

    SRes Open() { return SzArEx_Open(&db, &look.vt, &alloc, &allocTemp); }

    const ISzAlloc alloc = {SzAlloc, SzFree};
    const ISzAlloc allocTemp = {SzAllocTemp, SzFreeTemp};
    SevenZipMemoryStream mem;
    CLookToRead2 look;
    std::vector<Byte> lookBuf;
    CSzArEx db;
};

TEST(LzmaSdk, Opens7zArchiveMadeByTheTool) {
    const std::vector<unsigned char> archive = SampleArchive();
    ASSERT_FALSE(archive.empty());
    SevenZipReader reader(archive);
    ASSERT_EQ(reader.Open(), SZ_OK);
    const CSzArEx* db = &reader.db;
    ASSERT_EQ(db->NumFiles, 3u);

    UInt32 blockIndex = 0xFFFFFFFF;
    Byte* outBuffer = nullptr;
    size_t outBufferSize = 0;
    int checked = 0;
    for (UInt32 i = 0; i < db->NumFiles; ++i) {
        if (SzArEx_IsDir(db, i))
            continue;
        size_t offset = 0, processed = 0;
        ASSERT_EQ(SzArEx_Extract(db, &reader.look.vt, i, &blockIndex, &outBuffer, &outBufferSize,
                                 &offset, &processed, &reader.alloc, &reader.allocTemp),
                  SZ_OK);
        std::string name = NameOf(db, i);
        bool ok = false;
        std::vector<unsigned char> expected =
            sftest::ReadFile(sftest::DataPath("plain/" + name), &ok);
        ASSERT_TRUE(ok) << name;
        ASSERT_EQ(processed, expected.size()) << name;
        EXPECT_TRUE(processed == 0 || memcmp(outBuffer + offset, expected.data(), processed) == 0)
            << name;
        ++checked;
    }
    EXPECT_EQ(checked, 3);
    ISzAlloc_Free(&reader.alloc, outBuffer);
}

TEST(LzmaSdk, RejectsTruncatedArchive) {
    std::vector<unsigned char> archive = SampleArchive();
    ASSERT_FALSE(archive.empty());
    archive.resize(archive.size() / 2);
    SevenZipReader reader(archive);
    EXPECT_NE(reader.Open(), SZ_OK);
}

TEST(OpenSsl, InitialisesAndMakesClientContext) {
    ASSERT_EQ(OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS, nullptr), 1);
    EXPECT_GE(OpenSSL_version_num(), 0x30000000UL);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    ASSERT_NE(ctx, nullptr);
    SSL* ssl = SSL_new(ctx);
    ASSERT_NE(ssl, nullptr);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_set_connect_state(ssl);
    // With nothing to read the handshake waits, after writing a ClientHello.
    EXPECT_EQ(SSL_get_error(ssl, SSL_do_handshake(ssl)), SSL_ERROR_WANT_READ);
    EXPECT_GT(BIO_pending(out), 0);
    char first = 0;
    ASSERT_EQ(BIO_read(out, &first, 1), 1);
    EXPECT_EQ(first, 0x16);  // a TLS handshake record
    SSL_free(ssl);
    SSL_CTX_free(ctx);
}

}  // namespace
