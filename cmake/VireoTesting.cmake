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
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} ${ARG_PROPERTIES})
endfunction()
