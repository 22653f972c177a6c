# Makes a program's manual page from its --help and --version with help2man,
# so the page cannot drift from the program, and compresses it as Debian
# wants (gzip -9n: no name, no time stamp; help2man dates the page from
# SOURCE_DATE_EPOCH when it is set).
#
#   cmake -DHELP2MAN=help2man -DGZIP=gzip -DPROGRAM=name -DRUN=executable
#         -DDESCRIPTION=one-line -DINCLUDE=sections.h2m -DOUTPUT=name.1.gz
#         -DLIBRARY_DIR=directory-of-libQuarnInterface
#         -P manual-page.cmake
#
# The help must end with the line "The manual page: man <name>", which the
# page itself leaves out. The examples keep one command a line, and each
# option group of the help becomes a subsection.

# The kits' programs are linked with the RUNPATH they are installed with, so
# in the build tree they find the library only through LIBRARY_DIR.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${LIBRARY_DIR}
          ${HELP2MAN} --no-info --section=1 --name=${DESCRIPTION} --include=${INCLUDE} ${RUN}
  OUTPUT_VARIABLE page ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "help2man ${RUN} failed (${status}): ${errors}")
endif()

string(REPLACE "-" "\\-" roff_name "${PROGRAM}")
set(manual_line ".PP\nThe manual page: man ${roff_name}\n")
string(FIND "${page}" "${manual_line}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${PROGRAM} --help does not end with 'The manual page: man ${PROGRAM}'")
endif()
string(REPLACE "${manual_line}" "" page "${page}")

# CLI11 shows a group as "[Option Group: name]", its description and "Options:".
string(REGEX REPLACE "\\.PP\n\\[Option Group: [^]\n]+\\]\n\\.IP\n([^\n]+)\nOptions:\n"
       ".SS \"Options: \\1\"\n" page "${page}")

# help2man fills the examples into one paragraph; they are commands, one a line,
# and a command continued on the next line (after a backslash) keeps its indent.
string(REGEX MATCH "\n\\.SH EXAMPLES\n[^\n]*\n(([^.\n][^\n]*|\\.[HTIP]P)\n)+" examples "${page}")
if(examples STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} --help has no examples")
endif()
# An example with a remark in a column beside it comes as a tagged paragraph.
string(REGEX REPLACE "\n\\.TP\n([^\n]*)\n([^.\n][^\n]*)" "\n\\1    \\2" lines "${examples}")
string(REGEX REPLACE "\n\\.[HTIP]P" "" lines "${lines}")
string(REPLACE "\\e\n" "\\e\n    " lines "${lines}")
string(REPLACE "\n.SH EXAMPLES\n" "\n.SH EXAMPLES\n.RS\n.nf\n" lines "${lines}")
string(REPLACE "${examples}" "${lines}.fi\n.RE\n" page "${page}")

string(REGEX REPLACE "[.]gz$" "" plain "${OUTPUT}")
file(WRITE ${plain} "${page}")
execute_process(COMMAND ${GZIP} -9nf ${plain} COMMAND_ERROR_IS_FATAL ANY)
