# The soak (scripts/soak.sh): senders, an editor and a judge over the real
# tarvel.dll and forwarding_lower.dll. Built in both Windows trees, so that
# the i686 module can be soaked too (TARVEL_SOAK_BUILD=build/mingw-x86).
add_executable(tarvel_soak tests/soak/soak.cpp tests/soak/soak_check.cpp tests/wine/harness.cpp
                           tests/testing/client_hello.cpp)
target_include_directories(tarvel_soak PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(tarvel_soak PRIVATE tarvel_win_state GTest::gtest ws2_32)
add_dependencies(tarvel_soak tarvel forwarding_lower)
