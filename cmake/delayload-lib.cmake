cmake_minimum_required(VERSION 3.25)
# cmake -P: makes the import library OUT for DLL from the module-definition file DEF (written by
# cmake/delayload.cmake). KIND "delay": a delay-import library whose thunks are renamed as SYMS
# says (cv_delay_<name>, the names the programs reference to keep them); KIND "test": a plain
# import library.
# KILL_AT (32-bit): the names keep their @N for linking and are imported without it.
set(flags "")
if(KILL_AT)
  set(flags -k)
endif()
if(KIND STREQUAL delay)
  list(APPEND flags -y ${OUT})
else()
  list(APPEND flags -l ${OUT})
endif()
file(REMOVE ${OUT})
execute_process(COMMAND ${DLLTOOL} -d ${DEF} -D ${DLL} ${flags} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} failed for ${DLL}")
endif()
if(KIND STREQUAL delay)
  execute_process(COMMAND ${OBJCOPY} --redefine-syms=${SYMS} ${OUT} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJCOPY} failed for ${OUT}")
  endif()
endif()
