// FPSkeeper: paces a frame loop to a desired frame rate. The loop calls beginFrame at the start
// of a frame and waitForNextFrame at its end, which sleeps for the rest of the frame's time slot
// (at least 1 ms). A Workerthread owns one on its own thread, from InitInstance to ExitInstance.
#pragma once

#include "Loguser.h"

#include <cstdint>

class FPSkeeper : public Loguser {
public:
    // The function names its log lines carry.
    static constexpr const wchar_t* FN_SET_DESIRED_FPS = L"FPSkeeper::setDesiredFPS";

    explicit FPSkeeper(Logger* logger);
    ~FPSkeeper() override;
    int32_t getClassKind() const override { return 0; }

    void setDesiredFPS(int32_t framesPerSecond);
    int32_t getDesiredFPS() const { return desiredFPS; }
    void beginFrame();
    void waitForNextFrame();

    // Current system time in nanoseconds since 1970-01-01 UTC.
    static int64_t nowNanoseconds();
    // Milliseconds to sleep after a frame that ran from frameStart to frameEnd (nanoseconds) at
    // framesPerSecond: the rest of the slot, at least 1. A rate of 0 or below has no slot: 1 ms.
    static int64_t sleepMilliseconds(int64_t frameStart, int64_t frameEnd, int32_t framesPerSecond);

private:
    int32_t desiredFPS;
    int64_t frameStart;
    int64_t frameEnd;
    int64_t remaining;
    int32_t frameStarted;
};
