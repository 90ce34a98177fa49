#include "cWorkerthreadSplash.h"

#include "Rootwindow.h"
#include "cDWTwndSplash.h"
#include "resource.h"

cWorkerthreadSplash::cWorkerthreadSplash() : iconId(IDI_CV_SETUP), owner(nullptr) {}

// deInit has deleted the window on the thread; a thread that never ran has none.
cWorkerthreadSplash::~cWorkerthreadSplash() = default;

cWorkerthreadSplash* cWorkerthreadSplash::create(Logger* logger, Rootwindow* owner)
{
    if (logger != nullptr) {
        logger->log(LOG_DEBUG, FN_CREATE, std::wstring(CLASS_NAME) + L" - Creating cWorkerthreadSplash thread");
    }
    cWorkerthreadSplash* thread = Workerthread::create<cWorkerthreadSplash>(logger, 1);
    thread->owner = owner;
    thread->iconId = IDI_CV_SETUP;
    thread->resumeThread();
    thread->waitUntilThreadIsRunning();
    return thread;
}

bool cWorkerthreadSplash::init()
{
    if (splash == nullptr) {
        logLine(LOG_DEBUG, FN_INIT, L"Showing splash screen");
        splash = std::make_unique<cDWTwndSplash>(logger, iconId, owner != nullptr ? owner->getHandle() : nullptr);
        if (splash->isCreated() == 0) {
            // No window: the thread runs on without one and setTexts does nothing.
            splash.reset();
        }
    }
    return true;
}

void cWorkerthreadSplash::deInit()
{
    if (splash != nullptr) {
        logLine(LOG_DEBUG, FN_DE_INIT, L"Closing splash screen");
        splash.reset();
    }
}

void cWorkerthreadSplash::setTexts(const std::wstring& title, const std::wstring& status)
{
    if (splash != nullptr) {
        splash->setTexts(title, status);
    }
}

void cWorkerthreadSplash::setStatus(const std::wstring& status)
{
    if (splash != nullptr) {
        splash->setStatus(status);
    }
}

void cWorkerthreadSplash::setProgress(uint64_t received, uint64_t expected)
{
    if (splash != nullptr) {
        splash->setProgress(received, expected);
    }
}
