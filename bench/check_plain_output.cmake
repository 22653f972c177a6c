# quarn_bench writing to a file (a log, a pipe, CI) prints no terminal escape
# sequences, in Google Benchmark's table and in the summary alike.
# -DBENCH=program -DOUT=file
execute_process(
  COMMAND ${BENCH} --benchmark_filter=^empty_call --benchmark_min_time=0.001
          --benchmark_min_warmup_time=0
  OUTPUT_FILE ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "quarn_bench exited with ${rc}")
endif()
file(READ ${OUT} out)
if(NOT out MATCHES "empty_call_into_shared_library" OR NOT out MATCHES "Summary")
  message(FATAL_ERROR "quarn_bench printed neither its case nor its summary:\n${out}")
endif()
string(ASCII 27 escape)
string(FIND "${out}" "${escape}" at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "quarn_bench wrote an escape sequence at offset ${at} of ${OUT}")
endif()
