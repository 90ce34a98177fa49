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
} // namespace

cDWTwndSplash::cDWTwndSplash(Logger* logger, int32_t iconId, HWND owner)
    : cDWTwnd(logger, iconId, L"", 0, 0, 0, 0, owner, 0, 0, 0), constructed(0)
{
    LOGFONTW labelFont{};
    labelFont.lfHeight = 82;
    labelFont.lfWeight = 400;
    wcsncpy(labelFont.lfFaceName, L"Tahoma", 30);

    background =
        std::make_unique<cDWTctrlImage>(logger, 1, IDB_SPLASH_BACKGROUND, 0, 0, CLIENT_WIDTH, CLIENT_HEIGHT, handle);
    logo = std::make_unique<cDWTctrlImage>(logger, 0, IDB_SPLASH_LOGO, 10, 10, 0, 0, handle);
    titleLabel =
        std::make_unique<cDWTctrlLabel>(logger, handle, L"Callvane", L"", nullptr, labelFont, 0, 0, 0, 40, 10, 150, 20);
    statusLabel = std::make_unique<cDWTctrlLabel>(logger, handle, L"Please wait", L"", nullptr, labelFont, 0, 0, 0, 10,
                                                  40, 180, 20);
    // Created after the labels, so that it lies over the background in the sibling order just as
    // they do; it paints every pixel of its own and is repainted alone when the progress moves.
    progressBar = std::make_unique<cDWTctrlProgress>(logger, handle, RGB(0, 102, 204), RGB(160, 160, 160), PROGRESS_X,
                                                     PROGRESS_Y, PROGRESS_WIDTH, PROGRESS_HEIGHT);

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
    int32_t x = work.cx - (CLIENT_WIDTH + MARGIN);
    int32_t width = CLIENT_WIDTH;
    for (int32_t i = 0; getClientWidth() < CLIENT_WIDTH && i < MAX_GROW_STEPS; ++i) {
        x = work.cx - (CLIENT_WIDTH + MARGIN) - i;
        width = CLIENT_WIDTH + i;
        ::SetWindowPos(handle, nullptr, x, work.cy - (CLIENT_HEIGHT + MARGIN), width, CLIENT_HEIGHT,
                       SWP_NOZORDER | SWP_NOACTIVATE);
    }
    for (int32_t j = 0; getClientHeight() < CLIENT_HEIGHT && j < MAX_GROW_STEPS; ++j) {
        ::SetWindowPos(handle, nullptr, x, work.cy - (CLIENT_HEIGHT + MARGIN) - j, width, CLIENT_HEIGHT + j,
                       SWP_NOZORDER | SWP_NOACTIVATE);
    }
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

void cDWTwndSplash::setProgress(uint64_t received, uint64_t expected)
{
    if (progressBar != nullptr) {
        progressBar->setProgress(received, expected);
    }
}
