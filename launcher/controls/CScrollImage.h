// CScrollImage: a fixed-size window onto a tall bitmap resource (the terms
// notice). It shows the slice that starts at a vertical offset set from
// outside (the dialog's scroll bar); white pixels of the picture are not
// drawn, so the dialog shows through. The offset is not clamped: the caller
// keeps it between 0 and image height - client height.
#pragma once

#include "launcher/framework/Window.h"

class CScrollImage : public CWindow {
  public:
    // Enables the window, loads bitmap resource `resourceId` of the program
    // and gives it to the static control as its image. The bitmap is kept for
    // the object's whole life and not deleted by it (the static shows it).
    void LoadImageResource(int resourceId);
    void SetScrollOffset(int offset);

    int ImageWidth() const { return m_imageWidth; }
    int ImageHeight() const { return m_imageHeight; }
    int Offset() const { return m_offset; }

  protected:
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;

  private:
    void Paint(HDC dc);

    HBITMAP m_image = nullptr;
    int m_imageWidth = 0;
    int m_imageHeight = 0;
    int m_offset = 0;
};
