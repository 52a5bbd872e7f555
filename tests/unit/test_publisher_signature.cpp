// The publisher signature check: RFC 8032 vectors, the flat call's answers
// for every kind of bad input, and the key switched off and on at run time.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "sdk/api/SwarmFetch.h"
#include "sdk/support/PublisherSignature.h"
#include "sdk/support/SignatureFile.h"

namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back((uint8_t)std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// RFC 8032, section 7.1, tests 1 and 2.
const char kRfcKey1[] = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
const char kRfcSig1[] =
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b4"
    "6bd25bf5f0595bbe24655141438e7a100b";
const char kRfcKey2[] = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";
const char kRfcSig2[] =
    "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d"
    "8c387b2eaeb4302aeeb00d291612bb0c00";

// A fresh key pair made by OpenSSL and a signature over `data` with it.
struct Signed {
    uint8_t publicKey[kPublisherKeySize];
    std::vector<uint8_t> data;
    std::vector<uint8_t> sig;
};

Signed SignWithFreshKey(const std::string& text) {
    Signed out;
    out.data.assign(text.begin(), text.end());
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* keygen = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EXPECT_NE(nullptr, keygen);
    EXPECT_EQ(1, EVP_PKEY_keygen_init(keygen));
    EXPECT_EQ(1, EVP_PKEY_keygen(keygen, &key));
    EVP_PKEY_CTX_free(keygen);
    size_t keySize = kPublisherKeySize;
    EXPECT_EQ(1, EVP_PKEY_get_raw_public_key(key, out.publicKey, &keySize));
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EXPECT_EQ(1, EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key));
    size_t sigSize = kPublisherSignatureSize;
    out.sig.resize(sigSize);
    EXPECT_EQ(1,
              EVP_DigestSign(context, out.sig.data(), &sigSize, out.data.data(), out.data.size()));
    EXPECT_EQ(kPublisherSignatureSize, sigSize);
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return out;
}

class PublisherSignatureTest : public ::testing::Test {
  protected:
    void TearDown() override { SetPublisherKeyForTesting(nullptr); }
};

}  // namespace

TEST_F(PublisherSignatureTest, ParsesOnlySixtyFourHexDigits) {
    uint8_t key[kPublisherKeySize];
    EXPECT_TRUE(ParsePublisherKeyHex(kRfcKey1, key));
    EXPECT_EQ(0xD7, key[0]);
    EXPECT_EQ(0x1A, key[31]);
    std::string upper = kRfcKey1;
    for (char& c : upper)
        c = (char)toupper((unsigned char)c);
    EXPECT_TRUE(ParsePublisherKeyHex(upper.c_str(), key));
    EXPECT_EQ(0xD7, key[0]);

    const std::string refused[] = {
        "",
        std::string(kRfcKey1).substr(0, 62),
        std::string(kRfcKey1) + "00",
        std::string(kRfcKey1).substr(0, 63) + "g",
        " " + std::string(kRfcKey1).substr(1),
        std::string(kRfcKey1).substr(0, 63) + "\n",
    };
    for (const std::string& hex : refused)
        EXPECT_FALSE(ParsePublisherKeyHex(hex.c_str(), key)) << "'" << hex << "'";
    EXPECT_FALSE(ParsePublisherKeyHex(nullptr, key));
}

TEST_F(PublisherSignatureTest, AcceptsTheRfcVectors) {
    uint8_t key[kPublisherKeySize];
    ASSERT_TRUE(ParsePublisherKeyHex(kRfcKey1, key));
    const std::vector<uint8_t> sig1 = FromHex(kRfcSig1);
    const uint8_t empty = 0;
    EXPECT_TRUE(VerifyEd25519Signature(key, &empty, 0, sig1.data(), sig1.size()));
    SetPublisherKeyForTesting(key);
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_VerifyPublisherSignature(&empty, 0, sig1.data(), 64));

    ASSERT_TRUE(ParsePublisherKeyHex(kRfcKey2, key));
    const std::vector<uint8_t> sig2 = FromHex(kRfcSig2);
    const uint8_t message = 0x72;
    EXPECT_TRUE(VerifyEd25519Signature(key, &message, 1, sig2.data(), sig2.size()));
    // The other vector's signature is not one by this key.
    EXPECT_FALSE(VerifyEd25519Signature(key, &empty, 0, sig1.data(), sig1.size()));
}

TEST_F(PublisherSignatureTest, FlatCallAnswersEveryCase) {
    const Signed good = SignWithFreshKey("http://cdn.example/a.pak#sha256=00&size=1\r\n");
    SetPublisherKeyForTesting(good.publicKey);
    const int32_t size = (int32_t)good.data.size();
    const void* data = good.data.data();
    const void* sig = good.sig.data();

    struct Case {
        const char* what;
        const void* data;
        int32_t size;
        const void* sig;
        int32_t sigSize;
        int32_t expected;
    };
    const Case cases[] = {
        {"valid", data, size, sig, 64, SF_RESULT_OK},
        {"one byte of data missing", data, size - 1, sig, 64, SF_RESULT_NO_URL},
        {"signature one byte short", data, size, sig, 63, SF_RESULT_NO_URL},
        {"signature one byte long", data, size, sig, 65, SF_RESULT_NO_URL},
        {"empty signature", data, size, sig, 0, SF_RESULT_NO_URL},
        {"negative signature size", data, size, sig, -64, SF_RESULT_NO_URL},
        {"negative size", data, -1, sig, 64, SF_RESULT_NO_URL},
        {"null data", nullptr, size, sig, 64, SF_RESULT_NO_URL},
        {"null data, size 0", nullptr, 0, sig, 64, SF_RESULT_NO_URL},
        {"null signature", data, size, nullptr, 64, SF_RESULT_NO_URL},
        {"signature as data", sig, 64, sig, 64, SF_RESULT_NO_URL},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, SwarmFetch_VerifyPublisherSignature(c.data, c.size, c.sig, c.sigSize))
            << c.what;

    // Every flipped bit of the data and of the signature is refused.
    std::vector<uint8_t> bytes = good.data;
    for (size_t bit = 0; bit < bytes.size() * 8; ++bit) {
        bytes[bit / 8] ^= (uint8_t)(1u << (bit % 8));
        EXPECT_EQ(SF_RESULT_NO_URL,
                  SwarmFetch_VerifyPublisherSignature(bytes.data(), size, sig, 64))
            << "data bit " << bit;
        bytes[bit / 8] ^= (uint8_t)(1u << (bit % 8));
    }
    std::vector<uint8_t> flipped = good.sig;
    for (size_t bit = 0; bit < flipped.size() * 8; ++bit) {
        flipped[bit / 8] ^= (uint8_t)(1u << (bit % 8));
        EXPECT_EQ(SF_RESULT_NO_URL,
                  SwarmFetch_VerifyPublisherSignature(data, size, flipped.data(), 64))
            << "signature bit " << bit;
        flipped[bit / 8] ^= (uint8_t)(1u << (bit % 8));
    }
    EXPECT_EQ(SF_RESULT_OK, SwarmFetch_VerifyPublisherSignature(data, size, sig, 64));

    // Another key's signature over the same bytes is refused.
    const Signed other = SignWithFreshKey("http://cdn.example/a.pak#sha256=00&size=1\r\n");
    EXPECT_EQ(SF_RESULT_NO_URL,
              SwarmFetch_VerifyPublisherSignature(data, size, other.sig.data(), 64));
    // A key that is no curve point validates nothing.
    uint8_t bogus[kPublisherKeySize];
    memset(bogus, 0xFF, sizeof bogus);
    SetPublisherKeyForTesting(bogus);
    EXPECT_EQ(SF_RESULT_NO_URL, SwarmFetch_VerifyPublisherSignature(data, size, sig, 64));
}

TEST_F(PublisherSignatureTest, WithoutKeyEveryCallAnswers517) {
    const Signed good = SignWithFreshKey("list");
    SetNoPublisherKeyForTesting();
    EXPECT_FALSE(PublisherKeyPresent());
    const int32_t size = (int32_t)good.data.size();
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_VerifyPublisherSignature(good.data.data(), size, good.sig.data(), 64));
    EXPECT_EQ(SF_RESULT_FAILED, SwarmFetch_VerifyPublisherSignature(nullptr, -1, nullptr, 3));
    SetPublisherKeyForTesting(good.publicKey);
    EXPECT_TRUE(PublisherKeyPresent());
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_VerifyPublisherSignature(good.data.data(), size, good.sig.data(), 64));
}

TEST_F(PublisherSignatureTest, CompiledInKeyIsWhatTheBuildSays) {
    // The default build has no key; a build with SF_PUBLISHER_KEY has one.
    SetPublisherKeyForTesting(nullptr);
#ifdef SF_TEST_PUBLISHER_KEY
    uint8_t key[kPublisherKeySize];
    EXPECT_EQ(ParsePublisherKeyHex(SF_TEST_PUBLISHER_KEY, key), PublisherKeyPresent());
#endif
    const uint8_t byte = 0;
    const uint8_t sig[64] = {};
    EXPECT_EQ(PublisherKeyPresent() ? SF_RESULT_NO_URL : SF_RESULT_FAILED,
              SwarmFetch_VerifyPublisherSignature(&byte, 1, sig, 64));
}

namespace {

// Keys that verify forged signatures, each with its sign bit clear and set:
// the identity, the point of order 2, the two of order 4, the four of order
// 8, and y = p and y = p + 1 (non-canonical forms of order 4 and 1).
const char* const kWeakKeys[] = {
    "0100000000000000000000000000000000000000000000000000000000000000",
    "0100000000000000000000000000000000000000000000000000000000000080",
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
    "0000000000000000000000000000000000000000000000000000000000000000",
    "0000000000000000000000000000000000000000000000000000000000000080",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
    "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
    "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
    "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
};

// OpenSSL's own answer for the forged signature R = identity, S = 0.
bool OpenSslTakesForgery(const uint8_t* publicKey, const uint8_t* data, size_t size) {
    uint8_t sig[kPublisherSignatureSize] = {1};
    EVP_PKEY* key =
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey, kPublisherKeySize);
    if (!key)
        return false;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool valid = EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1 &&
                       EVP_DigestVerify(context, sig, sizeof sig, data, size) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return valid;
}

}  // namespace

TEST_F(PublisherSignatureTest, SmallOrderAndNonCanonicalKeysAreRefused) {
    const uint8_t forged[kPublisherSignatureSize] = {1};
    for (const char* hex : kWeakKeys) {
        SCOPED_TRACE(hex);
        const std::vector<uint8_t> weak = FromHex(hex);
        // The danger is real: for one of a few data, OpenSSL verifies the
        // forgery (a point of order n does it for about one data in n).
        bool forgedOnce = false;
        uint8_t data[4] = {0, 1, 2, 3};
        for (int i = 0; i < 64 && !forgedOnce; ++i) {
            data[0] = (uint8_t)i;
            forgedOnce = OpenSslTakesForgery(weak.data(), data, sizeof data);
        }
        ASSERT_TRUE(forgedOnce) << "not a key OpenSSL is fooled by";

        EXPECT_FALSE(PublisherKeyIsUsable(weak.data()));
        uint8_t key[kPublisherKeySize];
        EXPECT_FALSE(ParsePublisherKeyHex(hex, key));
        EXPECT_FALSE(VerifyEd25519Signature(weak.data(), data, sizeof data, forged, sizeof forged));
        SetPublisherKeyForTesting(weak.data());
        EXPECT_EQ(SF_RESULT_NO_URL,
                  SwarmFetch_VerifyPublisherSignature(data, sizeof data, forged, sizeof forged));
    }
    // Every y from p to 2^255 - 1 is refused, with either sign bit; the
    // largest y below p is a key like any other.
    std::vector<uint8_t> y = FromHex(kWeakKeys[2]);
    for (int first = 0xed; first <= 0xff; ++first) {
        y[0] = (uint8_t)first;
        y[31] = 0x7f;
        EXPECT_FALSE(PublisherKeyIsUsable(y.data())) << first;
        y[31] = 0xff;
        EXPECT_FALSE(PublisherKeyIsUsable(y.data())) << first;
    }
    y[0] = 0xeb;
    y[31] = 0x7f;
    EXPECT_TRUE(PublisherKeyIsUsable(y.data()));
    uint8_t key[kPublisherKeySize];
    EXPECT_TRUE(ParsePublisherKeyHex(kRfcKey1, key));
    EXPECT_TRUE(PublisherKeyIsUsable(key));
}

#ifdef SF_TEST_CMAKE
TEST_F(PublisherSignatureTest, ConfigureRefusesTheSameKeys) {
    const auto configure = [](const std::string& key) {
        const std::string command = std::string("'") + SF_TEST_CMAKE +
                                    "' -DSF_PUBLISHER_KEY=" + key + " -P '" + SF_TEST_KEY_SCRIPT +
                                    "' >/dev/null 2>&1";
        return system(command.c_str());
    };
    for (const char* hex : kWeakKeys)
        EXPECT_NE(0, configure(hex)) << hex;
    std::string upper = kWeakKeys[7];
    for (char& c : upper)
        c = (char)toupper((unsigned char)c);
    EXPECT_NE(0, configure(upper));
    EXPECT_NE(0, configure(std::string(kRfcKey1).substr(2)));
    EXPECT_EQ(0, configure(kRfcKey1));
    EXPECT_EQ(0, configure(kRfcKey2));
    EXPECT_EQ(0, configure("\"\""));
}
#endif

namespace {

std::string ToHexText(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

// A signature file for `data` as sfpublish writes it, by a fresh key.
struct SignedFile {
    uint8_t publicKey[kPublisherKeySize];
    std::string header;
    std::string sigFile;
};

SignedFile SignFile(const std::string& product, int64_t serial, const std::string& data) {
    SignedFile out;
    char header[kSignedHeaderMax];
    const size_t length = WriteSignedHeader(product.c_str(), serial, header, sizeof header);
    EXPECT_NE(0u, length);
    out.header.assign(header, length);
    const Signed made = SignWithFreshKey(out.header + data);
    memcpy(out.publicKey, made.publicKey, sizeof out.publicKey);
    out.sigFile = out.header + "ed25519 " + ToHexText(made.sig) + "\n";
    return out;
}

}  // namespace

TEST_F(PublisherSignatureTest, SignatureFilesAreReadExactly) {
    const std::string sig(128, 'a');
    SignatureFile parsed;
    const std::string good =
        "sfsig 1\nproduct brightwave7\nserial 1765370000\ned25519 " + sig + "\n";
    ASSERT_TRUE(ReadSignatureFile(good.data(), good.size(), &parsed));
    EXPECT_STREQ("brightwave7", parsed.product);
    EXPECT_EQ(1765370000, parsed.serial);
    EXPECT_EQ(good.find("ed25519"), parsed.headerLength);
    EXPECT_EQ(0xAA, parsed.signature[63]);
    char header[kSignedHeaderMax];
    const size_t length = WriteSignedHeader("brightwave7", 1765370000, header, sizeof header);
    EXPECT_EQ(good.substr(0, parsed.headerLength), std::string(header, length));

    const std::string refused[] = {
        "",
        good.substr(0, good.size() - 1),  // no final LF
        good + "\n",
        good + "x",
        "sfsig 2\nproduct brightwave7\nserial 1\ned25519 " + sig + "\n",
        "SFSIG 1\nproduct brightwave7\nserial 1\ned25519 " + sig + "\n",
        "sfsig 1\r\nproduct brightwave7\r\nserial 1\r\ned25519 " + sig + "\r\n",
        "sfsig 1\nproduct  brightwave7\nserial 1\ned25519 " + sig + "\n",
        "sfsig 1\nproduct \nserial 1\ned25519 " + sig + "\n",
        "sfsig 1\nproduct bright wave\nserial 1\ned25519 " + sig + "\n",
        "sfsig 1\nproduct -brightwave7\nserial 1\ned25519 " + sig + "\n",
        "sfsig 1\nproduct " + std::string(65, 'p') + "\nserial 1\ned25519 " + sig + "\n",
        "sfsig 1\nserial 1\nproduct brightwave7\ned25519 " + sig + "\n",
        "sfsig 1\nproduct brightwave7\nserial \ned25519 " + sig + "\n",
        "sfsig 1\nproduct brightwave7\nserial 01\ned25519 " + sig + "\n",
        "sfsig 1\nproduct brightwave7\nserial -1\ned25519 " + sig + "\n",
        "sfsig 1\nproduct brightwave7\nserial 1234567890123456789\ned25519 " + sig + "\n",
        "sfsig 1\nproduct brightwave7\nserial 1\ned25519 " + sig.substr(1) + "\n",
        "sfsig 1\nproduct brightwave7\nserial 1\ned25519 " + sig + "0\n",
        "sfsig 1\nproduct brightwave7\nserial 1\nextra 1\ned25519 " + sig + "\n",
        "sfsig 1\nproduct brightwave7\nserial 1\n",
        std::string(64, 'x'),
    };
    for (const std::string& text : refused)
        EXPECT_FALSE(ReadSignatureFile(text.data(), text.size(), &parsed)) << text;
    EXPECT_EQ(0u, WriteSignedHeader("bad name", 1, header, sizeof header));
    EXPECT_EQ(0u, WriteSignedHeader("p", -1, header, sizeof header));
    EXPECT_EQ(0u, WriteSignedHeader("p", 1000000000000000000LL, header, sizeof header));
    EXPECT_EQ(0u, WriteSignedHeader("brightwave7", 1, header, 10));
}

TEST_F(PublisherSignatureTest, SignatureFilesBindProductAndSerial) {
    const std::string data = "http://h/setup.exe#sha256=...\r\n";
    const SignedFile made = SignFile("brightwave7", 42, data);
    SetPublisherKeyForTesting(made.publicKey);
    int64_t serial = -1;
    EXPECT_EQ(SF_RESULT_OK,
              SwarmFetch_VerifyPublisherFile(data.data(), (int32_t)data.size(), made.sigFile.data(),
                                             (int32_t)made.sigFile.size(), "brightwave7", &serial));
    EXPECT_EQ(42, serial);

    // Another product, the serial or product changed in the file, the data
    // changed, the raw signature alone: all refused, the serial untouched.
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = made.sigFile;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::string bare = made.sigFile.substr(made.header.size() + 8, 128);
    const struct {
        const char* what;
        std::string data;
        std::string sigFile;
        const char* product;
    } cases[] = {
        {"another product", data, made.sigFile, "brightwave8"},
        {"a product that only begins alike", data, made.sigFile, "brightwave"},
        {"serial raised", data, replaced("serial 42", "serial 43"), "brightwave7"},
        {"product renamed", data, replaced("product brightwave7", "product brightwave8"),
         "brightwave8"},
        {"data changed", data + " ", made.sigFile, "brightwave7"},
        {"the signature's hex alone", data, bare, "brightwave7"},
        {"no product", data, made.sigFile, ""},
    };
    for (const auto& c : cases) {
        serial = -1;
        EXPECT_EQ(SF_RESULT_NO_URL, SwarmFetch_VerifyPublisherFile(
                                        c.data.data(), (int32_t)c.data.size(), c.sigFile.data(),
                                        (int32_t)c.sigFile.size(), c.product, &serial))
            << c.what;
        EXPECT_EQ(-1, serial) << c.what;
    }
    EXPECT_EQ(SF_RESULT_NO_URL,
              SwarmFetch_VerifyPublisherFile(data.data(), (int32_t)data.size(), made.sigFile.data(),
                                             (int32_t)made.sigFile.size(), nullptr, &serial));
    EXPECT_EQ(SF_RESULT_NO_URL,
              SwarmFetch_VerifyPublisherFile(nullptr, 0, made.sigFile.data(),
                                             (int32_t)made.sigFile.size(), "brightwave7", nullptr));
    SetNoPublisherKeyForTesting();
    EXPECT_EQ(SF_RESULT_FAILED,
              SwarmFetch_VerifyPublisherFile(data.data(), (int32_t)data.size(), made.sigFile.data(),
                                             (int32_t)made.sigFile.size(), "brightwave7", &serial));
}
