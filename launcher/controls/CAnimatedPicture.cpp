#include "launcher/controls/CAnimatedPicture.h"

#include "launcher/controls/GifBlockWalker.h"
#include "launcher/framework/Resources.h"

#include <process.h>
#include <string.h>

namespace {

// Picture size in pixels from an IPicture's HIMETRIC size, at the screen's
// logical resolution.
SIZE PixelSize(IPicture* picture) {
    OLE_XSIZE_HIMETRIC width = 0;
    OLE_YSIZE_HIMETRIC height = 0;
    picture->get_Width(&width);
    picture->get_Height(&height);
    HDC screen = ::GetDC(nullptr);
    SIZE size{::MulDiv(width, ::GetDeviceCaps(screen, LOGPIXELSX), 2540),
              ::MulDiv(height, ::GetDeviceCaps(screen, LOGPIXELSY), 2540)};
    ::ReleaseDC(nullptr, screen);
    return size;
}

// Decodes the picture in `block` through the system picture loader. With
// `streamOwnsBlock` the stream frees the block when it is released.
IPicture* LoadPicture(HGLOBAL block, DWORD size, bool streamOwnsBlock) {
    IStream* stream = nullptr;
    if (FAILED(::CreateStreamOnHGlobal(block, streamOwnsBlock ? TRUE : FALSE, &stream))) {
        if (streamOwnsBlock) {
            ::GlobalFree(block);
        }
        return nullptr;
    }
    IPicture* picture = nullptr;
    if (FAILED(::OleLoadPicture(stream, static_cast<LONG>(size), FALSE, IID_IPicture,
                                reinterpret_cast<void**>(&picture)))) {
        picture = nullptr;
    }
    stream->Release();
    return picture;
}

// Draws the whole picture into `dc` at the given place, top-down.
bool RenderPicture(IPicture* picture, HDC dc, int x, int y, int width, int height) {
    OLE_XSIZE_HIMETRIC hmWidth = 0;
    OLE_YSIZE_HIMETRIC hmHeight = 0;
    picture->get_Width(&hmWidth);
    picture->get_Height(&hmHeight);
    return SUCCEEDED(
        picture->Render(dc, x, y, width, height, 0, hmHeight, hmWidth, -hmHeight, nullptr));
}

// A memory DC with a selected bitmap compatible with `reference`.
struct MemoryCanvas {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;

    bool Create(HDC reference, int width, int height) {
        dc = ::CreateCompatibleDC(reference);
        bitmap = ::CreateCompatibleBitmap(reference, width, height);
        if (dc == nullptr || bitmap == nullptr) {
            Delete();
            return false;
        }
        old = ::SelectObject(dc, bitmap);
        return true;
    }
    void Delete() {
        if (dc != nullptr && old != nullptr) {
            ::SelectObject(dc, old);
        }
        if (bitmap != nullptr) {
            ::DeleteObject(bitmap);
        }
        if (dc != nullptr) {
            ::DeleteDC(dc);
        }
        *this = MemoryCanvas{};
    }
};

}  // namespace

// Everything the animation thread touches. The canvas lock guards the two
// memory DCs; the frame list and the sizes do not change while a thread runs.
struct CAnimatedPicture::State {
    State() {
        ::InitializeCriticalSection(&lock);
        exitEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~State() {
        if (single != nullptr) {
            single->Release();
        }
        for (GifFrame& frame : frames) {
            if (frame.picture != nullptr) {
                frame.picture->Release();
            }
        }
        saveArea.Delete();
        canvas.Delete();
        if (exitEvent != nullptr) {
            ::CloseHandle(exitEvent);
        }
        ::DeleteCriticalSection(&lock);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void FillBackground(const RECT& rect) {
        HBRUSH brush = ::CreateSolidBrush(background);
        ::FillRect(canvas.dc, &rect, brush);
        ::DeleteObject(brush);
    }
    static RECT FrameRect(const GifFrame& frame) {
        return RECT{frame.offset.x, frame.offset.y, frame.offset.x + frame.size.cx,
                    frame.offset.y + frame.size.cy};
    }
    // Keeps what lies under a disposal-3 frame.
    void SaveUnder(const GifFrame& frame) {
        saveArea.Delete();
        if (saveArea.Create(canvas.dc, frame.size.cx, frame.size.cy)) {
            ::BitBlt(saveArea.dc, 0, 0, frame.size.cx, frame.size.cy, canvas.dc, frame.offset.x,
                     frame.offset.y, SRCCOPY);
        }
    }
    // Takes the frame off the canvas as its disposal method says.
    void Dispose(const GifFrame& frame) {
        if (frame.disposal == 2) {
            FillBackground(FrameRect(frame));
        } else if (frame.disposal == 3 && saveArea.dc != nullptr) {
            ::BitBlt(canvas.dc, frame.offset.x, frame.offset.y, frame.size.cx, frame.size.cy,
                     saveArea.dc, 0, 0, SRCCOPY);
            saveArea.Delete();
        }
    }

    CRITICAL_SECTION lock;
    bool isGif = false;
    SIZE size{0, 0};
    COLORREF background = 0xFFFFFF;
    IPicture* single = nullptr;
    std::vector<GifFrame> frames;
    MemoryCanvas canvas;
    MemoryCanvas saveArea;  // only while a disposal-3 frame is shown
    bool initialised = false;

    size_t current = 0;
    std::atomic<bool> playing{false};
    std::atomic<bool> exit{false};
    HANDLE exitEvent = nullptr;
    HWND window = nullptr;
    IFrameClock* clock = nullptr;
};

namespace {

class CanvasLock {
  public:
    explicit CanvasLock(CRITICAL_SECTION& lock) : m_lock(lock) { ::EnterCriticalSection(&m_lock); }
    ~CanvasLock() { ::LeaveCriticalSection(&m_lock); }
    CanvasLock(const CanvasLock&) = delete;
    CanvasLock& operator=(const CanvasLock&) = delete;

  private:
    CRITICAL_SECTION& m_lock;
};

}  // namespace

CAnimatedPicture::CAnimatedPicture() : m_state(std::make_shared<State>()) {}

CAnimatedPicture::~CAnimatedPicture() {
    UnloadPicture();
}

bool CAnimatedPicture::IsGif() const {
    return m_state->isGif;
}

bool CAnimatedPicture::IsAnimated() const {
    return m_state->isGif && m_state->frames.size() > 1;
}

SIZE CAnimatedPicture::PictureSize() const {
    return m_state->size;
}

COLORREF CAnimatedPicture::BackgroundColor() const {
    return m_state->background;
}

size_t CAnimatedPicture::FrameCount() const {
    return m_state->frames.size();
}

std::vector<CAnimatedPicture::GifFrame> CAnimatedPicture::Frames() const {
    std::vector<GifFrame> copies = m_state->frames;
    for (GifFrame& frame : copies) {
        frame.picture = nullptr;
    }
    return copies;
}

bool CAnimatedPicture::IsPlaying() const {
    return m_state->playing;
}

bool CAnimatedPicture::LoadResourcePicture(int id, const char* type) {
    HINSTANCE module = ResourceInstance();
    HRSRC found = ::FindResourceA(module, MAKEINTRESOURCEA(id), type);
    if (found == nullptr) {
        return false;
    }
    DWORD size = ::SizeofResource(module, found);
    HGLOBAL loaded = ::LoadResource(module, found);
    const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (bytes == nullptr || size == 0) {
        return false;
    }
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE | GMEM_NODISCARD, size);
    if (block == nullptr) {
        return false;
    }
    void* copy = ::GlobalLock(block);
    if (copy == nullptr) {
        ::GlobalFree(block);
        return false;
    }
    memcpy(copy, bytes, size);
    ::GlobalUnlock(block);
    bool loadedOk = LoadPictureData(block, size);
    ::GlobalFree(block);
    return loadedOk;
}

bool CAnimatedPicture::LoadPictureData(HGLOBAL block, DWORD size) {
    UnloadPicture();
    const auto* data = static_cast<const uint8_t*>(::GlobalLock(block));
    if (data == nullptr) {
        return false;
    }
    State& state = *m_state;
    GifBlockWalker walker(data, size);
    bool loaded = false;
    size_t frameCount = walker.IsGif() ? walker.CountFrames() : 1;
    if (walker.IsGif()) {
        state.isGif = true;
        state.size = SIZE{walker.ScreenWidth(), walker.ScreenHeight()};
    }
    if (frameCount == 1) {
        state.single = LoadPicture(block, size, false);
        if (state.single != nullptr) {
            state.size = PixelSize(state.single);
            loaded = true;
        }
    } else if (frameCount > 1) {
        loaded = LoadGifFrames(data, size);
    }
    ::GlobalUnlock(block);
    if (!loaded || !MakeCanvas(state.size.cx, state.size.cy)) {
        UnloadPicture();
        return false;
    }
    return true;
}

bool CAnimatedPicture::LoadGifFrames(const uint8_t* data, size_t size) {
    GifBlockWalker walker(data, size);
    GifFrameBlock block;
    while (walker.NextFrame(block)) {
        size_t bytes = walker.StandaloneSize(block);
        HGLOBAL one = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
        void* out = one != nullptr ? ::GlobalLock(one) : nullptr;
        if (out == nullptr) {
            if (one != nullptr) {
                ::GlobalFree(one);
            }
            continue;
        }
        walker.WriteStandalone(block, static_cast<uint8_t*>(out));
        ::GlobalUnlock(one);
        GifFrame frame;
        // The stream owns the block from here on.
        frame.picture = LoadPicture(one, static_cast<DWORD>(bytes), true);
        if (frame.picture == nullptr) {
            continue;  // a frame the loader cannot decode is left out
        }
        frame.size = SIZE{block.width, block.height};
        frame.offset = POINT{block.left, block.top};
        frame.delay = block.delay;
        frame.disposal = block.disposal;
        m_state->frames.push_back(frame);
    }
    return !m_state->frames.empty();
}

bool CAnimatedPicture::MakeCanvas(int width, int height) {
    if (m_hWnd == nullptr) {
        return false;
    }
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, width, height,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    HDC windowDc = ::GetDC(m_hWnd);
    if (windowDc == nullptr) {
        return false;
    }
    State& state = *m_state;
    bool made = state.canvas.Create(windowDc, width, height);
    ::ReleaseDC(m_hWnd, windowDc);
    if (!made) {
        return false;
    }
    state.background = ::GetSysColor(COLOR_BTNFACE);
    RECT all{0, 0, width, height};
    // The first fill is the menu colour's system brush; disposals use the
    // background colour.
    ::FillRect(state.canvas.dc, &all, reinterpret_cast<HBRUSH>(COLOR_MENU + 1));
    state.initialised = true;
    return true;
}

bool CAnimatedPicture::StartDrawing() {
    State& state = *m_state;
    if (!state.initialised) {
        return false;
    }
    if (IsAnimated()) {
        if (m_thread != nullptr) {
            return false;  // already animating
        }
        state.window = m_hWnd;
        state.clock = m_clock;
        auto* hold = new std::shared_ptr<State>(m_state);
        unsigned id = 0;
        uintptr_t thread =
            ::_beginthreadex(nullptr, 0, AnimationThread, hold, CREATE_SUSPENDED, &id);
        if (thread == 0) {
            delete hold;
            return false;
        }
        m_thread = reinterpret_cast<HANDLE>(thread);
        m_threadId = id;
        ::ResumeThread(m_thread);
        return false;
    }
    bool drawn = false;
    {
        CanvasLock lock(state.lock);
        if (state.single != nullptr) {
            drawn =
                RenderPicture(state.single, state.canvas.dc, 0, 0, state.size.cx, state.size.cy);
        } else if (state.frames.size() == 1) {
            // A GIF of whose frames only one could be decoded is shown still.
            const GifFrame& frame = state.frames[0];
            drawn = RenderPicture(frame.picture, state.canvas.dc, frame.offset.x, frame.offset.y,
                                  frame.size.cx, frame.size.cy);
        }
    }
    Invalidate(false);
    return drawn;
}

unsigned __stdcall CAnimatedPicture::AnimationThread(void* param) noexcept {
    std::unique_ptr<std::shared_ptr<State>> hold(static_cast<std::shared_ptr<State>*>(param));
    State& state = **hold;
    state.playing = true;
    {
        // A restart first finishes the disposal of the frame it stopped on.
        CanvasLock lock(state.lock);
        if (!state.exit) {
            state.Dispose(state.frames[state.current]);
        }
    }
    while (!state.exit) {
        const GifFrame& frame = state.frames[state.current];
        if (frame.picture != nullptr) {
            bool drawn;
            {
                CanvasLock lock(state.lock);
                // A stop that gave up waiting may have left this state behind:
                // then nothing is drawn any more.
                if (state.exit) {
                    break;
                }
                if (frame.disposal == 3) {
                    state.SaveUnder(frame);
                }
                drawn = RenderPicture(frame.picture, state.canvas.dc, frame.offset.x,
                                      frame.offset.y, frame.size.cx, frame.size.cy);
            }
            if (drawn) {
                ::InvalidateRect(state.window, nullptr, FALSE);
            }
        }
        if (state.exit) {
            break;
        }
        // 32-bit arithmetic on purpose: no graphic control (0xFFFFFFFF)
        // waits 4 294 967 286 ms, which halts the animation on this frame.
        DWORD wait =
            frame.delay < kShortDelay ? kShortDelayMs : static_cast<DWORD>(10u * frame.delay);
        if (state.clock != nullptr) {
            state.clock->WaitFrame(state.exitEvent, wait);
        } else {
            ::WaitForSingleObject(state.exitEvent, wait);
        }
        CanvasLock lock(state.lock);
        if (state.exit) {
            break;
        }
        state.Dispose(frame);
        if (++state.current == state.frames.size()) {
            state.current = 0;
            state.FillBackground(RECT{0, 0, state.size.cx, state.size.cy});
        }
    }
    state.playing = false;
    return 0;
}

void CAnimatedPicture::StopAnimation() {
    State& state = *m_state;
    state.playing = false;
    state.exit = true;
    ::SetEvent(state.exitEvent);
    if (m_thread != nullptr) {
        DWORD waited = ::WaitForSingleObject(m_thread, m_stopWaitMs);
        ::CloseHandle(m_thread);
        m_thread = nullptr;
        m_threadId = 0;
        if (waited != WAIT_OBJECT_0) {
            // The thread still runs: it keeps this state, with the exit flag
            // set, and frees it when it ends. The control starts afresh.
            m_state = std::make_shared<State>();
            return;
        }
    }
    ::ResetEvent(state.exitEvent);
    state.exit = false;
}

void CAnimatedPicture::UnloadPicture() {
    StopAnimation();
    // The old state, with its pictures and canvas, goes with its last holder.
    m_state = std::make_shared<State>();
}

void CAnimatedPicture::PaintCanvas(HDC dc) {
    State& state = *m_state;
    CanvasLock lock(state.lock);
    if (state.canvas.dc != nullptr) {
        ::BitBlt(dc, 0, 0, state.size.cx, state.size.cy, state.canvas.dc, 0, 0, SRCCOPY);
    }
}

LRESULT CAnimatedPicture::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = ::BeginPaint(m_hWnd, &paint);
            if (dc != nullptr) {
                PaintCanvas(dc);
                ::EndPaint(m_hWnd, &paint);
            }
            return 0;
        }
        case WM_PRINTCLIENT:
            PaintCanvas(reinterpret_cast<HDC>(wp));
            return 0;
        case WM_DESTROY:
            StopAnimation();
            return Default();
        default:
            return CWindow::WindowProc(msg, wp, lp);
    }
}
