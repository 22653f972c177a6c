# Writes one add_test per GoogleTest case of PROGRAM, run through EMULATOR,
# from the JSON list the program writes itself.
# -DEMULATOR=runner -DPROGRAM=exe -DLIST=json-file -DOUT=cmake-file -DPREFIX=name-prefix
# The list is named relative to the working directory: a Windows program
# would read an absolute Unix path as one on its current drive.
file(REMOVE ${LIST})
get_filename_component(list_dir ${LIST} DIRECTORY)
get_filename_component(list_name ${LIST} NAME)
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --gtest_list_tests --gtest_output=json:${list_name}
  WORKING_DIRECTORY ${list_dir} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET TIMEOUT 120)
if(NOT rc EQUAL 0 OR NOT EXISTS ${LIST})
  message(FATAL_ERROR "${PROGRAM} --gtest_list_tests exited with ${rc} and wrote no list to ${LIST}")
endif()
file(READ ${LIST} json)

set(script "")
set(count 0)
string(JSON suites LENGTH "${json}" testsuites)
math(EXPR last_suite "${suites} - 1")
foreach(s RANGE ${last_suite})
  string(JSON suite GET "${json}" testsuites ${s} name)
  string(JSON cases LENGTH "${json}" testsuites ${s} testsuite)
  math(EXPR last_case "${cases} - 1")
  foreach(c RANGE ${last_case})
    string(JSON name GET "${json}" testsuites ${s} testsuite ${c} name)
    if(name MATCHES "^DISABLED_" OR suite MATCHES "^DISABLED_")
      continue()
    endif()
    string(APPEND script
      "add_test([==[${PREFIX}${suite}.${name}]==] ${EMULATOR} [==[${PROGRAM}]==]"
      " [==[--gtest_filter=${suite}.${name}]==])\n")
    math(EXPR count "${count} + 1")
  endforeach()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} lists no test cases in ${LIST}")
endif()
file(WRITE ${OUT} "${script}")
