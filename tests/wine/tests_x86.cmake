# The i686 tree's Windows tests under Wine's 32-bit loader. Where the kernel
# runs no 32-bit code, each 32-bit process runs emulated and its start alone
# costs about 50 s of CPU, so the suites share few processes: one runs most
# of them, one the guards (whose fault rows may hang rather than fail, so it
# ends sooner) with the full list that would spoil the block for the others,
# and children start only where a test needs a second process.
#
# Left to the x86_64 tree, as their code does not differ by architecture and
# each row would start processes: the exempt process (a copy of the program
# per row), NewBlock.* and the racing adders (several children each), the
# program folder of a copied program, the demonstration, and the tarvelctl
# tests that TarvelctlExeOnce.* and BothArchitectures.* stand for.

# One process for most suites.
set(TARVEL_X86_SUITES
  "*HttpSocket*"
  "*Lookup*:Startup*:*StartupFailure*:*Expansion*:HandedOutTable*:Forwards*"
  "Loopback.*"
  "PortAnswers.*:*AnswerDropped.*"
  "*RegistrySettings.*:*StoredForm.*:*FlagText.*:*PathRefused.*:ProgramDirectory.OfThisExecutable"
  "*ListFileOnDisk.*:*ListFileContent.*:*ListFileHeldElsewhere.*"
  "Exports.*:LockedExports.*"
  "QuicDatagrams.*"
  "Categories.FileIsTheSameOnBothArchitectures:Categories.SubdomainCut*:Categories.BadFile*"
  "*SendPath*:RegisteredIo.*:TransmitPacketsWrapper.*:ReusedSocket.*"
  "Processes.AdditionInAControlProcessBlocksTheNextSend:Processes.ThreadStartedAndEndedAddsTwo"
  "TarvelctlRegistry.*:TarvelctlInstall.*:TarvelctlCatalog.*:TarvelctlExeOnce.*")
list(JOIN TARVEL_X86_SUITES ":" TARVEL_X86_FILTER)
# Under qemu's user-mode emulation Wine cannot end a thread: these end one
# (the loopback server's, the racing start-ups', the counted one) and are
# left out there.
set(TARVEL_X86_NOT_UNDER_QEMU
  "Loopback.*:Startup.ConcurrentStartupsWhileSending:Processes.ThreadStartedAndEndedAddsTwo")
add_test(NAME ${TARVEL_TEST_LABEL}wine.suites
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/x86_suites.sh
                 ${CMAKE_BINARY_DIR}/wine-run.sh $<TARGET_FILE:tarvel_wine_tests> ${TARVEL_X86_FILTER}
                 ${TARVEL_X86_NOT_UNDER_QEMU})
set_tests_properties(${TARVEL_TEST_LABEL}wine.suites PROPERTIES
  FIXTURES_REQUIRED ${TARVEL_WINE_FIXTURE} TIMEOUT 1200
  RESOURCE_LOCK "${TARVEL_BLOCK_LOCK};ports_80_8080;port_443")

tarvel_wine_test(guards_and_full_list "Guards.*:*LowerFault.*:BlockAction.*:ExportsFullList.*"
                 ports_80_8080)
set_tests_properties(${TARVEL_TEST_LABEL}wine.guards_and_full_list PROPERTIES TIMEOUT 300)

# Both architectures at once in this tree's prefix: the x86_64 tree's test
# program is the running 64-bit filter and starts this tree's as the 32-bit
# one; the 64-bit tarvelctl runs from a folder laid out as the package, where
# it finds the 32-bit one at ..\x86\.
set(TARVEL_X64_TREE ${CMAKE_SOURCE_DIR}/build/mingw-x64 CACHE PATH
    "The x86_64 build tree that BothArchitectures.* takes its 64-bit programs from")
foreach(kind x64 x86)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/package/${kind})
endforeach()
file(CREATE_LINK ${TARVEL_X64_TREE}/tarvelctl.exe ${CMAKE_BINARY_DIR}/package/x64/tarvelctl.exe
     SYMBOLIC)
file(CREATE_LINK ${CMAKE_BINARY_DIR}/tarvelctl.exe ${CMAKE_BINARY_DIR}/package/x86/tarvelctl.exe
     SYMBOLIC)
set(x64_tests ${TARVEL_X64_TREE}/tarvel_wine_tests.exe)
string(REPLACE "/" "\\" x86_dir "Z:${CMAKE_BINARY_DIR}/")
add_test(NAME ${TARVEL_TEST_LABEL}wine.both_architectures
         COMMAND sh -c "[ -f '${x64_tests}' ] || { echo 'needs the mingw-x64 tree built'; exit 77; }; exec '${CMAKE_BINARY_DIR}/wine-run.sh' '${x64_tests}' --gtest_brief=1 '--gtest_filter=BothArchitectures.*'")
set_tests_properties(${TARVEL_TEST_LABEL}wine.both_architectures PROPERTIES
  FIXTURES_REQUIRED ${TARVEL_WINE_FIXTURE} TIMEOUT 900 SKIP_RETURN_CODE 77
  ENVIRONMENT "TARVEL_WINE_LOADER=wine64;TARVEL_X86_DIR=${x86_dir}"
  RESOURCE_LOCK "${TARVEL_BLOCK_LOCK};ports_80_8080")

# A 32-bit Wine process that dies under emulation may still exit with 0.
set_tests_properties(${TARVEL_TEST_LABEL}wine.suites ${TARVEL_TEST_LABEL}wine.guards_and_full_list
                     ${TARVEL_TEST_LABEL}wine.both_architectures PROPERTIES
  FAIL_REGULAR_EXPRESSION "wine client error|Unhandled [a-z ]+ at address|\\[  FAILED  \\]")
