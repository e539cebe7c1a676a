# Configures a planted project in a build folder of its own, made fresh in the temporary folder
# ($TMPDIR, else /tmp) and removed afterwards, so that two runs of the suite never share one and
# a read-only build tree or working folder does not matter. Its output is passed on for the test
# to judge; a configure that fails makes this script fail too.
#   cmake -DSOURCE=<project> -DLUMERIN_CMAKE_DIR=<dir> [-DPLANT=<plant>] -P RunPlanted.cmake
set(PARENT "$ENV{TMPDIR}")
if(PARENT STREQUAL "" OR NOT IS_DIRECTORY "${PARENT}")
  set(PARENT /tmp)
endif()
foreach(tries RANGE 100)
  string(RANDOM LENGTH 12 tag)
  set(build "${PARENT}/planted-${tag}")
  if(NOT EXISTS "${build}")
    break()
  endif()
endforeach()
file(MAKE_DIRECTORY "${build}")
set(args -S "${SOURCE}" -B "${build}" "-DLUMERIN_CMAKE_DIR=${LUMERIN_CMAKE_DIR}")
if(DEFINED PLANT)
  list(APPEND args "-DPLANT=${PLANT}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" ${args} RESULT_VARIABLE status)
file(REMOVE_RECURSE "${build}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "Configuring ${SOURCE} ended with ${status}")
endif()
