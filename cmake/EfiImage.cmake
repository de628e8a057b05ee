# Builds UEFI images (applications and boot-service drivers) with the host
# g++/gcc and Debian's gnu-efi: objects compiled position-independent for the
# UEFI ABI, linked into a shared object with gnu-efi's start code, then
# converted to PE32+ with objcopy.

set(GNU_EFI_INCLUDE_DIR /usr/include/efi CACHE PATH "gnu-efi headers")
set(GNU_EFI_LIB_DIR /usr/lib CACHE PATH "gnu-efi libraries, start code and linker script")

foreach(f ${GNU_EFI_INCLUDE_DIR}/efi.h ${GNU_EFI_LIB_DIR}/libefi.a ${GNU_EFI_LIB_DIR}/libgnuefi.a
          ${GNU_EFI_LIB_DIR}/crt0-efi-x86_64.o ${GNU_EFI_LIB_DIR}/elf_x86_64_efi.lds)
  if(NOT EXISTS ${f})
    message(FATAL_ERROR "gnu-efi is missing (${f}); run scripts/install-deps.sh")
  endif()
endforeach()

set(EFI_COMMON_FLAGS
  -fpic -fshort-wchar -fno-stack-protector -fno-strict-aliasing -mno-red-zone
  -ffreestanding -maccumulate-outgoing-args -fno-asynchronous-unwind-tables
  -Wall -Wextra -Werror)
set(EFI_CXX_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit)

# Compiles sources for the firmware into an object library that several
# images link (orv_add_efi_image's OBJECT_LIBRARIES).
# orv_add_efi_objects(NAME SOURCES ... [INCLUDES ...])
function(orv_add_efi_objects NAME)
  cmake_parse_arguments(ARG "" "" "SOURCES;INCLUDES" ${ARGN})
  add_library(${NAME} OBJECT ${ARG_SOURCES})
  target_include_directories(${NAME} PRIVATE ${ARG_INCLUDES})
  target_include_directories(${NAME} SYSTEM PRIVATE
    ${GNU_EFI_INCLUDE_DIR} ${GNU_EFI_INCLUDE_DIR}/x86_64 ${GNU_EFI_INCLUDE_DIR}/protocol)
  target_compile_definitions(${NAME} PRIVATE GNU_EFI_USE_MS_ABI ORV_EFI_BUILD=1)
  target_compile_options(${NAME} PRIVATE ${EFI_COMMON_FLAGS}
    $<$<COMPILE_LANGUAGE:CXX>:${EFI_CXX_FLAGS}>)
endfunction()

# orv_add_efi_image(NAME APPLICATION|DRIVER SOURCES ... [INCLUDES ...]
#                   [OBJECT_LIBRARIES ...] [OUTPUT_NAME name])
function(orv_add_efi_image NAME KIND)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME" "SOURCES;INCLUDES;OBJECT_LIBRARIES" ${ARGN})
  if(KIND STREQUAL "APPLICATION")
    set(target efi-app-x86_64)
    set(subsystem 10)
  elseif(KIND STREQUAL "DRIVER")
    set(target efi-bsdrv-x86_64)
    set(subsystem 11)
  else()
    message(FATAL_ERROR "orv_add_efi_image: kind must be APPLICATION or DRIVER")
  endif()
  if(NOT ARG_OUTPUT_NAME)
    set(ARG_OUTPUT_NAME ${NAME})
  endif()

  orv_add_efi_objects(${NAME}_efi_objs SOURCES ${ARG_SOURCES} INCLUDES ${ARG_INCLUDES})
  set(objects $<TARGET_OBJECTS:${NAME}_efi_objs>)
  foreach(lib ${ARG_OBJECT_LIBRARIES})
    list(APPEND objects $<TARGET_OBJECTS:${lib}>)
  endforeach()

  set(so ${CMAKE_CURRENT_BINARY_DIR}/${ARG_OUTPUT_NAME}.so)
  set(efi ${CMAKE_CURRENT_BINARY_DIR}/${ARG_OUTPUT_NAME}.efi)
  add_custom_command(OUTPUT ${so}
    COMMAND ld -shared -Bsymbolic -nostdlib -znocombreloc
            -T ${GNU_EFI_LIB_DIR}/elf_x86_64_efi.lds
            ${GNU_EFI_LIB_DIR}/crt0-efi-x86_64.o ${objects}
            -o ${so} -L${GNU_EFI_LIB_DIR} -lefi -lgnuefi
    COMMAND ${CMAKE_COMMAND} -DSO=${so} -P ${CMAKE_SOURCE_DIR}/cmake/CheckNoUndefined.cmake
    DEPENDS ${NAME}_efi_objs ${ARG_OBJECT_LIBRARIES} ${objects}
    COMMAND_EXPAND_LISTS
    COMMENT "Linking ${ARG_OUTPUT_NAME}.so")
  add_custom_command(OUTPUT ${efi}
    COMMAND objcopy -j .text -j .sdata -j .data -j .dynamic -j .dynsym -j .rel -j .rela
            -j .rel.* -j .rela.* -j .reloc --target ${target} --subsystem=${subsystem}
            ${so} ${efi}
    DEPENDS ${so}
    COMMENT "Converting ${ARG_OUTPUT_NAME}.efi")
  add_custom_target(${NAME} ALL DEPENDS ${efi})
  set_target_properties(${NAME} PROPERTIES EFI_IMAGE ${efi})
endfunction()
