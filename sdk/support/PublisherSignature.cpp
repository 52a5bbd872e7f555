#include "sdk/support/PublisherSignature.h"

#include "sdk/support/HexBytes.h"

#include <string.h>

#include <openssl/evp.h>

#ifndef SF_PUBLISHER_KEY
#error "SF_PUBLISHER_KEY holds the publisher key's hex digits or is empty; the build defines it"
#endif

namespace {

const char kCompiledInHex[] = SF_PUBLISHER_KEY;

enum class KeySource { kCompiledIn, kTestKey, kTestNone };

KeySource g_source = KeySource::kCompiledIn;
uint8_t g_testKey[kPublisherKeySize];

// The key in force, or null when there is none.
const uint8_t* KeyInForce(uint8_t* buffer) {
    switch (g_source) {
        case KeySource::kTestKey:
            return g_testKey;
        case KeySource::kTestNone:
            return nullptr;
        case KeySource::kCompiledIn:
            break;
    }
    // CMake accepts only an empty key or 64 hex digits, so anything else
    // here means no key.
    return ParsePublisherKeyHex(kCompiledInHex, buffer) ? buffer : nullptr;
}

}  // namespace

bool ParsePublisherKeyHex(const char* hex, uint8_t key[kPublisherKeySize]) {
    return hex && HexToBytes(hex, strlen(hex), key, kPublisherKeySize);
}

bool VerifyEd25519Signature(const uint8_t* publicKey, const void* data, size_t size,
                            const void* sig, size_t sigSize) {
    if (!publicKey || !data || !sig || sigSize != kPublisherSignatureSize)
        return false;
    EVP_PKEY* key =
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey, kPublisherKeySize);
    if (!key)
        return false;
    bool valid = false;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1) {
        valid = EVP_DigestVerify(context, static_cast<const unsigned char*>(sig), sigSize,
                                 static_cast<const unsigned char*>(data), size) == 1;
    }
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return valid;
}

bool PublisherKeyPresent() {
    uint8_t buffer[kPublisherKeySize];
    return KeyInForce(buffer) != nullptr;
}

PublisherCheck VerifyPublisherSignature(const void* data, int64_t size, const void* sig,
                                        int64_t sigSize) {
    uint8_t buffer[kPublisherKeySize];
    const uint8_t* key = KeyInForce(buffer);
    if (!key)
        return PublisherCheck::kNoKey;
    if (!data || !sig || size < 0 || sigSize != (int64_t)kPublisherSignatureSize)
        return PublisherCheck::kInvalid;
    return VerifyEd25519Signature(key, data, (size_t)size, sig, (size_t)sigSize)
               ? PublisherCheck::kValid
               : PublisherCheck::kInvalid;
}

void SetPublisherKeyForTesting(const uint8_t* key) {
    if (key) {
        memcpy(g_testKey, key, kPublisherKeySize);
        g_source = KeySource::kTestKey;
    } else {
        g_source = KeySource::kCompiledIn;
    }
}

void SetNoPublisherKeyForTesting() {
    g_source = KeySource::kTestNone;
}
