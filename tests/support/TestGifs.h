// The pictures that tests/support/make-test-gifs.sh writes at test time, and
// the colours of their frames.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestData.h"

namespace sftest {

// Frame colours of twelve-frames.gif as 0xRRGGBB, in frame order.
constexpr uint32_t kTwelveFrameColors[12] = {
    0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0x00FFFF, 0xFF00FF,
    0x800000, 0x008000, 0x000080, 0x808000, 0x008080, 0x800080,
};

// The bytes of picture `name` (for instance "twelve-frames.gif").
inline std::vector<uint8_t> TestGif(const char* name) {
    bool ok = false;
    std::vector<uint8_t> bytes = ReadFile(DataPath(std::string("gif/") + name), &ok);
    EXPECT_TRUE(ok) << name;
    return bytes;
}

}  // namespace sftest
