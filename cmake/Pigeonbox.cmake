# pb_library(<name> SOURCES ... DEPS ...): one static library per subsystem folder.
function(pb_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# Seconds after which CTest ends a test case as failed, so a case that hangs on a fault fails
# instead of stalling the run. Generous: sanitizer builds run several times slower.
set(PB_TEST_TIMEOUT 300 CACHE STRING "Default CTest timeout of every test, in seconds")

# pb_test(<name> SOURCES ... DEPS ... [TIMEOUT <seconds>]): a GoogleTest binary whose cases CTest
# lists one by one, each with the default timeout unless TIMEOUT gives another.
function(pb_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT ${PB_TEST_TIMEOUT})
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "PB_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
                                  TIMEOUT ${ARG_TIMEOUT})
endfunction()
