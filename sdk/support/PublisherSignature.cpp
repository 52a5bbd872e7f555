#include "sdk/support/PublisherSignature.h"

#include "sdk/support/HexBytes.h"
#include "sdk/support/SignatureFile.h"

#include <string.h>

#include <new>

#include <openssl/evp.h>

#ifndef SF_PUBLISHER_KEY
#error "SF_PUBLISHER_KEY holds the publisher key's hex digits or is empty; the build defines it"
#endif

namespace {

const char kCompiledInHex[] = SF_PUBLISHER_KEY;

enum class KeySource { kCompiledIn, kTestKey, kTestNone };

KeySource g_source = KeySource::kCompiledIn;
uint8_t g_testKey[kPublisherKeySize];

// A key that is there but verifies nothing (it is no usable key).
const uint8_t kBrokenKey[kPublisherKeySize] = {0};

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
    if (kCompiledInHex[0] == '\0')
        return nullptr;
    // CMake takes only usable keys; a build that went round it still
    // requires signatures, and none verifies.
    return ParsePublisherKeyHex(kCompiledInHex, buffer) ? buffer : kBrokenKey;
}

// The y coordinates (little-endian, sign bit clear) of the eight points of
// small order: the identity (order 1), order 2, the two of order 4 (y = 0)
// and the four of order 8. With the sign bit these are all their
// encodings. Such a key verifies a signature of a small-order R and S = 0
// for any data.
const uint8_t kSmallOrderY[][kPublisherKeySize] = {
    {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
     0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
     0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
     0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
     0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
};

// y at or above p = 2^255 - 19: p - 1 is ec ff .. ff 7f, so y >= p means
// every byte above the first is ff (7f for the last) and the first >= ed.
bool IsNonCanonical(const uint8_t y[kPublisherKeySize]) {
    if (y[0] < 0xed || y[kPublisherKeySize - 1] != 0x7f)
        return false;
    for (size_t i = 1; i + 1 < kPublisherKeySize; ++i)
        if (y[i] != 0xff)
            return false;
    return true;
}

}  // namespace

bool PublisherKeyIsUsable(const uint8_t key[kPublisherKeySize]) {
    if (!key)
        return false;
    uint8_t y[kPublisherKeySize];
    memcpy(y, key, sizeof y);
    y[kPublisherKeySize - 1] &= 0x7f;
    if (IsNonCanonical(y))
        return false;
    for (const uint8_t* weak : kSmallOrderY)
        if (memcmp(y, weak, sizeof y) == 0)
            return false;
    return true;
}

bool ParsePublisherKeyHex(const char* hex, uint8_t key[kPublisherKeySize]) {
    return hex && HexToBytes(hex, strlen(hex), key, kPublisherKeySize) && PublisherKeyIsUsable(key);
}

bool VerifyEd25519Signature(const uint8_t* publicKey, const void* data, size_t size,
                            const void* sig, size_t sigSize) {
    if (!publicKey || !data || !sig || sigSize != kPublisherSignatureSize ||
        !PublisherKeyIsUsable(publicKey))
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

PublisherCheck VerifyPublisherFile(const void* data, int64_t size, const void* sigFile,
                                   int64_t sigFileSize, const char* product, int64_t* serial) {
    uint8_t buffer[kPublisherKeySize];
    const uint8_t* key = KeyInForce(buffer);
    if (!key)
        return PublisherCheck::kNoKey;
    SignatureFile parsed;
    if (!data || !sigFile || !product || size < 0 || sigFileSize < 0 ||
        (uint64_t)sigFileSize > kSignatureFileMax ||
        !ReadSignatureFile(sigFile, (size_t)sigFileSize, &parsed) ||
        strcmp(parsed.product, product) != 0)
        return PublisherCheck::kInvalid;
    // Pure Ed25519 takes its message whole: the signed header, then the
    // file's bytes.
    const size_t total = parsed.headerLength + (size_t)size;
    if ((uint64_t)size > SIZE_MAX - parsed.headerLength)
        return PublisherCheck::kInvalid;
    uint8_t* message = new (std::nothrow) uint8_t[total];
    if (!message)
        return PublisherCheck::kInvalid;
    memcpy(message, sigFile, parsed.headerLength);
    if (size > 0)
        memcpy(message + parsed.headerLength, data, (size_t)size);
    const bool valid =
        VerifyEd25519Signature(key, message, total, parsed.signature, sizeof parsed.signature);
    delete[] message;
    if (!valid)
        return PublisherCheck::kInvalid;
    if (serial)
        *serial = parsed.serial;
    return PublisherCheck::kValid;
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
