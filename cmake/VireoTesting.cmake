# GoogleTest for both builds: Debian's packaged library natively, built from
# Debian's source package for the mingw-w64 build.
if(VIREO_WINDOWS)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Test code: compiled quickly rather than well (as the tests' own are).
  if(CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo")
    target_compile_options(gtest PRIVATE -O0 -g0)
    target_compile_options(gtest_main PRIVATE -O0 -g0)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# Every test takes one slot of the resource "cpu" (RESOURCE_GROUPS cpu:1)
# but those labelled "waits" (end-to-end scenarios that mostly wait). The
# build's resources file gives "cpu" as many slots as this machine has
# processors, and ctest reads it by itself: run with -j one more than
# processors (scripts/test does for the Windows tests), it starts a waiting
# scenario beside as many busy tests as there are processors.
cmake_host_system_information(RESULT VIREO_PROCESSORS QUERY NUMBER_OF_LOGICAL_CORES)
file(WRITE ${CMAKE_BINARY_DIR}/cpu_slots.json
     "{\"version\": {\"major\": 1, \"minor\": 0}, \"local\": [{\"cpu\": [{\"id\": \"0\", \"slots\": ${VIREO_PROCESSORS}}]}]}\n")
set(CTEST_RESOURCE_SPEC_FILE ${CMAKE_BINARY_DIR}/cpu_slots.json)
#
# vireo_cpu_slots(): every test that this directory defined with add_test
# takes one slot, but those labelled "waits". Called at the end of each test
# folder's CMakeLists.txt that adds tests of its own (ctest's properties are
# set where a test is defined); vireo_test's cases take theirs above.
function(vireo_cpu_slots)
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(test ${tests})
    get_test_property(${test} LABELS labels)
    if(NOT "waits" IN_LIST labels)
      set_tests_properties(${test} PROPERTIES RESOURCE_GROUPS cpu:1)
    endif()
  endforeach()
endfunction()

# vireo_test(NAME SOURCES... LIBS... [TIMEOUT s] [PROPERTIES ...])
# One test executable; every gtest case becomes one ctest test. Under the
# Windows build the cases are listed (and run) through the Wine emulator.
function(vireo_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main GTest::gtest)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE VIREO_FIXTURES="${PROJECT_SOURCE_DIR}/tests/fixtures")
  target_precompile_headers(${name} REUSE_FROM vireo_test_pch)
  if(VIREO_WINDOWS)
    # Through cmake/wine-run, saying how a failed case ended.
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/cmake/wine-run-test)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} RESOURCE_GROUPS cpu:1 ${ARG_PROPERTIES})
endfunction()
