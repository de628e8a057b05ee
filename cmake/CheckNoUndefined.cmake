# Fails the build when a linked UEFI shared object still has undefined
# symbols: the firmware has no dynamic linker to resolve them.
execute_process(COMMAND nm -u ${SO} OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${SO}")
endif()
string(STRIP "${undefined}" undefined)
if(NOT undefined STREQUAL "")
  message(FATAL_ERROR "${SO} has undefined symbols:\n${undefined}")
endif()
