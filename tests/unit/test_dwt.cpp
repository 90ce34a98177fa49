// The window toolkit on the test's own thread under the X display: styles, always-on-top and
// size limits, images from the resources, label fitting, redraws, clicks and hover texts.
#include "Atomhandler.h"
#include "Thread.h"
#include "Window.h"
#include "cDWT.h"
#include "cDWTctrlImage.h"
#include "cDWTctrlLabel.h"
#include "cDWTwnd.h"
#include "cDWTwndSplash.h"
#include "logcapture.h"
#include "resource.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

void pump()
{
    MSG msg;
    for (int round = 0; round < 20; ++round) {
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::Sleep(5);
    }
}

LOGFONTW tahoma()
{
    LOGFONTW lf{};
    lf.lfHeight = 82;
    lf.lfWeight = 400;
    wcsncpy(lf.lfFaceName, L"Tahoma", 30);
    return lf;
}

int countLines(const logcapture::Capture& log, const std::wstring& function, const std::wstring& message)
{
    int n = 0;
    for (const auto& l : log.of(function)) {
        n += l.message == message ? 1 : 0;
    }
    return n;
}

// A top-level window that records the WM_COMMANDs its controls send.
class CommandSink : public cDWTwnd {
public:
    explicit CommandSink(Logger* logger) : cDWTwnd(logger, 0, L"sink", 50, 50, 300, 120, nullptr, 0, 0, 0) {}
    std::vector<std::pair<WPARAM, LPARAM>> commands;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_COMMAND) {
            commands.emplace_back(wParam, lParam);
            return 0;
        }
        return cDWTwnd::WindowProc(message, wParam, lParam);
    }
};

// Text extent with the label font, as the label measures.
int widthOf(HDC dc, const std::wstring& text)
{
    SIZE s{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &s);
    return s.cx;
}

} // namespace

TEST(Toolkit, WindowTypeTable)
{
    DWORD style = 0, ex = 0;
    ASSERT_TRUE(cDWT::stylesOf(0, style, ex));
    EXPECT_EQ(style, 0x82CF0000u);
    EXPECT_EQ(ex, 0u);
    ASSERT_TRUE(cDWT::stylesOf(1, style, ex));
    EXPECT_EQ(style, 0x82CF0000u);
    EXPECT_EQ(ex, static_cast<DWORD>(WS_EX_TOOLWINDOW));
    ASSERT_TRUE(cDWT::stylesOf(2, style, ex));
    EXPECT_EQ(style, 0x828F0000u);
    ASSERT_TRUE(cDWT::stylesOf(3, style, ex));
    EXPECT_EQ(style, 0x828B0000u);
    ASSERT_TRUE(cDWT::stylesOf(4, style, ex));
    EXPECT_EQ(style, 0x820B0000u);
    ASSERT_TRUE(cDWT::stylesOf(5, style, ex));
    EXPECT_EQ(style, 0x40000000u);
    EXPECT_FALSE(cDWT::stylesOf(6, style, ex));
    EXPECT_FALSE(cDWT::stylesOf(-1, style, ex));
}

TEST(Toolkit, UnknownWindowTypeEndsProcessWithFatalLine)
{
    testsupport::TempDir dir(L"dwt");
    const auto bad =
        testsupport::runProgram(testsupport::fixture(L"dwtwindow.exe"), L"\"" + dir.path() + L"\" 6", 30000);
    ASSERT_TRUE(bad.finished);
    EXPECT_EQ(bad.exitCode, 1u);
    const std::string log = testsupport::readBytes(dir.file(L"dwt.log"));
    const auto lines = testsupport::splitLines(log);
    bool fatal = false;
    for (const auto& l : lines) {
        if (l.rfind("FATAL   - ", 0) == 0 && l.find("cDWT::cDWT") != std::string::npos &&
            l.find("Unknown DWT_WINDOWTYPE requested: 6") != std::string::npos) {
            fatal = true;
        }
    }
    EXPECT_TRUE(fatal) << log;
    EXPECT_NE(log.find("Using LOCAL atoms"), std::string::npos);

    testsupport::TempDir dir2(L"dwt");
    const auto good =
        testsupport::runProgram(testsupport::fixture(L"dwtwindow.exe"), L"\"" + dir2.path() + L"\" 2", 30000);
    ASSERT_TRUE(good.finished);
    EXPECT_EQ(good.exitCode, 0u) << "a type from the table creates its window";
}

TEST(Toolkit, TopLevelWindowStylesTopmostAndSizeLimits)
{
    logcapture::Capture log;
    cDWTwnd wnd(log.logger(), IDI_CV_SETUP, L"toolkit", 30, 40, 300, 200, nullptr, 120, 80, 0);
    ASSERT_EQ(wnd.isCreated(), 1);
    HWND h = wnd.getHandle();
    EXPECT_FALSE(::IsWindowVisible(h)) << "created hidden";
    EXPECT_EQ(static_cast<DWORD>(::GetWindowLongPtrW(h, GWL_STYLE)) & 0x828F0000u, 0x828F0000u);
    EXPECT_NE(::GetClassLongPtrW(h, GCLP_HICON), 0) << "icon 110 from the resources";
    EXPECT_EQ(countLines(log, Atomhandler::FN_CONSTRUCTOR, L"Using LOCAL atoms"), 1);
    EXPECT_EQ(wnd.getX(), 30);
    EXPECT_EQ(wnd.getY(), 40);

    wnd.ShowWindow(SW_SHOWNOACTIVATE);
    wnd.setAlwaysOnTop(1);
    wnd.setAlwaysOnTop(1);
    EXPECT_EQ(countLines(log, cDWTwnd::FN_SET_ALWAYS_ON_TOP, L"Setting window to always on top = TRUE"), 1);
    EXPECT_NE(::GetWindowLongPtrW(h, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    wnd.setAlwaysOnTop(0);
    EXPECT_EQ(countLines(log, cDWTwnd::FN_SET_ALWAYS_ON_TOP, L"Setting window to always on top = FALSE"), 1);
    EXPECT_EQ(::GetWindowLongPtrW(h, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);

    MINMAXINFO mmi{};
    ::SendMessageW(h, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&mmi));
    EXPECT_EQ(mmi.ptMinTrackSize.x, 120);
    EXPECT_EQ(mmi.ptMinTrackSize.y, 80);

    wnd.setResizable(0);
    RECT r{};
    ::GetWindowRect(h, &r);
    mmi = MINMAXINFO{};
    ::SendMessageW(h, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&mmi));
    EXPECT_EQ(mmi.ptMinTrackSize.x, r.right - r.left);
    EXPECT_EQ(mmi.ptMinTrackSize.y, r.bottom - r.top);
    EXPECT_EQ(mmi.ptMaxTrackSize.x, r.right - r.left) << "not resizable: cannot grow";
    EXPECT_EQ(mmi.ptMaxTrackSize.y, r.bottom - r.top);

    const std::wstring longTitle(300, L'x');
    wnd.setTitle(longTitle);
    EXPECT_EQ(wnd.getTitle(), std::wstring(254, L'x')) << "at most 254 characters are read";
    wnd.setTitle(L"Callvane");
    EXPECT_EQ(wnd.getTitle(), L"Callvane");
}

TEST(Toolkit, CentringUsesWorkAreaSize)
{
    logcapture::Capture log;
    cDWTwnd wnd(log.logger(), 0, L"centred", 0, 0, 300, 200, nullptr, 0, 0, 1);
    const SIZE work = cDWTwnd::workAreaSize();
    RECT r{};
    ::GetWindowRect(wnd.getHandle(), &r);
    EXPECT_EQ(r.left, (work.cx - 300) / 2);
    EXPECT_EQ(r.top, (work.cy - 200) / 2);
    EXPECT_EQ(r.right - r.left, 300) << "centring does not resize";

    const POINT big = cDWTwnd::centredPosition(SIZE{800, 600}, SIZE{1000, 700});
    EXPECT_EQ(big.x, 0) << "a window wider than the work area keeps its left edge visible";
    EXPECT_EQ(big.y, 0);
}

TEST(Toolkit, CloseDestroysWindowButKeepsObject)
{
    logcapture::Capture log;
    auto wnd = std::make_unique<cDWTwnd>(log.logger(), 0, L"close", 0, 0, 200, 100, nullptr, 0, 0, 0);
    HWND h = wnd->getHandle();
    ::SendMessageW(h, WM_CLOSE, 0, 0);
    EXPECT_FALSE(::IsWindow(h));
    EXPECT_EQ(wnd->getHandle(), nullptr);
    EXPECT_EQ(countLines(log, cDWT::FN_ON_CLOSE, L"Calling explicit destroy"), 1);
    wnd.reset(); // deleting after the window is gone is fine

    auto other = std::make_unique<cDWTwnd>(log.logger(), 0, L"delete", 0, 0, 200, 100, nullptr, 0, 0, 0);
    HWND h2 = other->getHandle();
    other.reset();
    EXPECT_FALSE(::IsWindow(h2)) << "deleting the object destroys its window";
}

TEST(Toolkit, ImageTakesBitmapSizeAndIgnoresInput)
{
    logcapture::Capture log;
    cDWTwnd parent(log.logger(), 0, L"images", 0, 0, 300, 200, nullptr, 0, 0, 0);
    cDWTctrlImage logo(log.logger(), 0, IDB_SPLASH_LOGO, 10, 10, 0, 0, parent.getHandle());
    ASSERT_TRUE(logo.hasBitmap());
    RECT r{};
    ::GetClientRect(logo.getHandle(), &r);
    EXPECT_EQ(r.right, 20);
    EXPECT_EQ(r.bottom, 20);
    ::GetWindowRect(logo.getHandle(), &r);
    POINT p{r.left, r.top};
    ::ScreenToClient(parent.getHandle(), &p);
    EXPECT_EQ(p.x, 10) << "resizing does not move it";
    EXPECT_EQ(p.y, 10);
    const LONG_PTR style = ::GetWindowLongPtrW(logo.getHandle(), GWL_STYLE);
    EXPECT_NE(style & WS_DISABLED, 0);
    EXPECT_NE(style & WS_VISIBLE, 0) << "controls show themselves";
    EXPECT_EQ(::GetParent(logo.getHandle()), parent.getHandle());

    cDWTctrlImage stretched(log.logger(), 1, IDB_SPLASH_BACKGROUND, 0, 0, 200, 70, parent.getHandle());
    ::GetClientRect(stretched.getHandle(), &r);
    EXPECT_EQ(r.right, 200);
    EXPECT_EQ(r.bottom, 70);

    cDWTctrlImage missing(log.logger(), 2, 999, 0, 0, 0, 0, parent.getHandle());
    EXPECT_FALSE(missing.hasBitmap());
    parent.ShowWindow(SW_SHOWNOACTIVATE);
    pump(); // painting an empty image draws nothing and does not fail
    EXPECT_TRUE(::IsWindow(missing.getHandle()));
}

TEST(Toolkit, LabelFitting)
{
    HDC screen = ::GetDC(nullptr);
    HDC dc = ::CreateCompatibleDC(screen);
    ::ReleaseDC(nullptr, screen);
    Font font;
    ASSERT_TRUE(font.createPointFontIndirect(tahoma()));
    HGDIOBJ old = ::SelectObject(dc, font.get());

    const std::wstring wait = cDWTwndSplash::WAIT_TEXT;
    ASSERT_LT(widthOf(dc, wait), 180);
    EXPECT_EQ(cDWTctrlLabel::fitText(dc, wait, 180), wait) << "a text that fits is drawn unchanged";

    const std::wstring product = L"Callvane Enterprise Communications Client for Contact Centers";
    ASSERT_GT(widthOf(dc, product), 150);
    const std::wstring fitted = cDWTctrlLabel::fitText(dc, product, 150);
    ASSERT_GE(fitted.size(), 4u);
    EXPECT_EQ(fitted.substr(fitted.size() - 3), L"...");
    EXPECT_LT(widthOf(dc, fitted), 150);
    const std::wstring kept = fitted.substr(0, fitted.size() - 3);
    EXPECT_EQ(product.substr(0, kept.size()), kept);
    // The pass before kept one more character and did not fit: one character per pass.
    const std::wstring previous = product.substr(0, kept.size() + 1) + L"...";
    EXPECT_GE(widthOf(dc, previous), 150);

    EXPECT_EQ(cDWTctrlLabel::fitText(dc, wait, 5), L"P...") << "narrower than one character plus dots";
    EXPECT_EQ(cDWTctrlLabel::fitText(dc, L"Wx", 3), L"W...");
    EXPECT_EQ(cDWTctrlLabel::fitText(dc, L"", 0), L"") << "an empty text stays empty, no dots";
    EXPECT_EQ(cDWTctrlLabel::fitText(dc, L"", 100), L"");

    ::SelectObject(dc, old);
    ::DeleteDC(dc);
}

TEST(Toolkit, LabelPaintsRedrawsOnlyOnChangeAndIsDisabledWithoutClickCode)
{
    logcapture::Capture log;
    CommandSink parent(log.logger());
    cDWTctrlLabel label(log.logger(), parent.getHandle(), cDWTwndSplash::WAIT_TEXT, L"", nullptr, tahoma(), 0, 0, 0, 10,
                        10, 180, 20);
    cDWTctrlLabel empty(log.logger(), parent.getHandle(), L"", L"", nullptr, tahoma(), 0, 0, 0, 10, 40, 180, 20);
    parent.ShowWindow(SW_SHOWNOACTIVATE);
    parent.UpdateWindow();
    pump();
    ASSERT_GE(label.getPaintCount(), 1);
    EXPECT_EQ(label.getPaintedText(), cDWTwndSplash::WAIT_TEXT);
    EXPECT_GE(empty.getPaintCount(), 1);
    EXPECT_EQ(empty.getPaintedText(), L"") << "an empty text draws nothing, no dots";

    const int before = label.getPaintCount();
    label.setText(cDWTwndSplash::WAIT_TEXT, 1);
    pump();
    EXPECT_EQ(label.getPaintCount(), before) << "the same text does not redraw";
    label.setText(L"Downloading", 1);
    EXPECT_EQ(label.getPaintCount(), before + 1) << "a new text redraws at once";
    EXPECT_EQ(label.getPaintedText(), L"Downloading");
    label.setText(L"Callvane Enterprise Communications Client", 1);
    const std::wstring painted = label.getPaintedText();
    EXPECT_EQ(painted.substr(painted.size() - 3), L"...");

    EXPECT_NE(::GetWindowLongPtrW(label.getHandle(), GWL_STYLE) & WS_DISABLED, 0);
    POINT inside{5, 5};
    ::SendMessageW(label.getHandle(), WM_LBUTTONUP, 0, MAKELPARAM(inside.x, inside.y));
    pump();
    EXPECT_TRUE(parent.commands.empty()) << "click code 0 sends nothing";

    cDWTctrlLabel clickable(log.logger(), parent.getHandle(), L"Retry", L"", nullptr, tahoma(), RGB(0, 0, 255), 1, 7,
                            10, 70, 100, 20);
    EXPECT_EQ(::GetWindowLongPtrW(clickable.getHandle(), GWL_STYLE) & WS_DISABLED, 0);
    ::SendMessageW(clickable.getHandle(), WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    ASSERT_EQ(parent.commands.size(), 1u);
    EXPECT_EQ(HIWORD(parent.commands[0].first), 7);
    EXPECT_EQ(LOWORD(parent.commands[0].first), 0);
    EXPECT_EQ(parent.commands[0].second, reinterpret_cast<LPARAM>(clickable.getHandle()));
}

TEST(Toolkit, HoverTextGoesToTargetLabel)
{
    logcapture::Capture log;
    cDWTwnd parent(log.logger(), 0, L"hover", 0, 0, 300, 100, nullptr, 0, 0, 0);
    cDWTctrlLabel status(log.logger(), parent.getHandle(), L"", L"", nullptr, tahoma(), 0, 0, 0, 10, 40, 180, 20);
    cDWTctrlLabel link(log.logger(), parent.getHandle(), L"Help", L"Opens the help", &status, tahoma(), 0, 0, 3, 10, 10,
                       100, 20);
    cDWTctrlLabel plain(log.logger(), parent.getHandle(), L"Plain", L"", &status, tahoma(), 0, 0, 3, 120, 10, 100, 20);
    parent.ShowWindow(SW_SHOWNOACTIVATE);
    pump();
    ::SendMessageW(link.getHandle(), WM_MOUSEHOVER, 0, 0);
    EXPECT_EQ(status.getText(), L"Opens the help");
    EXPECT_EQ(status.getPaintedText(), L"Opens the help");
    ::SendMessageW(link.getHandle(), WM_MOUSELEAVE, 0, 0);
    EXPECT_EQ(status.getText(), L"");
    ::SendMessageW(link.getHandle(), WM_MOUSEHOVER, 0, 0);
    ::SendMessageW(plain.getHandle(), WM_MOUSEHOVER, 0, 0);
    EXPECT_EQ(status.getText(), L"Opens the help") << "no hover text: the target keeps its text";
    ::SendMessageW(plain.getHandle(), WM_MOUSELEAVE, 0, 0);
    EXPECT_EQ(status.getText(), L"");
}

TEST(Framework, ThreadAutoDeleteAndIdleHook)
{
    static std::atomic<int> destroyed{0};
    static std::atomic<int> idles{0};
    struct Counting : Thread {
        ~Counting() override { destroyed.fetch_add(1); }
        BOOL OnIdle(LONG count) override
        {
            idles.fetch_add(1);
            if (count == 0) {
                ::PostQuitMessage(4);
            }
            return count < 1;
        }
    };
    Counting* t = Thread::beginThread<Counting>(THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(t, nullptr);
    HANDLE copy = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), t->getThreadHandle(), ::GetCurrentProcess(), &copy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    ::Sleep(30);
    EXPECT_EQ(idles.load(), 0) << "created suspended";
    t->resumeThread();
    ASSERT_EQ(::WaitForSingleObject(copy, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    ::GetExitCodeThread(copy, &code);
    closeHandle(copy);
    EXPECT_EQ(code, 4u) << "the default loop ends with the quit code";
    EXPECT_GE(idles.load(), 1);
    EXPECT_EQ(destroyed.load(), 1) << "auto-delete on: the thread deleted its object";
}
