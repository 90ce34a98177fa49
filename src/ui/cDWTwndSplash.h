// cDWTwndSplash: the "Please wait" window near the lower right corner of the work area: a white
// background, the product logo, a title label and a status label, 200 x 70 client pixels,
// topmost, fixed size. It is created, used and deleted on the splash thread
// (cWorkerthreadSplash), which owns it; the main thread only calls setTexts and setProgress. The
// 10 pixels below the status label (y 60 to 70) hold a thin download progress bar, invisible
// until a download with a known size reports progress. The sizes here are those at 96 dots per
// inch: the window lays itself out, and draws its fonts and bitmaps, at the dots per inch it is
// shown at (dpiOf), so that it keeps its look on a high-resolution screen.
#pragma once

#include "cDWTwnd.h"

#include <memory>

class cDWTctrlImage;
class cDWTctrlLabel;
class cDWTctrlProgress;

class cDWTwndSplash : public cDWTwnd {
public:
    static constexpr int32_t CLIENT_WIDTH = 200;
    static constexpr int32_t CLIENT_HEIGHT = 70;
    // Distance of the window's outer right and bottom edges from the work area's.
    static constexpr int32_t MARGIN = 20;
    // The logo's square; from 144 DPI on it is drawn from the bitmap of twice its size.
    static constexpr int32_t LOGO_SIZE = 20;
    // The progress bar in client coordinates, under the status label (10, 40, 180 x 20).
    static constexpr int32_t PROGRESS_X = 10;
    static constexpr int32_t PROGRESS_Y = 62;
    static constexpr int32_t PROGRESS_WIDTH = 180;
    static constexpr int32_t PROGRESS_HEIGHT = 6;
    // The texts it opens with: the product's name in the title (until the installer sets the
    // deployment's product) and the wait in the status line.
    static constexpr const wchar_t* TITLE_TEXT = L"Callvane";
    static constexpr const wchar_t* WAIT_TEXT = L"Please wait";

    cDWTwndSplash(Logger* logger, int32_t iconId, HWND owner);
    ~cDWTwndSplash() override;
    int32_t getClassKind() const override { return 0; }

    // May be called from another thread (see cDWTctrlLabel::setText).
    void setTexts(const std::wstring& title, const std::wstring& status);
    // The status line alone, the title kept; may be called from another thread as setTexts.
    void setStatus(const std::wstring& status);
    // May be called from another thread and never waits for the splash thread (see
    // cDWTctrlProgress::setProgress); expected 0 keeps the bar hidden.
    void setProgress(uint64_t received, uint64_t expected);

    cDWTctrlLabel* getTitleLabel() const { return titleLabel.get(); }
    cDWTctrlLabel* getStatusLabel() const { return statusLabel.get(); }
    cDWTctrlImage* getBackground() const { return background.get(); }
    cDWTctrlImage* getLogo() const { return logo.get(); }
    cDWTctrlProgress* getProgressBar() const { return progressBar.get(); }
    // The dots per inch the layout was made for.
    UINT getDpi() const { return dpi; }

private:
    void place();
    // A length of the 96-DPI layout at the window's dots per inch.
    int32_t scaled(int32_t pixels) const { return scaleForDpi(pixels, dpi); }

    int32_t constructed;
    UINT dpi;
    std::unique_ptr<cDWTctrlImage> background;
    std::unique_ptr<cDWTctrlImage> logo;
    std::unique_ptr<cDWTctrlLabel> titleLabel;
    std::unique_ptr<cDWTctrlLabel> statusLabel;
    std::unique_ptr<cDWTctrlProgress> progressBar;
};
