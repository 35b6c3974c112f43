# The x86_64 tree's Windows tests under wine64: one process per group of
# suites (a process start is cheap here).

tarvel_wine_test(guards "Guards.*:*LowerFault.*:BlockAction.*" ports_80_8080)
tarvel_wine_test(http_socket "*HttpSocket*" ports_80_8080)
tarvel_wine_test(exempt_process "*Exempt*" ports_80_8080)
tarvel_wine_test(startup "*Lookup*:Startup*:*StartupFailure*:*Expansion*:HandedOutTable*:Forwards*")
tarvel_wine_test(loopback_exchange "Loopback.*" ports_80_8080)
tarvel_wine_test(port_answers "PortAnswers.*:*AnswerDropped.*" ports_80_8080)
tarvel_wine_test(settings
  "*RegistrySettings.*:*StoredForm.*:*FlagText.*:*PathRefused.*:ProgramDirectory.*")
tarvel_wine_test(list_files "*ListFileOnDisk.*:*ListFileContent.*:*ListFileHeldElsewhere.*")
tarvel_wine_test(exports "Exports.*:LockedExports.*" ports_80_8080)
tarvel_wine_test(exports_full_list "ExportsFullList.*")
tarvel_wine_test(processes "Processes.*" ports_80_8080)
tarvel_wine_test(block_log "BlockLog.*" ports_80_8080)
tarvel_wine_test(categories "Categories.*" ports_80_8080)
tarvel_wine_test(schannel_hello "SchannelHello.*")
tarvel_wine_test(quic "QuicDatagrams.*" port_443)
tarvel_wine_test(send_paths
  "*SendPath*:RegisteredIo.*:TransmitPacketsWrapper.*:ReusedSocket.*" ports_80_8080 port_443)
# TLS through the table to an HTTPS server on 127.0.0.1:443 that the
# wrapper starts with a certificate made for the run.
add_test(NAME ${TARVEL_TEST_LABEL}wine.https
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/demo/with_https_server.sh
                 ${CMAKE_BINARY_DIR}/https_server ${CMAKE_BINARY_DIR}/wine-run.sh
                 ${CMAKE_BINARY_DIR}/tarvel_wine_tests.exe --gtest_filter=HttpsLoopback.*
                 --gtest_brief=1)
set_tests_properties(${TARVEL_TEST_LABEL}wine.https PROPERTIES
  FIXTURES_REQUIRED ${TARVEL_WINE_FIXTURE} TIMEOUT 120 RESOURCE_LOCK "${TARVEL_BLOCK_LOCK};port_443")
# Each NewBlock test needs a block that no process holds: its process never
# loads tarvel.dll, and no other test of the tree runs meanwhile (its block lock).
tarvel_wine_test(new_block "NewBlock.*" ports_80_8080)

# The README's demonstration, run in this tree's prefix: every verdict must
# be the expected one.
add_test(NAME ${TARVEL_TEST_LABEL}wine.demo
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/demo/run.sh ${CMAKE_BINARY_DIR}/wine-run.sh
                 ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/demo)
set_tests_properties(${TARVEL_TEST_LABEL}wine.demo PROPERTIES
  FIXTURES_REQUIRED ${TARVEL_WINE_FIXTURE} TIMEOUT 120
  RESOURCE_LOCK "${TARVEL_BLOCK_LOCK};ports_80_8080;port_443")

# The Windows Installer packages, built from this tree (and the i686 tree's
# modules when built) and installed, upgraded and removed by Wine's msiexec
# in this tree's prefix, whose settings and list files they change.
add_test(NAME ${TARVEL_TEST_LABEL}wine.msi
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/scripts/msi_test.sh
                 ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_BINARY_DIR}
                 ${CMAKE_CURRENT_SOURCE_DIR}/build/mingw-x86)
set_tests_properties(${TARVEL_TEST_LABEL}wine.msi PROPERTIES
  FIXTURES_REQUIRED ${TARVEL_WINE_FIXTURE} TIMEOUT 300 RESOURCE_LOCK "${TARVEL_BLOCK_LOCK}")

# A one-minute soak (tests/soak/soak.cpp): three sender processes of four
# threads each and a list editor at once over the real module, every verdict
# judged; it fails on a wrong verdict, a crash, a hang, a lost or torn entry
# or record.
add_test(NAME ${TARVEL_TEST_LABEL}wine.soak COMMAND tarvel_soak)
set_tests_properties(${TARVEL_TEST_LABEL}wine.soak PROPERTIES
  FIXTURES_REQUIRED ${TARVEL_WINE_FIXTURE} TIMEOUT 400 ENVIRONMENT TARVEL_SOAK_SECONDS=60
  RESOURCE_LOCK "${TARVEL_BLOCK_LOCK};ports_80_8080")
