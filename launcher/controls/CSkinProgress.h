// CSkinProgress: a progress bar whose filled part is tiled with a skin image.
// Until a fill image is set the native progress control paints itself;
// background erasing is always suppressed. The fill image belongs to the
// caller; the palette made from it belongs to the bar.
#pragma once

#include "launcher/framework/Window.h"

class CSkinProgress : public CWindow {
  public:
    CSkinProgress() = default;
    ~CSkinProgress() override;

    // Takes `image` as the fill (the previous one is forgotten) and builds its
    // palette; repaints when `repaint` is 1. Returns 1.
    int SetFillImage(HBITMAP image, int repaint);
    void SetRange(int lower, int upper);
    // Clamps `position` into the range, stores it and passes it to the native
    // control; returns the native control's previous position.
    int SetPos(int position);

    int GetPos() const { return m_position; }
    // The filled width, in pixels, that the next paint draws.
    int FillWidth() const;
    HPALETTE Palette() const { return m_palette; }

  protected:
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;

  private:
    void Paint(HDC dc);
    void BuildPalette();

    int m_lower = 0;
    int m_upper = 100;
    int m_rangeSize = 100;
    int m_position = 0;
    HBITMAP m_image = nullptr;
    int m_imageWidth = 0;
    int m_imageHeight = 0;
    HPALETTE m_palette = nullptr;
};
