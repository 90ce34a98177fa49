// Resource identifiers of CV_setup.exe: the window icon and the splash bitmaps (CV_setup.rc).
#pragma once

#define IDI_CV_SETUP 110
#define IDB_SPLASH_BACKGROUND 50301
#define IDB_SPLASH_LOGO 50401
