// Builds GIF streams block by block for tests that need shapes no picture
// tool writes: missing images, frames without a graphic control, plain text
// blocks, lying lengths. Header-only; used natively and under Wine.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace sftest {

class GifBuilder {
  public:
    // "GIF89a", logical screen `width` x `height`; a global colour table of
    // 2^(tableBits+1) entries when tableBits >= 0 (entry i is grey i).
    GifBuilder& Header(int width, int height, int tableBits = 0) {
        Append("GIF89a");
        Put16(width);
        Put16(height);
        bytes.push_back(tableBits >= 0 ? static_cast<uint8_t>(0x80 | tableBits) : 0);
        bytes.push_back(0);  // background colour index
        bytes.push_back(0);  // aspect ratio
        if (tableBits >= 0)
            ColorTable(tableBits);
        return *this;
    }

    GifBuilder& GraphicControl(uint16_t delay, int disposal) {
        bytes.insert(bytes.end(), {0x21, 0xF9, 0x04, static_cast<uint8_t>((disposal & 7) << 2)});
        Put16(delay);
        bytes.insert(bytes.end(), {0x00, 0x00});
        return *this;
    }

    GifBuilder& Comment(const std::string& text) {
        bytes.insert(bytes.end(), {0x21, 0xFE});
        SubBlocks(text);
        return *this;
    }

    // NETSCAPE2.0 loop extension.
    GifBuilder& Loop(uint16_t count) {
        bytes.insert(bytes.end(), {0x21, 0xFF, 0x0B});
        Append("NETSCAPE2.0");
        bytes.insert(bytes.end(), {0x03, 0x01});
        Put16(count);
        bytes.push_back(0x00);
        return *this;
    }

    GifBuilder& PlainText(int left, int top, int width, int height, const std::string& text) {
        bytes.insert(bytes.end(), {0x21, 0x01, 0x0C});
        Put16(left);
        Put16(top);
        Put16(width);
        Put16(height);
        bytes.insert(bytes.end(), {0x08, 0x08, 0x01, 0x00});  // cell size, colours
        SubBlocks(text);
        return *this;
    }

    // An image whose pixels all have colour index 0, encoded with a clear
    // code before every pixel so the code width stays at 3 bits; a local
    // colour table of 2^(tableBits+1) entries when tableBits >= 0.
    GifBuilder& Image(int left, int top, int width, int height, int tableBits = -1) {
        bytes.push_back(0x2C);
        Put16(left);
        Put16(top);
        Put16(width);
        Put16(height);
        bytes.push_back(tableBits >= 0 ? static_cast<uint8_t>(0x80 | tableBits) : 0);
        if (tableBits >= 0)
            ColorTable(tableBits);
        bytes.push_back(0x02);  // LZW minimum code size
        std::string codes;
        uint32_t acc = 0;
        int bits = 0;
        auto code = [&](uint32_t c) {
            acc |= c << bits;
            bits += 3;
            while (bits >= 8) {
                codes.push_back(static_cast<char>(acc & 0xFF));
                acc >>= 8;
                bits -= 8;
            }
        };
        for (int i = 0; i < width * height; ++i) {
            code(4);  // clear
            code(0);
        }
        code(5);  // end of information
        if (bits > 0)
            codes.push_back(static_cast<char>(acc & 0xFF));
        SubBlocks(codes);
        return *this;
    }

    GifBuilder& Trailer() {
        bytes.push_back(0x3B);
        return *this;
    }

    GifBuilder& Raw(std::initializer_list<uint8_t> raw) {
        bytes.insert(bytes.end(), raw);
        return *this;
    }

    std::vector<uint8_t> bytes;

  private:
    void Append(const char* text) {
        for (; *text; ++text)
            bytes.push_back(static_cast<uint8_t>(*text));
    }
    void Put16(int value) {
        bytes.push_back(static_cast<uint8_t>(value & 0xFF));
        bytes.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
    }
    void ColorTable(int tableBits) {
        int entries = 1 << (tableBits + 1);
        for (int i = 0; i < entries; ++i) {
            uint8_t grey = static_cast<uint8_t>(i * 255 / (entries > 1 ? entries - 1 : 1));
            bytes.insert(bytes.end(), {grey, grey, grey});
        }
    }
    // Cut into sub-blocks of at most 255 bytes, then the terminator.
    void SubBlocks(const std::string& data) {
        for (size_t at = 0; at < data.size(); at += 255) {
            size_t n = data.size() - at < 255 ? data.size() - at : 255;
            bytes.push_back(static_cast<uint8_t>(n));
            bytes.insert(bytes.end(), data.begin() + static_cast<long>(at),
                         data.begin() + static_cast<long>(at + n));
        }
        bytes.push_back(0x00);
    }
};

}  // namespace sftest
