# Mach-O images built from the committed sources with clang-14 and ld64.lld-14, and the
# outputs of llvm-objdump and llvm-nm over them, which the tests read as oracles.
find_program(KOCRASH_CLANG14 NAMES clang-14 REQUIRED)
find_program(KOCRASH_LD64 NAMES ld64.lld-14 REQUIRED)
find_program(KOCRASH_LLVM_OBJDUMP NAMES llvm-objdump PATHS /usr/lib/llvm-14/bin NO_DEFAULT_PATH
             REQUIRED)
find_program(KOCRASH_LLVM_NM NAMES llvm-nm PATHS /usr/lib/llvm-14/bin NO_DEFAULT_PATH REQUIRED)
find_program(KOCRASH_LLVM_LIPO NAMES llvm-lipo PATHS /usr/lib/llvm-14/bin NO_DEFAULT_PATH
             REQUIRED)

set(KOCRASH_FIXTURE_DIR ${CMAKE_CURRENT_BINARY_DIR}/fixtures)
set(KOCRASH_FIXTURE_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fixtures)
file(MAKE_DIRECTORY ${KOCRASH_FIXTURE_DIR})
set(kocrash_fixture_outputs)

function(kocrash_fixture_arch arch out_target out_platform out_flags)
  if(arch STREQUAL "armv7")
    set(${out_target} armv7-apple-ios9 PARENT_SCOPE)
    set(${out_platform} ios 9.0 9.0 PARENT_SCOPE)
    set(${out_flags} -mthumb PARENT_SCOPE)
  else()
    set(${out_target} ${arch}-apple-macos13 PARENT_SCOPE)
    set(${out_platform} macos 13.0 13.0 PARENT_SCOPE)
    set(${out_flags} "" PARENT_SCOPE)
  endif()
endfunction()

# kocrash_macho_fixture(<name> <arch> DYLIB|EXECUTABLE SOURCES <files> [FLAGS <flags>]
#                       [LINK_FLAGS <flags>])
function(kocrash_macho_fixture name arch kind)
  cmake_parse_arguments(ARG "" "" "SOURCES;FLAGS;LINK_FLAGS" ${ARGN})
  kocrash_fixture_arch(${arch} target platform arch_flags)
  set(objects)
  foreach(source IN LISTS ARG_SOURCES)
    get_filename_component(stem ${source} NAME_WE)
    set(object ${KOCRASH_FIXTURE_DIR}/${name}.${stem}.o)
    add_custom_command(OUTPUT ${object}
      COMMAND ${KOCRASH_CLANG14} -target ${target} ${arch_flags} -O2 -fno-stack-protector
              ${ARG_FLAGS} -c ${KOCRASH_FIXTURE_SOURCES}/${source} -o ${object}
      DEPENDS ${KOCRASH_FIXTURE_SOURCES}/${source} VERBATIM)
    list(APPEND objects ${object})
  endforeach()
  set(image ${KOCRASH_FIXTURE_DIR}/${name})
  if(kind STREQUAL "DYLIB")
    set(kind_flags -dylib)
  else()
    set(kind_flags -e _start)
  endif()
  add_custom_command(OUTPUT ${image}
    COMMAND ${KOCRASH_LD64} -arch ${arch} -platform_version ${platform} ${kind_flags}
            ${ARG_LINK_FLAGS} -o ${image} ${objects}
    DEPENDS ${objects} VERBATIM)
  add_custom_command(OUTPUT ${image}.headers.txt ${image}.nm.txt ${image}.unwind.txt
                            ${image}.disassembly.txt
    COMMAND ${KOCRASH_LLVM_OBJDUMP} --macho --private-headers --section-headers ${image}
            > ${image}.headers.txt
    COMMAND ${KOCRASH_LLVM_NM} -n -m ${image} > ${image}.nm.txt
    COMMAND ${KOCRASH_LLVM_OBJDUMP} --macho --unwind-info ${image} > ${image}.unwind.txt
    COMMAND ${KOCRASH_LLVM_OBJDUMP} --macho -d ${image} > ${image}.disassembly.txt
    DEPENDS ${image})
  set(kocrash_fixture_outputs ${kocrash_fixture_outputs} ${image} ${image}.headers.txt
      ${image}.nm.txt ${image}.unwind.txt ${image}.disassembly.txt PARENT_SCOPE)
endfunction()

foreach(arch arm64 x86_64 armv7)
  kocrash_macho_fixture(functions_${arch}.dylib ${arch} DYLIB SOURCES functions.c)
  kocrash_macho_fixture(entry_${arch} ${arch} EXECUTABLE SOURCES functions.c entry.c)
endforeach()
kocrash_macho_fixture(many_arm64.dylib arm64 DYLIB SOURCES many_functions.c)
kocrash_macho_fixture(many_x86_64.dylib x86_64 DYLIB SOURCES many_functions.c
  FLAGS -fomit-frame-pointer)
kocrash_macho_fixture(prologues_arm64.dylib arm64 DYLIB SOURCES prologues_arm64.s)
foreach(arch arm64 x86_64)
  kocrash_macho_fixture(metadata_${arch}.dylib ${arch} DYLIB SOURCES metadata.m
    LINK_FLAGS -undefined dynamic_lookup)
  set(image ${KOCRASH_FIXTURE_DIR}/metadata_${arch}.dylib)
  add_custom_command(OUTPUT ${image}.objc.txt
    COMMAND ${KOCRASH_LLVM_OBJDUMP} --macho --objc-meta-data ${image} > ${image}.objc.txt
    DEPENDS ${image})
  list(APPEND kocrash_fixture_outputs ${image}.objc.txt)
endforeach()

set(universal ${KOCRASH_FIXTURE_DIR}/functions_universal.dylib)
add_custom_command(OUTPUT ${universal}
  COMMAND ${KOCRASH_LLVM_LIPO} -create ${KOCRASH_FIXTURE_DIR}/functions_arm64.dylib
          ${KOCRASH_FIXTURE_DIR}/functions_x86_64.dylib -output ${universal}
  DEPENDS ${KOCRASH_FIXTURE_DIR}/functions_arm64.dylib
          ${KOCRASH_FIXTURE_DIR}/functions_x86_64.dylib)
list(APPEND kocrash_fixture_outputs ${universal})

add_custom_target(kocrash_macho_fixtures DEPENDS ${kocrash_fixture_outputs})
