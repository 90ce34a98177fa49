# The portable core: code without platform headers that the installer (Windows) and the host
# tools and native tests (Linux) both build. Included by the top-level build and by tools/.
set(CV_PORTABLE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(CV_PORTABLE_SOURCES
  ${CV_PORTABLE_DIR}/decimal.cpp
  ${CV_PORTABLE_DIR}/sha256.cpp
  ${CV_PORTABLE_DIR}/authenticode.cpp
)
