// Reading one entry's data: the compressed bytes are copied from the block in
// pieces of at most 16384 bytes, decrypted for an encrypted entry, inflated
// for a deflated one, and counted against the central directory's sizes and
// CRC-32.
//
// An entry never yields more than its stated uncompressed size. A stream that
// ends before that size, or compressed data that run out, is an error, and
// the CRC-32 of what was produced is compared at the end (CrcMatches).
#pragma once

#include <stdint.h>

#include <zlib.h>

#include "sdk/support/zip/ZipArchive.h"
#include "sdk/support/zip/ZipCipher.h"

// Read results below zero besides zlib's own codes.
const int32_t kZipReadSourceError = -1;
const int32_t kZipReadBadPassword = -106;
const int32_t kZipReadTruncated = -200;

class ZipEntryStream {
  public:
    // The current entry of `archive`, whose data begin at `dataPosition`.
    ZipEntryStream(const ZipArchive& archive, uint64_t dataPosition, const char* password);
    ~ZipEntryStream();
    ZipEntryStream(const ZipEntryStream&) = delete;
    ZipEntryStream& operator=(const ZipEntryStream&) = delete;

    // False when the inflate state could not be set up.
    bool Start();

    // Up to `room` bytes into `out`: the count produced (0 at the end, or
    // when nothing could be produced), or a negative code: kZipReadSourceError,
    // kZipReadBadPassword, kZipReadTruncated or a zlib error. `*end` tells
    // that the whole entry has been produced.
    int32_t Read(uint8_t* out, uint32_t room, bool* end);

    // Whether the bytes produced so far have the entry's CRC-32.
    bool CrcMatches() const { return m_crc == m_expectedCrc; }

    static const uint32_t kInputSize = 16384;

  private:
    bool Refill();
    int32_t Inflate(uint8_t* out, uint32_t room, bool* end, bool* progress);

    const ZipArchive& m_archive;
    uint16_t m_method;
    bool m_encrypted;
    ZipCipher m_cipher;
    // Encryption-header bytes still to consume, and the byte the last one
    // must have.
    uint32_t m_headerLeft;
    uint8_t m_checkByte;
    uint64_t m_position;
    uint32_t m_compressedLeft;
    uint32_t m_uncompressedLeft;
    uint32_t m_crc;
    uint32_t m_expectedCrc;
    uint8_t m_input[kInputSize];
    uint32_t m_inputAt;
    uint32_t m_inputLength;
    z_stream m_zlib;
    bool m_zlibStarted;
};
