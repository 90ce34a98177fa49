// The hidden root window and the splash thread with its window, as the installer runs them:
// placement on the work area, topmost and fixed size, the texts, and setTexts from this thread
// while the splash thread paints.
#include "Rootwindow.h"
#include "Workerthread.h"
#include "cDWTctrlImage.h"
#include "cDWTctrlLabel.h"
#include "cDWTwnd.h"
#include "cDWTwndSplash.h"
#include "cWorkerthreadSplash.h"
#include "logcapture.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

namespace {

bool hasLine(const logcapture::Capture& log, int level, const std::wstring& function, const std::wstring& message)
{
    for (const auto& l : log.of(function)) {
        if (l.level == level && l.message == message) {
            return true;
        }
    }
    return false;
}

RECT workArea()
{
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    ::GetMonitorInfoW(::MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info);
    return info.rcWork;
}

} // namespace

TEST(Splash, RootwindowIsHiddenToolWindow)
{
    logcapture::Capture log;
    auto root = std::make_unique<Rootwindow>(log.logger(), L"Callvane Rootwindow");
    HWND h = root->getHandle();
    ASSERT_TRUE(::IsWindow(h));
    EXPECT_FALSE(::IsWindowVisible(h));
    EXPECT_EQ(static_cast<DWORD>(::GetWindowLongPtrW(h, GWL_EXSTYLE)) & 0x40080u, 0x40080u);
    EXPECT_EQ(static_cast<DWORD>(::GetWindowLongPtrW(h, GWL_STYLE)) & 0x80C00000u, 0x80C00000u);
    RECT r{};
    ::GetWindowRect(h, &r);
    EXPECT_EQ(r.left, 100);
    EXPECT_EQ(r.top, 100);
    EXPECT_EQ(r.right - r.left, 650);
    EXPECT_EQ(r.bottom - r.top, 50);
    wchar_t title[64] = {};
    ::GetWindowTextW(h, title, 64);
    EXPECT_STREQ(title, L"Callvane Rootwindow");
    root.reset();
    EXPECT_FALSE(::IsWindow(h));
    EXPECT_TRUE(hasLine(log, 5, Rootwindow::FN_CONSTRUCTOR, L"Creating Rootwindow at: 100, 100 (Size: 650, 50)"));
    EXPECT_TRUE(hasLine(log, 5, Rootwindow::FN_DESTRUCTOR, L"Calling explicit destroy"));
}

TEST(Splash, PlacementTopmostFixedSizeAndTexts)
{
    logcapture::Capture log;
    Rootwindow root(log.logger(), L"Callvane Rootwindow");
    cWorkerthreadSplash* thread = cWorkerthreadSplash::create(log.logger(), &root);
    ASSERT_NE(thread, nullptr);
    EXPECT_GE(thread->getState(), Workerthread::STATE_RUNNING);
    cDWTwndSplash* splash = thread->getSplash();
    ASSERT_NE(splash, nullptr) << "create returns after init has put up the window";
    HWND h = splash->getHandle();
    ASSERT_TRUE(::IsWindow(h));
    EXPECT_EQ(::GetWindowThreadProcessId(h, nullptr), thread->getThreadId()) << "the window lives on the splash thread";
    EXPECT_EQ(::GetWindow(h, GW_OWNER), root.getHandle());
    EXPECT_TRUE(::IsWindowVisible(h));

    const RECT work = workArea();
    const LONG w = work.right - work.left;
    const LONG hgt = work.bottom - work.top;
    RECT r{};
    ::GetWindowRect(h, &r);
    EXPECT_EQ(r.right, w - 20);
    EXPECT_EQ(r.bottom, hgt - 20);
    RECT c{};
    ::GetClientRect(h, &c);
    EXPECT_EQ(c.right, 200);
    EXPECT_EQ(c.bottom, 70);
    EXPECT_NE(::GetWindowLongPtrW(h, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);

    MINMAXINFO mmi{};
    ::SendMessageW(h, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&mmi));
    EXPECT_EQ(mmi.ptMinTrackSize.x, r.right - r.left) << "cannot be resized";
    EXPECT_EQ(mmi.ptMaxTrackSize.x, r.right - r.left);
    EXPECT_EQ(mmi.ptMinTrackSize.y, r.bottom - r.top);
    EXPECT_EQ(mmi.ptMaxTrackSize.y, r.bottom - r.top);

    cDWTctrlLabel* title = splash->getTitleLabel();
    cDWTctrlLabel* status = splash->getStatusLabel();
    ASSERT_TRUE(title && status);
    EXPECT_TRUE(testsupport::waitFor([&] { return title->getPaintCount() > 0 && status->getPaintCount() > 0; }, 5000));
    EXPECT_EQ(title->getPaintedText(), cDWTwndSplash::TITLE_TEXT);
    EXPECT_EQ(status->getPaintedText(), cDWTwndSplash::WAIT_TEXT);
    EXPECT_NE(::GetWindowLongPtrW(title->getHandle(), GWL_STYLE) & WS_DISABLED, 0);

    // Layout: client positions and sizes.
    auto clientRect = [&](HWND child) {
        RECT cr{};
        ::GetWindowRect(child, &cr);
        ::MapWindowPoints(nullptr, h, reinterpret_cast<POINT*>(&cr), 2);
        return cr;
    };
    const RECT bg = clientRect(splash->getBackground()->getHandle());
    EXPECT_TRUE(bg.left == 0 && bg.top == 0 && bg.right == 200 && bg.bottom == 70);
    const RECT logo = clientRect(splash->getLogo()->getHandle());
    EXPECT_TRUE(logo.left == 10 && logo.top == 10 && logo.right == 30 && logo.bottom == 30);
    const RECT tl = clientRect(title->getHandle());
    EXPECT_TRUE(tl.left == 40 && tl.top == 10 && tl.right == 190 && tl.bottom == 30);
    const RECT sl = clientRect(status->getHandle());
    EXPECT_TRUE(sl.left == 10 && sl.top == 40 && sl.right == 190 && sl.bottom == 60);

    // The product replaces the title; the unchanged status is not redrawn.
    const int statusPaints = status->getPaintCount();
    thread->setTexts(L"Callvane Desktop", cDWTwndSplash::WAIT_TEXT);
    EXPECT_EQ(title->getPaintedText(), L"Callvane Desktop") << "redrawn before setTexts returns";
    EXPECT_EQ(status->getPaintCount(), statusPaints);
    thread->setTexts(L"Callvane Enterprise Communications Client", cDWTwndSplash::WAIT_TEXT);
    const std::wstring shortened = title->getPaintedText();
    EXPECT_EQ(shortened.substr(shortened.size() - 3), L"...");
    thread->setTexts(L"", cDWTwndSplash::WAIT_TEXT);
    EXPECT_EQ(title->getText(), L"");
    EXPECT_EQ(title->getPaintedText(), L"");

    thread->destroy();
    EXPECT_FALSE(::IsWindow(h)) << "deInit deleted the splash window";
    EXPECT_EQ(thread->getSplash(), nullptr);
    delete thread;

    const std::wstring create = L"cWorkerthreadSplash - Creating cWorkerthreadSplash thread";
    EXPECT_TRUE(hasLine(log, 5, cWorkerthreadSplash::FN_CREATE, create));
    EXPECT_TRUE(hasLine(log, 5, Workerthread::FN_CREATE, L"cWorkerthreadSplash - Running as UIthread: 1"));
    EXPECT_TRUE(hasLine(log, 5, cWorkerthreadSplash::FN_INIT, L"cWorkerthreadSplash - Showing splash screen"));
    EXPECT_TRUE(hasLine(log, 5, cWorkerthreadSplash::FN_DE_INIT, L"cWorkerthreadSplash - Closing splash screen"));
    EXPECT_TRUE(hasLine(log, 5, cDWTwnd::FN_SET_ALWAYS_ON_TOP, L"Setting window to always on top = TRUE"));
    EXPECT_TRUE(hasLine(log, 5, Workerthread::FN_DESTROY, L"cWorkerthreadSplash - Done"));
}

TEST(Splash, SetTextsWhileSplashThreadPaints)
{
    logcapture::Capture log;
    Rootwindow root(log.logger(), L"Callvane Rootwindow");
    cWorkerthreadSplash* thread = cWorkerthreadSplash::create(log.logger(), &root);
    ASSERT_NE(thread->getSplash(), nullptr);
    cDWTctrlLabel* title = thread->getSplash()->getTitleLabel();
    cDWTctrlLabel* status = thread->getSplash()->getStatusLabel();

    // Another thread keeps invalidating the labels, so that the splash thread paints on its own
    // while this thread replaces the texts.
    std::atomic<bool> stop{false};
    std::thread invalidator([&] {
        while (!stop.load()) {
            ::InvalidateRect(title->getHandle(), nullptr, TRUE);
            ::InvalidateRect(status->getHandle(), nullptr, TRUE);
            ::Sleep(0);
        }
    });

    const std::wstring products[] = {L"Alpha product", L"Beta", L"", L"Gamma product with a long name of its own"};
    const std::wstring states[] = {cDWTwndSplash::WAIT_TEXT, L"Downloading update"};
    std::set<std::wstring> allowedTitles{cDWTwndSplash::TITLE_TEXT, L"", L"Alpha product", L"Beta",
                                         L"Gamma product with a long name of its own"};
    int bad = 0;
    for (int i = 0; i < 600; ++i) {
        thread->setTexts(products[i % 4], states[(i / 3) % 2]);
        if (title->getText() != products[i % 4]) {
            ++bad;
        }
        std::wstring painted = title->getPaintedText();
        if (painted.size() >= 3 && painted.substr(painted.size() - 3) == L"...") {
            // A shortened text is a prefix of one of the texts.
            const std::wstring kept = painted.substr(0, painted.size() - 3);
            bool prefix = false;
            for (const auto& t : allowedTitles) {
                prefix = prefix || t.rfind(kept, 0) == 0;
            }
            bad += prefix ? 0 : 1;
        } else {
            bad += allowedTitles.count(painted) == 1 ? 0 : 1;
        }
        const std::wstring paintedStatus = status->getPaintedText();
        bad += (paintedStatus == states[0] || paintedStatus == states[1]) ? 0 : 1;
    }
    stop = true;
    invalidator.join();
    EXPECT_EQ(bad, 0);
    EXPECT_GT(title->getPaintCount(), 600);

    thread->destroy();
    EXPECT_TRUE(thread->hasEnded());
    delete thread;
}

TEST(Splash, ThreadWithoutOwnerWindow)
{
    logcapture::Capture log;
    cWorkerthreadSplash* thread = cWorkerthreadSplash::create(log.logger(), nullptr);
    ASSERT_NE(thread->getSplash(), nullptr);
    EXPECT_EQ(::GetWindow(thread->getSplash()->getHandle(), GW_OWNER), nullptr);
    thread->setTexts(cDWTwndSplash::TITLE_TEXT, cDWTwndSplash::WAIT_TEXT);
    thread->destroy();
    thread->setTexts(L"after", L"destroy"); // no window any more: nothing happens
    delete thread;
}
