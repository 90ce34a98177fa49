// The installer's version, written once: the version resource of CV_setup.exe (version.rc) and the
// program's version label (cCV_INSTALLER::VERSION_LABEL and its parts) are both made from these
// macros, by the resource compiler and the C++ compiler alike. The label is
// MAJOR "." MINOR VARIANT "." BUILD ("3.39-QRN32-VLM6.52578"); the fixed file and product versions
// are MAJOR.MINOR.0.BUILD (3.39.0.52578). Each number must fit into 16 bits.
#pragma once

#define CV_VERSION_MAJOR 3
#define CV_VERSION_MINOR 39
#define CV_VERSION_VARIANT "-QRN32-VLM6"
#define CV_VERSION_BUILD 52578

#if CV_VERSION_MAJOR > 65535 || CV_VERSION_MINOR > 65535 || CV_VERSION_BUILD > 65535
#error "a version number does not fit into the 16 bits of a fixed version field"
#endif

#define CV_VERSION_STRING_(x) #x
#define CV_VERSION_STRING(x) CV_VERSION_STRING_(x)
// The label's parts and the label, as narrow string literals.
#define CV_VERSION_MAJOR_TEXT CV_VERSION_STRING(CV_VERSION_MAJOR)
#define CV_VERSION_TAG_TEXT CV_VERSION_STRING(CV_VERSION_MINOR) CV_VERSION_VARIANT
#define CV_VERSION_BUILD_TEXT CV_VERSION_STRING(CV_VERSION_BUILD)
#define CV_VERSION_LABEL_TEXT CV_VERSION_MAJOR_TEXT "." CV_VERSION_TAG_TEXT "." CV_VERSION_BUILD_TEXT
// The fixed version in dotted form, as the resource's FileVersion string starts.
#define CV_VERSION_DOTTED_TEXT                                                                                         \
    CV_VERSION_MAJOR_TEXT "." CV_VERSION_STRING(CV_VERSION_MINOR) ".0." CV_VERSION_BUILD_TEXT

// The names the version resource shows (Explorer's Properties, Details).
#define CV_VERSION_COMPANY "Vendra"
#define CV_VERSION_PRODUCT "Callvane"
#define CV_VERSION_DESCRIPTION "Callvane installer"
#define CV_VERSION_INTERNAL_NAME "CV_setup"
#define CV_VERSION_FILE_NAME "CV_setup.exe"
#define CV_VERSION_COPYRIGHT "Copyright (C) Vendra"
