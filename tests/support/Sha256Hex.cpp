#include "support/Sha256Hex.h"

#include <stdio.h>

#include <openssl/evp.h>

namespace sftest {

std::string Sha256Hex(const void* data, size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1)
        return std::string();
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

}  // namespace sftest
