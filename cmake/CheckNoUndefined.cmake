# Fails the build when a linked UEFI shared object still has undefined
# symbols, or relocations other than relative ones: the firmware has no
# dynamic linker, and the image's start code applies only R_X86_64_RELATIVE
# (a symbol relocation, as a C++ inline variable gets, is left unapplied and
# its reference reads address 0 at run time).
execute_process(COMMAND nm -u ${SO} OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${SO}")
endif()
string(STRIP "${undefined}" undefined)
if(NOT undefined STREQUAL "")
  message(FATAL_ERROR "${SO} has undefined symbols:\n${undefined}")
endif()

execute_process(COMMAND readelf -rW ${SO} OUTPUT_VARIABLE relocations RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${SO}")
endif()
string(REGEX MATCHALL "R_X86_64_[A-Z0-9_]+[^\n]*" entries "${relocations}")
set(bad "")
foreach(entry IN LISTS entries)
  if(NOT entry MATCHES "^R_X86_64_(RELATIVE|NONE)")
    string(APPEND bad "  ${entry}\n")
  endif()
endforeach()
if(NOT bad STREQUAL "")
  message(FATAL_ERROR "${SO} has relocations the firmware image cannot apply:\n${bad}")
endif()
