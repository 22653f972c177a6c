# The eight exported names and their ordinals have one source: the .def file
# that also gives the Windows linker its export table. This reads it into
# QUARN_EXPORT_NAMES and QUARN_EXPORT_ORDINALS (same order) and writes
# quarn_exports.h, a C array of both for the tests that bind functions by name.
function(quarn_read_exports def_file header)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
  file(STRINGS ${def_file} _lines)
  set(_in_exports FALSE)
  set(_names)
  set(_ordinals)
  set(_rows)
  foreach(_line IN LISTS _lines)
    string(REGEX REPLACE ";.*" "" _line "${_line}")
    string(STRIP "${_line}" _line)
    if(_line STREQUAL "EXPORTS")
      set(_in_exports TRUE)
    elseif(_in_exports AND _line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)[ \t]+@([0-9]+)$")
      list(APPEND _names ${CMAKE_MATCH_1})
      list(APPEND _ordinals ${CMAKE_MATCH_2})
      string(APPEND _rows "    {\"${CMAKE_MATCH_1}\", ${CMAKE_MATCH_2}},\n")
    elseif(_in_exports AND NOT _line STREQUAL "")
      message(FATAL_ERROR "${def_file}: cannot read the export line '${_line}'")
    endif()
  endforeach()
  list(LENGTH _names _count)
  if(_count EQUAL 0)
    message(FATAL_ERROR "${def_file} lists no exports")
  endif()
  set(QUARN_EXPORT_NAMES ${_names} PARENT_SCOPE)
  set(QUARN_EXPORT_ORDINALS ${_ordinals} PARENT_SCOPE)
  file(CONFIGURE OUTPUT ${header} @ONLY CONTENT
"/* Written by CMake from QuarnInterface.def, the one list of the exported
 * functions: each name with its frozen ordinal. */
#ifndef QUARN_EXPORTS_H
#define QUARN_EXPORTS_H

#define QUARN_EXPORT_COUNT @_count@

static const struct quarn_export {
    const char *name;
    unsigned short ordinal;
} quarn_exports[QUARN_EXPORT_COUNT] = {
@_rows@};

#endif
")
endfunction()
