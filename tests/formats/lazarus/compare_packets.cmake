# Builds write_packets.pas with fpc, lets it write its packets and compares them
# with the lazarus_* fixtures, so that the fixtures stay what Free Pascal writes.
# Variables: FPC, SOURCE (the .pas), DATA (tests/data), WORK (a scratch folder).
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/out")
execute_process(COMMAND "${FPC}" -FE${WORK} -FU${WORK} "${SOURCE}"
                RESULT_VARIABLE built OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "fpc failed:\n${log}")
endif()
execute_process(COMMAND "${WORK}/write_packets" "${WORK}/out" RESULT_VARIABLE wrote)
if(NOT wrote EQUAL 0)
  message(FATAL_ERROR "write_packets failed: ${wrote}")
endif()
file(GLOB written RELATIVE "${WORK}/out" "${WORK}/out/*.zvx")
file(GLOB kept RELATIVE "${DATA}" "${DATA}/lazarus_*.zvx")
if(NOT written STREQUAL kept)
  message(FATAL_ERROR "written ${written}, kept ${kept}")
endif()
foreach(name IN LISTS written)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${WORK}/out/${name}" "${DATA}/${name}"
                  RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0)
    message(FATAL_ERROR "${name} differs from what Free Pascal writes now")
  endif()
endforeach()
