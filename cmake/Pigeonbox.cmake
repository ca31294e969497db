# pb_library(<name> SOURCES ... DEPS ...): one static library per subsystem folder.
function(pb_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# pb_test(<name> SOURCES ... DEPS ...): a GoogleTest binary whose cases CTest lists one by one.
function(pb_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "PB_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
