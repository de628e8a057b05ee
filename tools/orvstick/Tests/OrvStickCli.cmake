# Runs the orvstick program itself: the exit statuses of a volume that
# cannot be read and of a bad command line.
function(expect_exit CODE EXPECTED_ERR)
  execute_process(COMMAND ${ORVSTICK} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL ${CODE})
    message(FATAL_ERROR "orvstick ${ARGN}: exit ${rc}, expected ${CODE}\n${out}${err}")
  endif()
  string(FIND "${err}" "${EXPECTED_ERR}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "orvstick ${ARGN}: standard error '${err}' lacks '${EXPECTED_ERR}'")
  endif()
endfunction()

expect_exit(1 "orvstick: /nonexistent/stick.img: no such folder or FAT image" check /nonexistent/stick.img)
expect_exit(2 "A subcommand is required")
expect_exit(2 "PATH is required" check)
expect_exit(1 "orvstick: /nonexistent/m.toml: File could not be opened" make /nonexistent/m.toml out)
