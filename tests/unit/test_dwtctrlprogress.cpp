// The download progress bar of the splash: its place in the strip under the status label, the
// pixels it paints for no size, half and all of a download, the width arithmetic at the edges of
// 64-bit sizes, the repaint requests of a block-by-block download, and progress reported from
// another thread while the splash thread paints.
#include "Rootwindow.h"
#include "cDWTctrlLabel.h"
#include "cDWTctrlProgress.h"
#include "cDWTwndSplash.h"
#include "cWorkerthreadSplash.h"
#include "handles.h"
#include "logcapture.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

namespace {

constexpr COLORREF WHITE = RGB(255, 255, 255);
constexpr COLORREF BAR = RGB(0, 102, 204);
constexpr COLORREF FRAME = RGB(160, 160, 160);

// The pixels of a window's client area as it shows them, row by row (COLORREF values).
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<COLORREF> values;
    COLORREF at(int x, int y) const { return values[static_cast<size_t>(y) * width + x]; }
    int count(int y, COLORREF colour) const
    {
        int n = 0;
        for (int x = 0; x < width; ++x) {
            n += at(x, y) == colour ? 1 : 0;
        }
        return n;
    }
};

Pixels readPixels(HWND window)
{
    Pixels p;
    RECT client{};
    ::GetClientRect(window, &client);
    p.width = client.right;
    p.height = client.bottom;
    HDC source = ::GetDC(window);
    HDC memory = ::CreateCompatibleDC(source);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = p.width;
    info.bmiHeader.biHeight = -p.height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    handles::Bitmap dib(::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (dib.valid() && bits != nullptr) {
        HGDIOBJ old = ::SelectObject(memory, dib.get());
        ::BitBlt(memory, 0, 0, p.width, p.height, source, 0, 0, SRCCOPY);
        ::GdiFlush();
        const DWORD* px = static_cast<const DWORD*>(bits);
        for (int i = 0; i < p.width * p.height; ++i) {
            const DWORD v = px[i]; // 0x00RRGGBB
            p.values.push_back(RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF));
        }
        ::SelectObject(memory, old);
    }
    ::DeleteDC(memory);
    ::ReleaseDC(window, source);
    return p;
}

// Waits until the bar has painted `fill` and returns what it shows then.
Pixels paintedBar(cDWTctrlProgress* bar, int32_t fill)
{
    EXPECT_TRUE(testsupport::waitFor([&] { return bar->getPaintedFill() == fill; }, 5000))
        << "painted " << bar->getPaintedFill() << ", wanted " << fill;
    ::Sleep(50);
    return readPixels(bar->getHandle());
}

} // namespace

TEST(SplashProgress, FillWidthArithmetic)
{
    const int32_t w = 178;
    EXPECT_EQ(cDWTctrlProgress::fillWidth(0, 0, w), cDWTctrlProgress::HIDDEN);
    EXPECT_EQ(cDWTctrlProgress::fillWidth(12345, 0, w), cDWTctrlProgress::HIDDEN) << "no Content-Length";
    EXPECT_EQ(cDWTctrlProgress::fillWidth(0, 100, w), 0);
    EXPECT_EQ(cDWTctrlProgress::fillWidth(50, 100, w), 89);
    EXPECT_EQ(cDWTctrlProgress::fillWidth(99, 100, w), 176);
    EXPECT_EQ(cDWTctrlProgress::fillWidth(100, 100, w), 178);
    EXPECT_EQ(cDWTctrlProgress::fillWidth(250, 100, w), 178) << "more than announced is clamped";
    EXPECT_EQ(cDWTctrlProgress::fillWidth(1, 3, w), 59);
    // Sizes whose product with the width does not fit into 64 bits.
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(cDWTctrlProgress::fillWidth(max, max, w), 178);
    EXPECT_EQ(cDWTctrlProgress::fillWidth(max / 2, max, w), 88);
    EXPECT_EQ(cDWTctrlProgress::fillWidth(max, 1, w), 178);
    EXPECT_EQ(cDWTctrlProgress::fillWidth(0, max, w), 0);
    EXPECT_EQ(cDWTctrlProgress::fillWidth(uint64_t(1) << 62, uint64_t(1) << 63, w), 89);
    EXPECT_EQ(cDWTctrlProgress::fillWidth(5, 10, 0), cDWTctrlProgress::HIDDEN);
}

TEST(SplashProgress, PlaceAndPixelsHiddenHalfFull)
{
    logcapture::Capture log;
    Rootwindow root(log.logger(), L"Callvane Rootwindow");
    cWorkerthreadSplash* thread = cWorkerthreadSplash::create(log.logger(), &root);
    ASSERT_NE(thread->getSplash(), nullptr);
    cDWTwndSplash* splash = thread->getSplash();
    cDWTctrlProgress* bar = splash->getProgressBar();
    ASSERT_NE(bar, nullptr);
    HWND h = splash->getHandle();
    HWND b = bar->getHandle();
    EXPECT_EQ(::GetWindowThreadProcessId(b, nullptr), thread->getThreadId());
    EXPECT_NE(::GetWindowLongPtrW(b, GWL_STYLE) & WS_DISABLED, 0) << "takes no input";

    // In the strip under the status label, inside the 200 x 70 client area.
    RECT r{};
    ::GetWindowRect(b, &r);
    ::MapWindowPoints(nullptr, h, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.top, 62);
    EXPECT_EQ(r.right, 190);
    EXPECT_EQ(r.bottom, 68);
    RECT client{};
    ::GetClientRect(h, &client);
    EXPECT_EQ(client.right, 200);
    EXPECT_EQ(client.bottom, 70);
    EXPECT_EQ(bar->getInnerWidth(), 178);

    // Nothing reported yet, and no Content-Length: all white, no frame.
    Pixels p = paintedBar(bar, cDWTctrlProgress::HIDDEN);
    ASSERT_EQ(p.width, 180);
    ASSERT_EQ(p.height, 6);
    for (int y = 0; y < p.height; ++y) {
        EXPECT_EQ(p.count(y, WHITE), 180) << "row " << y;
    }
    thread->setProgress(40960, 0);
    EXPECT_EQ(bar->getFill(), cDWTctrlProgress::HIDDEN);

    // Half of the download: a frame, and the inner row half filled from the left.
    thread->setProgress(512 * 1024, 1024 * 1024);
    p = paintedBar(bar, 89);
    EXPECT_EQ(p.at(0, 3), FRAME);
    EXPECT_EQ(p.at(179, 3), FRAME);
    EXPECT_EQ(p.at(90, 0), FRAME);
    EXPECT_EQ(p.at(90, 5), FRAME);
    for (int y = 1; y < 5; ++y) {
        EXPECT_EQ(p.count(y, BAR), 89) << "row " << y;
        EXPECT_EQ(p.at(1, y), BAR);
        EXPECT_EQ(p.at(89, y), BAR);
        EXPECT_EQ(p.at(90, y), WHITE);
        EXPECT_EQ(p.at(178, y), WHITE);
    }

    // More than announced: full, never beyond the frame.
    thread->setProgress(3 * 1024 * 1024, 1024 * 1024);
    p = paintedBar(bar, 178);
    for (int y = 1; y < 5; ++y) {
        EXPECT_EQ(p.count(y, BAR), 178) << "row " << y;
        EXPECT_EQ(p.at(179, y), FRAME);
    }

    // A later download without size hides the bar again.
    thread->setProgress(4096, 0);
    p = paintedBar(bar, cDWTctrlProgress::HIDDEN);
    for (int y = 0; y < p.height; ++y) {
        EXPECT_EQ(p.count(y, WHITE), 180) << "row " << y;
    }

    // The labels are untouched by the bar.
    EXPECT_EQ(splash->getTitleLabel()->getPaintedText(), cDWTwndSplash::TITLE_TEXT);
    EXPECT_EQ(splash->getStatusLabel()->getPaintedText(), cDWTwndSplash::WAIT_TEXT);

    thread->destroy();
    EXPECT_FALSE(::IsWindow(b)) << "deleted with the splash window";
    thread->setProgress(1, 2); // no window any more: nothing happens
    delete thread;
}

TEST(SplashProgress, BlockByBlockDownloadRequestsOneRepaintPerPixel)
{
    logcapture::Capture log;
    cWorkerthreadSplash* thread = cWorkerthreadSplash::create(log.logger(), nullptr);
    ASSERT_NE(thread->getSplash(), nullptr);
    cDWTctrlProgress* bar = thread->getSplash()->getProgressBar();
    ASSERT_NE(bar, nullptr);

    // 64 MiB in blocks of 4096 bytes, reported after each block as the updater does.
    const uint64_t total = 64ull * 1024 * 1024;
    int requests = 0;
    int32_t previous = bar->getFill();
    bool monotone = true;
    for (uint64_t received = 0; received <= total; received += 4096) {
        requests += bar->setProgress(received, total) ? 1 : 0;
        monotone = monotone && bar->getFill() >= previous;
        previous = bar->getFill();
    }
    EXPECT_TRUE(monotone);
    EXPECT_EQ(requests, 179) << "one for showing at 0, one per pixel of 178";
    EXPECT_FALSE(bar->setProgress(total, total)) << "the same width again asks for nothing";
    EXPECT_TRUE(testsupport::waitFor([&] { return bar->getPaintedFill() == 178; }, 5000));

    thread->destroy();
    delete thread;
}

TEST(SplashProgress, ProgressFromAnotherThreadWhileSplashPaints)
{
    logcapture::Capture log;
    Rootwindow root(log.logger(), L"Callvane Rootwindow");
    cWorkerthreadSplash* thread = cWorkerthreadSplash::create(log.logger(), &root);
    ASSERT_NE(thread->getSplash(), nullptr);
    cDWTwndSplash* splash = thread->getSplash();
    cDWTctrlProgress* bar = splash->getProgressBar();
    HWND b = bar->getHandle();

    std::atomic<bool> stop{false};
    // Keeps the splash thread painting the bar on its own.
    std::thread invalidator([&] {
        while (!stop.load()) {
            ::InvalidateRect(b, nullptr, TRUE);
            ::Sleep(0);
        }
    });
    // A download loop on another thread, round after round until told to stop: downloads of
    // several sizes, one of them without size.
    std::atomic<bool> stopReporting{false};
    std::atomic<int> calls{0};
    std::thread reporter([&] {
        const uint64_t sizes[] = {1000000, 0, 7 * 4096 + 5, 300000};
        for (int round = 0; !stopReporting.load(); ++round) {
            const uint64_t expected = sizes[round % 4];
            const uint64_t length = expected != 0 ? expected : 500000;
            for (uint64_t received = 0; received < length + 4096; received += 4096) {
                thread->setProgress(received, expected);
                calls.fetch_add(1);
            }
        }
        thread->setProgress(150, 300);
    });

    // Meanwhile this thread keeps replacing the status text, which redraws synchronously through
    // the splash thread: a deadlock would hang here.
    // Each text reaches the screen, however the splash thread's own paints fall (when one is under
    // way as the text changes, the call may return just before that paint ends).
    cDWTctrlLabel* label = splash->getStatusLabel();
    auto paintedSoon = [label](const std::wstring& expected) {
        return testsupport::waitFor([&] { return label->getPaintedText() == expected; }, 2000);
    };
    int bad = 0;
    int stale = 0;
    for (int i = 0; i < 300; ++i) {
        const std::wstring status = (i % 2) != 0 ? L"Downloading" : cDWTwndSplash::WAIT_TEXT;
        splash->setTexts(cDWTwndSplash::TITLE_TEXT, status);
        stale += paintedSoon(status) ? 0 : 1;
        const int32_t painted = bar->getPaintedFill();
        bad += (painted == cDWTctrlProgress::HIDDEN || (painted >= 0 && painted <= 178)) ? 0 : 1;
    }
    EXPECT_EQ(stale, 0);
    stopReporting = true;
    reporter.join();
    stop = true;
    invalidator.join();
    EXPECT_EQ(bad, 0);
    EXPECT_GT(calls.load(), 1000);
    EXPECT_GT(bar->getPaintCount(), 100) << "the splash thread kept painting";

    // The last report wins.
    EXPECT_EQ(bar->getFill(), 89);
    const Pixels p = paintedBar(bar, 89);
    EXPECT_EQ(p.count(3, BAR), 89);
    splash->setTexts(cDWTwndSplash::TITLE_TEXT, L"Downloading");
    splash->setTexts(cDWTwndSplash::TITLE_TEXT, cDWTwndSplash::WAIT_TEXT);
    EXPECT_TRUE(paintedSoon(cDWTwndSplash::WAIT_TEXT));

    thread->destroy();
    EXPECT_TRUE(thread->hasEnded());
    delete thread;
}
