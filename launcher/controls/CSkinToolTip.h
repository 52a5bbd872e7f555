// CSkinToolTip: the launcher's own tooltip, a small top-most popup drawn by
// itself (not the system's tooltip control). It appears under the pointer
// once the pointer has rested on a registered tool window for the show delay,
// and goes when the pointer leaves, a key or button is pressed, or the
// display limit runs out.
//
// The owner feeds it every message it pre-translates, through RelayEvent().
//
// States: idle -> pending (timer 1, the show delay) -> shown (timer 2, the
// visibility check every checkPeriod) -> idle. Moving onto another tool
// restarts the cycle; any hide returns to idle. A tool the pointer left
// before its tip showed stays the current tool, so coming back to it shows
// nothing until a hide or another tool has reset it.
//
// Tools are found by the window under the pointer (an invisible child of the
// owner counts too) and by the rectangle each tool was given when it was
// added, in the owner's client coordinates; a tool window moved later is still
// looked for at its old rectangle.
#pragma once

#include "launcher/framework/Window.h"

#include <memory>
#include <string>
#include <vector>

// One tool.
struct CSkinToolTipInfo {
    HWND window = nullptr;
    UINT id = 0;
    RECT rect{0, 0, 0, 0};  // in the owner's client coordinates
    std::string text;       // system code page
    int maxWidth = 0;       // text width limit in pixels; 0: the widest line
    COLORREF background = CSkinToolTipInfo::kSystemColor;
    COLORREF textColor = CSkinToolTipInfo::kSystemColor;

    // Stands for the system's info colours (COLOR_INFOBK, COLOR_INFOTEXT).
    static constexpr COLORREF kSystemColor = 0xFF000000;
};

class CSkinToolTip : public CWindow {
  public:
    // Timer ids.
    static constexpr UINT_PTR kShowTimer = 1;
    static constexpr UINT_PTR kCheckTimer = 2;
    // DT_WORDBREAK | DT_EXPANDTABS | DT_EXTERNALLEADING | DT_NOPREFIX
    static constexpr UINT kTextFormat = 0x0A50;

    // Where the tip's two timers run. The default is the tip window's own
    // SetTimer; tests record the timers and deliver WM_TIMER themselves.
    class ITimers {
      public:
        virtual ~ITimers() = default;
        virtual void Start(HWND tip, UINT_PTR id, UINT ms) = 0;
        virtual void Kill(HWND tip, UINT_PTR id) = 0;
    };

    CSkinToolTip();
    ~CSkinToolTip() override;

    // Creates the popup, owned by `owner`, and takes the system status font.
    bool Create(HWND owner);
    // Returns the previous limit; tools that carried it get the new one.
    int SetMaxTipWidth(int width);
    // Adds a tool with the current colours and width limit. A null `rect`
    // means the tool window's whole window rectangle.
    bool AddTool(HWND window, const std::string& text, const RECT* rect = nullptr, UINT id = 0);
    // Call with every message the owner pre-translates, before handling it.
    void RelayEvent(const MSG* msg);

    void Activate(bool active) { m_active = active; }
    void SetOffset(POINT offset) { m_offset = offset; }
    void SetColors(COLORREF background, COLORREF text) {
        m_background = background;
        m_textColor = text;
    }
    void SetTimes(UINT showDelay, UINT checkPeriod, UINT displayLimit) {
        m_showDelay = showDelay;
        m_checkPeriod = checkPeriod;
        m_displayLimit = displayLimit;
    }

    bool IsIdle() const { return m_idle; }
    bool IsShown() const { return m_hWnd != nullptr && ::IsWindowVisible(m_hWnd) != FALSE; }
    const CSkinToolTipInfo* CurrentTool() const { return m_current; }
    HFONT Font() const { return m_font; }
    // The tool under `screenPoint`, or null.
    const CSkinToolTipInfo* ToolAt(POINT screenPoint) const;

    // Test seam: null restores the window's own timers.
    void SetTimers(ITimers* timers);

  protected:
    // Moves `rect` to `point` and keeps it on the screen.
    virtual void PlaceTipRect(RECT& rect, POINT point, const CSkinToolTipInfo& tool);
    // The tip rectangle (at 0, 0) for the tool's text: the text measured
    // within the tool's width limit, plus the margins.
    virtual RECT CalcTipRect(const CSkinToolTipInfo& tool);

    LRESULT WindowProc(UINT msg, WPARAM wp, LPARAM lp) override;

  private:
    void StartTimer(UINT_PTR id, UINT ms);
    void KillTimer(UINT_PTR id);
    void Hide();
    void ShowAt(POINT point);
    void OnTimer(UINT_PTR id);
    void Paint(HDC dc);
    bool PointerInTip(POINT screenPoint) const;
    void LoadSystemFont();
    void DeleteOwnFont();

    HWND m_owner = nullptr;
    RECT m_margins{3, 5, 3, 3};
    int m_maxWidth = 0;
    POINT m_offset{0, 20};
    HFONT m_font = nullptr;
    bool m_ownsFont = false;
    bool m_usesSystemFont = true;
    UINT m_showDelay = 500;
    UINT m_checkPeriod = 500;
    UINT m_displayLimit = 5000;
    UINT m_elapsed = 0;
    bool m_active = true;
    bool m_idle = false;
    const CSkinToolTipInfo* m_current = nullptr;
    COLORREF m_background = CSkinToolTipInfo::kSystemColor;
    COLORREF m_textColor = CSkinToolTipInfo::kSystemColor;
    HWND m_previousFocus = nullptr;
    std::vector<std::unique_ptr<CSkinToolTipInfo>> m_tools;
    ITimers* m_timers = nullptr;
};
