# Runs quarn-exchange-demo on the recorded stream: it sends the upload request,
# leaves its loop at the end of the recording, sends the stop command, and ends
# on the generator's values.
# -DDEMO=program -DEMULATOR=runner-or-empty -DSTREAM=file -DEXPECTED=file -DWORK=dir
# (output to files, read once the program has exited: see check_replay_demo.cmake)

file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${EMULATOR} ${DEMO} ${STREAM}
  OUTPUT_FILE ${WORK}/exchange.out ERROR_FILE ${WORK}/exchange.err RESULT_VARIABLE rc)
file(READ ${WORK}/exchange.out out)
file(READ ${WORK}/exchange.err err)
if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
  message(FATAL_ERROR "quarn-exchange-demo ${STREAM} exited with ${rc}: ${err}")
endif()
# Windows programs end their lines with CR LF.
string(REPLACE "\r" "" out "${out}")

# The two commands from the frame layout: FA, command, length (2 bytes, low
# first), payload, 5F; the request's payload is the request bytes 0, 0.
file(READ ${EXPECTED} expected)
set(pattern "^to the device: FA E5 02 00 00 00 5F\nto the device: FA E4 00 00 5F\n"
            "[1-9][0-9]* updates\n")
string(JOIN "" pattern ${pattern})
string(LENGTH "${out}" out_length)
string(LENGTH "${expected}" expected_length)
math(EXPR values_at "${out_length} - ${expected_length}")
if(values_at LESS 0)
  message(FATAL_ERROR "output too short:\n${out}")
endif()
string(SUBSTRING "${out}" 0 ${values_at} head)
string(SUBSTRING "${out}" ${values_at} -1 values)
if(NOT head MATCHES "${pattern}$" OR NOT values STREQUAL expected)
  message(FATAL_ERROR "the output is not the request, the stop command, the count of updates "
                      "and the values of ${EXPECTED}:\n${out}")
endif()
