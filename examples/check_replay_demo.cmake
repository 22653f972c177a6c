# Runs quarn-replay-demo on the recorded stream and on a missing file.
# -DDEMO=program -DEMULATOR=runner-or-empty -DSTREAM=file -DEXPECTED=file -DWORK=dir
#
# The demo's output goes to files, not to pipes, and is read once it has
# exited, so the check does not depend on an emulator passing output through
# a pipe. The exit status is checked exactly: a run that did not start (see
# cmake/wine-run.sh) cannot pass for the missing file's status 1 without its
# message.

file(MAKE_DIRECTORY ${WORK})
function(run_demo name input)
  execute_process(COMMAND ${EMULATOR} ${DEMO} ${input}
    OUTPUT_FILE ${WORK}/${name}.out ERROR_FILE ${WORK}/${name}.err
    RESULT_VARIABLE rc)
  file(READ ${WORK}/${name}.out out)
  file(READ ${WORK}/${name}.err err)
  set(rc "${rc}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

run_demo(replay ${STREAM})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "quarn-replay-demo ${STREAM} exited with ${rc}: ${err}")
endif()
file(STRINGS ${EXPECTED} expected_lines)
foreach(line IN LISTS expected_lines)
  string(FIND "${out}" "\n${line}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "output lacks the line '${line}'; it was:\n${out}")
  endif()
endforeach()
if(NOT out MATCHES "update [1-9]")
  message(FATAL_ERROR "no update reported:\n${out}")
endif()

run_demo(missing ${STREAM}.missing)
if(NOT rc EQUAL 1 OR NOT err MATCHES "cannot open '.*device-stream.bin.missing': No such file")
  message(FATAL_ERROR "missing file: exit ${rc}, message '${err}'")
endif()

run_demo(help --help)
if(NOT rc EQUAL 0 OR NOT out MATCHES "^Usage: quarn-replay-demo FILE" OR NOT err STREQUAL "")
  message(FATAL_ERROR "--help: exit ${rc}, output '${out}', errors '${err}'")
endif()
