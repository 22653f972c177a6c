# Regenerates the recorded stream and compares it with the committed files.
# -DPYTHON=interpreter -DGENERATOR=script -DDATA=committed-dir -DOUT=scratch-dir

file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
execute_process(COMMAND ${PYTHON} ${GENERATOR} ${OUT} RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${GENERATOR} failed: ${err}")
endif()
foreach(name device-stream.bin device-stream.expected)
  file(SHA256 ${DATA}/${name} committed)
  file(SHA256 ${OUT}/${name} regenerated)
  if(NOT committed STREQUAL regenerated)
    message(FATAL_ERROR "${DATA}/${name} differs from what ${GENERATOR} writes")
  endif()
endforeach()
