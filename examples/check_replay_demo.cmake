# Runs quarn-replay-demo on the recorded stream and on a missing file.
# -DDEMO=program -DEMULATOR=runner-or-empty -DSTREAM=file -DEXPECTED=file

execute_process(COMMAND ${EMULATOR} ${DEMO} ${STREAM}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
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

set(missing ${STREAM}.missing)
execute_process(COMMAND ${EMULATOR} ${DEMO} ${missing}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "cannot open '.*device-stream.bin.missing': No such file")
  message(FATAL_ERROR "missing file: exit ${rc}, message '${err}'")
endif()
