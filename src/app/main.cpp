// Entry point of CV_setup.exe: the one static application object and wWinMain. The DLL search
// is restricted to the system folder before anything can load a DLL that is not one of Windows'
// known DLLs (those are the only load-time imports; the rest is delay-loaded).
#include "Dllsearchpath.h"
#include "cCV_INSTALLER.h"

#include <windows.h>

static cCV_INSTALLER theInstaller;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    Dllsearchpath::restrictToSystemFolder();
    return runApplication(instance);
}
