# Keeps the user's guide of a build tree the same as its sources: each page and stylesheet of
# SOURCE is copied to DEST when it differs, and whatever else DEST holds (a page the sources no
# longer have, a stray file) goes, so that Help never shows a page the program no longer has.
#   cmake -DSOURCE=<doc/guide> -DDEST=<build>/share/doc/lumerin/guide -P SyncGuide.cmake
cmake_policy(VERSION 3.25)
# Its pages (.html) and its stylesheet (.css), nothing else of its folder (an editor's backup, a
# note); the install takes the same.
file(GLOB pages LIST_DIRECTORIES false "${SOURCE}/*.html" "${SOURCE}/*.css")
if(NOT pages)
  message(FATAL_ERROR "No pages of the user's guide in '${SOURCE}'")
endif()
file(MAKE_DIRECTORY "${DEST}")
set(names)
foreach(page ${pages})
  get_filename_component(name "${page}" NAME)
  list(APPEND names "${name}")
  file(COPY_FILE "${page}" "${DEST}/${name}" ONLY_IF_DIFFERENT)
endforeach()
file(GLOB present LIST_DIRECTORIES true "${DEST}/*" "${DEST}/.*")
foreach(entry ${present})
  get_filename_component(name "${entry}" NAME)
  if(NOT name IN_LIST names)
    file(REMOVE_RECURSE "${entry}")
  endif()
endforeach()
