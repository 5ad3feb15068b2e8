# Runs each of the loader's cases through the driver built with the client and the one built
# without it, with the same environment, and fails on the first case they answer differently.
# "library-path" runs three ways: as is, with an empty LD_LIBRARY_PATH entry (the working
# folder) and through the loader's --library-path. Run by CTest with -DWITH= -DWITHOUT=
# -DFIXTURES= -DEMULATOR= -DREADELF= -DROWS=.
execute_process(COMMAND ${READELF} -l ${WITHOUT} OUTPUT_VARIABLE headers)
string(REGEX MATCH "interpreter: ([^]]+)\\]" interpreter "${headers}")
set(interpreter "${CMAKE_MATCH_1}")

# run(<output variable> <driver> <case> <way>)
function(run output driver row way)
  set(environment HOME=${FIXTURES}/home)
  set(launch ${EMULATOR})
  set(folder ${FIXTURES})
  if(way STREQUAL "empty-entry")
    # Given to the program, not to the emulator that runs it.
    if(EMULATOR)
      list(APPEND launch -E LD_LIBRARY_PATH=:)
    else()
      list(APPEND environment LD_LIBRARY_PATH=:)
    endif()
    set(folder ${FIXTURES}/cwd)
  elseif(way STREQUAL "loader-path")
    list(APPEND launch ${interpreter} --library-path ${FIXTURES}/libpath)
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env ${environment} ${launch} ${driver} ${FIXTURES} ${row}
    WORKING_DIRECTORY ${folder} TIMEOUT 240
    OUTPUT_VARIABLE printed ERROR_VARIABLE errors RESULT_VARIABLE status)
  # The client's own log lines are no answer of the loader's.
  string(REGEX MATCH "case [^\n]*" answer "${printed}")
  if(NOT status EQUAL 0 OR answer STREQUAL "")
    message(FATAL_ERROR "${driver} ${row} (${way}) ended with ${status}: ${printed}${errors}")
  endif()
  set(${output} "${answer}" PARENT_SCOPE)
endfunction()

foreach(row IN LISTS ROWS)
  if(row STREQUAL "")
    continue()
  endif()
  set(ways as-is)
  if(row STREQUAL "library-path")
    list(APPEND ways empty-entry loader-path)
  endif()
  foreach(way IN LISTS ways)
    run(with ${WITH} ${row} ${way})
    run(without ${WITHOUT} ${row} ${way})
    if(NOT with STREQUAL without)
      message(FATAL_ERROR "${row} (${way}) differs:\nwith the client:    ${with}\n"
                          "without the client: ${without}")
    endif()
    message(STATUS "${way}: ${with}")
  endforeach()
endforeach()
if(NOT with MATCHES "case fork-pattern forks=200 exited=200")
  message(FATAL_ERROR "the forked children did not all exit: ${with}")
endif()
