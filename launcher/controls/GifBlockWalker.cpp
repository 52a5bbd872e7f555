#include "launcher/controls/GifBlockWalker.h"

#include <string.h>

namespace {

// 3 * 2^(n+1) bytes when bit 7 of a packed byte announces a colour table.
size_t ColorTableSize(uint8_t packed) {
    if ((packed & 0x80) == 0) {
        return 0;
    }
    return size_t{3} << ((packed & 7) + 1);
}

}  // namespace

GifBlockWalker::GifBlockWalker(const uint8_t* data, size_t size) : m_data(data), m_size(size) {
    m_isGif = data != nullptr && size >= 3 && memcmp(data, "GIF", 3) == 0;
    if (m_isGif && size >= kHeaderSize) {
        m_screenWidth = static_cast<int>(Read16(6));
        m_screenHeight = static_cast<int>(Read16(8));
        m_globalTableSize = ColorTableSize(data[10]);
    }
    // A header or colour table cut short leaves no room for blocks: the first
    // block then lies at or past the end and every walk stops at once.
    m_firstBlock = kHeaderSize + m_globalTableSize;
    Rewind();
}

uint32_t GifBlockWalker::Read16(size_t offset) const {
    return static_cast<uint32_t>(m_data[offset]) | (static_cast<uint32_t>(m_data[offset + 1]) << 8);
}

GifBlockKind GifBlockWalker::KindAt(size_t offset) const {
    if (!m_isGif || offset >= m_size) {
        return GifBlockKind::Unknown;
    }
    switch (m_data[offset]) {
        case 0x2C:
            return GifBlockKind::Image;
        case 0x3B:
            return GifBlockKind::Trailer;
        case 0x21:
            break;
        default:
            return GifBlockKind::Unknown;
    }
    if (offset + 1 >= m_size) {
        return GifBlockKind::Unknown;
    }
    switch (m_data[offset + 1]) {
        case 0xFF:
            return GifBlockKind::ApplicationExtension;
        case 0xFE:
            return GifBlockKind::CommentExtension;
        case 0xF9:
            return GifBlockKind::GraphicControl;
        case 0x01:
            return GifBlockKind::PlainText;
        default:
            return GifBlockKind::Unknown;
    }
}

size_t GifBlockWalker::SubBlocksLength(size_t offset) const {
    size_t length = 0;
    // Each sub-block moves at least one byte further, so the loop ends at
    // the terminator or at the end of the data.
    for (;;) {
        if (offset >= m_size) {
            return 0;
        }
        uint8_t count = m_data[offset];
        if (count == 0) {
            return length + 1;
        }
        size_t step = size_t{count} + 1;
        if (m_size - offset < step) {
            return 0;
        }
        length += step;
        offset += step;
    }
}

size_t GifBlockWalker::BlockLength(size_t offset) const {
    size_t fixed = 0;
    switch (KindAt(offset)) {
        case GifBlockKind::ApplicationExtension:
            fixed = 14;
            break;
        case GifBlockKind::CommentExtension:
            fixed = 2;
            break;
        case GifBlockKind::GraphicControl:
            fixed = 8;
            break;
        case GifBlockKind::PlainText:
            fixed = 15;
            break;
        case GifBlockKind::Image:
            // The descriptor's packed byte is its 10th byte.
            if (m_size - offset < 10) {
                return 0;
            }
            fixed = 11 + ColorTableSize(m_data[offset + 9]);
            break;
        case GifBlockKind::Trailer:
            return 1;
        case GifBlockKind::Unknown:
            return 0;
    }
    if (m_size - offset < fixed) {
        return 0;
    }
    if (KindAt(offset) == GifBlockKind::GraphicControl) {
        return fixed;
    }
    size_t subBlocks = SubBlocksLength(offset + fixed);
    if (subBlocks == 0) {
        return 0;
    }
    return fixed + subBlocks;
}

bool GifBlockWalker::WalkFrame(size_t& offset, GifFrameBlock& frame) const {
    frame = GifFrameBlock{};
    size_t at = offset;
    // Extensions before the frame belong to no frame.
    for (;;) {
        GifBlockKind kind = KindAt(at);
        if (kind != GifBlockKind::ApplicationExtension && kind != GifBlockKind::CommentExtension) {
            break;
        }
        size_t length = BlockLength(at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    frame.offset = at;
    if (KindAt(at) == GifBlockKind::GraphicControl) {
        if (BlockLength(at) == 0) {
            return false;
        }
        frame.delay = Read16(at + 4);
        frame.disposal = (m_data[at + 3] >> 2) & 7;
        at += 8;
        // Further extensions up to the image or plain text travel with it.
        for (;;) {
            GifBlockKind kind = KindAt(at);
            if (kind == GifBlockKind::Image || kind == GifBlockKind::PlainText) {
                break;
            }
            if (kind == GifBlockKind::Unknown || kind == GifBlockKind::Trailer) {
                return false;
            }
            size_t length = BlockLength(at);
            if (length == 0) {
                return false;
            }
            at += length;
        }
    }
    GifBlockKind kind = KindAt(at);
    if (kind != GifBlockKind::Image && kind != GifBlockKind::PlainText) {
        return false;
    }
    size_t length = BlockLength(at);
    if (length == 0) {
        return false;
    }
    // Image descriptor: left, top, width, height from offset 1; a plain text
    // block places its text grid the same way from offset 3.
    size_t place = at + (kind == GifBlockKind::Image ? 1 : 3);
    frame.left = static_cast<int>(Read16(place));
    frame.top = static_cast<int>(Read16(place + 2));
    frame.width = static_cast<int>(Read16(place + 4));
    frame.height = static_cast<int>(Read16(place + 6));
    at += length;
    frame.length = at - frame.offset;
    offset = at;
    return true;
}

void GifBlockWalker::Rewind() {
    m_offset = m_firstBlock;
    m_framesTaken = 0;
}

bool GifBlockWalker::NextFrame(GifFrameBlock& frame) {
    if (m_framesTaken >= kMaxFrames || !WalkFrame(m_offset, frame)) {
        return false;
    }
    ++m_framesTaken;
    return true;
}

size_t GifBlockWalker::CountFrames() const {
    size_t offset = m_firstBlock;
    size_t count = 0;
    GifFrameBlock frame;
    while (count < kMaxFrames && WalkFrame(offset, frame)) {
        ++count;
    }
    return count;
}

size_t GifBlockWalker::StandaloneSize(const GifFrameBlock& frame) const {
    return m_firstBlock + frame.length + 1;
}

void GifBlockWalker::WriteStandalone(const GifFrameBlock& frame, uint8_t* out) const {
    memcpy(out, m_data, m_firstBlock);
    memcpy(out + m_firstBlock, m_data + frame.offset, frame.length);
    out[m_firstBlock + frame.length] = 0x3B;
}
