# The portable core: code without platform headers that the installer (Windows) and the host
# tools, native tests and fuzz targets (Linux) all build: every .cpp of this folder but the
# stamper's own. Included by the top-level build and by tools/.
set(CV_PORTABLE_DIR ${CMAKE_CURRENT_LIST_DIR})
file(GLOB CV_PORTABLE_SOURCES CONFIGURE_DEPENDS ${CV_PORTABLE_DIR}/*.cpp)
# What only the stamper does (placing a block inside a signature) stays out of the installer:
# cvstamp and the native tests link it on their own.
set(CV_STAMPING_SOURCES ${CV_PORTABLE_DIR}/signaturestamp.cpp)
list(REMOVE_ITEM CV_PORTABLE_SOURCES ${CV_STAMPING_SOURCES})
