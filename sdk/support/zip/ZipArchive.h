// The structure of a zip archive held in memory: the end-of-central-directory
// record, the walk over the central directory and the local header check.
//
// The block is the caller's and is not copied. Every read is bounded by it:
// a position or size taken from the archive that points outside the block
// makes the step that needs it fail, never read further. Positions are kept
// in 64 bits so that an archive offset plus the prefix cannot wrap.
#pragma once

#include <stdint.h>

// The fields of one central-directory header.
struct ZipCentralHeader {
    uint16_t versionMadeBy;
    uint16_t versionNeeded;
    uint16_t flags;
    uint16_t method;
    // DOS time in the low half, DOS date in the high half.
    uint32_t dosDateTime;
    uint32_t crc32;
    uint32_t compressedSize;
    uint32_t uncompressedSize;
    uint16_t nameLength;
    uint16_t extraLength;
    uint16_t commentLength;
    uint16_t diskStart;
    uint16_t internalAttributes;
    uint32_t externalAttributes;
    uint32_t localHeaderOffset;
};

// General-purpose flag bits.
const uint16_t kZipFlagEncrypted = 0x0001;
const uint16_t kZipFlagDataDescriptor = 0x0008;

const uint16_t kZipMethodStored = 0;
const uint16_t kZipMethodDeflated = 8;

// Where an entry's data and local extra field lie, from the local header.
struct ZipLocalLayout {
    // Position in the block of the first data byte.
    uint64_t dataPosition;
    const uint8_t* extra;
    uint16_t extraLength;
};

class ZipArchive {
  public:
    ZipArchive();

    // Finds and checks the end record and goes to the first entry. False when
    // the block is not a zip archive this reader can use.
    bool Open(const uint8_t* data, uint32_t length);

    uint32_t EntryCount() const { return m_entryCount; }
    // Bytes in front of the archive proper.
    uint64_t PrefixLength() const { return m_prefix; }

    // Makes entry `index` current: from the first entry when `index` lies
    // below the current one, then step by step. False when the index is out
    // of range or a header on the way is damaged; entries beyond a damaged
    // header are remembered as unreachable, so later requests fail at once.
    bool GoTo(uint32_t index);

    const ZipCentralHeader& Current() const { return m_header; }
    // The current entry's stored name (not terminated), nameLength bytes.
    const uint8_t* CurrentName() const { return m_name; }

    // The local header check of the current entry: 0 when it agrees with the
    // central directory, else the reader's result code (corrupt, or the
    // local extra field cannot be read).
    uint32_t CheckLocalHeader(ZipLocalLayout* layout) const;

    // `size` bytes at block position `position`, or null when they do not all
    // lie inside the block.
    const uint8_t* Bytes(uint64_t position, uint64_t size) const;

  private:
    bool ReadHeaderAt(uint64_t position);

    const uint8_t* m_data;
    uint32_t m_length;
    uint32_t m_entryCount;
    uint64_t m_directoryOffset;
    uint64_t m_prefix;
    // The current entry: its number, its header's block position, whether it
    // is valid, and its fields.
    uint32_t m_current;
    uint64_t m_position;
    bool m_valid;
    ZipCentralHeader m_header;
    const uint8_t* m_name;
    // Entries from this number on cannot be reached.
    uint32_t m_reachable;
};
