# Runs the orvstick program itself: the exit statuses of a volume that
# cannot be read and of a bad command line, help and version on standard
# output, and check --json as one document python's own parser takes.
function(expect_exit CODE EXPECTED_ERR)
  execute_process(COMMAND ${ORVSTICK} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL ${CODE})
    message(FATAL_ERROR "orvstick ${ARGN}: exit ${rc}, expected ${CODE}\n${out}${err}")
  endif()
  string(FIND "${err}" "${EXPECTED_ERR}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "orvstick ${ARGN}: standard error '${err}' lacks '${EXPECTED_ERR}'")
  endif()
  set(LAST_OUT "${out}" PARENT_SCOPE)
endfunction()

expect_exit(1 "orvstick: /nonexistent/stick.img: no such folder or FAT image" check /nonexistent/stick.img)
expect_exit(2 "A subcommand is required")
expect_exit(2 "PATH is required" check)
expect_exit(1 "orvstick: cannot read /nonexistent/m.toml: No such file or directory" make /nonexistent/m.toml out)
expect_exit(1 "orvstick: cannot read /nonexistent/k.pem: No such file or directory" check --key /nonexistent/k.pem .)
expect_exit(0 "" --help)
if(NOT LAST_OUT MATCHES "Subcommands:")
  message(FATAL_ERROR "--help printed '${LAST_OUT}'")
endif()
expect_exit(0 "" --version)
if(NOT LAST_OUT MATCHES "^orvstick [0-9]+\\.[0-9]+\\.[0-9]+\n$")
  message(FATAL_ERROR "--version printed '${LAST_OUT}'")
endif()

# An empty folder: every problem in the document, which json.tool reads.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/empty)
execute_process(COMMAND sh -c "'${ORVSTICK}' check --json '${WORK}/empty' > '${WORK}/check.json'; echo $?"
  OUTPUT_VARIABLE rc)
execute_process(COMMAND /usr/bin/python3 -m json.tool ${WORK}/check.json RESULT_VARIABLE json_rc
  OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc STREQUAL "1\n" OR NOT json_rc EQUAL 0 OR NOT out MATCHES "\"result\": \"stops\""
   OR NOT out MATCHES "OrvUpdateComponent\\\\\\\\OrvUpdateSettings.ini: missing")
  message(FATAL_ERROR "check --json: exit ${rc}, json.tool ${json_rc}: '${out}${err}'")
endif()
# Quiet: the problems and the result line only.
expect_exit(1 "" check -q ${WORK}/empty)
if(LAST_OUT MATCHES "volume:" OR NOT LAST_OUT MATCHES "^error: OrvUpdate.efi: missing")
  message(FATAL_ERROR "check -q printed '${LAST_OUT}'")
endif()
