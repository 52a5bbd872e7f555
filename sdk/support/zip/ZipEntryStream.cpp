#include "sdk/support/zip/ZipEntryStream.h"

#include <string.h>

namespace {

const uint32_t kEncryptionHeaderSize = 12;

}  // namespace

ZipEntryStream::ZipEntryStream(const ZipArchive& archive, uint64_t dataPosition,
                               const char* password)
    : m_archive(archive),
      m_method(archive.Current().method),
      m_encrypted((archive.Current().flags & kZipFlagEncrypted) != 0),
      m_cipher(password),
      m_headerLeft(m_encrypted ? kEncryptionHeaderSize : 0),
      m_checkByte(0),
      m_position(dataPosition),
      m_compressedLeft(archive.Current().compressedSize),
      m_uncompressedLeft(archive.Current().uncompressedSize),
      m_crc(0),
      m_expectedCrc(archive.Current().crc32),
      m_inputAt(0),
      m_inputLength(0),
      m_zlib(),
      m_zlibStarted(false) {
    const ZipCentralHeader& header = archive.Current();
    // With the sizes in a trailing descriptor the writer did not know the
    // CRC-32 yet and checks against the DOS time instead.
    m_checkByte = (header.flags & kZipFlagDataDescriptor)
                      ? (uint8_t)((header.dosDateTime >> 8) & 0xFF)
                      : (uint8_t)(header.crc32 >> 24);
}

ZipEntryStream::~ZipEntryStream() {
    if (m_zlibStarted)
        inflateEnd(&m_zlib);
}

bool ZipEntryStream::Start() {
    if (m_method != kZipMethodDeflated)
        return true;
    memset(&m_zlib, 0, sizeof m_zlib);
    // Raw deflate: zip entries carry no zlib header.
    m_zlibStarted = inflateInit2(&m_zlib, -MAX_WBITS) == Z_OK;
    return m_zlibStarted;
}

bool ZipEntryStream::Refill() {
    const uint32_t take = m_compressedLeft < kInputSize ? m_compressedLeft : kInputSize;
    const uint8_t* bytes = m_archive.Bytes(m_position, take);
    if (!bytes)
        return false;
    memcpy(m_input, bytes, take);
    if (m_encrypted)
        m_cipher.Decrypt(m_input, take);
    m_position += take;
    m_compressedLeft -= take;
    m_inputAt = 0;
    m_inputLength = take;
    return true;
}

int32_t ZipEntryStream::Read(uint8_t* out, uint32_t room, bool* end) {
    *end = false;
    if (m_uncompressedLeft == 0) {
        *end = true;
        return 0;
    }
    if (room > m_uncompressedLeft)
        room = m_uncompressedLeft;
    uint32_t produced = 0;
    while (produced < room) {
        if (m_inputAt == m_inputLength && m_compressedLeft > 0 && !Refill())
            return kZipReadSourceError;
        const uint32_t available = m_inputLength - m_inputAt;
        if (m_headerLeft > 0) {
            if (available == 0)
                break;
            const uint32_t skip = available < m_headerLeft ? available : m_headerLeft;
            m_inputAt += skip;
            m_headerLeft -= skip;
            if (m_headerLeft == 0 && m_input[m_inputAt - 1] != m_checkByte)
                return kZipReadBadPassword;
            continue;
        }
        if (m_method == kZipMethodStored) {
            uint32_t take = room - produced;
            if (take > available)
                take = available;
            if (take == 0)
                break;
            memcpy(out + produced, m_input + m_inputAt, take);
            m_crc = (uint32_t)crc32(m_crc, out + produced, take);
            m_inputAt += take;
            m_uncompressedLeft -= take;
            produced += take;
            if (m_uncompressedLeft == 0) {
                *end = true;
                break;
            }
            continue;
        }
        bool progress = false;
        const int32_t got = Inflate(out + produced, room - produced, end, &progress);
        if (got < 0)
            return got;
        produced += (uint32_t)got;
        if (*end || !progress)
            break;
    }
    return (int32_t)produced;
}

// One inflate call over the buffered input: the count produced or a negative
// code; `*progress` tells whether input was consumed or output produced.
int32_t ZipEntryStream::Inflate(uint8_t* out, uint32_t room, bool* end, bool* progress) {
    const uint32_t available = m_inputLength - m_inputAt;
    m_zlib.next_in = m_input + m_inputAt;
    m_zlib.avail_in = available;
    m_zlib.next_out = out;
    m_zlib.avail_out = room;
    const int rc = inflate(&m_zlib, Z_SYNC_FLUSH);
    const uint32_t consumed = available - m_zlib.avail_in;
    const uint32_t got = room - m_zlib.avail_out;
    m_inputAt += consumed;
    m_crc = (uint32_t)crc32(m_crc, out, got);
    m_uncompressedLeft -= got;
    *progress = consumed > 0 || got > 0;
    if (rc == Z_STREAM_END) {
        *end = true;
        // The stream claims to be complete short of the stated size.
        if (m_uncompressedLeft != 0)
            return kZipReadTruncated;
        return (int32_t)got;
    }
    if (m_uncompressedLeft == 0) {
        *end = true;
        return (int32_t)got;
    }
    // Nothing more to inflate from: the caller sees no progress.
    if (rc == Z_BUF_ERROR && !*progress)
        return 0;
    if (rc != Z_OK)
        return rc < 0 ? rc : kZipReadSourceError;
    return (int32_t)got;
}
