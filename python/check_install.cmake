# Installs the build into a fresh prefix and imports the installed package
# with QUARN_INTERFACE_LIBRARY unset: it must load the library installed with
# it, through the link beside the package.
# Usage: cmake -DBUILD_DIR= -DPREFIX= -DPYTHON= -DPACKAGE_DIR= -DLIBRARY= -P check_install.cmake
#   PACKAGE_DIR and LIBRARY are relative to the prefix.

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)

cmake_path(GET PACKAGE_DIR PARENT_PATH site_dir)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=QUARN_INTERFACE_LIBRARY PYTHONPATH=${PREFIX}/${site_dir}
          ${PYTHON} -c "import quarninterface as q; print(q.library_path); print(q.stop_upload_port_data().hex())"
  WORKING_DIRECTORY ${PREFIX}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the installed package does not import:\n${errors}")
endif()

cmake_path(GET LIBRARY FILENAME name)
set(link ${PREFIX}/${PACKAGE_DIR}/${name})
file(REAL_PATH ${link} linked)
file(REAL_PATH ${PREFIX}/${LIBRARY} installed)
if(NOT linked STREQUAL installed)
  message(FATAL_ERROR "${link} leads to ${linked}, not to the installed ${installed}")
endif()
# library_path names the file loaded, with the link resolved.
string(STRIP "${output}" output)
if(NOT output STREQUAL "${installed}\nfae400005f")
  message(FATAL_ERROR "the installed package loaded another library:\n${output}\n"
                      "expected ${installed} (through ${link}) and the stop command fae400005f")
endif()
message(STATUS "${link} loads the installed library ${installed}")
