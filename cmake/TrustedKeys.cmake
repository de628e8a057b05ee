# The public keys the image parser trusts, decoded when CMake runs: only the
# uncompressed NIST P-256 points go into the driver, as the key table of
# OrvSimPkg/Library/TrustedKeyTable.h (magic, count, flags, points). The PEM
# text never reaches the driver. Needs the openssl command line tool.
#
# A file stops the configure, with a message naming it, when it holds a
# private key, no public key, a PEM block of another kind, or a key that is
# not P-256. Every key of a file is trusted; more than the table holds is
# refused. Usable from a project and from `cmake -P` (the tests).

set(ORV_TRUSTED_KEYS_MAX 8)
# DER SubjectPublicKeyInfo of a P-256 key up to its point: SEQUENCE, the
# algorithm (id-ecPublicKey, prime256v1), BIT STRING of 66 bytes.
set(ORV_P256_SPKI_PREFIX "3059301306072a8648ce3d020106082a8648ce3d030107034200")

find_program(ORV_OPENSSL openssl)

# The directory CMake was started in: relative key paths are the user's.
function(orv_invoking_directory OutVar)
  execute_process(COMMAND pwd OUTPUT_VARIABLE Dir OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE Rc)
  if(NOT Rc EQUAL 0 OR Dir STREQUAL "")
    set(Dir "$ENV{PWD}")
  endif()
  set(${OutVar} "${Dir}" PARENT_SCOPE)
endfunction()

# The list in the variable Var with every relative path made absolute from
# the invoking directory, also in the cache: a later run of CMake from the
# build directory (a rebuild) keeps the same files.
function(orv_resolve_key_paths Var)
  orv_invoking_directory(Base)
  set(Absolute "")
  foreach(File IN LISTS ${Var})
    get_filename_component(File "${File}" ABSOLUTE BASE_DIR "${Base}")
    list(APPEND Absolute "${File}")
  endforeach()
  if(NOT "${Absolute}" STREQUAL "${${Var}}")
    get_property(Help CACHE ${Var} PROPERTY HELPSTRING)
    set(${Var} "${Absolute}" CACHE STRING "${Help}" FORCE)
  endif()
  set(${Var} "${Absolute}" PARENT_SCOPE)
endfunction()

# Decodes one PEM public key block (Pem) of File: the point as 130 hex digits
# in ${OutPoint}, the key id (SHA-256 of the DER) in ${OutId}.
function(orv_decode_public_key File Index Pem WorkDir OutPoint OutId)
  set(PemFile "${WorkDir}/key-${Index}.pem")
  set(DerFile "${WorkDir}/key-${Index}.der")
  file(WRITE "${PemFile}" "${Pem}\n")
  file(REMOVE "${DerFile}")
  execute_process(COMMAND "${ORV_OPENSSL}" pkey -pubin -in "${PemFile}" -outform DER -out "${DerFile}"
    RESULT_VARIABLE Rc ERROR_VARIABLE Why OUTPUT_QUIET)
  if(NOT Rc EQUAL 0 OR NOT EXISTS "${DerFile}")
    string(STRIP "${Why}" Why)
    message(FATAL_ERROR "ORV_TRUSTED_KEYS: ${File}: key ${Index} does not read as a public key (${Why})")
  endif()
  file(READ "${DerFile}" Der HEX)
  string(LENGTH "${Der}" Length)
  string(FIND "${Der}" "${ORV_P256_SPKI_PREFIX}04" At)
  if(NOT Length EQUAL 182 OR NOT At EQUAL 0)
    message(FATAL_ERROR "ORV_TRUSTED_KEYS: ${File}: key ${Index} is not an uncompressed NIST P-256 public key")
  endif()
  file(SHA256 "${DerFile}" Id)
  string(SUBSTRING "${Der}" 52 130 Point)
  set(${OutPoint} "${Point}" PARENT_SCOPE)
  set(${OutId} "${Id}" PARENT_SCOPE)
endfunction()

# Every public key of one PEM file, appended to the lists ${OutPoints} and
# ${OutIds}.
function(orv_read_key_file File WorkDir OutPoints OutIds)
  if(NOT EXISTS "${File}" OR IS_DIRECTORY "${File}")
    message(FATAL_ERROR "ORV_TRUSTED_KEYS: ${File}: no such file")
  endif()
  file(READ "${File}" Text)
  string(REPLACE "\r" "" Text "${Text}")
  if(Text MATCHES "PRIVATE KEY-----")
    message(FATAL_ERROR "ORV_TRUSTED_KEYS: ${File} holds a private key: name its public key "
      "(openssl pkey -in KEY.pem -pubout -out KEY.pub.pem); a private key never goes into the driver")
  endif()
  string(REGEX MATCHALL "-----BEGIN [^-\n]*-----" Begins "${Text}")
  string(REGEX MATCHALL "-----BEGIN PUBLIC KEY-----[^-]*-----END PUBLIC KEY-----" Blocks "${Text}")
  list(LENGTH Begins BeginCount)
  list(LENGTH Blocks BlockCount)
  if(BlockCount EQUAL 0)
    message(FATAL_ERROR "ORV_TRUSTED_KEYS: ${File} holds no PEM public key")
  endif()
  if(NOT BeginCount EQUAL BlockCount)
    message(FATAL_ERROR "ORV_TRUSTED_KEYS: ${File} holds a PEM block that is not a public key")
  endif()
  set(Points ${${OutPoints}})
  set(Ids ${${OutIds}})
  foreach(Pem IN LISTS Blocks)
    list(LENGTH Points Index)
    orv_decode_public_key("${File}" ${Index} "${Pem}" "${WorkDir}" Point Id)
    list(APPEND Points ${Point})
    list(APPEND Ids ${Id})
  endforeach()
  set(${OutPoints} ${Points} PARENT_SCOPE)
  set(${OutIds} ${Ids} PARENT_SCOPE)
endfunction()

# "0x04, 0x1f, ..." from hex digits.
function(orv_hex_to_c_bytes Hex OutVar)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " Bytes "${Hex}")
  string(REGEX REPLACE ", $" "" Bytes "${Bytes}")
  set(${OutVar} "${Bytes}" PARENT_SCOPE)
endfunction()

# Writes the key table of Files (a list of PEM files, absolute paths) to the
# header Output; DemoKey is the demo public key file (the demo flag is set
# when its point is among the keys). Prints each key id, and a warning for
# the demo key or for no key at all.
function(orv_write_trusted_key_table Files DemoKey Output)
  if(NOT ORV_OPENSSL)
    message(FATAL_ERROR "ORV_TRUSTED_KEYS: the openssl command line tool is needed to read the keys")
  endif()
  get_filename_component(WorkDir "${Output}" DIRECTORY)
  set(WorkDir "${WorkDir}/trusted-keys")
  file(MAKE_DIRECTORY "${WorkDir}")
  set(Points "")
  set(Ids "")
  foreach(File IN LISTS Files)
    orv_read_key_file("${File}" "${WorkDir}" Points Ids)
    list(LENGTH Points Count)
    if(Count GREATER ORV_TRUSTED_KEYS_MAX)
      message(FATAL_ERROR "ORV_TRUSTED_KEYS: ${File}: more than ${ORV_TRUSTED_KEYS_MAX} keys in all")
    endif()
  endforeach()
  set(DemoPoints "")
  set(DemoIds "")
  orv_read_key_file("${DemoKey}" "${WorkDir}/demo" DemoPoints DemoIds)
  set(Flags 0)
  set(Rows "")
  foreach(Point Id IN ZIP_LISTS Points Ids)
    message(STATUS "OrvHexImage.efi trusts the key with id ${Id}")
    if(Point IN_LIST DemoPoints)
      set(Flags 1)
    endif()
    orv_hex_to_c_bytes("${Point}" Bytes)
    string(APPEND Rows "    {${Bytes}},  // key id ${Id}\n")
  endforeach()
  list(LENGTH Points Count)
  if(Count EQUAL 0)
    message(WARNING "ORV_TRUSTED_KEYS is empty: OrvHexImage.efi will accept images without any signature")
    set(Rows "    {0},\n")
  endif()
  if(Flags EQUAL 1)
    message(WARNING "OrvHexImage.efi trusts the demo signing key: for the demo and tests only, "
      "never for real firmware (its private half is public)")
  endif()
  file(WRITE "${Output}.new"
"// Generated from ORV_TRUSTED_KEYS when CMake ran: the decoded public keys the
// image parser trusts, in the table tools find by its magic.
#pragma once
#include \"TrustedKeyTable.h\"

[[gnu::used]] constexpr ORV_TRUSTED_KEY_TABLE gTrustedKeyTable = {
  {'O', 'r', 'v', 'T', 'r', 'u', 's', 't', 'e', 'd', 'K', 'e', 'y', 's', '0', '1'},
  ${Count},
  ${Flags},
  {
${Rows}  }};
")
  # Unchanged keys keep the driver from being rebuilt.
  file(COPY_FILE "${Output}.new" "${Output}" ONLY_IF_DIFFERENT)
  file(REMOVE "${Output}.new")
  file(REMOVE_RECURSE "${WorkDir}")
endfunction()
