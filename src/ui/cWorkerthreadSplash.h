// cWorkerthreadSplash: the splash thread, a Workerthread in message-pump mode whose init creates
// the splash window (cDWTwndSplash) and whose deInit deletes it, so that the window lives, and is
// painted, on this thread while the main thread blocks. The application creates it with create,
// feeds it texts with setTexts and download progress with setProgress, and stops it with destroy
// before deleting it; the thread owns the splash window, not the Rootwindow that is the window's
// owner.
#pragma once

#include "Workerthread.h"

#include <memory>

class cDWTwndSplash;
class Rootwindow;

class cWorkerthreadSplash : public Workerthread {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_CREATE = L"cWorkerthreadSplash::create";
    static constexpr const wchar_t* FN_DE_INIT = L"cWorkerthreadSplash::deInit";
    static constexpr const wchar_t* FN_INIT = L"cWorkerthreadSplash::init";

    static constexpr const wchar_t* CLASS_NAME = L"cWorkerthreadSplash";

    cWorkerthreadSplash();
    ~cWorkerthreadSplash() override;
    int32_t getClassKind() const override { return 0; }

    // Creates the thread, starts it and returns once the splash window is up (owner may be null).
    static cWorkerthreadSplash* create(Logger* logger, Rootwindow* owner);

    // Called on the main thread; nothing happens without a splash window.
    void setTexts(const std::wstring& title, const std::wstring& status);
    // The status line alone (a wait for a busy server); called on the main thread like setTexts.
    void setStatus(const std::wstring& status);
    // Called on the main thread, as often as every received block: it stores the bar's width in
    // pixels and asks for a repaint only when that width changes; it never waits for the splash
    // thread. expected 0 (no size known) keeps the bar hidden; received above expected counts as
    // expected. Nothing happens without a splash window.
    void setProgress(uint64_t received, uint64_t expected);

    cDWTwndSplash* getSplash() const { return splash.get(); }

    bool init() override;
    void deInit() override;

private:
    std::unique_ptr<cDWTwndSplash> splash;
    int32_t iconId;
    Rootwindow* owner;
};
