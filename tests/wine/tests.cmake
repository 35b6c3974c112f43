# Windows tests, run under Wine through CMAKE_CROSSCOMPILING_EMULATOR, each
# tree in its own prefix. Every test that loads tarvel.dll shares one
# FilterState block with any other such process of its tree, so they take
# the tree's block lock; the loopback ports are the machine's.

set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

foreach(which a b)
  add_library(recording_lower_${which} SHARED tests/wine/recording_lower.cpp)
  set_target_properties(recording_lower_${which} PROPERTIES PREFIX "")
  target_compile_definitions(recording_lower_${which} PRIVATE RECORDER_ID=$<IF:$<STREQUAL:${which},a>,1,2>)
  target_include_directories(recording_lower_${which} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(recording_lower_${which} PRIVATE ws2_32)
endforeach()

if(NOT TARVEL_X64)
  # A real lower provider exports its stdcall WSPStartup by the plain name, as
  # tarvel looks it up: the test providers drop the @76 decoration.
  foreach(lower recording_lower_a recording_lower_b forwarding_lower)
    target_link_options(${lower} PRIVATE -Wl,--kill-at)
  endforeach()
endif()

file(GLOB TARVEL_WINE_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/*_test.cpp)
add_executable(tarvel_wine_tests ${TARVEL_WINE_TESTS} tests/wine/harness.cpp
               tools/demo/tls_client.cpp tests/testing/client_hello.cpp)
target_include_directories(tarvel_wine_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(tarvel_wine_tests PRIVATE tarvel_win_state GTest::gtest_main ws2_32 secur32)
add_dependencies(tarvel_wine_tests tarvel recording_lower_a recording_lower_b forwarding_lower)

set(TARVEL_WINE_FIXTURE ${TARVEL_TEST_LABEL}wine)
set(TARVEL_BLOCK_LOCK ${TARVEL_TEST_LABEL}block)
add_test(NAME ${TARVEL_TEST_LABEL}wine.boot COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh --boot-only)
set_tests_properties(${TARVEL_TEST_LABEL}wine.boot PROPERTIES
  FIXTURES_SETUP ${TARVEL_WINE_FIXTURE} TIMEOUT 600)

# tarvel_wine_test(NAME FILTER [PORTS]): one ctest test per group of suites.
function(tarvel_wine_test name filter)
  add_test(NAME ${TARVEL_TEST_LABEL}wine.${name}
           COMMAND tarvel_wine_tests --gtest_filter=${filter} --gtest_brief=1)
  set(locks ${TARVEL_BLOCK_LOCK})
  if(ARGN)
    list(APPEND locks ${ARGN})
  endif()
  set_tests_properties(${TARVEL_TEST_LABEL}wine.${name} PROPERTIES
    FIXTURES_REQUIRED ${TARVEL_WINE_FIXTURE} TIMEOUT 120 RESOURCE_LOCK "${locks}")
endfunction()

if(TARVEL_X64)
  include(${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/tests_x64.cmake)
else()
  include(${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/tests_x86.cmake)
endif()
