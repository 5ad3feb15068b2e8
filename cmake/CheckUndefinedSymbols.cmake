# Fails when an object file calls anything outside its allowed list: proves that crash-path
# code calls only what it was written to call (no allocation, no locks, no memcpy or memset
# slipped in by the compiler). Run by CTest with
# -DNM=<nm> -DOBJECTS=<objects joined by |> -DOBJECT_NAME=<source file name> -DALLOWED=<symbols>.
# Symbols are compared demangled and without their parameter lists ("platform::mach::isMapped").
string(REPLACE "|" ";" OBJECTS "${OBJECTS}")
set(checked FALSE)
foreach(object IN LISTS OBJECTS)
  get_filename_component(file_name "${object}" NAME)
  if(NOT file_name MATCHES "^${OBJECT_NAME}\\.")
    continue()
  endif()
  set(checked TRUE)
  execute_process(COMMAND ${NM} -u -C ${object} OUTPUT_VARIABLE undefined RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(REGEX MATCHALL "U [^\n]+" symbols "${undefined}")
  foreach(entry IN LISTS symbols)
    string(SUBSTRING "${entry}" 2 -1 symbol)
    string(REGEX REPLACE "\\(.*$" "" symbol "${symbol}")
    # Sanitizer hooks, the stack protector and the arm64 atomic helpers belong to the build
    # configuration, not to the code.
    if(symbol MATCHES "^(__asan_|__ubsan_|__tsan_|__sanitizer_|__stack_chk_|__aarch64_|_GLOBAL_OFFSET_TABLE_)")
      continue()
    endif()
    list(FIND ALLOWED "${symbol}" index)
    if(index EQUAL -1)
      message(FATAL_ERROR "${object} calls ${symbol}, which is not allowed on the crash path")
    endif()
  endforeach()
endforeach()
if(NOT checked)
  message(FATAL_ERROR "no object file named ${OBJECT_NAME}")
endif()
message(STATUS "${OBJECT_NAME}: only allowed calls")
