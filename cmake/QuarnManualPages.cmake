# Manual pages of the tools, made at build time from each program's --help
# by help2man (cmake/manual-page.cmake), so that a page cannot drift from its
# program, and installed with the tools under share/man/man1, compressed.
#
#   quarn_manual_page(NAME PROGRAM DESCRIPTION)
#
# NAME is the page's name (NAME(1)); PROGRAM a target or a script that
# answers --help and --version; DESCRIPTION the page's one-line summary.
# A new program's page is one more call. Every page is also listed in
# ${CMAKE_BINARY_DIR}/manual-pages.json, which the tools' tests read.

find_program(QUARN_HELP2MAN help2man)
find_program(QUARN_MAN_GZIP gzip)
if(NOT QUARN_HELP2MAN OR NOT QUARN_MAN_GZIP)
  message(FATAL_ERROR "the tools' manual pages need help2man and gzip (Debian: help2man gzip, "
                      "see scripts/install-deps.sh); or configure with -DQUARN_BUILD_TOOLS=OFF")
endif()

set(QUARN_MANUAL_SEE_ALSO ${CMAKE_CURRENT_LIST_DIR}/../tools/man/see-also.h2m)

function(quarn_manual_page name program description)
  if(TARGET ${program})
    set(run $<TARGET_FILE:${program}>)
  else()
    set(run ${program})
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${QUARN_HELP2MAN} -DGZIP=${QUARN_MAN_GZIP}
            -DPROGRAM=${name} -DRUN=${run} -DDESCRIPTION=${description}
            -DLIBRARY_DIR=$<TARGET_FILE_DIR:QuarnInterface>
            -DINCLUDE=${QUARN_MANUAL_SEE_ALSO} -DOUTPUT=${page}
            -P ${PROJECT_SOURCE_DIR}/cmake/manual-page.cmake
    DEPENDS ${program} QuarnInterface ${QUARN_MANUAL_SEE_ALSO} ${PROJECT_SOURCE_DIR}/cmake/manual-page.cmake
    COMMENT "Manual page ${name}(1)"
    VERBATIM)
  add_custom_target(${name}-manual-page ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

  set_property(GLOBAL APPEND PROPERTY QUARN_MANUAL_PAGES
               "{\"name\": \"${name}\", \"program\": \"${run}\", \"page\": \"${page}\"}")
endfunction()

# The list, once every page is known: at the end of the top directory.
function(_quarn_write_manual_page_list)
  get_property(pages GLOBAL PROPERTY QUARN_MANUAL_PAGES)
  list(JOIN pages ",\n  " pages)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/manual-pages.json CONTENT "[\n  ${pages}\n]\n")
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _quarn_write_manual_page_list)
