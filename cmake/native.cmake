# Native Linux build: the core with test stand-ins for the platform layer,
# GoogleTest tests, fuzz replays, benchmarks.

add_library(tarvel_guard STATIC platform/standin/guard.cpp)
target_include_directories(tarvel_guard PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(tarvel_core PUBLIC tarvel_guard)

add_library(tarvel_native_platform STATIC platform/standin/shared_state.cpp)
target_link_libraries(tarvel_native_platform PUBLIC tarvel_core)

find_package(GTest REQUIRED)
include(GoogleTest)

# The plain algorithms that the fast ones must agree with, for tests, fuzz
# targets and benchmarks.
add_library(tarvel_oracles STATIC
  tests/testing/category_plain.cpp
  tests/testing/phrases_plain.cpp
  tests/testing/tls_hello_plain.cpp
  tests/testing/url_match_plain.cpp
)
target_link_libraries(tarvel_oracles PUBLIC tarvel_native_platform)

add_library(tarvel_testing STATIC
  tests/testing/client_hello.cpp
  tests/testing/fake_call_site.cpp
  tests/testing/fake_list_files.cpp
  tests/testing/fake_settings.cpp
  tests/testing/guarded_buffer.cpp
  tests/testing/phrase_inputs.cpp
  tests/testing/state_builder.cpp
  tests/soak/soak_check.cpp
)
target_link_libraries(tarvel_testing PUBLIC tarvel_oracles GTest::gtest)

file(GLOB TARVEL_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/unit/*.cpp)
add_executable(tarvel_unit_tests ${TARVEL_UNIT_TESTS})
target_link_libraries(tarvel_unit_tests PRIVATE tarvel_testing GTest::gtest_main)
# Tests that read the fuzz corpora find them here.
target_compile_definitions(tarvel_unit_tests PRIVATE TARVEL_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
gtest_discover_tests(tarvel_unit_tests TEST_PREFIX "${TARVEL_TEST_LABEL}unit." DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES)

# ClientHellos made by this machine's TLS stacks (Python's ssl, openssl) when
# the tests run, offline; the tests that read them need that fixture.
set(TARVEL_CLIENT_HELLOS ${CMAKE_BINARY_DIR}/client_hellos)
add_test(NAME ${TARVEL_TEST_LABEL}client_hellos.make
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/tests/scripts/make_client_hellos.py
                 ${TARVEL_CLIENT_HELLOS})
set_tests_properties(${TARVEL_TEST_LABEL}client_hellos.make PROPERTIES
  FIXTURES_SETUP client_hellos TIMEOUT 120)
add_executable(tarvel_hello_tests tests/hellos/real_client_hello_test.cpp)
target_link_libraries(tarvel_hello_tests PRIVATE tarvel_testing GTest::gtest_main)
gtest_discover_tests(tarvel_hello_tests TEST_PREFIX "${TARVEL_TEST_LABEL}client_hellos."
  DISCOVERY_TIMEOUT 60
  PROPERTIES FIXTURES_REQUIRED client_hellos ENVIRONMENT TARVEL_CLIENT_HELLOS=${TARVEL_CLIENT_HELLOS})

# Counts heap allocations: its own global operator new, and malloc, calloc
# and realloc wrapped at link time, so it stays a binary of its own.
add_executable(tarvel_alloc_tests tests/alloc/no_alloc_test.cpp)
target_link_libraries(tarvel_alloc_tests PRIVATE tarvel_testing GTest::gtest_main)
target_link_options(tarvel_alloc_tests PRIVATE
                    -Wl,--wrap=malloc -Wl,--wrap=calloc -Wl,--wrap=realloc)
gtest_discover_tests(tarvel_alloc_tests TEST_PREFIX "${TARVEL_TEST_LABEL}alloc." DISCOVERY_TIMEOUT 60)

# tarvel_fuzz_target(NAME LIBRARY): fuzz/fuzz_NAME.cpp against LIBRARY. Every
# build replays its corpus (fuzz/corpus/NAME) under ctest; with clang and
# TARVEL_FUZZ a libFuzzer binary is built as well.
function(tarvel_fuzz_target target library)
  add_executable(fuzz_replay_${target} fuzz/fuzz_${target}.cpp fuzz/replay_main.cpp)
  target_link_libraries(fuzz_replay_${target} PRIVATE ${library})
  add_test(NAME ${TARVEL_TEST_LABEL}fuzz.replay.${target}
           COMMAND fuzz_replay_${target} ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/${target})
  if(TARVEL_FUZZ)
    add_executable(fuzz_${target} fuzz/fuzz_${target}.cpp)
    target_compile_options(fuzz_${target} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_${target} PRIVATE ${library})
  endif()
endfunction()

foreach(target host wildcard phrases phrases_diff url_match_diff list_file settings tls_hello
        category_file)
  tarvel_fuzz_target(${target} tarvel_oracles)
endforeach()
if(TARVEL_FUZZ)
  # The ClientHello reader and its plain twin built into the target itself,
  # with the fuzzer's coverage instrumentation: their branches guide it.
  target_sources(fuzz_tls_hello PRIVATE filter/tls_hello.cpp tests/testing/tls_hello_plain.cpp)
endif()

if(TARVEL_BENCH)
  find_package(benchmark REQUIRED)
  file(GLOB TARVEL_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench/*.cpp)
  if(TARVEL_BENCH_SOURCES)
    add_executable(tarvel_bench ${TARVEL_BENCH_SOURCES})
    target_link_libraries(tarvel_bench PRIVATE tarvel_testing benchmark::benchmark)
  endif()
endif()

# The build, test and benchmark scripts' own contract, over stand-ins.
add_test(NAME ${TARVEL_TEST_LABEL}scripts
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/scripts/scripts_test.sh)

# Every tracked C and C++ source follows .clang-format.
add_test(NAME ${TARVEL_TEST_LABEL}format
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/scripts/format_check.sh)
set_tests_properties(${TARVEL_TEST_LABEL}format PROPERTIES SKIP_RETURN_CODE 77)
