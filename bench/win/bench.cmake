# The end-to-end benchmark under Wine (scripts/bench-wine.sh). It drives the
# real tarvel.dll over forwarding_lower.dll with the Windows tests' harness.
add_executable(tarvel_wine_bench bench/win/socket_call_bench.cpp tests/wine/harness.cpp)
target_include_directories(tarvel_wine_bench PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(tarvel_wine_bench PRIVATE tarvel_win_state GTest::gtest ws2_32)
add_dependencies(tarvel_wine_bench tarvel forwarding_lower)

# A short run proves that the benchmark works; its ratios are judged by the
# script alone.
add_test(NAME ${TARVEL_TEST_LABEL}wine.bench_runs COMMAND tarvel_wine_bench 2 4)
set_tests_properties(${TARVEL_TEST_LABEL}wine.bench_runs PROPERTIES
  FIXTURES_REQUIRED ${TARVEL_WINE_FIXTURE} TIMEOUT 120
  RESOURCE_LOCK "${TARVEL_BLOCK_LOCK};ports_80_8080")
