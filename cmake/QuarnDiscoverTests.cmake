# quarn_discover_tests(TARGET [PREFIX prefix])
#
# Registers each GoogleTest case of TARGET as a ctest test. Natively this is
# gtest_discover_tests. Through an emulator (Wine) the list is not read from
# the program's standard output: the program writes it to a JSON file
# (--gtest_output with --gtest_list_tests), and an empty or missing list fails
# the build rather than leaving the suite silently smaller. Each case's verdict is its exit code.
include(GoogleTest)

set(_QUARN_LIST_GTESTS_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/QuarnListGTests.cmake)

function(quarn_discover_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PREFIX" "")
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_PREFIX "${arg_PREFIX}")
    return()
  endif()
  set(_dir ${CMAKE_CURRENT_BINARY_DIR})
  set(_tests ${_dir}/${target}_tests.cmake)
  set(_include ${_dir}/${target}_include.cmake)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND}
      "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
      -DPROGRAM=$<TARGET_FILE:${target}>
      -DLIST=${_dir}/${target}_list.json
      -DOUT=${_tests}
      "-DPREFIX=${arg_PREFIX}"
      -P ${_QUARN_LIST_GTESTS_SCRIPT}
    COMMENT "Listing the test cases of ${target}"
    VERBATIM)
  file(WRITE ${_include}
    "if(EXISTS \"${_tests}\")\n"
    "  include(\"${_tests}\")\n"
    "else()\n"
    "  add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_include})
endfunction()
