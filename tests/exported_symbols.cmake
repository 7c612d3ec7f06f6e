# Checks that the shared library LIBRARY exports its public API alone: every
# symbol it defines for other programs is in namespace orvo (or the type
# information of a class there), none in orvo::detail, and the API's entry
# points are among them.
#   cmake -DLIBRARY=liborvo.so -P exported_symbols.cmake
execute_process(COMMAND nm -D --defined-only --demangle ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(public "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>"; the linker's own markers are not symbols of the code.
  if(NOT line MATCHES "^[0-9a-f]+ [A-Za-z] (.*)$")
    continue()
  endif()
  set(name "${CMAKE_MATCH_1}")
  if(name MATCHES "^(__bss_start|_edata|_end)$")
    continue()
  endif()
  if(NOT name MATCHES "^((typeinfo|typeinfo name|vtable) for )?orvo::" OR name MATCHES "orvo::detail::")
    message(SEND_ERROR "exported, but not public: ${name}")
  endif()
  list(APPEND public "${name}")
endforeach()
foreach(entry "orvo::detect(" "orvo::describe(" "orvo::write_region_file(" "orvo::AlphaFeatures::create("
              "typeinfo for orvo::RegionFileError")
  string(FIND "${public}" "${entry}" found)
  if(found EQUAL -1)
    message(SEND_ERROR "not exported: ${entry}")
  endif()
endforeach()
