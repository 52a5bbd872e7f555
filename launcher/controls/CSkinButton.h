// CSkinButton: an owner-drawn button that shows one of four images (normal,
// mouse over, pressed, disabled) over a copy of its parent's background, so
// irregular images with a transparent key colour sit on a skinned dialog. It
// can also act as a two-state check box. It is attached to an existing button
// control (SubclassDlgItem); it never creates its own window.
//
// The images belong to the caller and must outlive the button's use of them;
// SetImages() alters each image in place (key-coloured pixels become black)
// and keeps a mask per image, which the button owns.
#pragma once

#include "launcher/framework/Window.h"

#include <string>

class CSkinButton : public CWindow {
  public:
    // Image slots.
    enum Slot { kNormal = 0, kHover = 1, kPressed = 2, kDisabled = 3, kSlotCount = 4 };
    // Colour pairs: a background and a text colour for each look.
    enum Colour {
        kActiveBackground,  // hover or pressed
        kActiveText,
        kFocusBackground,
        kFocusText,
        kIdleBackground,
        kIdleText,
        kColourCount
    };

    CSkinButton();
    ~CSkinButton() override;

    // Sets the four images, each with its transparent key colour. Returns 0
    // on success, 1 when an image's size cannot be read, 2 when a mask cannot
    // be made; on failure every slot is empty. A null normal image empties
    // all slots (and succeeds).
    int SetImages(HBITMAP normal, COLORREF normalKey, HBITMAP hover, COLORREF hoverKey,
                  HBITMAP pressed, COLORREF pressedKey, HBITMAP disabled, COLORREF disabledKey);
    void SetDrawBorder(bool enable, bool repaint);
    // Paints the parent's pixels under the button instead of a colour fill;
    // the pixels are captured afresh at the next paint.
    void UseParentBackground(bool repaint);
    // Sizes the window to the normal image (no move, no redraw) and puts the
    // image at the window's corner.
    void SizeToImage();
    int GetCheckValue() const { return m_checkValue; }
    // Check boxes only: 1 for any non-zero value.
    void SetCheckValue(int value, bool repaint);
    void ResetColors(bool repaint);
    void SetColor(Colour which, COLORREF colour, bool repaint);
    void SetFlat(bool flat, bool repaint);
    void SetShowDisabledImage(bool show) { m_showDisabledImage = show; }
    void SetAlwaysTrack(bool always) { m_alwaysTrack = always; }

    bool IsCheckBox() const { return m_isCheckBox; }
    bool IsDefault() const { return m_isDefault; }
    bool IsHover() const { return m_hover; }
    UINT TypeStyle() const { return m_typeStyle; }

    // A double click is two clicks: WM_LBUTTONDBLCLK becomes WM_LBUTTONDOWN.
    bool PreTranslateMessage(MSG* msg) override;

  protected:
    void PreSubclassWindow() override;
    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;
    bool OnChildNotify(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;

    // One owner-draw request; calls the four steps below.
    virtual void DrawItem(const DRAWITEMSTRUCT& item);
    // The drawing steps, in this order.
    virtual void PaintBackground(HDC dc, RECT item);
    virtual void PaintBorder(HDC dc, const RECT& item);
    virtual void PaintImage(HDC dc, bool hasCaption, const RECT& item, RECT* caption, bool pressed,
                            bool disabled);
    virtual void PaintCaption(HDC dc, const std::string& text, const RECT& item, RECT* caption,
                              bool pressed, bool disabled);

  private:
    struct Image {
        HBITMAP bitmap = nullptr;
        HBITMAP mask = nullptr;
        int width = 0;
        int height = 0;
        COLORREF key = 0;
    };

    void ReleaseImages();
    int StoreImage(Slot slot, HBITMAP bitmap, COLORREF key);
    void PaintParentBackground(HDC dc);
    void DropBackgroundCache();
    void TrackHover(WPARAM keys, LPARAM point);
    void EndHover();

    bool m_flat = true;
    bool m_hover = false;
    bool m_parentBackground = false;
    bool m_pressed = false;
    bool m_focused = false;
    bool m_disabled = false;
    bool m_isDefault = false;
    bool m_isCheckBox = false;
    int m_checkValue = 0;
    UINT m_typeStyle = 0x1F;
    bool m_drawBorder = true;
    bool m_drawFlatFocus = false;
    bool m_alwaysTrack = true;
    bool m_showDisabledImage = true;
    POINT m_imageOrigin{3, 3};
    POINT m_pressedOffset{1, 1};
    COLORREF m_colours[kColourCount];
    Image m_images[kSlotCount];

    HDC m_cacheDC = nullptr;
    HBITMAP m_cacheBitmap = nullptr;
    HGDIOBJ m_cacheOldBitmap = nullptr;
};
