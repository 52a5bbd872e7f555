// CNowLoading: the installing dialog, shown modally while the downloaded
// program is being started: the spinner (resource 248, type "GIF") and one
// line of text on white. The worker that starts the program ends it by
// posting WM_QUIT; when the window goes that way, the picture stops its
// animation on its own destruction. Nothing else ends it: Enter, Escape,
// the system's close (Alt+F4) and the OK and Cancel commands are refused.
// Without the spinner resource the dialog shows its text alone.
#pragma once

#include "launcher/controls/CAnimatedPicture.h"
#include "launcher/framework/Dialog.h"

class CNowLoading : public CDialog {
  public:
    explicit CNowLoading(HWND parent = nullptr);

    CAnimatedPicture& Picture() { return m_picture; }
    // The GIF resource shown; tests name a missing one.
    void SetPictureResource(int id) { m_pictureResource = id; }

  protected:
    bool OnInitDialog() override;
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;
    void DoDataExchange(CDataExchange& dx) override;
    void OnOK() override {}
    void OnCancel() override {}

  private:
    CAnimatedPicture m_picture;  // control 1038
    int m_pictureResource;
};
