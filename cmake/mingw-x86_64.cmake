# Cross toolchain: 64-bit Windows with MinGW-w64 (the 64-bit provider DLL, and the test build
# where Wine has no 32-bit side).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
