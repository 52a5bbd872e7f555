#include "launcher/controls/CSkinButton.h"

#include "launcher/controls/BitmapSize.h"

#include <windowsx.h>

namespace {

const COLORREF kDefaultBackground = RGB(255, 255, 255);
const COLORREF kDefaultText = RGB(102, 102, 102);
const UINT kTypeBits = 0x1F;

// A 1-pixel frame: `topLeft` on the top and left edges, `bottomRight` on the
// bottom and right ones.
void Draw3dRect(HDC dc, const RECT& r, COLORREF topLeft, COLORREF bottomRight) {
    auto fill = [dc](int x, int y, int w, int h, COLORREF colour) {
        COLORREF old = ::SetBkColor(dc, colour);
        RECT line{x, y, x + w, y + h};
        ::ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &line, nullptr, 0, nullptr);
        ::SetBkColor(dc, old);
    };
    int w = r.right - r.left;
    int h = r.bottom - r.top;
    fill(r.left, r.top, w - 1, 1, topLeft);
    fill(r.left, r.top, 1, h - 1, topLeft);
    fill(r.right - 1, r.top, 1, h, bottomRight);
    fill(r.left, r.bottom - 1, w, 1, bottomRight);
}

// Makes the monochrome mask of `image` (1 where the pixel equals `key`) and
// turns the key-coloured pixels of the image black.
HBITMAP MakeMask(HBITMAP image, int width, int height, COLORREF key) {
    HBITMAP mask = ::CreateBitmap(width, height, 1, 1, nullptr);
    if (mask == nullptr) {
        return nullptr;
    }
    HDC imageDC = ::CreateCompatibleDC(nullptr);
    HDC maskDC = ::CreateCompatibleDC(nullptr);
    if (imageDC == nullptr || maskDC == nullptr) {
        if (imageDC != nullptr) {
            ::DeleteDC(imageDC);
        }
        if (maskDC != nullptr) {
            ::DeleteDC(maskDC);
        }
        ::DeleteObject(mask);
        return nullptr;
    }
    HGDIOBJ oldImage = ::SelectObject(imageDC, image);
    HGDIOBJ oldMask = ::SelectObject(maskDC, mask);
    COLORREF oldBack = ::SetBkColor(imageDC, key);
    ::BitBlt(maskDC, 0, 0, width, height, imageDC, 0, 0, SRCCOPY);
    COLORREF oldText = ::SetTextColor(imageDC, RGB(255, 255, 255));
    ::SetBkColor(imageDC, RGB(0, 0, 0));
    ::BitBlt(imageDC, 0, 0, width, height, maskDC, 0, 0, SRCAND);
    ::SetTextColor(imageDC, oldText);
    ::SetBkColor(imageDC, oldBack);
    ::SelectObject(maskDC, oldMask);
    ::SelectObject(imageDC, oldImage);
    ::DeleteDC(maskDC);
    ::DeleteDC(imageDC);
    return mask;
}

}  // namespace

CSkinButton::CSkinButton() {
    ResetColors(false);
}

CSkinButton::~CSkinButton() {
    DropBackgroundCache();
    ReleaseImages();
}

void CSkinButton::ReleaseImages() {
    for (Image& image : m_images) {
        if (image.mask != nullptr) {
            ::DeleteObject(image.mask);
        }
        image = Image();
    }
}

int CSkinButton::StoreImage(Slot slot, HBITMAP bitmap, COLORREF key) {
    Image& image = m_images[slot];
    if (!GetBitmapSize(bitmap, &image.width, &image.height)) {
        return 1;
    }
    image.bitmap = bitmap;
    image.key = key;
    image.mask = MakeMask(bitmap, image.width, image.height, key);
    return image.mask != nullptr ? 0 : 2;
}

int CSkinButton::SetImages(HBITMAP normal, COLORREF normalKey, HBITMAP hover, COLORREF hoverKey,
                           HBITMAP pressed, COLORREF pressedKey, HBITMAP disabled,
                           COLORREF disabledKey) {
    ReleaseImages();
    if (normal != nullptr) {
        const struct {
            Slot slot;
            HBITMAP bitmap;
            COLORREF key;
        } given[] = {{kNormal, normal, normalKey},
                     {kHover, hover, hoverKey},
                     {kPressed, pressed, pressedKey},
                     {kDisabled, disabled, disabledKey}};
        for (const auto& image : given) {
            if (image.bitmap == nullptr) {
                continue;
            }
            int result = StoreImage(image.slot, image.bitmap, image.key);
            if (result != 0) {
                ReleaseImages();
                return result;
            }
        }
    }
    if (m_hWnd != nullptr) {
        Invalidate();
    }
    return 0;
}

void CSkinButton::SetDrawBorder(bool enable, bool repaint) {
    m_drawBorder = enable;
    if (repaint && m_hWnd != nullptr) {
        Invalidate();
    }
}

void CSkinButton::UseParentBackground(bool repaint) {
    m_parentBackground = true;
    DropBackgroundCache();
    if (repaint && m_hWnd != nullptr) {
        Invalidate();
    }
}

void CSkinButton::SizeToImage() {
    const Image& normal = m_images[kNormal];
    if (normal.bitmap == nullptr || m_hWnd == nullptr) {
        return;
    }
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, normal.width, normal.height,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE);
    m_imageOrigin = POINT{0, 0};
}

void CSkinButton::SetCheckValue(int value, bool repaint) {
    if (!m_isCheckBox) {
        return;
    }
    m_checkValue = value != 0 ? 1 : 0;
    if (repaint && m_hWnd != nullptr) {
        Invalidate();
    }
}

void CSkinButton::ResetColors(bool repaint) {
    m_colours[kActiveBackground] = kDefaultBackground;
    m_colours[kFocusBackground] = kDefaultBackground;
    m_colours[kIdleBackground] = kDefaultBackground;
    m_colours[kActiveText] = kDefaultText;
    m_colours[kFocusText] = kDefaultText;
    m_colours[kIdleText] = kDefaultText;
    if (repaint && m_hWnd != nullptr) {
        Invalidate();
    }
}

void CSkinButton::SetColor(Colour which, COLORREF colour, bool repaint) {
    m_colours[which] = colour;
    if (repaint && m_hWnd != nullptr) {
        Invalidate();
    }
}

void CSkinButton::SetFlat(bool flat, bool repaint) {
    m_flat = flat;
    if (repaint && m_hWnd != nullptr) {
        Invalidate();
    }
}

void CSkinButton::PreSubclassWindow() {
    LONG_PTR style = ::GetWindowLongPtrA(m_hWnd, GWL_STYLE);
    m_typeStyle = static_cast<UINT>(style) & kTypeBits;
    // BS_CHECKBOX, BS_AUTOCHECKBOX and any type with that bit.
    if ((style & 0x02) != 0) {
        m_isCheckBox = true;
    }
    if (m_typeStyle == BS_DEFPUSHBUTTON) {
        m_isDefault = true;
        m_typeStyle = BS_PUSHBUTTON;
    }
    ::SetWindowLongPtrA(m_hWnd, GWL_STYLE,
                        (style & ~static_cast<LONG_PTR>(kTypeBits)) | BS_OWNERDRAW);
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

bool CSkinButton::PreTranslateMessage(MSG* msg) {
    if (msg->message == WM_LBUTTONDBLCLK) {
        msg->message = WM_LBUTTONDOWN;
    }
    return CWindow::PreTranslateMessage(msg);
}

bool CSkinButton::OnChildNotify(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    switch (msg) {
        case WM_DRAWITEM:
            DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lp));
            *result = TRUE;
            return true;
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORSTATIC:
            // Nothing is painted behind the owner draw.
            *result = reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH));
            return true;
        case WM_COMMAND:
            if (HIWORD(wp) == BN_CLICKED) {
                ::SetFocus(m_hWnd);
                if (m_isCheckBox) {
                    m_checkValue = m_checkValue != 0 ? 0 : 1;
                    Invalidate();
                }
            }
            // The parent still receives the click.
            return false;
        default:
            return false;
    }
}

LRESULT CSkinButton::WindowProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_MOUSEMOVE:
            TrackHover(wp, lp);
            break;
        case WM_MOUSELEAVE:
        case WM_KILLFOCUS:
        case WM_CANCELMODE:
            EndHover();
            break;
        case WM_ACTIVATE:
            if (LOWORD(wp) == WA_INACTIVE) {
                EndHover();
            }
            break;
        case WM_ENABLE:
            if (!wp) {
                // A disabled control cannot keep the focus (the system has
                // already taken it away): hand it to the next tab stop, or to
                // the parent when there is none. A focus held elsewhere stays.
                HWND parent = GetParent();
                HWND focus = ::GetFocus();
                if ((focus == nullptr || focus == m_hWnd) && parent != nullptr) {
                    HWND next = ::GetNextDlgTabItem(parent, m_hWnd, FALSE);
                    ::SetFocus(next != nullptr && next != m_hWnd ? next : parent);
                }
                EndHover();
            }
            break;
        case WM_SYSCOLORCHANGE:
            DropBackgroundCache();
            ResetColors(true);
            break;
        case WM_GETDLGCODE:
            return Default() | (m_isDefault ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
        case BM_SETSTYLE: {
            UINT type = static_cast<UINT>(wp) & kTypeBits;
            if (type == BS_DEFPUSHBUTTON) {
                m_isDefault = true;
            } else if (type == BS_PUSHBUTTON) {
                m_isDefault = false;
            }
            return CallPrevious(msg, (wp & ~static_cast<WPARAM>(kTypeBits)) | BS_OWNERDRAW, lp);
        }
        case BM_GETCHECK:
            return m_checkValue;
        case BM_SETCHECK:
            SetCheckValue(wp == BST_CHECKED || wp == BST_INDETERMINATE ? 1 : 0, true);
            return 0;
        default:
            break;
    }
    return CWindow::WindowProc(msg, wp, lp);
}

void CSkinButton::TrackHover(WPARAM keys, LPARAM point) {
    POINT at{GET_X_LPARAM(point), GET_Y_LPARAM(point)};
    ::ClientToScreen(m_hWnd, &at);
    HWND under = ::WindowFromPoint(at);
    // Dragging onto the button with the left button held gives no hover.
    if ((keys & MK_LBUTTON) != 0 && !m_hover) {
        return;
    }
    if (!m_flat) {
        return;
    }
    if (under == m_hWnd && (m_alwaysTrack || ::GetActiveWindow() != nullptr)) {
        if (!m_hover) {
            m_hover = true;
            Invalidate();
            TRACKMOUSEEVENT track = {};
            track.cbSize = sizeof track;
            track.dwFlags = TME_LEAVE;
            track.hwndTrack = m_hWnd;
            ::TrackMouseEvent(&track);
        }
    } else {
        EndHover();
    }
}

void CSkinButton::EndHover() {
    if (m_flat && m_hover) {
        m_hover = false;
        Invalidate();
    }
}

void CSkinButton::DropBackgroundCache() {
    if (m_cacheDC != nullptr) {
        ::SelectObject(m_cacheDC, m_cacheOldBitmap);
        ::DeleteDC(m_cacheDC);
        m_cacheDC = nullptr;
        m_cacheOldBitmap = nullptr;
    }
    if (m_cacheBitmap != nullptr) {
        ::DeleteObject(m_cacheBitmap);
        m_cacheBitmap = nullptr;
    }
}

void CSkinButton::PaintParentBackground(HDC dc) {
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    if (m_cacheDC == nullptr) {
        // Capture what the parent shows under the button now; its skin must
        // already be painted.
        HWND parent = GetParent();
        RECT at;
        ::GetWindowRect(m_hWnd, &at);
        ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&at), 2);
        HDC parentDC = ::GetDC(parent);
        if (parentDC == nullptr) {
            return;
        }
        m_cacheDC = ::CreateCompatibleDC(parentDC);
        m_cacheBitmap = ::CreateCompatibleBitmap(parentDC, client.right, client.bottom);
        if (m_cacheDC == nullptr || m_cacheBitmap == nullptr) {
            ::ReleaseDC(parent, parentDC);
            DropBackgroundCache();
            return;
        }
        m_cacheOldBitmap = ::SelectObject(m_cacheDC, m_cacheBitmap);
        ::BitBlt(m_cacheDC, 0, 0, client.right, client.bottom, parentDC, at.left, at.top, SRCCOPY);
        ::ReleaseDC(parent, parentDC);
    }
    ::BitBlt(dc, 0, 0, client.right, client.bottom, m_cacheDC, 0, 0, SRCCOPY);
}

void CSkinButton::DrawItem(const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    int saved = ::SaveDC(dc);
    m_pressed = (item.itemState & ODS_SELECTED) != 0 || (m_isCheckBox && m_checkValue == 1);
    m_focused = (item.itemState & ODS_FOCUS) != 0;
    m_disabled = (item.itemState & ODS_DISABLED) != 0;
    ::SetBkMode(dc, TRANSPARENT);

    if (m_parentBackground) {
        PaintParentBackground(dc);
    } else {
        PaintBackground(dc, item.rcItem);
    }
    PaintBorder(dc, item.rcItem);

    std::string text = GetWindowTextA();
    RECT caption = item.rcItem;
    if (m_images[kNormal].bitmap != nullptr) {
        ::SetBkColor(dc, RGB(255, 255, 255));
        PaintImage(dc, !text.empty(), item.rcItem, &caption, m_pressed, m_disabled);
    }
    if (!text.empty()) {
        PaintCaption(dc, text, item.rcItem, &caption, m_pressed, m_disabled);
    }
    if ((!m_flat || m_drawFlatFocus) && m_focused) {
        RECT focus = item.rcItem;
        ::InflateRect(&focus, -3, -3);
        ::DrawFocusRect(dc, &focus);
    }
    ::RestoreDC(dc, saved);
}

void CSkinButton::PaintBackground(HDC dc, RECT item) {
    if (!m_flat && (m_focused || m_isDefault)) {
        HBRUSH black = static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH));
        ::FrameRect(dc, &item, black);
        ::InflateRect(&item, -1, -1);
    }
    COLORREF colour = m_colours[kIdleBackground];
    if (m_hover || m_pressed) {
        colour = m_colours[kActiveBackground];
    } else if (m_focused) {
        colour = m_colours[kFocusBackground];
    }
    COLORREF old = ::SetBkColor(dc, colour);
    ::ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &item, nullptr, 0, nullptr);
    ::SetBkColor(dc, old);
}

void CSkinButton::PaintBorder(HDC dc, const RECT& item) {
    COLORREF highlight = ::GetSysColor(COLOR_BTNHILIGHT);
    COLORREF light = ::GetSysColor(COLOR_3DLIGHT);
    COLORREF shadow = ::GetSysColor(COLOR_BTNSHADOW);
    COLORREF darkShadow = ::GetSysColor(COLOR_3DDKSHADOW);
    if (m_pressed) {
        if (m_flat) {
            if (m_drawBorder) {
                Draw3dRect(dc, item, shadow, highlight);
            }
        } else {
            HBRUSH brush = ::CreateSolidBrush(shadow);
            ::FrameRect(dc, &item, brush);
            ::DeleteObject(brush);
        }
        return;
    }
    if (m_flat) {
        if (m_hover && m_drawBorder) {
            Draw3dRect(dc, item, highlight, shadow);
        }
        return;
    }
    Draw3dRect(dc, item, highlight, darkShadow);
    RECT inner = item;
    ::InflateRect(&inner, -1, -1);
    Draw3dRect(dc, inner, light, shadow);
}

void CSkinButton::PaintImage(HDC dc, bool hasCaption, const RECT& item, RECT* caption, bool pressed,
                             bool disabled) {
    Slot slot = m_hover ? kHover : kNormal;
    if (pressed) {
        slot = kPressed;
    } else if (disabled && m_showDisabledImage) {
        slot = kDisabled;
    }
    const Image& image = m_images[slot];
    if (image.bitmap == nullptr) {
        return;  // an empty slot draws nothing; there is no fallback
    }
    int itemWidth = item.right - item.left;
    int itemHeight = item.bottom - item.top;
    int left;
    if (hasCaption) {
        left = item.left + m_imageOrigin.x;
        caption->left += image.width + m_imageOrigin.x;
    } else {
        left = item.left + (itemWidth - image.width) / 2;
    }
    int top = item.top + (itemHeight - image.height) / 2;
    if (pressed && !m_isCheckBox) {
        left += m_pressedOffset.x;
        top += m_pressedOffset.y;
    }
    HDC source = ::CreateCompatibleDC(dc);
    if (source == nullptr) {
        return;
    }
    // The mask's 1 bits take the white background colour and keep the
    // destination; its 0 bits take the black text colour and clear it. The
    // image, black where it is transparent, is then ORed in.
    COLORREF oldText = ::SetTextColor(dc, RGB(0, 0, 0));
    HGDIOBJ old = ::SelectObject(source, image.mask);
    ::BitBlt(dc, left, top, image.width, image.height, source, 0, 0, SRCAND);
    ::SelectObject(source, image.bitmap);
    ::BitBlt(dc, left, top, image.width, image.height, source, 0, 0, SRCPAINT);
    ::SelectObject(source, old);
    ::SetTextColor(dc, oldText);
    ::DeleteDC(source);
}

void CSkinButton::PaintCaption(HDC dc, const std::string& text, const RECT& item, RECT* caption,
                               bool pressed, bool disabled) {
    (void)item;
    if (pressed && !m_isCheckBox) {
        ::OffsetRect(caption, m_pressedOffset.x, m_pressedOffset.y);
    }
    RECT measured = *caption;
    const UINT format = DT_WORDBREAK | DT_CENTER;
    ::DrawTextA(dc, text.c_str(), -1, &measured, format | DT_CALCRECT);
    int width = measured.right - measured.left;
    int height = measured.bottom - measured.top;
    RECT place;
    place.left = caption->left + ((caption->right - caption->left) - width) / 2;
    place.top = caption->top + ((caption->bottom - caption->top) - height) / 2;
    place.right = place.left + width;
    place.bottom = place.top + height;
    if (disabled) {
        // Engraved: a highlight copy one pixel down and right, the shadow on top.
        ::OffsetRect(&place, 1, 1);
        ::SetTextColor(dc, ::GetSysColor(COLOR_3DHILIGHT));
        ::DrawTextA(dc, text.c_str(), -1, &place, format);
        ::OffsetRect(&place, -1, -1);
        ::SetTextColor(dc, ::GetSysColor(COLOR_3DSHADOW));
        ::DrawTextA(dc, text.c_str(), -1, &place, format);
        return;
    }
    Colour background = kIdleBackground;
    Colour foreground = kIdleText;
    if (m_hover || pressed) {
        background = kActiveBackground;
        foreground = kActiveText;
    } else if (m_focused) {
        background = kFocusBackground;
        foreground = kFocusText;
    }
    ::SetTextColor(dc, m_colours[foreground]);
    ::SetBkColor(dc, m_colours[background]);
    ::DrawTextA(dc, text.c_str(), -1, &place, format);
}
