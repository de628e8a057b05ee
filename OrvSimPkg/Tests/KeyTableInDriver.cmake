# The built image parser holds the trusted keys only as its key table: the
# table (found by its magic) names the demo key's point with the demo flag,
# and no PEM text (public or private) is anywhere in the file.
# Run as: cmake -DDRIVER=OrvHexImage.efi -DDEMO_KEY=demo.pub.pem -DWORK=dir -P KeyTableInDriver.cmake

if(NOT EXISTS "${DRIVER}")
  message(FATAL_ERROR "${DRIVER} is not built")
endif()
file(READ "${DRIVER}" Image HEX)
string(HEX "-----BEGIN" Begin)
string(HEX "PRIVATE KEY" Private)
string(FIND "${Image}" "${Begin}" AtBegin)
string(FIND "${Image}" "${Private}" AtPrivate)
if(NOT AtBegin EQUAL -1 OR NOT AtPrivate EQUAL -1)
  message(FATAL_ERROR "${DRIVER} holds PEM text")
endif()

string(HEX "OrvTrustedKeys01" Magic)
string(FIND "${Image}" "${Magic}" At)
string(FIND "${Image}" "${Magic}" Last REVERSE)
if(At EQUAL -1 OR NOT At EQUAL Last)
  message(FATAL_ERROR "${DRIVER}: no key table, or more than one")
endif()
# Count 1 and flags 1 (demo key), little-endian, then the first point.
math(EXPR After "${At} + 32")
string(SUBSTRING "${Image}" ${After} 16 CountFlags)
math(EXPR PointAt "${After} + 16")
string(SUBSTRING "${Image}" ${PointAt} 130 Point)

file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND openssl pkey -pubin -in "${DEMO_KEY}" -outform DER -out "${WORK}/demo.der"
  RESULT_VARIABLE Rc)
file(READ "${WORK}/demo.der" Der HEX)
string(SUBSTRING "${Der}" 52 130 DemoPoint)
if(NOT Rc EQUAL 0 OR NOT CountFlags STREQUAL "0100000001000000" OR NOT Point STREQUAL DemoPoint)
  message(FATAL_ERROR "${DRIVER}: key table ${CountFlags} ${Point}, expected the demo key ${DemoPoint}")
endif()
message(STATUS "${DRIVER}: one key table, the demo key with its flag, no PEM text")
