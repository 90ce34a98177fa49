// cDWTctrlLabel: a child control showing one line of text in its own point font and colour on a
// transparent background, shortened with "..." when it does not fit. It can put a hover text
// into another label while the mouse rests on it, and report a click to its parent as
// WM_COMMAND (a label without click code is disabled). The parent's object owns it; the label
// owns its font. setText may be called from any thread: the text is handed over under a lock,
// and painting works on a copy taken under the same lock, so a paint never sees a text that is
// being replaced. The redraw then runs on the label's own thread, which must serve its messages.
// The font's point size is converted at `dpi` (the window's dots per inch; 0: the screen's).
#pragma once

#include "Font.h"
#include "cDWTctrl.h"

#include <atomic>
#include <mutex>

class cDWTctrlLabel : public cDWTctrl {
public:
    cDWTctrlLabel(Logger* logger, HWND parent, const std::wstring& text, const std::wstring& hoverText,
                  cDWTctrlLabel* hoverTarget, LOGFONTW font, COLORREF textColour, int32_t centred, int32_t clickCode,
                  int32_t x, int32_t y, int32_t width, int32_t height, UINT dpi = 0);
    ~cDWTctrlLabel() override;
    int32_t getClassKind() const override { return 0; }

    // Replaces the text and redraws at once when it differs from the current one; erase 1 clears
    // the background with the next paint.
    void setText(const std::wstring& text, int32_t erase);
    std::wstring getText() const;

    // The text as drawn into a label `width` pixels wide with the font selected into dc: the
    // text itself when narrower, otherwise shortened with "...", at least its first character
    // followed by "..."; an empty text stays empty.
    static std::wstring fitText(HDC dc, const std::wstring& text, int32_t width);

    // What the last paint drew (after fitting) and how many paints there were.
    std::wstring getPaintedText() const;
    int32_t getPaintCount() const { return paintCount.load(); }
    HFONT getFont() const { return font.get(); }

protected:
    void OnPaint() override;
    BOOL OnEraseBkgnd(HDC dc) override;
    void OnLButtonUp(UINT flags, POINT point) override;
    void OnMouseMove(UINT flags, POINT point) override;
    void OnMouseHover(UINT flags, POINT point) override;
    void OnMouseLeave() override;

    int32_t clickCode;
    std::wstring text;
    std::wstring hoverText;
    Font font;
    COLORREF textColour;
    int32_t centred;
    int32_t eraseOnNextPaint;
    cDWTctrlLabel* hoverTarget;
    int32_t constructed;

private:
    // Guards text, eraseOnNextPaint and paintedText.
    mutable std::mutex textLock;
    std::wstring paintedText;
    std::atomic<int32_t> paintCount;
};
