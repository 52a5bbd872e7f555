// The publisher signature check: RFC 8032 vectors, the flat call's answers
// for every kind of bad input, and the key switched off and on at run time.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <string.h>

#include <string>
#include <vector>

#include "sdk/api/SwarmFetch.h"
#include "sdk/support/PublisherSignature.h"

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
