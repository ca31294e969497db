# Headers are included by their path below the source root ("store/status.h"): every library
# gives that root to itself and to what links it.
function(pb_include_root name)
  get_target_property(type ${name} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
  else()
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  endif()
endfunction()

# pb_library(<name> SOURCES ... [PUBLIC_DEPS ...] [DEPS ...]): one static library per subsystem
# folder. PUBLIC_DEPS are the libraries whose headers its own headers include, so what links it
# gets them too; DEPS are those only its sources use.
function(pb_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_DEPS;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  pb_include_root(${name})
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_DEPS})
endfunction()

# pb_testutil(<name> SOURCES ... DEPS ...): a library of test helpers (testutil/). Header-only
# when SOURCES lists only headers. Marked PB_TESTONLY: only tests, benchmarks and fuzz targets
# may link it.
function(pb_testutil name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  set(compiled ${ARG_SOURCES})
  list(FILTER compiled INCLUDE REGEX "\\.cc$")
  if(compiled)
    add_library(${name} STATIC ${ARG_SOURCES})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE ${ARG_SOURCES})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
  pb_include_root(${name})
  set_target_properties(${name} PROPERTIES PB_TESTONLY ON)
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

# Collects the targets defined in <dir> and below into <out>.
function(pb_collect_targets dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    pb_collect_targets(${sub} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# pb_write_target_graph(<file>): writes every target of the tree as JSON (type, folder, sources,
# direct link libraries, interface link libraries, test-only mark) for the include check.
function(pb_write_target_graph file)
  pb_collect_targets(${CMAKE_SOURCE_DIR} targets)
  set(json "{}")
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "UTILITY")
      continue()
    endif()
    set(entry "{}")
    string(JSON entry SET "${entry}" type "\"${type}\"")
    get_target_property(dir ${target} SOURCE_DIR)
    string(JSON entry SET "${entry}" dir "\"${dir}\"")
    get_target_property(testonly ${target} PB_TESTONLY)
    if(testonly)
      string(JSON entry SET "${entry}" testonly true)
    endif()
    foreach(property SOURCES LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      if(type STREQUAL "INTERFACE_LIBRARY" AND property STREQUAL "LINK_LIBRARIES")
        continue()
      endif()
      get_target_property(values ${target} ${property})
      set(array "[]")
      if(values)
        foreach(value IN LISTS values)
          string(JSON length LENGTH "${array}")
          string(REPLACE "\\" "\\\\" value "${value}")
          string(REPLACE "\"" "\\\"" value "${value}")
          string(JSON array SET "${array}" ${length} "\"${value}\"")
        endforeach()
      endif()
      string(JSON entry SET "${entry}" ${property} "${array}")
    endforeach()
    string(JSON json SET "${json}" ${target} "${entry}")
  endforeach()
  file(WRITE ${file} "${json}\n")
endfunction()
