#include "sdk/support/zip/ZipArchive.h"

#include "sdk/support/zip/ZipReader.h"

namespace {

const uint32_t kEndSignature = 0x06054b50;
const uint32_t kCentralSignature = 0x02014b50;
const uint32_t kLocalSignature = 0x04034b50;
const uint32_t kEndRecordSize = 22;
const uint32_t kCentralHeaderSize = 46;
const uint32_t kLocalHeaderSize = 30;
// The end record is looked for in this many bytes at the end of the block.
const uint32_t kEndSearchLimit = 65535;

uint16_t Le16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

uint32_t Le32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

}  // namespace

ZipArchive::ZipArchive()
    : m_data(nullptr),
      m_length(0),
      m_entryCount(0),
      m_directoryOffset(0),
      m_prefix(0),
      m_current(0),
      m_position(0),
      m_valid(false),
      m_header(),
      m_name(nullptr),
      m_reachable(0) {}

const uint8_t* ZipArchive::Bytes(uint64_t position, uint64_t size) const {
    if (position > m_length || size > m_length - position)
        return nullptr;
    return m_data + position;
}

bool ZipArchive::Open(const uint8_t* data, uint32_t length) {
    if (!data || length < 4)
        return false;
    m_data = data;
    m_length = length;

    // The record nearest the end wins: an archive comment may itself hold
    // the signature bytes further back.
    const uint32_t limit = length < kEndSearchLimit ? length : kEndSearchLimit;
    const uint32_t lowest = length - limit;
    uint64_t found = 0;
    bool hit = false;
    for (uint32_t p = length - 4;; --p) {
        if (Le32(data + p) == kEndSignature) {
            found = p;
            hit = true;
            break;
        }
        if (p == lowest)
            break;
    }
    if (!hit)
        return false;
    const uint8_t* end = Bytes(found, kEndRecordSize);
    if (!end)
        return false;
    const uint16_t thisDisk = Le16(end + 4);
    const uint16_t directoryDisk = Le16(end + 6);
    const uint16_t entriesHere = Le16(end + 8);
    const uint16_t entriesTotal = Le16(end + 10);
    const uint64_t directorySize = Le32(end + 12);
    const uint64_t directoryOffset = Le32(end + 16);
    if (thisDisk != 0 || directoryDisk != 0 || entriesHere != entriesTotal)
        return false;
    if (found < directoryOffset + directorySize)
        return false;
    m_prefix = found - (directoryOffset + directorySize);
    m_directoryOffset = directoryOffset;
    m_entryCount = entriesTotal;
    m_reachable = m_entryCount;
    if (m_entryCount == 0)
        return true;
    return GoTo(0);
}

bool ZipArchive::ReadHeaderAt(uint64_t position) {
    const uint8_t* h = Bytes(position, kCentralHeaderSize);
    if (!h || Le32(h) != kCentralSignature)
        return false;
    ZipCentralHeader header;
    header.versionMadeBy = Le16(h + 4);
    header.versionNeeded = Le16(h + 6);
    header.flags = Le16(h + 8);
    header.method = Le16(h + 10);
    header.dosDateTime = Le32(h + 12);
    header.crc32 = Le32(h + 16);
    header.compressedSize = Le32(h + 20);
    header.uncompressedSize = Le32(h + 24);
    header.nameLength = Le16(h + 28);
    header.extraLength = Le16(h + 30);
    header.commentLength = Le16(h + 32);
    header.diskStart = Le16(h + 34);
    header.internalAttributes = Le16(h + 36);
    header.externalAttributes = Le32(h + 38);
    header.localHeaderOffset = Le32(h + 42);
    const uint8_t* name = Bytes(position + kCentralHeaderSize, header.nameLength);
    if (!name)
        return false;
    m_header = header;
    m_name = name;
    m_position = position;
    return true;
}

bool ZipArchive::GoTo(uint32_t index) {
    if (index >= m_entryCount || index >= m_reachable)
        return false;
    if (!m_valid || index < m_current) {
        m_valid = ReadHeaderAt(m_prefix + m_directoryOffset);
        m_current = 0;
        if (!m_valid) {
            m_reachable = 0;
            return false;
        }
    }
    while (m_current < index) {
        const uint64_t next = m_position + kCentralHeaderSize + m_header.nameLength +
                              m_header.extraLength + m_header.commentLength;
        if (!ReadHeaderAt(next)) {
            m_reachable = m_current + 1;
            m_valid = false;
            return false;
        }
        ++m_current;
    }
    return true;
}

uint32_t ZipArchive::CheckLocalHeader(ZipLocalLayout* layout) const {
    if (!m_valid)
        return ZipErrCorrupt;
    const uint64_t at = m_prefix + m_header.localHeaderOffset;
    const uint8_t* h = Bytes(at, kLocalHeaderSize);
    if (!h || Le32(h) != kLocalSignature)
        return ZipErrCorrupt;
    const uint16_t flags = Le16(h + 6);
    const uint16_t method = Le16(h + 8);
    const uint16_t nameLength = Le16(h + 26);
    const uint16_t extraLength = Le16(h + 28);
    if (method != m_header.method || (method != kZipMethodStored && method != kZipMethodDeflated))
        return ZipErrCorrupt;
    if ((flags & kZipFlagDataDescriptor) == 0 &&
        (Le32(h + 14) != m_header.crc32 || Le32(h + 18) != m_header.compressedSize ||
         Le32(h + 22) != m_header.uncompressedSize))
        return ZipErrCorrupt;
    if (nameLength != m_header.nameLength)
        return ZipErrCorrupt;
    const uint64_t extraAt = at + kLocalHeaderSize + nameLength;
    const uint8_t* extra = Bytes(extraAt, extraLength);
    if (!extra)
        return ZipErrRead;
    layout->extra = extra;
    layout->extraLength = extraLength;
    layout->dataPosition = extraAt + extraLength;
    return ZipOk;
}
