// CTransparentStatic: a text label without a background of its own. Its text
// is drawn light grey on whatever the parent paints; changing the text first
// has the parent repaint the label's area, so a shorter text leaves nothing
// of the longer one behind. A parent that answers WM_CTLCOLORSTATIC for the
// label itself decides the colours instead.
#pragma once

#include "launcher/framework/Window.h"

class CTransparentStatic : public CWindow {
  public:
    static constexpr COLORREF kTextColour = RGB(239, 239, 239);

  protected:
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;
    bool OnChildNotify(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;
};
