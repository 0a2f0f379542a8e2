# Helpers shared by the package folders. Each package has include/, src/ and
# tests/; sources are collected per folder so adding a module is adding a file.

# vorn_library(<target> [DEPS <targets>...])
function(vorn_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE vorn_warnings)
endfunction()

# vorn_tests(<package> [DEPS <targets>...]): one GoogleTest executable
# <package>-tests from tests/*.cpp, registered test by test with CTest.
function(vorn_tests package)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${package}-tests ${sources})
  target_link_libraries(${package}-tests PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main vorn_warnings)
  # Test helpers shared by every package (log capture).
  target_include_directories(${package}-tests PRIVATE ${CMAKE_SOURCE_DIR}/vorn-runtime/tests)
  gtest_discover_tests(${package}-tests DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
endfunction()
