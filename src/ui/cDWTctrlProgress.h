// cDWTctrlProgress: a thin progress bar, a child control of the toolkit: a one-pixel frame around
// a filled part that grows from the left with the share of bytes received. With nothing to show
// (no expected size) it paints only its white background, so it stays invisible. It takes no
// input. The parent's object owns it. setProgress may be called from any thread and never waits
// for the control's thread: it computes the filled width in pixels, stores it in an atomic and,
// only when that width changes, invalidates the control; the control's own thread then paints
// the latest stored width.
#pragma once

#include "cDWTctrl.h"

#include <atomic>
#include <cstdint>

class cDWTctrlProgress : public cDWTctrl {
public:
    // Filled width meaning "hidden": nothing is known about the size to expect.
    static constexpr int32_t HIDDEN = -1;

    cDWTctrlProgress(Logger* logger, HWND parent, COLORREF barColour, COLORREF frameColour, int32_t x, int32_t y,
                     int32_t width, int32_t height);
    ~cDWTctrlProgress() override;
    int32_t getClassKind() const override { return 0; }

    // Any thread. expected 0 hides the bar; received above expected counts as expected. Returns
    // true when the drawn width changed and a repaint was requested.
    bool setProgress(uint64_t received, uint64_t expected);

    // Pixels of `width` filled for received of expected (HIDDEN when expected is 0).
    static int32_t fillWidth(uint64_t received, uint64_t expected, int32_t width);

    // Width in pixels of the area inside the frame, which the filled part covers when complete.
    int32_t getInnerWidth() const { return innerWidth; }
    // The width set last, the width the last paint drew, and the number of paints.
    int32_t getFill() const { return fill.load(); }
    int32_t getPaintedFill() const { return paintedFill.load(); }
    int32_t getPaintCount() const { return paintCount.load(); }

protected:
    void OnPaint() override;
    BOOL OnEraseBkgnd(HDC dc) override;

    int32_t constructed;
    COLORREF barColour;
    COLORREF frameColour;
    int32_t innerWidth;

private:
    // Window handle for other threads: handle itself is the owning thread's.
    std::atomic<HWND> window;
    std::atomic<int32_t> fill;
    std::atomic<int32_t> paintedFill;
    std::atomic<int32_t> paintCount;
};
