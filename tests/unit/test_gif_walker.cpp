// The GIF block walker on pictures written by ImageMagick at test time and
// on hand-built streams: frame fields, stand-alone frames, and streams that
// are cut short, lie about lengths or hold an absurd number of frames.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "launcher/controls/GifBlockWalker.h"
#include "support/GifBuilder.h"
#include "support/TestGifs.h"

using sftest::GifBuilder;

namespace {

struct Walked {
    std::vector<GifFrameBlock> frames;
    std::vector<std::vector<uint8_t>> standalone;
};

// Walks `bytes` from a heap block of exactly their size, so that a read past
// the end is caught by AddressSanitizer.
Walked Walk(const std::vector<uint8_t>& bytes) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + 1]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    GifBlockWalker walker(exact.get(), bytes.size());
    Walked out;
    GifFrameBlock frame;
    while (walker.NextFrame(frame)) {
        out.frames.push_back(frame);
        std::vector<uint8_t> one(walker.StandaloneSize(frame));
        walker.WriteStandalone(frame, one.data());
        out.standalone.push_back(one);
        EXPECT_LE(out.frames.size(), GifBlockWalker::kMaxFrames);
    }
    EXPECT_EQ(walker.CountFrames(), out.frames.size());
    return out;
}

struct Expected {
    uint32_t delay;
    int disposal, left, top, width, height;
};

TEST(GifBlockWalker, FramesOfPicturesWrittenByImageMagick) {
    struct Case {
        const char* file;
        int screenWidth, screenHeight;
        std::vector<Expected> frames;
    };
    std::vector<Expected> twelve(12, Expected{9, 2, 0, 0, 64, 64});
    const Case cases[] = {
        {"twelve-frames.gif", 64, 64, twelve},
        {"zero-delay.gif",
         16,
         16,
         {{0, 1, 0, 0, 16, 16}, {4, 1, 0, 0, 16, 16}, {5, 1, 0, 0, 16, 16}}},
        {"dispose-background.gif",
         32,
         32,
         {{10, 1, 0, 0, 32, 32}, {20, 2, 4, 4, 8, 8}, {30, 1, 20, 20, 8, 8}}},
        {"dispose-previous.gif",
         32,
         32,
         {{10, 1, 0, 0, 32, 32}, {20, 3, 4, 4, 8, 8}, {30, 1, 20, 20, 8, 8}}},
        {"one-frame.gif", 16, 24, {{0, 0, 0, 0, 16, 24}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<uint8_t> bytes = sftest::TestGif(c.file);
        GifBlockWalker walker(bytes.data(), bytes.size());
        ASSERT_TRUE(walker.IsGif());
        EXPECT_EQ(walker.ScreenWidth(), c.screenWidth);
        EXPECT_EQ(walker.ScreenHeight(), c.screenHeight);
        Walked walked = Walk(bytes);
        ASSERT_EQ(walked.frames.size(), c.frames.size());
        for (size_t i = 0; i < c.frames.size(); ++i) {
            SCOPED_TRACE(i);
            const GifFrameBlock& got = walked.frames[i];
            const Expected& want = c.frames[i];
            // ImageMagick writes a single frame without its delay: only the
            // control block's presence matters there.
            if (c.frames.size() > 1) {
                EXPECT_EQ(got.delay, want.delay);
            }
            EXPECT_EQ(got.disposal, want.disposal);
            EXPECT_EQ(got.left, want.left);
            EXPECT_EQ(got.top, want.top);
            EXPECT_EQ(got.width, want.width);
            EXPECT_EQ(got.height, want.height);
        }
    }
}

TEST(GifBlockWalker, StandaloneFrameIsHeaderFrameBlocksAndTrailer) {
    for (const char* file : {"twelve-frames.gif", "dispose-previous.gif", "zero-delay.gif"}) {
        SCOPED_TRACE(file);
        std::vector<uint8_t> bytes = sftest::TestGif(file);
        GifBlockWalker walker(bytes.data(), bytes.size());
        size_t head = GifBlockWalker::kHeaderSize + walker.GlobalColorTableSize();
        Walked walked = Walk(bytes);
        ASSERT_FALSE(walked.frames.empty());
        size_t frameBytes = 0;
        for (size_t i = 0; i < walked.frames.size(); ++i) {
            const GifFrameBlock& frame = walked.frames[i];
            const std::vector<uint8_t>& one = walked.standalone[i];
            ASSERT_EQ(one.size(), head + frame.length + 1);
            EXPECT_TRUE(
                std::equal(bytes.begin(), bytes.begin() + static_cast<long>(head), one.begin()));
            EXPECT_TRUE(std::equal(one.begin() + static_cast<long>(head), one.end() - 1,
                                   bytes.begin() + static_cast<long>(frame.offset)));
            EXPECT_EQ(one.back(), 0x3B);
            // The stand-alone GIF walks to exactly this one frame again.
            Walked again = Walk(one);
            ASSERT_EQ(again.frames.size(), 1u);
            EXPECT_EQ(again.frames[0].delay, frame.delay);
            EXPECT_EQ(again.frames[0].disposal, frame.disposal);
            EXPECT_EQ(again.frames[0].width, frame.width);
            EXPECT_EQ(again.frames[0].left, frame.left);
            EXPECT_EQ(again.frames[0].offset, head);
            frameBytes += frame.length;
        }
        // Only the header, the loop extension ahead of the first image (it
        // travels with that frame) and the trailer lie outside the frames.
        EXPECT_EQ(head + frameBytes + 1, bytes.size());
    }
}

TEST(GifBlockWalker, NotAGifAndHeadersCutShort) {
    std::vector<uint8_t> bmp = sftest::TestGif("picture.bmp");
    EXPECT_FALSE(GifBlockWalker(bmp.data(), bmp.size()).IsGif());
    EXPECT_FALSE(GifBlockWalker(nullptr, 0).IsGif());

    // Any version after "GIF" takes the GIF path.
    std::vector<uint8_t> odd = GifBuilder().Header(4, 4).Image(0, 0, 1, 1).Trailer().bytes;
    odd[3] = '9';
    odd[4] = '9';
    odd[5] = 'z';
    EXPECT_TRUE(GifBlockWalker(odd.data(), odd.size()).IsGif());
    EXPECT_EQ(Walk(odd).frames.size(), 1u);

    // Global colour table of 256 entries announced, 10 bytes present.
    std::vector<uint8_t> cut = GifBuilder().Header(4, 4, 7).bytes;
    cut.resize(GifBlockWalker::kHeaderSize + 10);
    GifBlockWalker tableCut(cut.data(), cut.size());
    EXPECT_EQ(tableCut.GlobalColorTableSize(), 768u);
    EXPECT_EQ(Walk(cut).frames.size(), 0u);

    for (size_t n = 0; n < GifBlockWalker::kHeaderSize; ++n) {
        std::vector<uint8_t> head = GifBuilder().Header(4, 4, -1).bytes;
        head.resize(n);
        EXPECT_EQ(Walk(head).frames.size(), 0u) << n;
    }
}

TEST(GifBlockWalker, HandBuiltStreams) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::vector<Expected> frames;
    };
    const uint32_t none = GifFrameBlock::kNoDelay;
    const Case cases[] = {
        {"no image block", GifBuilder().Header(8, 8).GraphicControl(9, 2).Trailer().bytes, {}},
        {"header and trailer only", GifBuilder().Header(8, 8).Trailer().bytes, {}},
        {"images without graphic control never move on",
         GifBuilder().Header(8, 8).Image(0, 0, 8, 8).Image(1, 2, 3, 4).Trailer().bytes,
         {{none, 0, 0, 0, 8, 8}, {none, 0, 1, 2, 3, 4}}},
        {"comments and loop blocks are skipped",
         GifBuilder()
             .Header(8, 8)
             .Comment("made by hand")
             .Loop(0)
             .GraphicControl(7, 3)
             .Comment(std::string(600, 'c'))
             .Image(0, 0, 2, 2, 1)
             .Comment("between")
             .GraphicControl(8, 1)
             .Image(2, 2, 2, 2)
             .Trailer()
             .bytes,
         {{7, 3, 0, 0, 2, 2}, {8, 1, 2, 2, 2, 2}}},
        {"a second graphic control before the image does not count",
         GifBuilder()
             .Header(8, 8)
             .GraphicControl(3, 2)
             .GraphicControl(50, 1)
             .Image(0, 0, 1, 1)
             .Trailer()
             .bytes,
         {{3, 2, 0, 0, 1, 1}}},
        {"plain text frame placed by its text grid",
         GifBuilder()
             .Header(40, 20)
             .GraphicControl(6, 0)
             .PlainText(5, 6, 30, 8, "hi")
             .Trailer()
             .bytes,
         {{6, 0, 5, 6, 30, 8}}},
        {"unknown block ends the walk",
         GifBuilder()
             .Header(8, 8)
             .Image(0, 0, 1, 1)
             .Raw({0x21, 0x77, 0x00})
             .Image(0, 0, 1, 1)
             .bytes,
         {{none, 0, 0, 0, 1, 1}}},
        {"stray byte ends the walk",
         GifBuilder().Header(8, 8).Image(0, 0, 1, 1).Raw({0x00}).Image(0, 0, 1, 1).bytes,
         {{none, 0, 0, 0, 1, 1}}},
        {"missing trailer",
         GifBuilder().Header(8, 8).Image(0, 0, 1, 1).bytes,
         {{none, 0, 0, 0, 1, 1}}},
        {"graphic control followed by the trailer",
         GifBuilder().Header(8, 8).Image(0, 0, 1, 1).GraphicControl(5, 2).Trailer().bytes,
         {{none, 0, 0, 0, 1, 1}}},
        {"graphic control followed by an unknown block",
         GifBuilder().Header(8, 8).GraphicControl(5, 2).Raw({0x99}).Image(0, 0, 1, 1).bytes,
         {}},
        {"sub-block length runs past the end",
         GifBuilder()
             .Header(8, 8)
             .Image(0, 0, 1, 1)
             .Raw({0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 0xFF, 1, 2})
             .bytes,
         {{none, 0, 0, 0, 1, 1}}},
        {"local colour table runs past the end",
         GifBuilder()
             .Header(8, 8)
             .Image(0, 0, 1, 1)
             .Raw({0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x87, 2, 0})
             .bytes,
         {{none, 0, 0, 0, 1, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Walked walked = Walk(c.bytes);
        ASSERT_EQ(walked.frames.size(), c.frames.size());
        for (size_t i = 0; i < c.frames.size(); ++i) {
            EXPECT_EQ(walked.frames[i].delay, c.frames[i].delay);
            EXPECT_EQ(walked.frames[i].disposal, c.frames[i].disposal);
            EXPECT_EQ(walked.frames[i].left, c.frames[i].left);
            EXPECT_EQ(walked.frames[i].top, c.frames[i].top);
            EXPECT_EQ(walked.frames[i].width, c.frames[i].width);
            EXPECT_EQ(walked.frames[i].height, c.frames[i].height);
        }
    }
}

TEST(GifBlockWalker, BlockLengths) {
    std::vector<uint8_t> bytes = GifBuilder()
                                     .Header(8, 8, -1)
                                     .Loop(0)                     // 13: 14 + 4 + 1
                                     .Comment("abc")              // 32: 2 + 4 + 1
                                     .GraphicControl(1, 1)        // 39: 8
                                     .PlainText(0, 0, 1, 1, "x")  // 47: 15 + 2 + 1
                                     .Image(0, 0, 1, 1, 0)        // 65: 11 + 6 + 3 + 1
                                     .Trailer()                   // 86: 1
                                     .bytes;
    GifBlockWalker walker(bytes.data(), bytes.size());
    const struct {
        size_t offset;
        GifBlockKind kind;
        size_t length;
    } blocks[] = {
        {13, GifBlockKind::ApplicationExtension, 19},
        {32, GifBlockKind::CommentExtension, 7},
        {39, GifBlockKind::GraphicControl, 8},
        {47, GifBlockKind::PlainText, 18},
        {65, GifBlockKind::Image, 21},
        {86, GifBlockKind::Trailer, 1},
        {87, GifBlockKind::Unknown, 0},
        {14, GifBlockKind::Unknown, 0},
    };
    ASSERT_EQ(bytes.size(), 87u);
    for (const auto& b : blocks) {
        SCOPED_TRACE(b.offset);
        EXPECT_EQ(walker.KindAt(b.offset), b.kind);
        EXPECT_EQ(walker.BlockLength(b.offset), b.length);
    }
}

TEST(GifBlockWalker, EveryCutOfARealPictureStaysInsideTheData) {
    std::vector<uint8_t> bytes = sftest::TestGif("dispose-previous.gif");
    Walked full = Walk(bytes);
    ASSERT_EQ(full.frames.size(), 3u);
    for (size_t n = 0; n <= bytes.size(); ++n) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
        Walked walked = Walk(cut);
        // A prefix yields exactly the frames that end inside it.
        size_t whole = 0;
        for (const GifFrameBlock& f : full.frames)
            whole += f.offset + f.length <= n ? 1 : 0;
        ASSERT_EQ(walked.frames.size(), whole) << "cut at " << n;
    }
}

TEST(GifBlockWalker, AbsurdFrameCountIsBounded) {
    GifBuilder many;
    many.Header(2, 2, 0);
    const size_t blocks = GifBlockWalker::kMaxFrames * 5;
    for (size_t i = 0; i < blocks; ++i)
        many.GraphicControl(0, 0).Image(0, 0, 1, 1);
    many.Trailer();
    GifBlockWalker walker(many.bytes.data(), many.bytes.size());
    EXPECT_EQ(walker.CountFrames(), GifBlockWalker::kMaxFrames);
    Walked walked = Walk(many.bytes);
    EXPECT_EQ(walked.frames.size(), GifBlockWalker::kMaxFrames);

    // Rewinding starts a new walk with a fresh bound.
    walker.Rewind();
    GifFrameBlock frame;
    size_t again = 0;
    while (walker.NextFrame(frame) && again <= blocks)
        ++again;
    EXPECT_EQ(again, GifBlockWalker::kMaxFrames);
}

}  // namespace
