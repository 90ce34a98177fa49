#include "FPSkeeper.h"

#include "filetime.h"
#include "textutil.h"

#include <windows.h>

FPSkeeper::FPSkeeper(Logger* logger)
    : Loguser(logger), desiredFPS(0), frameStart(0), frameEnd(0), remaining(0), frameStarted(0)
{
}

FPSkeeper::~FPSkeeper() = default;

void FPSkeeper::setDesiredFPS(int32_t framesPerSecond)
{
    desiredFPS = framesPerSecond;
    log(LOG_DEBUG, FN_SET_DESIRED_FPS, textutil::format(L"Desired framerate set to %i", framesPerSecond));
}

int64_t FPSkeeper::nowNanoseconds() { return static_cast<int64_t>(filetime::nowUnixNanoseconds()); }

int64_t FPSkeeper::sleepMilliseconds(int64_t start, int64_t end, int32_t framesPerSecond)
{
    // Without a rate there is no slot to fill (and nothing to divide by).
    const int64_t frameLength = framesPerSecond > 0 ? 1000000000LL / framesPerSecond : 0;
    int64_t rest = start + frameLength - end;
    if (rest < 1) {
        rest = 1;
    }
    const int64_t ms = rest / 1000000;
    return ms < 1 ? 1 : ms;
}

void FPSkeeper::beginFrame()
{
    frameStart = nowNanoseconds();
    frameStarted = 1;
}

void FPSkeeper::waitForNextFrame()
{
    if (frameStarted == 0) {
        return;
    }
    frameEnd = nowNanoseconds();
    const int64_t ms = sleepMilliseconds(frameStart, frameEnd, desiredFPS);
    remaining = ms * 1000000;
    ::Sleep(static_cast<DWORD>(ms));
    frameStarted = 0;
}
