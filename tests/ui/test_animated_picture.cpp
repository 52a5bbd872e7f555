// The animated picture on real windows under Wine: frames cut from GIFs made
// by ImageMagick and decoded by the system picture loader, stepped one frame
// at a time through a clock seam, the canvas read back through
// WM_PRINTCLIENT into a memory DC.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "launcher/controls/CAnimatedPicture.h"
#include "launcher/res/resource.h"
#include "support/Eventually.h"
#include "support/GifBuilder.h"
#include "support/TestGifs.h"
#include "tests/ui/UiTestSupport.h"

using sftest::GifBuilder;

namespace {

// Frame i of twelve-frames.gif as a COLORREF.
COLORREF TwelveColor(size_t i) {
    uint32_t rgb = sftest::kTwelveFrameColors[i % 12];
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}
const COLORREF kRed = RGB(255, 0, 0);
const COLORREF kBlue = RGB(0, 0, 255);
const COLORREF kLime = RGB(0, 255, 0);

// Lets the animation thread go one frame at a time and records each wait.
class SteppingClock : public CAnimatedPicture::IFrameClock {
  public:
    SteppingClock()
        : m_arrived(::CreateEventA(nullptr, FALSE, FALSE, nullptr)),
          m_go(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ~SteppingClock() override {
        ::CloseHandle(m_arrived);
        ::CloseHandle(m_go);
    }

    void WaitFrame(HANDLE exitEvent, DWORD ms) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_waits.push_back(ms);
        }
        ::SetEvent(m_arrived);
        HANDLE handles[2] = {exitEvent, m_go};
        ::WaitForMultipleObjects(2, handles, FALSE, 30000);
    }

    // True once the thread has drawn its next frame and waits out its delay.
    bool AwaitFrame() { return ::WaitForSingleObject(m_arrived, 10000) == WAIT_OBJECT_0; }
    void Step() { ::SetEvent(m_go); }
    std::vector<DWORD> Waits() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_waits;
    }

  private:
    HANDLE m_arrived;
    HANDLE m_go;
    std::mutex m_mutex;
    std::vector<DWORD> m_waits;
};

// A clock that ignores the exit event: the thread stays in its wait until the
// test lets it go, as a thread stuck in a slow render would.
class StuckClock : public CAnimatedPicture::IFrameClock {
  public:
    StuckClock()
        : m_arrived(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          m_release(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~StuckClock() override {
        ::CloseHandle(m_arrived);
        ::CloseHandle(m_release);
    }
    void WaitFrame(HANDLE, DWORD) override {
        ++calls;
        ::SetEvent(m_arrived);
        ::WaitForSingleObject(m_release, 30000);
    }
    bool AwaitFrame() { return ::WaitForSingleObject(m_arrived, 10000) == WAIT_OBJECT_0; }
    void Release() { ::SetEvent(m_release); }
    std::atomic<int> calls{0};

  private:
    HANDLE m_arrived;
    HANDLE m_release;
};

HGLOBAL ToGlobal(const std::vector<uint8_t>& bytes) {
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    void* data = ::GlobalLock(block);
    memcpy(data, bytes.data(), bytes.size());
    ::GlobalUnlock(block);
    return block;
}

// What the canvas holds, row by row.
struct Pixels {
    int width = 0;
    std::vector<COLORREF> bits;

    COLORREF At(int x, int y) const { return bits[static_cast<size_t>(y * width + x)]; }
    int CountIn(int x0, int y0, int w, int h, COLORREF colour) const {
        int count = 0;
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x)
                count += At(x, y) == colour ? 1 : 0;
        return count;
    }
    int CountOf(COLORREF colour) const {
        return CountIn(0, 0, width, static_cast<int>(bits.size()) / width, colour);
    }
};

// One host dialog for the suite (top-level windows are slow to come and go
// under Wine); each test attaches the picture to a fresh static control.
class AnimatedPictureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_host = new CDialog(IDD_UI_EMPTY);
        ASSERT_TRUE(s_host->Create());
        ::SetWindowPos(s_host->GetSafeHwnd(), nullptr, 0, 0, 200, 120, SWP_NOZORDER);
        // The picture goes where the template's controls are not.
        for (int i = 0; i < 100; ++i) {
            HWND child = ::GetWindow(s_host->GetSafeHwnd(), GW_CHILD);
            if (child == nullptr)
                break;
            ::DestroyWindow(child);
        }
    }
    static void TearDownTestSuite() {
        delete s_host;
        s_host = nullptr;
    }
    void SetUp() override {
        HWND stat = ::CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_BITMAP, 10, 10,
                                      20, 20, s_host->GetSafeHwnd(), reinterpret_cast<HMENU>(1038),
                                      nullptr, nullptr);
        ASSERT_NE(stat, nullptr);
        ASSERT_TRUE(m_picture.SubclassWindow(stat));
    }
    void TearDown() override {
        m_picture.UnloadPicture();
        HWND stat = m_picture.UnsubclassWindow();
        if (stat != nullptr)
            ::DestroyWindow(stat);
        ::InvalidateRect(s_host->GetSafeHwnd(), nullptr, TRUE);
    }

    bool Load(const std::vector<uint8_t>& bytes) {
        HGLOBAL block = ToGlobal(bytes);
        bool loaded = m_picture.LoadPictureData(block, static_cast<DWORD>(bytes.size()));
        ::GlobalFree(block);
        return loaded;
    }
    Pixels Canvas() {
        SIZE size = m_picture.PictureSize();
        uitest::Canvas canvas(size.cx, size.cy, RGB(1, 2, 3));
        canvas.PrintClient(m_picture.GetSafeHwnd());
        Pixels pixels;
        pixels.width = size.cx;
        for (int y = 0; y < size.cy; ++y)
            for (int x = 0; x < size.cx; ++x)
                pixels.bits.push_back(canvas.Pixel(x, y));
        return pixels;
    }
    void Screenshot(const char* name) {
        HWND host = s_host->GetSafeHwnd();
        ::RedrawWindow(host, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
        uitest::Pump();
        RECT rect;
        ::GetWindowRect(host, &rect);
        uitest::Canvas shot(rect.right - rect.left, rect.bottom - rect.top, RGB(0, 0, 0));
        shot.CaptureWindow(host);
        EXPECT_TRUE(shot.SaveBmp(uitest::ScreenshotFolder() + name + ".bmp"));
    }
    // 12 frames of 64 x 64 at (0, 0), 90 ms each, disposal 2; the control
    // sized to them.
    void ExpectTwelveFramesOf90ms() {
        ASSERT_EQ(m_picture.FrameCount(), 12u);
        for (const CAnimatedPicture::GifFrame& frame : m_picture.Frames()) {
            EXPECT_EQ(frame.delay, 9u);
            EXPECT_EQ(frame.disposal, 2);
            EXPECT_EQ(frame.size.cx, 64);
            EXPECT_EQ(frame.size.cy, 64);
            EXPECT_EQ(frame.offset.x, 0);
            EXPECT_EQ(frame.offset.y, 0);
        }
        EXPECT_EQ(WindowSize().cx, 64);
        EXPECT_EQ(WindowSize().cy, 64);
    }
    SIZE WindowSize() {
        RECT rect;
        ::GetWindowRect(m_picture.GetSafeHwnd(), &rect);
        return SIZE{rect.right - rect.left, rect.bottom - rect.top};
    }

    static CDialog* s_host;
    CAnimatedPicture m_picture;
};

CDialog* AnimatedPictureTest::s_host = nullptr;

TEST_F(AnimatedPictureTest, TwelveFramesOf90msCycleWithDisposal2) {
    ASSERT_TRUE(Load(sftest::TestGif("twelve-frames.gif")));
    ASSERT_TRUE(m_picture.IsAnimated());
    ASSERT_EQ(m_picture.FrameCount(), 12u);
    ExpectTwelveFramesOf90ms();

    SteppingClock clock;
    m_picture.SetFrameClock(&clock);
    // An animated GIF answers false: the thread draws, not this call.
    EXPECT_FALSE(m_picture.StartDrawing());
    EXPECT_NE(m_picture.AnimationThreadId(), 0u);
    // One full cycle and the first frame again.
    for (size_t i = 0; i <= 12; ++i) {
        ASSERT_TRUE(clock.AwaitFrame()) << i;
        Pixels canvas = Canvas();
        EXPECT_EQ(canvas.CountOf(TwelveColor(i)), 64 * 64) << "frame " << i;
        if (i == 3) {
            Screenshot("animated_picture_frame3");
        }
        clock.Step();
    }
    m_picture.StopAnimation();
    EXPECT_EQ(clock.Waits(), std::vector<DWORD>(13, 90));
    EXPECT_FALSE(m_picture.IsPlaying());
}

TEST_F(AnimatedPictureTest, TheProgramsSpinnerResource) {
    ASSERT_TRUE(m_picture.LoadResourcePicture(IDR_LOADING_GIF, "GIF"));
    ASSERT_EQ(m_picture.FrameCount(), 12u);
    ExpectTwelveFramesOf90ms();

    // The frames differ from one another: it spins.
    SteppingClock clock;
    m_picture.SetFrameClock(&clock);
    m_picture.StartDrawing();
    std::vector<Pixels> seen;
    for (size_t i = 0; i < 12; ++i) {
        ASSERT_TRUE(clock.AwaitFrame()) << i;
        seen.push_back(Canvas());
        if (i == 0) {
            Screenshot("animated_picture_spinner");
        }
        clock.Step();
    }
    m_picture.StopAnimation();
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_NE(seen[i].bits, seen[i - 1].bits) << "frame " << i;
}

TEST_F(AnimatedPictureTest, DelaysBelowFiveHundredthsWait100ms) {
    ASSERT_TRUE(Load(sftest::TestGif("zero-delay.gif")));
    SteppingClock clock;
    m_picture.SetFrameClock(&clock);
    m_picture.StartDrawing();
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(clock.AwaitFrame());
        clock.Step();
    }
    m_picture.StopAnimation();
    // Delays 0, 4 and 5 hundredths, then 0 again.
    EXPECT_EQ(clock.Waits(), (std::vector<DWORD>{100, 100, 50, 100}));
}

TEST_F(AnimatedPictureTest, Disposal2FillsTheFrameWithTheBackground) {
    ASSERT_TRUE(Load(sftest::TestGif("dispose-background.gif")));
    SteppingClock clock;
    m_picture.SetFrameClock(&clock);
    m_picture.StartDrawing();
    ASSERT_TRUE(clock.AwaitFrame());
    EXPECT_EQ(Canvas().CountOf(kRed), 32 * 32);
    clock.Step();
    ASSERT_TRUE(clock.AwaitFrame());
    Pixels second = Canvas();
    EXPECT_EQ(second.CountIn(4, 4, 8, 8, kBlue), 64);
    EXPECT_EQ(second.CountOf(kRed), 32 * 32 - 64);
    clock.Step();
    ASSERT_TRUE(clock.AwaitFrame());
    Pixels third = Canvas();
    EXPECT_EQ(third.CountIn(4, 4, 8, 8, m_picture.BackgroundColor()), 64);
    EXPECT_EQ(third.CountIn(20, 20, 8, 8, kLime), 64);
    EXPECT_EQ(third.CountOf(kRed), 32 * 32 - 128);
    // After the last frame the whole canvas is cleared and frame 0 drawn.
    clock.Step();
    ASSERT_TRUE(clock.AwaitFrame());
    EXPECT_EQ(Canvas().CountOf(kRed), 32 * 32);
    m_picture.StopAnimation();
}

TEST_F(AnimatedPictureTest, Disposal3RestoresWhatWasUnderTheFrame) {
    ASSERT_TRUE(Load(sftest::TestGif("dispose-previous.gif")));
    SteppingClock clock;
    m_picture.SetFrameClock(&clock);
    m_picture.StartDrawing();
    ASSERT_TRUE(clock.AwaitFrame());
    Pixels before = Canvas();
    EXPECT_EQ(before.CountOf(kRed), 32 * 32);
    clock.Step();
    ASSERT_TRUE(clock.AwaitFrame());
    EXPECT_EQ(Canvas().CountIn(4, 4, 8, 8, kBlue), 64);
    clock.Step();
    ASSERT_TRUE(clock.AwaitFrame());
    Pixels after = Canvas();
    // Exactly as before the blue frame, but for the lime frame now drawn.
    EXPECT_EQ(after.CountIn(20, 20, 8, 8, kLime), 64);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            if (x < 20 || y < 20 || x >= 28 || y >= 28) {
                ASSERT_EQ(after.At(x, y), before.At(x, y)) << x << "," << y;
            }
        }
    }
    m_picture.StopAnimation();
}

TEST_F(AnimatedPictureTest, OneFrameGifIsShownStillWithoutAThread) {
    ASSERT_TRUE(Load(sftest::TestGif("one-frame.gif")));
    EXPECT_TRUE(m_picture.IsGif());
    EXPECT_FALSE(m_picture.IsAnimated());
    EXPECT_TRUE(m_picture.StartDrawing());
    EXPECT_EQ(m_picture.AnimationThreadId(), 0u);
    EXPECT_FALSE(m_picture.IsPlaying());
    EXPECT_EQ(WindowSize().cx, 16);
    EXPECT_EQ(WindowSize().cy, 24);
    EXPECT_EQ(Canvas().CountOf(RGB(0x33, 0x66, 0xCC)), 16 * 24);
}

TEST_F(AnimatedPictureTest, AGifWithOneDecodableFrameIsShownStill) {
    // The plain text frame is walked but the picture loader cannot decode it.
    GifBuilder gif;
    gif.Header(8, 8).GraphicControl(9, 1).Image(2, 2, 4, 4);
    gif.GraphicControl(9, 1).PlainText(0, 0, 8, 8, "text").Trailer();
    ASSERT_TRUE(Load(gif.bytes));
    EXPECT_EQ(m_picture.FrameCount(), 1u);
    EXPECT_FALSE(m_picture.IsAnimated());
    EXPECT_TRUE(m_picture.StartDrawing());
    EXPECT_EQ(m_picture.AnimationThreadId(), 0u);
    // Colour index 0 of the builder's grey table is black.
    Pixels canvas = Canvas();
    EXPECT_EQ(canvas.CountIn(2, 2, 4, 4, RGB(0, 0, 0)), 16);
}

TEST_F(AnimatedPictureTest, BitmapIsShownAtItsOwnSize) {
    ASSERT_TRUE(Load(sftest::TestGif("picture.bmp")));
    EXPECT_FALSE(m_picture.IsGif());
    EXPECT_TRUE(m_picture.StartDrawing());
    EXPECT_EQ(m_picture.AnimationThreadId(), 0u);
    EXPECT_EQ(m_picture.PictureSize().cx, 20);
    EXPECT_EQ(m_picture.PictureSize().cy, 10);
    EXPECT_EQ(WindowSize().cx, 20);
    EXPECT_EQ(Canvas().CountOf(RGB(0xCC, 0x66, 0x33)), 20 * 10);
}

TEST_F(AnimatedPictureTest, PicturesThatDoNotLoad) {
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"no image block", GifBuilder().Header(8, 8).GraphicControl(9, 2).Trailer().bytes},
        {"header cut short", {'G', 'I', 'F', '8', '9', 'a', 8, 0}},
        {"neither GIF nor any picture", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(Load(c.bytes));
        EXPECT_FALSE(m_picture.StartDrawing());
        EXPECT_EQ(m_picture.FrameCount(), 0u);
        EXPECT_EQ(m_picture.PictureSize().cx, 0);
    }
    EXPECT_FALSE(m_picture.LoadResourcePicture(9999, "GIF"));
}

TEST_F(AnimatedPictureTest, StopCutsAFrameWaitShortAndEndsTheThread) {
    // Frames without a graphic control wait 4 294 967 286 ms each.
    GifBuilder gif;
    gif.Header(8, 8).Image(0, 0, 8, 8).Image(0, 0, 4, 4).Trailer();
    ASSERT_TRUE(Load(gif.bytes));
    ASSERT_EQ(m_picture.FrameCount(), 2u);
    EXPECT_EQ(m_picture.Frames()[0].delay, 0xFFFFFFFFu);

    // Stopping a picture that never started returns at once.
    m_picture.StopAnimation();

    m_picture.StartDrawing();
    DWORD id = m_picture.AnimationThreadId();
    ASSERT_NE(id, 0u);
    HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, id);
    ASSERT_NE(thread, nullptr);
    sftest::Eventually([&] { return m_picture.IsPlaying(); }, 5000);
    EXPECT_TRUE(m_picture.IsPlaying());
    m_picture.StopAnimation();
    EXPECT_EQ(::WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(m_picture.AnimationThreadId(), 0u);
    ::CloseHandle(thread);
    // The picture stays loaded and can run again.
    EXPECT_EQ(m_picture.FrameCount(), 2u);
}

TEST_F(AnimatedPictureTest, RestartShowsTheFrameItStoppedOn) {
    ASSERT_TRUE(Load(sftest::TestGif("twelve-frames.gif")));
    SteppingClock clock;
    m_picture.SetFrameClock(&clock);
    m_picture.StartDrawing();
    DWORD first = m_picture.AnimationThreadId();
    // A second start while the thread runs starts no second thread.
    EXPECT_FALSE(m_picture.StartDrawing());
    EXPECT_EQ(m_picture.AnimationThreadId(), first);
    ASSERT_TRUE(clock.AwaitFrame());
    clock.Step();
    ASSERT_TRUE(clock.AwaitFrame());
    m_picture.StopAnimation();
    EXPECT_EQ(Canvas().CountOf(TwelveColor(1)), 64 * 64);
    m_picture.StartDrawing();
    ASSERT_TRUE(clock.AwaitFrame());
    EXPECT_EQ(Canvas().CountOf(TwelveColor(1)), 64 * 64);
    clock.Step();
    ASSERT_TRUE(clock.AwaitFrame());
    EXPECT_EQ(Canvas().CountOf(TwelveColor(2)), 64 * 64);
    m_picture.StopAnimation();
}

TEST_F(AnimatedPictureTest, DestroyingTheWindowStopsTheAnimation) {
    ASSERT_TRUE(Load(sftest::TestGif("twelve-frames.gif")));
    SteppingClock clock;
    m_picture.SetFrameClock(&clock);
    m_picture.StartDrawing();
    HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, m_picture.AnimationThreadId());
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(clock.AwaitFrame());
    ::DestroyWindow(m_picture.GetSafeHwnd());
    EXPECT_EQ(::WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(m_picture.GetSafeHwnd(), nullptr);
    ::CloseHandle(thread);
}

TEST_F(AnimatedPictureTest, AThreadThatOutlivesTheStopBoundNeverDrawsAgain) {
    ASSERT_TRUE(Load(sftest::TestGif("twelve-frames.gif")));
    StuckClock clock;
    m_picture.SetFrameClock(&clock);
    m_picture.SetStopWait(50);
    m_picture.StartDrawing();
    HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, m_picture.AnimationThreadId());
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(clock.AwaitFrame());

    m_picture.StopAnimation();
    EXPECT_EQ(::WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // The control gave the stuck thread its old state and starts afresh.
    EXPECT_EQ(m_picture.FrameCount(), 0u);
    EXPECT_FALSE(m_picture.StartDrawing());
    m_picture.UnloadPicture();
    ::DestroyWindow(m_picture.GetSafeHwnd());

    // Let the thread go: it sees the exit flag, draws nothing and ends,
    // freeing the frames and canvas it held.
    clock.Release();
    EXPECT_EQ(::WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(clock.calls.load(), 1);
    ::CloseHandle(thread);
}

}  // namespace
