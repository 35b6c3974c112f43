# tarvelctl: the administrators' tool. Its portable part (list files, host
# patterns, the command shell, install planning over a catalog seam) builds
# everywhere and is tested natively; the Windows part binds the seams to the
# Winsock catalog, the registry and tarvel.dll.

add_library(tarvelctl_core STATIC
  tools/tarvelctl/browser_policies.cpp
  tools/tarvelctl/catalog.cpp
  tools/tarvelctl/category_commands.cpp
  tools/tarvelctl/category_files.cpp
  tools/tarvelctl/category_text.cpp
  tools/tarvelctl/cli.cpp
  tools/tarvelctl/commands.cpp
  tools/tarvelctl/files.cpp
  tools/tarvelctl/install.cpp
  tools/tarvelctl/install_commands.cpp
  tools/tarvelctl/install_record.cpp
  tools/tarvelctl/list_commands.cpp
  tools/tarvelctl/list_file.cpp
  tools/tarvelctl/live_change.cpp
  tools/tarvelctl/live_commands.cpp
  tools/tarvelctl/log_command.cpp
  tools/tarvelctl/log_time.cpp
  tools/tarvelctl/machine_texts.cpp
  tools/tarvelctl/patterns.cpp
  tools/tarvelctl/pe.cpp
  tools/tarvelctl/read_rights.cpp
  tools/tarvelctl/running_filters.cpp
  tools/tarvelctl/selftest_command.cpp
  tools/tarvelctl/setup_commands.cpp
)
target_include_directories(tarvelctl_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(tarvelctl_core PUBLIC tarvel_core)

if(WIN32)
  target_sources(tarvelctl_core PRIVATE
    tools/tarvelctl/win/error_text.cpp
    tools/tarvelctl/win/file_system.cpp
    tools/tarvelctl/win/loopback_probe.cpp
    tools/tarvelctl/win/registry.cpp
    tools/tarvelctl/win/system_clock.cpp
    tools/tarvelctl/win/text.cpp
    tools/tarvelctl/win/windows_machine.cpp
    tools/tarvelctl/win/winsock_catalog.cpp
  )
  target_link_libraries(tarvelctl_core PUBLIC tarvel_win_state ws2_32 advapi32)
  add_executable(tarvelctl tools/tarvelctl/win/main.cpp)
  target_link_libraries(tarvelctl PRIVATE tarvelctl_core)
  # The same tool over a catalog kept in a file, for testing an installer
  # package under Wine, whose catalog functions are stubs. A program of its
  # own, so that the shipped tarvelctl.exe has no such mode.
  if(TARVEL_X64)
    add_executable(tarvelctl_filecatalog tests/testing/tarvelctl_filecatalog_main.cpp
                                         tests/testing/tarvelctl_file_catalog.cpp
                                         tests/testing/tarvelctl_fakes.cpp)
    target_link_libraries(tarvelctl_filecatalog PRIVATE tarvelctl_core)
  endif()
else()
  target_sources(tarvelctl_core PRIVATE tools/tarvelctl/native/file_system.cpp)
  add_executable(tarvelctl tools/tarvelctl/native/main.cpp)
  target_link_libraries(tarvelctl PRIVATE tarvelctl_core)
  add_test(NAME ${TARVEL_TEST_LABEL}tarvelctl.examples
           COMMAND ${CMAKE_COMMAND} -DTARVELCTL=$<TARGET_FILE:tarvelctl>
                   -DSOURCE=${CMAKE_CURRENT_SOURCE_DIR}
                   -DWORK=${CMAKE_CURRENT_BINARY_DIR}/tarvelctl-examples
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/tools/tarvelctl/check-examples.cmake)
  # The parsers of files an administrator hands over, fuzzed like the core.
  foreach(target ctl_list_file pattern_text category_text)
    tarvel_fuzz_target(${target} tarvelctl_core)
  endforeach()
  # The category text's target checks the lookup against the plain walk.
  target_link_libraries(fuzz_replay_category_text PRIVATE tarvel_oracles)
  if(TARGET fuzz_category_text)
    target_link_libraries(fuzz_category_text PRIVATE tarvel_oracles)
  endif()
  target_sources(tarvel_unit_tests PRIVATE tests/testing/tarvelctl_fakes.cpp
                                           tests/testing/tarvelctl_fake_machine.cpp
                                           tests/testing/tarvelctl_file_catalog.cpp)
  target_link_libraries(tarvel_unit_tests PRIVATE tarvelctl_core)
endif()

# Under Wine: the registry for real, the catalog glue, tarvelctl.exe against
# the real tarvel.dll. The live tests send on port 8080 and every test may
# touch the settings or lookup values a first attach reads.
if(TARGET tarvel_wine_tests)
  target_sources(tarvel_wine_tests PRIVATE tests/testing/tarvelctl_fakes.cpp)
  target_link_libraries(tarvel_wine_tests PRIVATE tarvelctl_core)
  add_dependencies(tarvel_wine_tests tarvelctl)
  # The i686 tree runs its few tarvelctl tests with its other suites.
  if(TARVEL_X64)
    tarvel_wine_test(tarvelctl "Tarvelctl*:-TarvelctlExeOnce.*" ports_80_8080)
  endif()
endif()
