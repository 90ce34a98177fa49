// Resource identifiers of CV_setup.exe: the window icon and the splash bitmaps (CV_setup.rc; the
// logo also at twice its size for screens above 96 DPI), and
// the two builds of the telephony service provider (tsp.rc).
#pragma once

#define IDI_CV_SETUP 110
#define IDB_SPLASH_BACKGROUND 50301
#define IDB_SPLASH_LOGO 50401
#define IDB_SPLASH_LOGO_LARGE 50402

// The telephony service provider: the 32-bit DLL and the 64-bit DLL, both of the resource type
// RT_TSP ("TSP"). The .rc names the type by this bare word; the program's code by RT_TSP_NAME.
#define IDR_TSP_32BIT 5
#define IDR_TSP_64BIT 6
#define RT_TSP TSP
#define CV_RESOURCE_TEXT_(x) #x
#define CV_RESOURCE_TEXT(x) CV_RESOURCE_TEXT_(x)
#define RT_TSP_NAME L"" CV_RESOURCE_TEXT(RT_TSP)
