# Writes the web console's service worker, service-worker.js, into the page:
# web/service-worker.js.in with the list of the page's files, each with its
# SHA-256, and a version made from them all, so that a page with any file
# changed gets a new worker, which browsers then install.
#
#   cmake -DQUARN_PAGE_DIR=<page> -DQUARN_PAGE_FILES=<file,file,...> -P web-precache.cmake
#
# The files are paths relative to the page, with '/' between folders.
foreach(_var QUARN_PAGE_DIR QUARN_PAGE_FILES)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "web-precache.cmake needs -D${_var}=...")
  endif()
endforeach()

string(REPLACE "," ";" _files "${QUARN_PAGE_FILES}")
set(QUARN_PAGE_FILES_JS "")
set(_listing "")
foreach(_file ${_files})
  if(NOT EXISTS ${QUARN_PAGE_DIR}/${_file})
    message(FATAL_ERROR "the page has no ${_file} (in ${QUARN_PAGE_DIR})")
  endif()
  file(SHA256 ${QUARN_PAGE_DIR}/${_file} _sha256)
  string(APPEND QUARN_PAGE_FILES_JS "  ['${_file}', '${_sha256}'],\n")
  string(APPEND _listing "${_sha256}  ${_file}\n")
endforeach()
string(SHA256 _version "${_listing}")
string(SUBSTRING ${_version} 0 16 QUARN_PAGE_VERSION)
configure_file(${CMAKE_CURRENT_LIST_DIR}/../web/service-worker.js.in
  ${QUARN_PAGE_DIR}/service-worker.js @ONLY)
