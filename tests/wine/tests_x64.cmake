# The x86_64 tree's Windows tests under wine64: one process per group of
# suites (a process start is cheap here).

tarvel_wine_test(guards "Guards.*" ports_80_8080)
tarvel_wine_test(http_socket "*HttpSocket*" ports_80_8080)
tarvel_wine_test(exempt_process "*Exempt*" ports_80_8080)
tarvel_wine_test(startup "*Lookup*:Startup*:*StartupFailure*:HandedOutTable*:Forwards*")
tarvel_wine_test(loopback_exchange "Loopback.*" ports_80_8080)
tarvel_wine_test(settings
  "*RegistrySettings.*:*StoredForm.*:*FlagText.*:*PathRefused.*:ProgramDirectory.*")
tarvel_wine_test(list_files "*ListFileOnDisk.*:*ListFileContent.*")
tarvel_wine_test(exports "Exports.*" ports_80_8080)
tarvel_wine_test(exports_full_list "ExportsFullList.*")
tarvel_wine_test(processes "Processes.*" ports_80_8080)
# Each NewBlock test needs a block that no process holds: its process never
# loads tarvel.dll, and no other test of the tree runs meanwhile (its block lock).
tarvel_wine_test(new_block "NewBlock.*" ports_80_8080)

# Wine run as root ignores the read-only mark; the script makes the file
# immutable for the run.
add_test(NAME ${TARVEL_TEST_LABEL}wine.read_only_list
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/read_only_list.sh
                 ${CMAKE_BINARY_DIR}/wine-run.sh $<TARGET_FILE:tarvel_wine_tests>)
set_tests_properties(${TARVEL_TEST_LABEL}wine.read_only_list PROPERTIES
  FIXTURES_REQUIRED ${TARVEL_WINE_FIXTURE} TIMEOUT 120 RESOURCE_LOCK ${TARVEL_BLOCK_LOCK})

# The README's demonstration, run in this tree's prefix: every verdict must
# be the expected one.
add_test(NAME ${TARVEL_TEST_LABEL}wine.demo
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tools/demo/run.sh ${CMAKE_BINARY_DIR}/wine-run.sh
                 ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/demo)
set_tests_properties(${TARVEL_TEST_LABEL}wine.demo PROPERTIES
  FIXTURES_REQUIRED ${TARVEL_WINE_FIXTURE} TIMEOUT 120 RESOURCE_LOCK "${TARVEL_BLOCK_LOCK};ports_80_8080")
