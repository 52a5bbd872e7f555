// GIF streams come from resources and picture files; the walker cuts frames
// out of them. Every frame it yields must lie inside the data, and its
// stand-alone copy must walk to the same single frame again.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "launcher/controls/GifBlockWalker.h"

namespace {

bool SameFrame(const GifFrameBlock& a, const GifFrameBlock& b) {
    return a.length == b.length && a.delay == b.delay && a.disposal == b.disposal &&
           a.left == b.left && a.top == b.top && a.width == b.width && a.height == b.height;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GifBlockWalker walker(data, size);
    size_t counted = walker.CountFrames();
    size_t walked = 0;
    GifFrameBlock frame;
    while (walker.NextFrame(frame)) {
        ++walked;
        if (frame.length == 0 || frame.offset > size || size - frame.offset < frame.length)
            abort();
        std::vector<uint8_t> one(walker.StandaloneSize(frame));
        walker.WriteStandalone(frame, one.data());
        GifBlockWalker again(one.data(), one.size());
        GifFrameBlock copy;
        if (!again.NextFrame(copy) || !SameFrame(copy, frame) || again.NextFrame(copy))
            abort();
    }
    if (walked != counted || walked > GifBlockWalker::kMaxFrames)
        abort();
    return 0;
}
