# app/ is the ground floor every part of the link stands on: outside the two
# programs it holds (app/shell/, app/status/), none of its files may include a
# header of a floor above it. Run as: cmake -DSOURCE_DIR=<source> -P layers.cmake
set(above "store|exchange|closing|printer|formats|startup")
file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/app/*)
set(found "")
foreach(file IN LISTS files)
  if(file MATCHES "^app/(shell|status)/")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${file} lines
       REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<](\\.\\./)*(${above})/")
  foreach(line IN LISTS lines)
    string(APPEND found "\n  ${file}: ${line}")
  endforeach()
endforeach()
list(LENGTH files count)
if(count EQUAL 0)
  message(FATAL_ERROR "no files under ${SOURCE_DIR}/app")
endif()
if(found)
  message(FATAL_ERROR "app/ includes headers of the floors above it (${above}):${found}")
endif()
