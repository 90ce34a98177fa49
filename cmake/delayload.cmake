# DLLs that are not among Windows' known DLLs are never imported at load time: before any of them
# is loaded, the program restricts the DLL search to the system folder (Dllsearchpath, first
# thing in wWinMain), and only then may one be loaded. Each DLL named in CV_DELAY_LOADED_DLLS is
# therefore linked through a delay-import library made from the toolchain's import library: its
# functions are called as usual, and the DLL is loaded on the first call (by the delay-load
# helper's LoadLibrary, which honours the restriction).
#
# To add a DLL: append its base name (for example crypt32) to CV_DELAY_LOADED_DLLS below, list the
# functions the program calls in CV_DELAY_LOADED_FUNCTIONS_<name>, and link it by that plain name
# (cv_layer(update cv_core wininet crypt32)): cv_layer swaps in the delay-import library. The same
# list reaches the program (delayloaded.h), which on a system without SetDefaultDllDirectories
# loads these DLLs from the system folder by full path first.
#
# Only the listed functions are in the delay-import library, and every executable that links it
# keeps the delay-load thunk of each of them (-u). GNU ld for i386 drops the code of an import
# library member whose thunk nobody references by name; the program calls through the __imp_
# pointer only, so without the reference the pointer's initial value (the thunk that loads the DLL
# on the first call) is lost and the first call jumps to address 0. A call of a function that is
# not listed fails the link with an undefined __imp_ reference: add its name below.
set(CV_DELAY_LOADED_DLLS wininet crypt32)
set(CV_DELAY_LOADED_FUNCTIONS_wininet
  HttpOpenRequestW HttpQueryInfoW HttpSendRequestW InternetCloseHandle InternetCombineUrlW
  InternetConnectW InternetCrackUrlW InternetErrorDlg InternetGetCookieExW InternetOpenW
  InternetQueryDataAvailable InternetQueryOptionA InternetQueryOptionW InternetReadFile InternetSetCookieW
  InternetSetOptionW)
set(CV_DELAY_LOADED_FUNCTIONS_crypt32
  CertCreateCertificateContext CertFreeCertificateContext CryptMsgClose CryptMsgControl
  CryptMsgOpenToDecode CryptMsgUpdate)

find_program(CV_NM NAMES ${MINGW_TRIPLE}-nm REQUIRED)
find_program(CV_DLLTOOL NAMES ${MINGW_TRIPLE}-dlltool REQUIRED)
set(CV_DELAYLOAD_DIR ${CMAKE_BINARY_DIR}/delayload)

# cv_delay_<dll>: an interface target that links the delay-import library of <dll> and keeps the
# thunk of every listed function.
function(cv_delay_import_library dll)
  find_library(CV_IMPORT_LIB_${dll} NAMES lib${dll}.a REQUIRED)
  set(out ${CV_DELAYLOAD_DIR}/libcv_delay_${dll}.a)
  # The linker names of the functions, from the toolchain's import library: on 32-bit with the
  # leading underscore and the @N of the argument bytes (_InternetOpenW@20), on 64-bit plain.
  execute_process(COMMAND ${CV_NM} ${CV_IMPORT_LIB_${dll}} OUTPUT_VARIABLE symbols ERROR_QUIET
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${CV_NM} ${CV_IMPORT_LIB_${dll}} failed")
  endif()
  set(def "LIBRARY ${dll}.dll\nEXPORTS\n")
  set(keep "")
  foreach(function ${CV_DELAY_LOADED_FUNCTIONS_${dll}})
    if(symbols MATCHES "\n[0-9a-fA-F]+ T (_?${function}(@[0-9]+)?)\r?\n")
      set(thunk ${CMAKE_MATCH_1})
    else()
      message(FATAL_ERROR "${function} is not in ${CV_IMPORT_LIB_${dll}}")
    endif()
    string(REGEX REPLACE "^_" "" exported "${thunk}")
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(exported ${thunk})
    endif()
    string(APPEND def "${exported}\n")
    list(APPEND keep "-Wl,-u,${thunk}")
  endforeach()
  file(MAKE_DIRECTORY ${CV_DELAYLOAD_DIR})
  file(WRITE ${out}.def.new "${def}")
  file(COPY_FILE ${out}.def.new ${out}.def ONLY_IF_DIFFERENT)
  set(kill_at OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(kill_at ON) # 32-bit: link against name@N, import by the plain name
  endif()
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DDLLTOOL=${CV_DLLTOOL} -DDEF=${out}.def -DDLL=${dll}.dll -DOUT=${out}
            -DKILL_AT=${kill_at} -P ${CMAKE_SOURCE_DIR}/cmake/delayload-lib.cmake
    DEPENDS ${out}.def ${CMAKE_SOURCE_DIR}/cmake/delayload-lib.cmake
    COMMENT "Delay-import library for ${dll}.dll")
  add_custom_target(cv_delay_${dll}_lib DEPENDS ${out})
  add_library(cv_delay_${dll} INTERFACE)
  target_link_libraries(cv_delay_${dll} INTERFACE ${out})
  target_link_options(cv_delay_${dll} INTERFACE ${keep})
  add_dependencies(cv_delay_${dll} cv_delay_${dll}_lib)
endfunction()

set(names "")
foreach(dll ${CV_DELAY_LOADED_DLLS})
  cv_delay_import_library(${dll})
  string(APPEND names "L\"${dll}.dll\", ")
endforeach()
file(CONFIGURE OUTPUT ${CV_DELAYLOAD_DIR}/delayloaded.h CONTENT
"// Generated from CV_DELAY_LOADED_DLLS (cmake/delayload.cmake): the DLLs linked by delay-import.
#pragma once
#define CV_DELAY_LOADED_DLL_NAMES ${names}
")

# The libraries to link for names: delay-import libraries for the DLLs of CV_DELAY_LOADED_DLLS,
# the rest unchanged.
function(cv_resolve_link_libraries out)
  set(result "")
  foreach(lib ${ARGN})
    if(lib IN_LIST CV_DELAY_LOADED_DLLS)
      list(APPEND result cv_delay_${lib})
    else()
      list(APPEND result ${lib})
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()
