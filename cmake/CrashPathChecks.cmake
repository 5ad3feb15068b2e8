# kocrash_check_crash_path_calls(<target> <source file name> <allowed symbols...>) adds a test
# that fails when the object compiled from that source calls anything else (see
# CheckUndefinedSymbols.cmake). Symbols are given demangled, without parameter lists.
function(kocrash_check_crash_path_calls target object)
  add_test(NAME ${target}_${object}_calls_only_async_safe_code
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM}
            "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:${target}>,|>"
            -DOBJECT_NAME=${object}
            "-DALLOWED=${ARGN}"
            -P ${PROJECT_SOURCE_DIR}/cmake/CheckUndefinedSymbols.cmake)
endfunction()
