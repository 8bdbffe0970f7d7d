# Runs every case of the GoogleTest program PROGRAM in a process of its own
# and fails when any case fails:
#   cmake -DPROGRAM=<test program> -P run_each_case.cmake
if(NOT PROGRAM)
  message(FATAL_ERROR "usage: cmake -DPROGRAM=<test program> -P run_each_case.cmake")
endif()
execute_process(COMMAND ${PROGRAM} --gtest_list_tests
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --gtest_list_tests failed (${rc})")
endif()

# The listing: "Suite." lines, each followed by "  Case" lines; comments
# after "#" (type and value parameters) are dropped.
string(REPLACE ";" "\\;" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(suite "")
set(cases "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "[ ]*#.*$" "" line "${line}")
  if(line MATCHES "^([^ ].*\\.)$")
    set(suite "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^  ([^ ]+)$")
    list(APPEND cases "${suite}${CMAKE_MATCH_1}")
  endif()
endforeach()

set(failed "")
foreach(case IN LISTS cases)
  execute_process(COMMAND ${PROGRAM} --gtest_filter=${case} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    list(APPEND failed "${case}")
  endif()
endforeach()
list(LENGTH cases total)
if(failed)
  list(LENGTH failed nfailed)
  string(REPLACE ";" "\n  " failed "${failed}")
  message(FATAL_ERROR "${nfailed} of ${total} cases failed:\n  ${failed}")
endif()
message(STATUS "${total} cases passed, each in a process of its own")
