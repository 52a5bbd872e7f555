// CAnimatedPicture: a static control that shows a picture and, for a GIF of
// more than one frame, animates it on a thread of its own.
//
// Loading. A GIF is cut into frames by GifBlockWalker; each frame becomes a
// stand-alone GIF that OleLoadPicture decodes into its own IPicture, once, at
// load time. Anything that is not a GIF (and a GIF of one frame) is handed to
// OleLoadPicture whole and shown still.
//
// Canvas. The control resizes itself to the picture and draws into an
// off-screen canvas of that size; WM_PAINT (and WM_PRINTCLIENT) copy the
// canvas to the window. The animation thread renders frames into the canvas
// and invalidates the window; the canvas lock keeps a frame's rendering and
// the window thread's copy apart.
//
// The animation thread. It renders the current frame, waits its delay
// (100 ms for delays below 5 hundredths, else 10 ms per hundredth in 32-bit
// arithmetic, so a frame without a graphic control halts the animation),
// disposes the frame (2: background colour, 3: what was under it) and moves
// on, forever; the GIF's loop count is ignored. StopAnimation() sets the exit
// flag and the exit event, which cuts the wait short, and waits for the thread
// at most the stop bound (5000 ms).
//
// Everything the thread touches lives in one shared state that the thread
// holds a reference to. A thread that outlives the stop bound therefore never
// sees freed memory: unloading gives the control a fresh state, and the old one
// (canvas, frames) goes when that thread finally ends, without drawing again.
#pragma once

#include "launcher/framework/Window.h"

#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <memory>
#include <vector>

class CAnimatedPicture : public CWindow {
  public:
    // How the animation thread waits out a frame's delay. The default waits
    // on the exit event; tests step the animation frame by frame.
    class IFrameClock {
      public:
        virtual ~IFrameClock() = default;
        // Waits up to `ms` on the animation thread; returns early when
        // `exitEvent` is signalled.
        virtual void WaitFrame(HANDLE exitEvent, DWORD ms) = 0;
    };

    static constexpr DWORD kStopWaitMs = 5000;
    // Delays below this many hundredths are shown for kShortDelayMs.
    static constexpr uint32_t kShortDelay = 5;
    static constexpr DWORD kShortDelayMs = 100;

    // One frame of an animated GIF, decoded.
    struct GifFrame {
        IPicture* picture = nullptr;
        SIZE size{0, 0};
        POINT offset{0, 0};
        uint32_t delay = 0;  // hundredths of a second
        int disposal = 0;
    };

    CAnimatedPicture();
    ~CAnimatedPicture() override;

    // Loads resource `id` of type `type` of the program.
    bool LoadResourcePicture(int id, const char* type);
    // Loads the picture in `block` (`size` bytes); the block stays the caller's.
    bool LoadPictureData(HGLOBAL block, DWORD size);
    // Shows the loaded picture: starts the animation thread for an animated
    // GIF (and returns false), or renders the still picture onto the canvas
    // (true when that worked). False without a canvas.
    bool StartDrawing();
    // Ends the animation thread (see above); returns at once when none runs.
    void StopAnimation();
    // Stops, releases every picture and the canvas, resets every field.
    void UnloadPicture();

    bool IsGif() const;
    // A GIF of more than one frame.
    bool IsAnimated() const;
    SIZE PictureSize() const;
    COLORREF BackgroundColor() const;
    size_t FrameCount() const;
    // Copies of the frame fields (pictures left out).
    std::vector<GifFrame> Frames() const;
    bool IsPlaying() const;
    // Id of the running animation thread, 0 when none was started.
    DWORD AnimationThreadId() const { return m_threadId; }

    // Test seams: the clock the next animation thread waits with (kept by the
    // caller; null: the exit event) and the bound StopAnimation() waits.
    void SetFrameClock(IFrameClock* clock) { m_clock = clock; }
    void SetStopWait(DWORD ms) { m_stopWaitMs = ms; }

  protected:
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;

  private:
    struct State;
    static unsigned __stdcall AnimationThread(void* param) noexcept;
    bool LoadGifFrames(const uint8_t* data, size_t size);
    bool MakeCanvas(int width, int height);
    void PaintCanvas(HDC dc);

    std::shared_ptr<State> m_state;
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
    IFrameClock* m_clock = nullptr;
    DWORD m_stopWaitMs = kStopWaitMs;
};
