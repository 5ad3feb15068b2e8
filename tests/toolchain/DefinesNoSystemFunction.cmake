# Fails when the client library exports a name that the C library, the math library or the
# loader also export: every object in an application that links the client would bind to ours.
# Arguments: -DNM=<nm> -DLIBRARY=<the client library> -DSYSTEM_LIBRARIES=<list>
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE ours
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" our_names "${ours}")
set(system_names "")
foreach(system ${SYSTEM_LIBRARIES})
  execute_process(COMMAND ${NM} -D --defined-only ${system} OUTPUT_VARIABLE listed
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} could not read ${system}")
  endif()
  string(APPEND system_names "${listed}")
endforeach()
string(REGEX REPLACE "@[^\n]*" "" system_names "${system_names}")
set(clashes "")
foreach(name ${our_names})
  string(STRIP "${name}" name)
  if(system_names MATCHES "[ \n]${name}\n")
    list(APPEND clashes ${name})
  endif()
endforeach()
if(clashes)
  message(FATAL_ERROR "${LIBRARY} defines system functions: ${clashes}")
endif()
