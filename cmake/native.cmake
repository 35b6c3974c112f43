# Native Linux build: the core with test stand-ins for the platform layer,
# GoogleTest tests, fuzz replays, benchmarks.

add_library(tarvel_guard STATIC platform/native/guard.cpp)
target_include_directories(tarvel_guard PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(tarvel_core PUBLIC tarvel_guard)

add_library(tarvel_native_platform STATIC platform/native/shared_state.cpp)
target_link_libraries(tarvel_native_platform PUBLIC tarvel_core)

find_package(GTest REQUIRED)
include(GoogleTest)

add_library(tarvel_testing STATIC
  tests/testing/fake_call_site.cpp
  tests/testing/fake_list_files.cpp
  tests/testing/fake_settings.cpp
  tests/testing/state_builder.cpp
)
target_link_libraries(tarvel_testing PUBLIC tarvel_native_platform GTest::gtest)

file(GLOB TARVEL_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/unit/*.cpp)
add_executable(tarvel_unit_tests ${TARVEL_UNIT_TESTS})
target_link_libraries(tarvel_unit_tests PRIVATE tarvel_testing tarvel_list_text GTest::gtest_main)
gtest_discover_tests(tarvel_unit_tests TEST_PREFIX "${TARVEL_TEST_LABEL}unit." DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES)

# Fuzz targets. Every build replays each target's corpus under ctest; with
# clang and TARVEL_FUZZ a libFuzzer binary of each target is built as well.
set(TARVEL_FUZZ_TARGETS host wildcard phrases list_file settings)
foreach(target IN LISTS TARVEL_FUZZ_TARGETS)
  add_executable(fuzz_replay_${target} fuzz/fuzz_${target}.cpp fuzz/replay_main.cpp)
  target_link_libraries(fuzz_replay_${target} PRIVATE tarvel_native_platform)
  add_test(NAME ${TARVEL_TEST_LABEL}fuzz.replay.${target}
           COMMAND fuzz_replay_${target} ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/${target})
  if(TARVEL_FUZZ)
    add_executable(fuzz_${target} fuzz/fuzz_${target}.cpp)
    target_compile_options(fuzz_${target} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_${target} PRIVATE tarvel_native_platform)
  endif()
endforeach()

if(TARVEL_BENCH)
  find_package(benchmark REQUIRED)
  file(GLOB TARVEL_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench/*.cpp)
  if(TARVEL_BENCH_SOURCES)
    add_executable(tarvel_bench ${TARVEL_BENCH_SOURCES})
    target_link_libraries(tarvel_bench PRIVATE tarvel_testing benchmark::benchmark)
  endif()
endif()
