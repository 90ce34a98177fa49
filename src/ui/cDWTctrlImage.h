// cDWTctrlImage: a child control that shows a bitmap from the resources, stretched over its
// whole client area (smoothed when the sizes differ). A width or height of 0 takes the bitmap's. A bitmap that cannot
// be loaded leaves the control empty (it then shows its white class background). It takes no input. The parent's object
// owns it; the control owns its bitmap.
#pragma once

#include "Bitmap.h"
#include "cDWTctrl.h"

class cDWTctrlImage : public cDWTctrl {
public:
    cDWTctrlImage(Logger* logger, int32_t controlId, int32_t bitmapId, int32_t x, int32_t y, int32_t width,
                  int32_t height, HWND parent);
    ~cDWTctrlImage() override;
    int32_t getClassKind() const override { return 0; }

    bool hasBitmap() const { return bitmap.loaded(); }

protected:
    void OnPaint() override;
    BOOL OnEraseBkgnd(HDC dc) override;

    int32_t constructed;
    Bitmap bitmap;
};
