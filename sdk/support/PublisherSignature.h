// The publisher's Ed25519 signature over content the library is about to
// trust (a file list, an engine manifest). The publisher's public key is
// compiled in (CMake cache variable SF_PUBLISHER_KEY, 64 hex digits, empty
// for none); without one nothing is signed and nothing is checked.
//
// A signature is the 64 raw bytes Ed25519 (pure, RFC 8032) makes over the
// exact bytes of the signed data. Verification goes through OpenSSL's EVP;
// it needs no library thread and no lock, so it works before the library is
// initialised.
#pragma once

#include <stddef.h>
#include <stdint.h>

const size_t kPublisherKeySize = 32;
const size_t kPublisherSignatureSize = 64;

enum class PublisherCheck {
    kValid,    // signed by the publisher's key
    kInvalid,  // wrong signature, wrong size or bad arguments
    kNoKey,    // no key compiled in: nothing can be checked
};

// True when a publisher key is in force (compiled in, or set for testing).
// A compiled-in key that is not usable is in force and verifies nothing.
bool PublisherKeyPresent();

// Checks `sig` (`sigSize` bytes) over `size` bytes at `data` against the
// publisher key. Null pointers, a negative size or a signature that is not
// kPublisherSignatureSize bytes are kInvalid (when a key is present).
PublisherCheck VerifyPublisherSignature(const void* data, int64_t size, const void* sig,
                                        int64_t sigSize);

// The same against a given public key (kPublisherKeySize bytes); false for
// anything that is not a valid signature by that key, and for an unusable
// key.
bool VerifyEd25519Signature(const uint8_t* publicKey, const void* data, size_t size,
                            const void* sig, size_t sigSize);

// Checks the publisher's signature file (SignatureFile.h; `sigFileSize`
// bytes at `sigFile`) for the `size` bytes at `data`: valid only when it is
// well formed, names exactly `product` and its signature over its signed
// header and the data verifies with the publisher key; `*serial` (may be
// null) then gets its serial. Whether the serial is new enough is the
// caller's to judge.
PublisherCheck VerifyPublisherFile(const void* data, int64_t size, const void* sigFile,
                                   int64_t sigFileSize, const char* product, int64_t* serial);

// Whether the 32 bytes are a key that can stand for a publisher: refused
// are the encodings of the eight points of small order (with either sign
// bit), for which a signature of a small-order R and S = 0 verifies for any
// data, and every y at or above 2^255 - 19 (non-canonical). No key in force
// and no key given to VerifyEd25519Signature is used otherwise.
bool PublisherKeyIsUsable(const uint8_t key[kPublisherKeySize]);

// Reads exactly 64 hex digits (either case, nothing else) into `key`; false
// too for a key PublisherKeyIsUsable refuses.
bool ParsePublisherKeyHex(const char* hex, uint8_t key[kPublisherKeySize]);

// For tests only: the key in force from now on (copied, kPublisherKeySize
// bytes); null restores the compiled-in one. SetNoPublisherKeyForTesting
// makes the library behave as built without a key.
void SetPublisherKeyForTesting(const uint8_t* key);
void SetNoPublisherKeyForTesting();
