# Configures the source tree as on a machine without GoogleTest: the
# configure must succeed, say that the tests are skipped, and leave them
# out while the library and the tools are still built.
# Usage: cmake -DSOURCE=<tree> -DWORK=<folder> -P configure_without_gtest.cmake
file(REMOVE_RECURSE ${WORK})
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK} -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
  RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(failed)
  message(FATAL_ERROR "the configure failed without GoogleTest:\n${out}${err}")
endif()
string(FIND "${out}${err}" "GoogleTest was not found, so the tests are skipped" said)
if(said EQUAL -1)
  message(FATAL_ERROR "the configure did not say that the tests are skipped:\n${out}${err}")
endif()
if(EXISTS ${WORK}/tests/CTestTestfile.cmake)
  message(FATAL_ERROR "the tests were configured all the same")
endif()
if(NOT EXISTS ${WORK}/tools/Makefile AND NOT EXISTS ${WORK}/tools/build.ninja)
  message(FATAL_ERROR "the tools were left out as well")
endif()
file(REMOVE_RECURSE ${WORK})
message(STATUS "configured without GoogleTest: the tests are skipped and said so")
