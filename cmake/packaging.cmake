# Release kits, made by CPack from the install rules. Every installed file
# belongs to one component:
#   runtime  the shared library or DLL, and the licence
#   dev      header, link or import libraries, .def, CMake package, .pc file,
#            the example's source
#   tools    quarn-monitor and quarn-sim (Linux)
#            (and quarn-console with the web console's page, when given it)
# On Linux, CPack makes the relocatable tarball (TGZ) or, configured with
# QUARN_PACKAGE_DEBIAN, one Debian package per component; on Windows, the zip.
# The package-* presets hold the configurations and scripts/package.sh makes
# every kit.

option(QUARN_PACKAGE_DEBIAN
       "Make Debian packages: documentation under /usr/share/doc/<package>, CPack's DEB generator"
       OFF)
set(QUARN_PACKAGE_MAINTAINER "The QuarnInterface authors <quarninterface@example.org>"
    CACHE STRING "Maintainer named in the Debian packages")

set(QUARN_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

set(QUARN_DEBIAN_RUNTIME_PACKAGE libquarninterface${PROJECT_VERSION_MAJOR})
set(QUARN_DEBIAN_DEV_PACKAGE libquarninterface-dev)
set(QUARN_DEBIAN_TOOLS_PACKAGE quarninterface-tools)

# ---------------------------------------------------------------------------
# Licence and documentation in each kit
# ---------------------------------------------------------------------------
if(WIN32)
  # The architecture as the Windows README names it, and the zip's suffix.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(QUARN_WINDOWS_ARCH x64)
    set(QUARN_WINDOWS_KIT win64)
  else()
    set(QUARN_WINDOWS_ARCH x86)
    set(QUARN_WINDOWS_KIT win32)
  endif()
  # Unpacked, the zip shows its README and licence first, in files that open
  # with a double click.
  configure_file(packaging/windows/README.txt ${PROJECT_BINARY_DIR}/README.txt @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION . COMPONENT runtime)
  install(FILES ${QUARN_LICENSE} DESTINATION . RENAME LICENSE.txt COMPONENT runtime)
elseif(QUARN_PACKAGE_DEBIAN)
  # Debian wants a copyright file in its machine-readable form and a changelog
  # in every package's documentation directory; both come from this tree (the
  # licence text from LICENSE), so they cannot drift from it.
  file(READ ${QUARN_LICENSE} _quarn_license)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" _quarn_match "${_quarn_license}")
  set(_quarn_holder "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^.*\n(Permission is hereby granted)" "\\1" _quarn_terms "${_quarn_license}")
  string(STRIP "${_quarn_terms}" _quarn_terms)
  string(REPLACE "\n\n" "\n.\n" _quarn_terms "${_quarn_terms}")
  string(REPLACE "\n" "\n " _quarn_terms "${_quarn_terms}")
  set(_quarn_copyright
      "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
      "Upstream-Name: ${PROJECT_NAME}\n\n"
      "Files: *\n"
      "Copyright: ${_quarn_holder}\n"
      "License: Expat\n"
      " ${_quarn_terms}\n")
  string(JOIN "" _quarn_copyright ${_quarn_copyright})

  # The release date: SOURCE_DATE_EPOCH when set (scripts/package.sh sets it
  # to the last commit's date), so that the packages are reproducible.
  string(TIMESTAMP _quarn_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  find_program(QUARN_GZIP gzip REQUIRED)

  foreach(_component runtime dev tools)
    string(TOUPPER ${_component} _upper)
    set(_package ${QUARN_DEBIAN_${_upper}_PACKAGE})
    set(_dir ${PROJECT_BINARY_DIR}/debian/${_package})
    file(WRITE ${_dir}/copyright "${_quarn_copyright}")
    # A version without a Debian revision makes a native package, whose
    # changelog is changelog.gz, compressed without name or time stamp.
    file(WRITE ${_dir}/changelog
         "${_package} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
         "  * ${PROJECT_NAME} ${PROJECT_VERSION}.\n\n"
         " -- ${QUARN_PACKAGE_MAINTAINER}  ${_quarn_date}\n")
    execute_process(COMMAND ${QUARN_GZIP} -9nf ${_dir}/changelog COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${_dir}/copyright ${_dir}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package} COMPONENT ${_component})
  endforeach()

  # The loader's cache learns of the library through libc's ldconfig trigger.
  # (CPack also writes a postinst and postrm that run ldconfig themselves, which
  # it offers no way to turn off; running it twice is harmless.)
  file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/triggers)
else()
  install(FILES ${QUARN_LICENSE} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
endif()

# ---------------------------------------------------------------------------
# The documentation in each kit: README.md and what its relative links reach
# (the pages in docs/, the header, the examples), laid out as in this tree so
# that every link works where the kit is unpacked. tests/kits/test_kits.py
# follows every link.
# ---------------------------------------------------------------------------
# quarn_install_docs(DIR COMPONENT [WITH_HEADER]): the tree into DIR; with
# WITH_HEADER a copy of the header goes into DIR/include, for a kit whose
# header (if any) lies elsewhere.
function(quarn_install_docs dir component)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${dir} COMPONENT ${component})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${dir}/docs COMPONENT ${component})
  install(FILES ${PROJECT_SOURCE_DIR}/examples/replay_demo.c
                ${PROJECT_SOURCE_DIR}/examples/exchange_demo.c
          DESTINATION ${dir}/examples COMPONENT ${component})
  install(FILES ${PROJECT_SOURCE_DIR}/examples/data/device-stream.bin
                ${PROJECT_SOURCE_DIR}/examples/data/device-stream.expected
          DESTINATION ${dir}/examples/data COMPONENT ${component})
  if(ARGV2 STREQUAL "WITH_HEADER")
    install(FILES ${PROJECT_SOURCE_DIR}/include/QuarnInterface.h DESTINATION ${dir}/include
            COMPONENT ${component})
  endif()
endfunction()

if(WIN32)
  # The zip's top folder holds include/ already; README.txt points here.
  quarn_install_docs(. dev)
elseif(QUARN_PACKAGE_DEBIAN)
  # The packages with a README of their own; the runtime has its copyright.
  quarn_install_docs(${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUARN_DEBIAN_DEV_PACKAGE} dev WITH_HEADER)
  if(TARGET quarn-monitor)
    quarn_install_docs(${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUARN_DEBIAN_TOOLS_PACKAGE} tools
                       WITH_HEADER)
  endif()
else()
  quarn_install_docs(${CMAKE_INSTALL_DOCDIR} runtime WITH_HEADER)
endif()

# ---------------------------------------------------------------------------
# CPack
# ---------------------------------------------------------------------------
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The QuarnInterface authors")
set(CPACK_PACKAGE_CONTACT "${QUARN_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${QUARN_LICENSE})
set(CPACK_STRIP_FILES ON)
# Kit names: QuarnInterface-<version>-Linux-x86_64.tar.gz, -win64.zip, -win32.zip.
if(WIN32)
  set(CPACK_SYSTEM_NAME ${QUARN_WINDOWS_KIT})
  set(CPACK_GENERATOR ZIP)
elseif(QUARN_PACKAGE_DEBIAN)
  set(CPACK_GENERATOR DEB)
else()
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_GENERATOR TGZ)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET quarn-monitor)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Depends from what the binaries link (libc6, libhidapi-hidraw0, ...), and a
# shlibs file so that packages built against the library depend on it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg-shlibdeps looks here for the tools' libQuarnInterface.so.1; no package
# on the build machine owns it, so that dependency is declared below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
# Each package's first description line is its own, not the project's.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")

set(_quarn_exact_runtime "${QUARN_DEBIAN_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")
# The descriptions hold no semicolon: CMake would take it for a list separator
# and drop it.
set(_quarn_about
    "QuarnInterface builds the commands that start and stop the Quarn control\n"
    "device's stream of port data, reassembles and decodes that stream, decodes\n"
    "the device's HID reports and packs SBUS frames. It does no I/O of its own.")
string(JOIN "" _quarn_about ${_quarn_about})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QUARN_DEBIAN_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "protocol library for the Quarn control device\n${_quarn_about}\n\n"
    "This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${QUARN_DEBIAN_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${_quarn_exact_runtime}")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "protocol library for the Quarn control device - development files\n${_quarn_about}\n\n"
    "This package holds the header, the CMake package, the pkg-config file, the\n"
    "examples and the documentation.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${QUARN_DEBIAN_TOOLS_PACKAGE})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${_quarn_exact_runtime}")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "monitor and simulator for the Quarn control device\n"
    "quarn-monitor shows the values a Quarn control device streams over a serial\n"
    "port or sends as HID reports, records them and can forward them as SBUS.\n"
    "quarn-sim plays a simulated device on a pseudo-terminal or into a file.")

# quarn-console and the web console's page, when the build was given the page
# (tools/CMakeLists.txt): the program is Python, and opens the page in the
# browser with xdg-open.
if(QUARN_CONSOLE_PAGE)
  string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", python3")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS xdg-utils)
  list(APPEND CPACK_COMPONENT_TOOLS_DESCRIPTION
       "\nquarn-console serves the web console, a page that talks to the device from\n"
       "the browser, on this machine only and opens it in the default browser.")
endif()
list(APPEND CPACK_COMPONENT_TOOLS_DESCRIPTION
     "\nThe tools come with manual pages and the documentation.")


foreach(_var CPACK_COMPONENT_RUNTIME_DESCRIPTION CPACK_COMPONENT_DEV_DESCRIPTION
             CPACK_COMPONENT_TOOLS_DESCRIPTION)
  string(JOIN "" ${_var} ${${_var}})
endforeach()

include(CPack)
