# The telephony service provider (provider/) is a program of its own: it is configured and built
# twice, 32-bit and 64-bit, each with its own MinGW toolchain file, and both DLLs land in
# ${CV_PROVIDER_DIR}. resources/tsp.rc embeds them into CV_setup.exe as resources "TSP" 5 and 6;
# the resource compiler finds them there through the include path that
# cv_add_resource_dependencies gives a target.
include(ExternalProject)

set(CV_PROVIDER_DIR ${CMAKE_BINARY_DIR}/provider)
set(CV_PROVIDER_DLL32 ${CV_PROVIDER_DIR}/CV_TSP32.tsp)
set(CV_PROVIDER_DLL64 ${CV_PROVIDER_DIR}/CV_TSP64.tsp)

foreach(bits 32 64)
  if(bits EQUAL 32)
    set(toolchain ${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake)
  else()
    set(toolchain ${CMAKE_SOURCE_DIR}/cmake/mingw-x86_64.cmake)
  endif()
  ExternalProject_Add(cv_provider${bits}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/provider
    BINARY_DIR ${CMAKE_BINARY_DIR}/provider-build${bits}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${toolchain}
      -DCMAKE_BUILD_TYPE=Release
      -DCV_PROVIDER_OUTPUT_DIR=${CV_PROVIDER_DIR}
    INSTALL_COMMAND ""
    # The sub-build decides itself whether anything changed (a no-op build is instant).
    BUILD_ALWAYS TRUE
    BUILD_BYPRODUCTS ${CV_PROVIDER_DLL${bits}})
endforeach()

# Gives a target that compiles an .rc embedding the provider DLLs (CV_setup, or a test with the
# same resources) the folder of the DLLs on its resource include path, and rebuilds its resource
# objects whenever a DLL changes.
function(cv_add_resource_dependencies target)
  add_dependencies(${target} cv_provider32 cv_provider64)
  target_include_directories(${target} PRIVATE $<$<COMPILE_LANGUAGE:RC>:${CV_PROVIDER_DIR}>)
  get_target_property(sources ${target} SOURCES)
  foreach(src ${sources})
    if(src MATCHES "\\.rc$")
      set_property(SOURCE ${src} TARGET_DIRECTORY ${target}
        APPEND PROPERTY OBJECT_DEPENDS "${CV_PROVIDER_DLL32};${CV_PROVIDER_DLL64}")
    endif()
  endforeach()
endfunction()
