// The hash list of an engine archive as the content server publishes it:
// the MD4 digest of every 1 MiB piece, then the MD4 digest of those digests.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "opn/core/ctCMD4.h"

namespace sftest {

inline std::vector<uint8_t> EngineHashList(const uint8_t* data, size_t size) {
    std::vector<uint8_t> list;
    for (size_t at = 0; at < size; at += (size_t)kMd4PieceSize) {
        const size_t piece = size - at < (size_t)kMd4PieceSize ? size - at : (size_t)kMd4PieceSize;
        ctCMD4 md4;
        md4.Update(data + at, (int64_t)piece);
        uint8_t digest[kMd4DigestSize];
        md4.Final(digest);
        list.insert(list.end(), digest, digest + kMd4DigestSize);
    }
    ctCMD4 md4;
    md4.Update(list.data(), (int64_t)list.size());
    uint8_t digest[kMd4DigestSize];
    md4.Final(digest);
    list.insert(list.end(), digest, digest + kMd4DigestSize);
    return list;
}

}  // namespace sftest
