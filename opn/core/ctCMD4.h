// MD4 message digest (RFC 1320) and the chunked check of downloaded data
// against a hash list: one digest per 1 MiB piece, then the digest of the
// concatenated piece digests.
#pragma once

#include <stddef.h>
#include <stdint.h>

const size_t kMd4DigestSize = 16;
const int64_t kMd4PieceSize = 0x100000;

class ctCMD4 {
  public:
    ctCMD4() { Reset(); }
    virtual ~ctCMD4() {}

    // Back to the initial chaining values with nothing hashed.
    void Reset();
    // False for null data (even with length 0) or a negative length.
    bool Update(const void* data, int64_t length);
    // Writes the 16-byte digest of everything added and starts over; false
    // (state untouched) for a null output.
    bool Final(uint8_t* out16);

  private:
    void Blocks(const uint8_t* data, size_t count);

    uint32_t m_state[4];
    uint32_t m_bitsLow;  // message length in bits, low and high halves
    uint32_t m_bitsHigh;
    uint8_t m_buffer[64];
    uint32_t m_buffered;  // bytes waiting in m_buffer
};

// True when the first `expectedLength` bytes of the data's hash list (the
// MD4 of every 1 MiB piece, in order, followed by the MD4 of those digests)
// equal `expected`. Empty data has no pieces; its list is the MD4 of nothing.
// An expected value longer than the list, a null pointer with a non-zero
// length, or a negative length never match.
bool VerifyChunkedMd4(const uint8_t* expected, size_t expectedLength, const uint8_t* data,
                      int64_t length);

// The length of the whole hash list of `length` bytes: one digest per
// started 1 MiB piece and the digest of those; -1 for a negative length.
int64_t ChunkedMd4ListSize(int64_t length);

// The check of VerifyChunkedMd4 one step at a time (one piece of 1 MiB, or at
// the end the digest of the list), so that a caller can stop in between.
class ctChunkedMd4Check {
  public:
    // The pointers are kept and must stay valid until done.
    ctChunkedMd4Check(const uint8_t* expected, size_t expectedLength, const uint8_t* data,
                      int64_t length);
    ctChunkedMd4Check(const ctChunkedMd4Check&) = delete;
    ctChunkedMd4Check& operator=(const ctChunkedMd4Check&) = delete;

    // Hashes and compares the next step; false once a compared byte differs.
    bool Step();
    // No step is left: a difference was found, or every expected byte (or an
    // unusable argument) was dealt with.
    bool Done() const { return m_done; }
    // Done, and the data match as VerifyChunkedMd4 decides.
    bool Matches() const { return m_done && m_matches; }

  private:
    const uint8_t* m_expected;
    size_t m_expectedLength;
    const uint8_t* m_data;
    int64_t m_length;
    uint64_t m_pieces;
    uint64_t m_next;  // the next piece; m_pieces + 1 once the list's digest was taken
    size_t m_compared;
    ctCMD4 m_listHasher;
    bool m_done;
    bool m_matches;
};
