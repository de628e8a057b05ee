# The trusted key option at configure time: a tiny project that builds the key
# table from ORV_TRUSTED_KEYS, configured once per row. Keys are made by the
# openssl command line tool; key ids are checked against openssl's DER.
# Run as: cmake -DWORK=dir -DMODULE_DIR=cmake -DDEMO_KEY=demo.pub.pem -P TrustedKeysTest.cmake

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/sub" "${WORK}/project" "${WORK}/elsewhere")
set(Failures 0)

function(openssl)
  execute_process(COMMAND openssl ${ARGN} WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE Rc
    OUTPUT_QUIET ERROR_VARIABLE Err)
  if(NOT Rc EQUAL 0)
    message(FATAL_ERROR "openssl ${ARGN}: ${Err}")
  endif()
endfunction()

# A P-256 (or Curve) key pair NAME.pem / NAME.pub.pem, and the key id of the
# public half in ID_<NAME>.
macro(make_key Name Curve)
  openssl(ecparam -name ${Curve} -genkey -noout -out ${Name}.pem)
  openssl(pkey -in ${Name}.pem -pubout -out ${Name}.pub.pem)
  openssl(pkey -in ${Name}.pem -pubout -outform DER -out ${Name}.der)
  file(SHA256 "${WORK}/${Name}.der" ID_${Name})
endmacro()

make_key(one prime256v1)
make_key(two prime256v1)
make_key(p384 secp384r1)
openssl(ec -in one.pem -pubout -conv_form compressed -out compressed.pub.pem)
file(READ "${WORK}/one.pub.pem" One)
file(READ "${WORK}/two.pub.pem" Two)
file(READ "${WORK}/one.pem" OnePrivate)
file(WRITE "${WORK}/both.pub.pem" "${One}${Two}")
file(WRITE "${WORK}/mixed.pem" "${One}${OnePrivate}")
file(WRITE "${WORK}/nokey.pem" "no key here\n")
file(WRITE "${WORK}/sub/rel.pub.pem" "${Two}")
file(WRITE "${WORK}/nine.pub.pem" "${One}${One}${One}${One}${One}${One}${One}${One}${One}")

file(WRITE "${WORK}/project/CMakeLists.txt" "cmake_minimum_required(VERSION 3.20)
project(keys NONE)
list(APPEND CMAKE_MODULE_PATH \"${MODULE_DIR}\")
include(TrustedKeys)
set(ORV_TRUSTED_KEYS \"\" CACHE STRING \"keys\")
orv_resolve_key_paths(ORV_TRUSTED_KEYS)
orv_write_trusted_key_table(\"\${ORV_TRUSTED_KEYS}\" \"${DEMO_KEY}\" \${CMAKE_BINARY_DIR}/TrustedKeys.h)
")

# One row: configure with Keys from the directory From; Ok says whether the
# configure must pass; Output is a regular expression its output must match;
# Table (passing rows) the count and flags lines of the generated table.
function(check_row Name Keys From Ok Output Table)
  set(Build "${WORK}/build-${Name}")
  execute_process(COMMAND ${CMAKE_COMMAND} -S "${WORK}/project" -B "${Build}" "-DORV_TRUSTED_KEYS=${Keys}"
    WORKING_DIRECTORY "${From}" RESULT_VARIABLE Rc OUTPUT_VARIABLE Out ERROR_VARIABLE Err)
  string(REGEX REPLACE "[ \n]+" " " Text "${Out}${Err}")
  set(Why "")
  if(Ok AND NOT Rc EQUAL 0)
    set(Why "refused")
  elseif(NOT Ok AND Rc EQUAL 0)
    set(Why "accepted")
  elseif(NOT Text MATCHES "${Output}")
    set(Why "output does not match '${Output}'")
  elseif(Ok)
    file(READ "${Build}/TrustedKeys.h" Header)
    string(REPLACE "\n" " " Header "${Header}")
    if(NOT Header MATCHES "${Table}")
      set(Why "table does not match '${Table}': ${Header}")
    endif()
  endif()
  if(Why STREQUAL "")
    message(STATUS "ok   ${Name}")
  else()
    message(STATUS "FAIL ${Name}: ${Why}\n${Out}${Err}")
    math(EXPR Count "${Failures} + 1")
    set(Failures ${Count} PARENT_SCOPE)
  endif()
endfunction()

set(W "${WORK}")
set(E "${WORK}/elsewhere")
#         name          keys                      from  ok  output                                             table
check_row(private_key   "${W}/one.pem"            ${W}  0   "one.pem holds a private key"                      "")
check_row(public_and_private "${W}/mixed.pem"     ${W}  0   "mixed.pem holds a private key"                    "")
check_row(no_key        "${W}/nokey.pem"          ${W}  0   "nokey.pem holds no PEM public key"                "")
check_row(missing_file  "${W}/absent.pem"         ${W}  0   "absent.pem: no such file"                         "")
check_row(other_curve   "${W}/p384.pub.pem"       ${W}  0   "p384.pub.pem: key 0 is not an uncompressed NIST P-256" "")
check_row(compressed    "${W}/compressed.pub.pem" ${W}  0   "compressed.pub.pem: key 0 is not an uncompressed" "")
check_row(too_many      "${W}/nine.pub.pem"       ${W}  0   "nine.pub.pem: more than 8 keys"                   "")
check_row(two_in_a_file "${W}/both.pub.pem"       ${W}  1   "id ${ID_one}.*id ${ID_two}"                       "1.}, +2, +0,")
check_row(two_files     "${W}/one.pub.pem\;${W}/two.pub.pem" ${W} 1 "id ${ID_one}.*id ${ID_two}"              "1.}, +2, +0,")
check_row(relative      "sub/rel.pub.pem"         ${W}  1   "id ${ID_two}"                                     "1.}, +1, +0,")
check_row(relative_elsewhere "sub/rel.pub.pem"    ${E}  0   "elsewhere/sub/rel.pub.pem: no such file"          "")
check_row(demo_key      "${W}/one.pub.pem\;${DEMO_KEY}" ${W} 1 "trusts the demo signing key"                  "1.}, +2, +1,")
check_row(no_keys       ""                        ${W}  1   "accept images without any signature"              "1.}, +0, +0,")

# A rebuild runs CMake from the build directory: the relative key stays the
# one first named.
execute_process(COMMAND ${CMAKE_COMMAND} . WORKING_DIRECTORY "${WORK}/build-relative"
  RESULT_VARIABLE Rc OUTPUT_VARIABLE Out ERROR_VARIABLE Err)
if(NOT Rc EQUAL 0 OR NOT Out MATCHES "id ${ID_two}")
  message(STATUS "FAIL relative_rerun: ${Out}${Err}")
  math(EXPR Failures "${Failures} + 1")
else()
  message(STATUS "ok   relative_rerun")
endif()

if(NOT Failures EQUAL 0)
  message(FATAL_ERROR "${Failures} rows failed")
endif()
