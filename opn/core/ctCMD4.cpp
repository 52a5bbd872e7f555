#include "opn/core/ctCMD4.h"

#include <string.h>

namespace {

inline uint32_t Rotl(uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

// Compilers turn this into one load on little-endian machines.
inline uint32_t LoadLe32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return z ^ (x & (y ^ z));
}
// Majority. Its two terms share no bits, so they can be added separately;
// only the second waits for x, the newest word of the chain.
inline uint32_t GFixed(uint32_t y, uint32_t z) {
    return y & z;
}
inline uint32_t GNewest(uint32_t x, uint32_t y, uint32_t z) {
    return x & (y ^ z);
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}

inline void R1(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s) {
    a = Rotl(a + x + F(b, c, d), s);
}
inline void R2(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s) {
    a = Rotl(a + x + 0x5A827999u + GFixed(c, d) + GNewest(b, c, d), s);
}
inline void R3(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s) {
    a = Rotl(a + x + 0x6ED9EBA1u + H(b, c, d), s);
}

// Compares the part of the hash list that `expected` still covers.
bool MatchNext(const uint8_t* digest, const uint8_t* expected, size_t expectedLength,
               size_t* compared) {
    size_t left = expectedLength - *compared;
    size_t n = left < kMd4DigestSize ? left : kMd4DigestSize;
    if (n > 0 && memcmp(digest, expected + *compared, n) != 0)
        return false;
    *compared += n;
    return true;
}

}  // namespace

void ctCMD4::Reset() {
    m_state[0] = 0x67452301u;
    m_state[1] = 0xEFCDAB89u;
    m_state[2] = 0x98BADCFEu;
    m_state[3] = 0x10325476u;
    m_bitsLow = 0;
    m_bitsHigh = 0;
    m_buffered = 0;
    memset(m_buffer, 0, sizeof(m_buffer));
}

void ctCMD4::Blocks(const uint8_t* data, size_t count) {
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    for (size_t i = 0; i < count; ++i, data += 64) {
        // Words are read straight from the block as they are needed.
        auto w = [data](int index) { return LoadLe32(data + 4 * index); };
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        // Spelled out, so that shifts and word offsets are constants.
        R1(a, b, c, d, w(0), 3);
        R1(d, a, b, c, w(1), 7);
        R1(c, d, a, b, w(2), 11);
        R1(b, c, d, a, w(3), 19);
        R1(a, b, c, d, w(4), 3);
        R1(d, a, b, c, w(5), 7);
        R1(c, d, a, b, w(6), 11);
        R1(b, c, d, a, w(7), 19);
        R1(a, b, c, d, w(8), 3);
        R1(d, a, b, c, w(9), 7);
        R1(c, d, a, b, w(10), 11);
        R1(b, c, d, a, w(11), 19);
        R1(a, b, c, d, w(12), 3);
        R1(d, a, b, c, w(13), 7);
        R1(c, d, a, b, w(14), 11);
        R1(b, c, d, a, w(15), 19);

        R2(a, b, c, d, w(0), 3);
        R2(d, a, b, c, w(4), 5);
        R2(c, d, a, b, w(8), 9);
        R2(b, c, d, a, w(12), 13);
        R2(a, b, c, d, w(1), 3);
        R2(d, a, b, c, w(5), 5);
        R2(c, d, a, b, w(9), 9);
        R2(b, c, d, a, w(13), 13);
        R2(a, b, c, d, w(2), 3);
        R2(d, a, b, c, w(6), 5);
        R2(c, d, a, b, w(10), 9);
        R2(b, c, d, a, w(14), 13);
        R2(a, b, c, d, w(3), 3);
        R2(d, a, b, c, w(7), 5);
        R2(c, d, a, b, w(11), 9);
        R2(b, c, d, a, w(15), 13);

        R3(a, b, c, d, w(0), 3);
        R3(d, a, b, c, w(8), 9);
        R3(c, d, a, b, w(4), 11);
        R3(b, c, d, a, w(12), 15);
        R3(a, b, c, d, w(2), 3);
        R3(d, a, b, c, w(10), 9);
        R3(c, d, a, b, w(6), 11);
        R3(b, c, d, a, w(14), 15);
        R3(a, b, c, d, w(1), 3);
        R3(d, a, b, c, w(9), 9);
        R3(c, d, a, b, w(5), 11);
        R3(b, c, d, a, w(13), 15);
        R3(a, b, c, d, w(3), 3);
        R3(d, a, b, c, w(11), 9);
        R3(c, d, a, b, w(7), 11);
        R3(b, c, d, a, w(15), 15);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    m_state[0] = a;
    m_state[1] = b;
    m_state[2] = c;
    m_state[3] = d;
}

bool ctCMD4::Update(const void* data, int64_t length) {
    if (!data || length < 0)
        return false;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    uint64_t n = (uint64_t)length;

    uint64_t bits = (((uint64_t)m_bitsHigh << 32) | m_bitsLow) + (n << 3);
    m_bitsLow = (uint32_t)bits;
    m_bitsHigh = (uint32_t)(bits >> 32);

    if (m_buffered > 0) {
        uint64_t room = 64 - m_buffered;
        uint64_t take = n < room ? n : room;
        memcpy(m_buffer + m_buffered, in, (size_t)take);
        m_buffered += (uint32_t)take;
        in += take;
        n -= take;
        if (m_buffered < 64)
            return true;
        Blocks(m_buffer, 1);
        m_buffered = 0;
    }
    // Whole blocks straight from the caller's memory.
    if (n >= 64) {
        size_t blocks = (size_t)(n / 64);
        Blocks(in, blocks);
        in += (uint64_t)blocks * 64;
        n -= (uint64_t)blocks * 64;
    }
    if (n > 0) {
        memcpy(m_buffer, in, (size_t)n);
        m_buffered = (uint32_t)n;
    }
    return true;
}

bool ctCMD4::Final(uint8_t* out16) {
    if (!out16)
        return false;
    uint8_t lengthLe[8];
    StoreLe32(lengthLe, m_bitsLow);
    StoreLe32(lengthLe + 4, m_bitsHigh);

    // 0x80, zeros up to 56 mod 64, then the bit length before padding.
    static const uint8_t kPadding[64] = {0x80};
    uint32_t padLength = m_buffered < 56 ? 56 - m_buffered : 120 - m_buffered;
    Update(kPadding, padLength);
    Update(lengthLe, sizeof(lengthLe));

    for (int i = 0; i < 4; ++i)
        StoreLe32(out16 + 4 * i, m_state[i]);
    Reset();
    return true;
}

int64_t ChunkedMd4ListSize(int64_t length) {
    if (length < 0)
        return -1;
    return (length / kMd4PieceSize + (length % kMd4PieceSize ? 1 : 0) + 1) *
           (int64_t)kMd4DigestSize;
}

ctChunkedMd4Check::ctChunkedMd4Check(const uint8_t* expected, size_t expectedLength,
                                     const uint8_t* data, int64_t length)
    : m_expected(expected),
      m_expectedLength(expectedLength),
      m_data(data),
      m_length(length),
      m_pieces(0),
      m_next(0),
      m_compared(0),
      m_done(false),
      m_matches(false) {
    if (length < 0 || (!data && length > 0) || (!expected && expectedLength > 0) ||
        (uint64_t)expectedLength > (uint64_t)ChunkedMd4ListSize(length)) {
        m_done = true;
        return;
    }
    m_pieces = ((uint64_t)length + kMd4PieceSize - 1) / kMd4PieceSize;
    // Nothing expected: nothing to hash.
    if (expectedLength == 0) {
        m_done = true;
        m_matches = true;
    }
}

bool ctChunkedMd4Check::Step() {
    if (m_done)
        return m_matches;
    uint8_t digest[kMd4DigestSize];
    if (m_next < m_pieces) {
        const int64_t offset = (int64_t)m_next * kMd4PieceSize;
        const int64_t rest = m_length - offset;
        ctCMD4 piece;
        piece.Update(m_data + offset, rest < kMd4PieceSize ? rest : kMd4PieceSize);
        piece.Final(digest);
        ++m_next;
        m_listHasher.Update(digest, sizeof(digest));
    } else {
        m_listHasher.Final(digest);
        m_next = m_pieces + 1;
    }
    if (!MatchNext(digest, m_expected, m_expectedLength, &m_compared)) {
        m_done = true;
        return false;
    }
    // Hashing stops once every expected byte has been compared.
    if (m_compared == m_expectedLength || m_next > m_pieces) {
        m_done = true;
        m_matches = m_compared == m_expectedLength;
    }
    return !m_done || m_matches;
}

bool VerifyChunkedMd4(const uint8_t* expected, size_t expectedLength, const uint8_t* data,
                      int64_t length) {
    // The list is compared while it is built, so it is never held in memory.
    ctChunkedMd4Check check(expected, expectedLength, data, length);
    while (!check.Done())
        check.Step();
    return check.Matches();
}
