# The portable core: code without platform headers that the installer (Windows) and the host
# tools, native tests and fuzz targets (Linux) all build: every .cpp of this folder. Included by
# the top-level build and by tools/.
set(CV_PORTABLE_DIR ${CMAKE_CURRENT_LIST_DIR})
file(GLOB CV_PORTABLE_SOURCES CONFIGURE_DEPENDS ${CV_PORTABLE_DIR}/*.cpp)
