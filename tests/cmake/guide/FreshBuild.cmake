# The program's target alone, built in a fresh build tree, leaves the user's guide where Help
# looks for it (share/doc/lumerin/guide/index.html below the folder holding the program's folder),
# the same pages as the sources; a page the build tree has and the sources do not goes at the
# next build. The tree is configured with stand-ins for the compiler and the linker, so that only
# what the build does beside compiling is real.
#   cmake -DSOURCE=<project> -DSTANDIN=<standin.sh> -P FreshBuild.cmake
cmake_policy(VERSION 3.25)
set(PARENT "$ENV{TMPDIR}")
if(PARENT STREQUAL "" OR NOT IS_DIRECTORY "${PARENT}")
  set(PARENT /tmp)
endif()
string(RANDOM LENGTH 12 tag)
set(build "${PARENT}/fresh-guide-${tag}")
file(REMOVE_RECURSE "${build}")

function(fail text)
  file(REMOVE_RECURSE "${build}")
  message(FATAL_ERROR "${text}")
endfunction()

execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${build}" -G Ninja -DLUMERIN_TESTS=OFF
          -DLUMERIN_BENCH=OFF "-DCMAKE_C_COMPILER_LAUNCHER=${STANDIN}"
          "-DCMAKE_CXX_COMPILER_LAUNCHER=${STANDIN}" "-DCMAKE_CXX_LINKER_LAUNCHER=${STANDIN}"
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  fail("Configuring a fresh build tree failed:\n${out}")
endif()

# The folder Help looks in, from where the program is built.
function(build_program)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${build}" --target lumerin
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    fail("Building the target lumerin failed:\n${out}")
  endif()
endfunction()
build_program()
if(NOT EXISTS "${build}/app/lumerin")
  fail("The target lumerin made no program at '${build}/app/lumerin'")
endif()
get_filename_component(prefix "${build}/app/.." ABSOLUTE)
set(guide "${prefix}/share/doc/lumerin/guide")

function(check_pages)
  file(GLOB want RELATIVE "${SOURCE}/doc/guide" "${SOURCE}/doc/guide/*.html"
       "${SOURCE}/doc/guide/*.css")
  file(GLOB have RELATIVE "${guide}" "${guide}/*")
  list(SORT want)
  list(SORT have)
  if(NOT have STREQUAL want)
    fail("The guide beside the program holds [${have}], the sources [${want}]")
  endif()
  foreach(page ${want})
    file(SHA256 "${SOURCE}/doc/guide/${page}" a)
    file(SHA256 "${guide}/${page}" b)
    if(NOT a STREQUAL b)
      fail("The guide's page ${page} beside the program is not the one of the sources")
    endif()
  endforeach()
endfunction()
if(NOT EXISTS "${guide}/index.html")
  fail("After building the target lumerin alone, Help's page '${guide}/index.html' is missing")
endif()
check_pages()

# A page the sources no longer have (left by an older build) goes, and so does a page made
# different; the next build of the program puts the guide right.
file(WRITE "${guide}/removed-page.html" "<html>an old page</html>\n")
file(WRITE "${guide}/index.html" "<html>changed</html>\n")
build_program()
check_pages()

file(REMOVE_RECURSE "${build}")
message(STATUS "The program's target brings its guide: ${guide}")
