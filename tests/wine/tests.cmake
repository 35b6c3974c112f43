# Windows tests, run under wine64 through CMAKE_CROSSCOMPILING_EMULATOR.
# Every test that loads tarvel.dll shares one FilterState block with any
# other such process, so they take the same resource lock.

set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

foreach(which a b)
  add_library(recording_lower_${which} SHARED tests/wine/recording_lower.cpp)
  set_target_properties(recording_lower_${which} PROPERTIES PREFIX "")
  target_compile_definitions(recording_lower_${which} PRIVATE RECORDER_ID=$<IF:$<STREQUAL:${which},a>,1,2>)
  target_include_directories(recording_lower_${which} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(recording_lower_${which} PRIVATE ws2_32)
endforeach()

file(GLOB TARVEL_WINE_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/*_test.cpp)
add_executable(tarvel_wine_tests ${TARVEL_WINE_TESTS} tests/wine/harness.cpp
               tools/demo/tls_client.cpp)
target_include_directories(tarvel_wine_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(tarvel_wine_tests PRIVATE tarvel_win_state GTest::gtest_main ws2_32 secur32)
add_dependencies(tarvel_wine_tests tarvel recording_lower_a recording_lower_b forwarding_lower)

add_test(NAME ${TARVEL_TEST_LABEL}wine.boot COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh --boot-only)
set_tests_properties(${TARVEL_TEST_LABEL}wine.boot PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)

# tarvel_wine_test(NAME FILTER [PORTS]): one ctest test per group of suites.
function(tarvel_wine_test name filter)
  add_test(NAME ${TARVEL_TEST_LABEL}wine.${name}
           COMMAND tarvel_wine_tests --gtest_filter=${filter} --gtest_brief=1)
  set(locks tarvel_block)
  if(ARGN)
    list(APPEND locks ${ARGN})
  endif()
  set_tests_properties(${TARVEL_TEST_LABEL}wine.${name} PROPERTIES
    FIXTURES_REQUIRED wine TIMEOUT 120 RESOURCE_LOCK "${locks}")
endfunction()

tarvel_wine_test(guards "Guards.*:*LowerFault.*:BlockAction.*" ports_80_8080)
tarvel_wine_test(http_socket "*HttpSocket*" ports_80_8080)
tarvel_wine_test(exempt_process "*Exempt*" ports_80_8080)
tarvel_wine_test(startup "*Lookup*:Startup*:*StartupFailure*:*Expansion*:HandedOutTable*:Forwards*")
tarvel_wine_test(loopback_exchange "Loopback.*" ports_80_8080)
tarvel_wine_test(port_answers "PortAnswers.*:*AnswerDropped.*" ports_80_8080)
tarvel_wine_test(settings
  "*RegistrySettings.*:*StoredForm.*:*FlagText.*:*PathRefused.*:ProgramDirectory.*")
tarvel_wine_test(list_files "*ListFileOnDisk.*:*ListFileContent.*:*ListFileHeldElsewhere.*")
tarvel_wine_test(exports "Exports.*" ports_80_8080)
tarvel_wine_test(exports_full_list "ExportsFullList.*")
tarvel_wine_test(processes "Processes.*" ports_80_8080)
tarvel_wine_test(block_log "BlockLog.*" ports_80_8080)
tarvel_wine_test(schannel_hello "SchannelHello.*")
tarvel_wine_test(quic "QuicDatagrams.*" port_443)
# TLS through the table to an HTTPS server on 127.0.0.1:443 that the
# wrapper starts with a certificate made for the run.
add_test(NAME ${TARVEL_TEST_LABEL}wine.https
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/demo/with_https_server.sh
                 ${CMAKE_BINARY_DIR}/https_server ${CMAKE_BINARY_DIR}/wine-run.sh
                 ${CMAKE_BINARY_DIR}/tarvel_wine_tests.exe --gtest_filter=HttpsLoopback.*
                 --gtest_brief=1)
set_tests_properties(${TARVEL_TEST_LABEL}wine.https PROPERTIES
  FIXTURES_REQUIRED wine TIMEOUT 120 RESOURCE_LOCK "tarvel_block;port_443")
# Each NewBlock test needs a block that no process holds: its process never
# loads tarvel.dll, and no other test runs meanwhile (tarvel_block).
tarvel_wine_test(new_block "NewBlock.*" ports_80_8080)

# The README's demonstration, run in this tree's prefix: every verdict must
# be the expected one.
add_test(NAME ${TARVEL_TEST_LABEL}wine.demo
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/demo/run.sh ${CMAKE_BINARY_DIR}/wine-run.sh
                 ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/demo)
set_tests_properties(${TARVEL_TEST_LABEL}wine.demo PROPERTIES
  FIXTURES_REQUIRED wine TIMEOUT 120 RESOURCE_LOCK "tarvel_block;ports_80_8080;port_443")
