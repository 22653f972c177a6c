# Builds QuarnInterface.Net.dll again from a copy of its sources at another path, with the
# build's own compiler flags, and requires the same bytes as the build's assembly and XML
# documentation: neither may depend on the path or the time of the build.
#
#   cmake -DMCS=... -DMONO=... -DBIN=<build dir> -DSOURCES=<dotnet/src> -DNETSTANDARD=...
#         -P check_reproducible.cmake

set(_elsewhere ${BIN}/reproducible-check/another/path)
file(REMOVE_RECURSE ${BIN}/reproducible-check)
file(MAKE_DIRECTORY ${_elsewhere}/obj)
file(GLOB _sources ${SOURCES}/*.cs)
file(COPY ${_sources} ${BIN}/src/AssemblyInfo.cs DESTINATION ${_elsewhere})
file(GLOB _copies ${_elsewhere}/*.cs)
list(SORT _copies)

execute_process(
  COMMAND ${MCS} @${BIN}/QuarnInterface.Net.rsp -doc:${_elsewhere}/QuarnInterface.Net.xml
          -out:${_elsewhere}/obj/QuarnInterface.Net.dll ${_copies}
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(
  COMMAND ${MONO} ${BIN}/RetargetNetStandard.exe ${_elsewhere}/obj/QuarnInterface.Net.dll
          ${_elsewhere}/QuarnInterface.Net.dll ${NETSTANDARD}
  COMMAND_ERROR_IS_FATAL ANY)
foreach(_file QuarnInterface.Net.dll QuarnInterface.Net.xml)
  file(SHA256 ${BIN}/${_file} _built)
  file(SHA256 ${_elsewhere}/${_file} _again)
  if(NOT _built STREQUAL _again)
    message(FATAL_ERROR "${_file} differs when built at ${_elsewhere}: the build is not "
                        "reproducible (diffoscope shows where)")
  endif()
  message(STATUS "${_file}: the same bytes from another path (${_built})")
endforeach()
file(REMOVE_RECURSE ${BIN}/reproducible-check)
