#include "cDWTwndSplash.h"

#include "cDWTctrlImage.h"
#include "cDWTctrlLabel.h"
#include "cDWTctrlProgress.h"
#include "resource.h"

#include <cwchar>

namespace {
// Upper bound of the one-pixel growing steps of the placement: a window that does not grow
// (for example because the platform refuses the size) must not keep the thread busy forever.
constexpr int32_t MAX_GROW_STEPS = 4096;

// Grows the window one pixel a step (place(k) puts it at step k) until measure() reaches target.
// The client area grows with the window pixel for pixel, so a step that falls short by n pixels is
// followed by the step n pixels further at once: the same place as one pixel at a time, without a
// round trip to the display for each pixel (one each under Wine).
template <typename Measure, typename Place>
void growUntil(int32_t target, Measure measure, Place place)
{
    for (int32_t step = 0; step < MAX_GROW_STEPS;) {
        const int32_t shortBy = target - measure();
        if (shortBy <= 0) {
            return;
        }
        if (step > 0) {
            step += shortBy - 1;
        }
        step = step < MAX_GROW_STEPS ? step : MAX_GROW_STEPS - 1;
        place(step);
        ++step;
    }
}
} // namespace

cDWTwndSplash::cDWTwndSplash(Logger* logger, int32_t iconId, HWND owner)
    : cDWTwnd(logger, iconId, L"", 0, 0, 0, 0, owner, 0, 0, 0), constructed(0), dpi(dpiOf(handle))
{
    LOGFONTW labelFont{};
    labelFont.lfHeight = 82;
    labelFont.lfWeight = 400;
    wcsncpy(labelFont.lfFaceName, L"Tahoma", 30);

    background = std::make_unique<cDWTctrlImage>(logger, 1, IDB_SPLASH_BACKGROUND, 0, 0, scaled(CLIENT_WIDTH),
                                                 scaled(CLIENT_HEIGHT), handle);
    const int32_t logoId = dpi >= DEFAULT_DPI * 3 / 2 ? IDB_SPLASH_LOGO_LARGE : IDB_SPLASH_LOGO;
    logo = std::make_unique<cDWTctrlImage>(logger, 0, logoId, scaled(10), scaled(10), scaled(LOGO_SIZE),
                                           scaled(LOGO_SIZE), handle);
    titleLabel = std::make_unique<cDWTctrlLabel>(logger, handle, TITLE_TEXT, L"", nullptr, labelFont, 0, 0, 0,
                                                 scaled(40), scaled(10), scaled(150), scaled(20), dpi);
    statusLabel = std::make_unique<cDWTctrlLabel>(logger, handle, WAIT_TEXT, L"", nullptr, labelFont, 0, 0, 0,
                                                  scaled(10), scaled(40), scaled(180), scaled(20), dpi);
    // Created after the labels, so that it lies over the background in the sibling order just as
    // they do; it paints every pixel of its own and is repainted alone when the progress moves.
    progressBar =
        std::make_unique<cDWTctrlProgress>(logger, handle, RGB(0, 102, 204), RGB(160, 160, 160), scaled(PROGRESS_X),
                                           scaled(PROGRESS_Y), scaled(PROGRESS_WIDTH), scaled(PROGRESS_HEIGHT));

    place();

    ShowWindow(SW_SHOW);
    setAlwaysOnTop(1);
    setResizable(0);
    UpdateWindow();
    constructed = 1;
}

cDWTwndSplash::~cDWTwndSplash()
{
    // The controls go in the order they were made, before the window itself.
    background.reset();
    logo.reset();
    titleLabel.reset();
    statusLabel.reset();
    progressBar.reset();
}

void cDWTwndSplash::place()
{
    if (handle == nullptr) {
        return;
    }
    const SIZE work = workAreaSize();
    const int32_t clientWidth = scaled(CLIENT_WIDTH);
    const int32_t clientHeight = scaled(CLIENT_HEIGHT);
    const int32_t margin = scaled(MARGIN);
    int32_t x = work.cx - (clientWidth + margin);
    int32_t width = clientWidth;
    growUntil(
        clientWidth, [this] { return getClientWidth(); },
        [&](int32_t i) {
            x = work.cx - (clientWidth + margin) - i;
            width = clientWidth + i;
            ::SetWindowPos(handle, nullptr, x, work.cy - (clientHeight + margin), width, clientHeight,
                           SWP_NOZORDER | SWP_NOACTIVATE);
        });
    growUntil(
        clientHeight, [this] { return getClientHeight(); },
        [&](int32_t j) {
            ::SetWindowPos(handle, nullptr, x, work.cy - (clientHeight + margin) - j, width, clientHeight + j,
                           SWP_NOZORDER | SWP_NOACTIVATE);
        });
}

void cDWTwndSplash::setTexts(const std::wstring& title, const std::wstring& status)
{
    if (titleLabel != nullptr) {
        titleLabel->setText(title, 1);
    }
    if (statusLabel != nullptr) {
        statusLabel->setText(status, 1);
    }
}

void cDWTwndSplash::setStatus(const std::wstring& status)
{
    if (statusLabel != nullptr) {
        statusLabel->setText(status, 1);
    }
}

void cDWTwndSplash::setProgress(uint64_t received, uint64_t expected)
{
    if (progressBar != nullptr) {
        progressBar->setProgress(received, expected);
    }
}
