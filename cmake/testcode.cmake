# The test code's build, shared by the Windows tests (tests/CMakeLists.txt) and the native tests
# of the portable core (tools/CMakeLists.txt).
#
# Test code (GoogleTest, the support libraries, the tests and the fixture programs) is optimized
# lightly, which halves its compile time; the code under test keeps the release optimization. Its
# precompiled header holds the C++ library (GoogleTest needs it), from inside which GCC 12 then
# reports its false bounds warnings on std::string copies: not in test code.
set(CV_TEST_CODE_OPTIONS -O1 -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread)

# GoogleTest from the sources of Debian's googletest package, built as test code and quietly.
macro(cv_add_googletest)
  set(GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  target_compile_options(gtest PRIVATE -w ${CV_TEST_CODE_OPTIONS})
  target_compile_options(gtest_main PRIVATE -w ${CV_TEST_CODE_OPTIONS})
endmacro()
