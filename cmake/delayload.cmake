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
# on the first call) is lost and the first call jumps to address 0. The thunks are renamed
# (cv_delay_<name>) so that the reference can only be met by the delay-import library, whatever
# else is linked: a test program may also link the plain import library for functions the
# program does not call. In the program, a call of a function that is not listed fails the link
# with an undefined __imp_ reference: add its name below.
set(CV_DELAY_LOADED_DLLS wininet crypt32)
set(CV_DELAY_LOADED_FUNCTIONS_wininet
  HttpOpenRequestW HttpQueryInfoW HttpSendRequestW InternetCloseHandle InternetCombineUrlW
  InternetConnectW InternetCrackUrlW InternetErrorDlg InternetGetCookieExW InternetOpenW
  InternetQueryDataAvailable InternetQueryOptionA InternetQueryOptionW InternetReadFile
  InternetSetOptionW)
set(CV_DELAY_LOADED_FUNCTIONS_crypt32
  CertCreateCertificateContext CertFreeCertificateChain CertFreeCertificateContext CertNameToStrW
  CryptMsgClose CryptMsgControl CryptMsgOpenToDecode CryptMsgUpdate)

find_program(CV_NM NAMES ${MINGW_TRIPLE}-nm REQUIRED)
find_program(CV_DLLTOOL NAMES ${MINGW_TRIPLE}-dlltool REQUIRED)
find_program(CV_OBJCOPY NAMES ${MINGW_TRIPLE}-objcopy REQUIRED)
set(CV_DELAYLOAD_DIR ${CMAKE_BINARY_DIR}/delayload)

# Functions of those DLLs that only test programs call (a cookie set up front, a certificate put
# into the prefix's root store). They come from plain import libraries that hold just these
# functions (cv_test_import_<dll>), so that nothing else of a DLL can be imported at load time.
set(CV_TEST_IMPORTED_FUNCTIONS_wininet InternetSetCookieW)
set(CV_TEST_IMPORTED_FUNCTIONS_crypt32
  CertAddEncodedCertificateToSystemStoreW CertCloseStore CertDeleteCertificateFromStore
  CertFindCertificateInStore CertOpenSystemStoreW)

# cv_import_library(delay|test <dll> <functions...>): for "delay" the interface target
# cv_delay_<dll>, which links the delay-import library of the functions and keeps the thunk of
# each; for "test" the interface target cv_test_import_<dll>, a plain import library.
function(cv_import_library kind dll)
  find_library(CV_IMPORT_LIB_${dll} NAMES lib${dll}.a REQUIRED)
  if(kind STREQUAL delay)
    set(target cv_delay_${dll})
  else()
    set(target cv_test_import_${dll})
  endif()
  set(out ${CV_DELAYLOAD_DIR}/lib${target}.a)
  # The linker names of the functions, from the toolchain's import library: on 32-bit with the
  # leading underscore and the @N of the argument bytes (_InternetOpenW@20), on 64-bit plain.
  execute_process(COMMAND ${CV_NM} ${CV_IMPORT_LIB_${dll}} OUTPUT_VARIABLE symbols ERROR_QUIET
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${CV_NM} ${CV_IMPORT_LIB_${dll}} failed")
  endif()
  set(def "LIBRARY ${dll}.dll\nEXPORTS\n")
  set(keep "")
  set(renames "")
  foreach(function ${ARGN})
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
    string(APPEND renames "${thunk} cv_delay_${thunk}\n")
    list(APPEND keep "-Wl,-u,cv_delay_${thunk}")
  endforeach()
  file(MAKE_DIRECTORY ${CV_DELAYLOAD_DIR})
  file(WRITE ${out}.def.new "${def}")
  file(COPY_FILE ${out}.def.new ${out}.def ONLY_IF_DIFFERENT)
  file(WRITE ${out}.syms.new "${renames}")
  file(COPY_FILE ${out}.syms.new ${out}.syms ONLY_IF_DIFFERENT)
  set(kill_at OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(kill_at ON) # 32-bit: link against name@N, import by the plain name
  endif()
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DKIND=${kind} -DDLLTOOL=${CV_DLLTOOL} -DOBJCOPY=${CV_OBJCOPY}
            -DDEF=${out}.def -DSYMS=${out}.syms -DDLL=${dll}.dll -DOUT=${out} -DKILL_AT=${kill_at}
            -P ${CMAKE_SOURCE_DIR}/cmake/delayload-lib.cmake
    DEPENDS ${out}.def ${out}.syms ${CMAKE_SOURCE_DIR}/cmake/delayload-lib.cmake
    COMMENT "${kind} import library for ${dll}.dll")
  add_custom_target(${target}_lib DEPENDS ${out})
  add_library(${target} INTERFACE)
  target_link_libraries(${target} INTERFACE ${out})
  if(kind STREQUAL delay)
    target_link_options(${target} INTERFACE ${keep})
  endif()
  add_dependencies(${target} ${target}_lib)
endfunction()

set(names "")
foreach(dll ${CV_DELAY_LOADED_DLLS})
  cv_import_library(delay ${dll} ${CV_DELAY_LOADED_FUNCTIONS_${dll}})
  if(CV_TEST_IMPORTED_FUNCTIONS_${dll})
    cv_import_library(test ${dll} ${CV_TEST_IMPORTED_FUNCTIONS_${dll}})
    list(APPEND CV_TEST_IMPORT_LIBRARIES cv_test_import_${dll})
  endif()
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
