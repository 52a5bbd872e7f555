// The SHA-256 of test bytes in lower-case hex, computed by OpenSSL directly so
// the expected value does not come from the hashing under test.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

namespace sftest {

std::string Sha256Hex(const void* data, size_t size);

inline std::string Sha256Hex(const std::string& bytes) {
    return Sha256Hex(bytes.data(), bytes.size());
}

inline std::string Sha256Hex(const std::vector<unsigned char>& bytes) {
    return Sha256Hex(bytes.data(), bytes.size());
}

}  // namespace sftest
