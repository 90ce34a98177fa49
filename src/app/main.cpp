// Entry point of CV_setup.exe: the one static application object and wWinMain.
#include "cCV_INSTALLER.h"

#include <windows.h>

static cCV_INSTALLER theInstaller;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return runApplication(instance); }
