// Walks the block structure of a GIF stream held in memory and cuts each frame
// out as a small stand-alone GIF that a picture loader can decode on its own.
//
// Portable: no OS types, no decoding of image data (LZW stays with the loader).
// Every length and offset read from the stream is checked against the data:
// a block that would reach past the end is not a block, and the walk stops
// there. Every step advances by at least one byte, so a walk ends on any
// input, and the number of frames taken from one stream is bounded by
// kMaxFrames however many blocks the stream holds.
//
// Block lengths (offsets from the block's first byte):
//   application extension 0x21 0xFF   14 + data sub-blocks
//   comment extension     0x21 0xFE    2 + data sub-blocks
//   graphic control       0x21 0xF9    8
//   plain text extension  0x21 0x01   15 + data sub-blocks
//   image                 0x2C        11 + local colour table + data sub-blocks
//   trailer               0x3B         1
// Anything else (0x21 with another label too) is unknown and ends the walk.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum class GifBlockKind {
    Unknown,
    ApplicationExtension,
    CommentExtension,
    GraphicControl,
    PlainText,
    Image,
    Trailer,
};

// Where one frame lies in the stream and how it is shown.
struct GifFrameBlock {
    size_t offset = 0;  // first byte of the frame's blocks (its graphic control or image)
    size_t length = 0;  // bytes from `offset` up to and including the image or plain text block
    uint32_t delay = kNoDelay;  // hundredths of a second; kNoDelay without a graphic control
    int disposal = 0;           // 0-7, from the graphic control
    int left = 0, top = 0, width = 0, height = 0;  // within the logical screen

    static constexpr uint32_t kNoDelay = 0xFFFFFFFFu;
};

class GifBlockWalker {
  public:
    // A longer animation is cut after this many frames: each frame becomes a
    // decoded picture and a copy of the header, so the count bounds memory.
    static constexpr size_t kMaxFrames = 1024;
    // Signature, version, logical screen descriptor.
    static constexpr size_t kHeaderSize = 13;

    // The data stay owned by the caller and must outlive the walker.
    GifBlockWalker(const uint8_t* data, size_t size);

    // The stream starts with "GIF" (any version bytes after it).
    bool IsGif() const { return m_isGif; }
    // Logical screen size; 0 when the descriptor is cut short.
    int ScreenWidth() const { return m_screenWidth; }
    int ScreenHeight() const { return m_screenHeight; }
    // 3 * 2^(n+1) bytes when the logical screen descriptor says there is one.
    size_t GlobalColorTableSize() const { return m_globalTableSize; }

    // Frames that a walk from the start yields, at most kMaxFrames.
    size_t CountFrames() const;

    // Back to the first block after the header and global colour table.
    void Rewind();
    // The next frame, or false at the trailer, an unknown block, a block cut
    // short, or after kMaxFrames frames.
    bool NextFrame(GifFrameBlock& frame);

    // Bytes of the stand-alone GIF of `frame`: header, global colour table,
    // the frame's blocks and a trailer byte.
    size_t StandaloneSize(const GifFrameBlock& frame) const;
    // Writes exactly StandaloneSize(frame) bytes to `out`. `frame` must come
    // from NextFrame of this walker.
    void WriteStandalone(const GifFrameBlock& frame, uint8_t* out) const;

    // Kind of the block at `offset` (Unknown at or past the end).
    GifBlockKind KindAt(size_t offset) const;
    // Length of the block at `offset`, or 0 when it is unknown or would reach
    // past the end of the data.
    size_t BlockLength(size_t offset) const;

  private:
    // Sum of (length + 1) over the sub-blocks starting at `offset`, plus the
    // terminator; 0 when the chain runs past the end.
    size_t SubBlocksLength(size_t offset) const;
    uint32_t Read16(size_t offset) const;
    // Walks one frame from `offset`; on success `frame` is filled and
    // `offset` points after its image or plain text block.
    bool WalkFrame(size_t& offset, GifFrameBlock& frame) const;

    const uint8_t* m_data;
    size_t m_size;
    bool m_isGif = false;
    int m_screenWidth = 0;
    int m_screenHeight = 0;
    size_t m_globalTableSize = 0;
    size_t m_firstBlock = 0;
    size_t m_offset = 0;
    size_t m_framesTaken = 0;
};
