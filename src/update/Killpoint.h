// Killpoint: the seam of the tests that kill an update at every moment. The updater calls
// Killpoint::after right after each file-system step of an update: the download file's creation,
// each block written, each flush, the staging beside the target, each rename, the attributes, the
// access list, the removal of an older backup. In the program as built for users it does nothing.
// Only the test program built with CV_TEST_KILL_POINTS counts the steps: given a step number in
// its environment (CV_TEST_KILL_AFTER_STEP), it ends its own process right after that step, with no
// cleanup at all, as a kill from outside would. No owner: one counter per process.
#pragma once

#include <windows.h>

class Killpoint {
public:
    // The exit code of a process ended by the seam.
    static constexpr UINT KILLED_EXIT_CODE = 77;

    // step: a short name of the step just done (the test build reports the names of all steps done).
    static void after(const wchar_t* step);
};
