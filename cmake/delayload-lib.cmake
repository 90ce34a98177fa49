cmake_minimum_required(VERSION 3.25)
# cmake -P: makes the delay-import library OUT for DLL from the module-definition file DEF (the
# functions of CV_DELAY_LOADED_FUNCTIONS_<dll>, written by cmake/delayload.cmake).
# KILL_AT (32-bit): the names keep their @N for linking and are imported without it.
set(flags "")
if(KILL_AT)
  set(flags -k)
endif()
file(REMOVE ${OUT})
execute_process(COMMAND ${DLLTOOL} ${flags} -d ${DEF} -D ${DLL} -y ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} failed for ${DLL}")
endif()
