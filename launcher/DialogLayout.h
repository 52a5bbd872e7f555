// The launcher window's geometry, in client pixels: the visible window, the
// terms area below it, and the place of every control. The window shows only
// its top kWindowWidth x kWindowHeight; the terms picture, its scroll bar and
// the consent lie below that and are never seen.
#pragma once

#include <windows.h>

#include "launcher/res/resource.h"

namespace layout {

const int kWindowWidth = 640;
const int kWindowHeight = 380;

// A control's rectangle; width 0 keeps the control's own size (the skinned
// buttons size themselves to their pictures).
struct Place {
    int id;
    int x, y, width, height;
};

// The terms picture and the part of the window it repaints when scrolled.
const Place kTerms = {IDC_TERMS_IMAGE, 4, 384, 592, 100};
const int kTermsRight = kTerms.x + kTerms.width;
const int kTermsBottom = kTerms.y + kTerms.height;
// Scroll positions run from 0 to this.
const int kTermsRange = 345;
// The terms scroll bar hangs from this line, kTermsScrollInset pixels in
// from the client's right edge, kTermsScrollWidth wide, and ends
// kTermsScrollBottomGap pixels above the client's bottom.
const int kTermsScrollTop = 382;
const int kTermsScrollInset = 22;
const int kTermsScrollWidth = 20;
const int kTermsScrollBottomGap = 40;
// The outline drawn around the terms area runs from the window's bottom
// edge down to this line.
const int kTermsFrameBottom = 520;

const Place kProgress = {IDC_PROGRESS, 113, 250, 282, 10};

// The notice line moves here when the installer starts.
const Place kInstallNotice = {IDC_NOTICE, 53, 265, 400, 14};

// Every control the layout moves, buttons first.
const Place kControlPlaces[] = {
    {IDC_FOLDER, 340, 294, 0, 0},
    {IDC_START, 184, 332, 0, 0},
    {IDC_STOP, 268, 332, 0, 0},
    {IDC_CLOSE, 352, 332, 0, 0},
    {IDC_RUN, 100, 332, 0, 0},
    {IDC_HIGH_SPEED, 13, 293, 0, 0},
    {IDC_CURRENT_FILE, 112, 195, 100, 14},
    {IDC_ELAPSED, 112, 213, 100, 14},
    {IDC_REMAINING, 112, 231, 100, 14},
    {IDC_TOTAL_SIZE, 276, 195, 100, 14},
    {IDC_RECEIVED, 276, 213, 100, 14},
    {IDC_SPEED, 276, 231, 100, 14},
    {IDC_PERCENT, 404, 249, 100, 14},
    {IDC_FOLDER_TEXT, 56, 302, 280, 14},
    {IDC_NOTICE, 56, 256, 400, 14},
    {IDC_CONSENT, 120, 487, 0, 0},
    {IDC_CONSENT_TEXT, 135, 493, 0, 0},
};

// Moves `window` to `place` (and sizes it, when the place has a width),
// leaving its z-order and activation alone.
inline bool PlaceWindow(HWND window, const Place& place) {
    const UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | (place.width ? 0 : SWP_NOSIZE);
    return SetWindowPos(window, nullptr, place.x, place.y, place.width, place.height, flags) != 0;
}

}  // namespace layout
