# Windows build (mingw-w64 cross or MSVC): tarvel.dll, its checks, and the
# Windows tests, run under Wine by ctest: x86_64 builds under wine64, i686
# builds under Wine's 32-bit loader.

set(TARVEL_X64 OFF)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TARVEL_X64 ON)
endif()

if(MSVC)
  set(TARVEL_GUARD_SOURCES platform/win/guard_msvc.cpp)
else()
  enable_language(ASM)
  if(TARVEL_X64)
    set(TARVEL_GUARD_SOURCES platform/win/guard_x64.S)
  else()
    set(TARVEL_GUARD_SOURCES platform/win/guard_i686.S platform/win/guard_i686_handler.c)
  endif()
endif()

add_library(tarvel_guard STATIC ${TARVEL_GUARD_SOURCES})
target_include_directories(tarvel_guard PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(tarvel_core PUBLIC tarvel_guard)

add_library(tarvel_win_platform STATIC
  platform/win/block_record.cpp
  platform/win/process_categories.cpp
  platform/win/process_facts.cpp
  platform/win/shared_section.cpp
)
target_link_libraries(tarvel_win_platform PUBLIC tarvel_core ws2_32)

# The settings key, list files and set-up lock on Windows; the Windows tests
# link them too.
add_library(tarvel_win_state STATIC
  platform/win/caller_rights.cpp
  platform/win/list_files.cpp
  platform/win/machine_settings.cpp
  platform/win/setup_mutex.cpp
)
target_link_libraries(tarvel_win_state PUBLIC tarvel_core advapi32)

add_library(tarvel SHARED
  exports/tarvel.def
  exports/win/dllmain.cpp
  exports/win/exports.cpp
  provider/win/extension_functions.cpp
  provider/win/guarded_entries.cpp
  provider/win/forwards.cpp
  provider/win/lower_table.cpp
  provider/win/startup.cpp
)
set_target_properties(tarvel PROPERTIES PREFIX "" OUTPUT_NAME tarvel)
target_link_libraries(tarvel PRIVATE tarvel_win_platform tarvel_win_state)
if(NOT MSVC AND NOT TARVEL_X64)
  # stdcall symbols (_WSPStartup@76) bind to the .def's plain names.
  target_link_options(tarvel PRIVATE -Wl,--enable-stdcall-fixup)
endif()

# A provider that calls the real Winsock, for tarvel to sit on where no
# catalog puts it: the demonstration, the loopback tests, the benchmark.
add_library(forwarding_lower SHARED tools/forwarding_lower/forwarding_lower.cpp)
set_target_properties(forwarding_lower PROPERTIES PREFIX "")
target_link_libraries(forwarding_lower PRIVATE ws2_32)

# The demonstration's client and control program (scripts/demo.sh).
add_executable(demo_client tools/demo/demo_client.cpp tools/demo/tls_client.cpp)
target_include_directories(demo_client PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(demo_client PRIVATE ws2_32 secur32)
add_executable(demo_control tools/demo/demo_control.cpp)
target_include_directories(demo_control PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})

# The built module itself: plain export names, a shared .inidata section.
find_program(TARVEL_OBJDUMP NAMES ${TARVEL_MINGW_TRIPLE}-objdump objdump)
add_test(NAME ${TARVEL_TEST_LABEL}dll.exports_and_sections
         COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${TARVEL_OBJDUMP} -DDLL=$<TARGET_FILE:tarvel>
                 -DDEF=${CMAKE_CURRENT_SOURCE_DIR}/exports/tarvel.def
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/check-dll.cmake)

if(CMAKE_CROSSCOMPILING)
  set(TARVEL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  if(TARVEL_X64)
    set(TARVEL_WINE_LOADER wine64)
  else()
    set(TARVEL_WINE_LOADER wine)
  endif()
  configure_file(cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
  include(${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/tests.cmake)
  if(TARVEL_X64)
    include(${CMAKE_CURRENT_SOURCE_DIR}/bench/win/bench.cmake)
  endif()
  include(${CMAKE_CURRENT_SOURCE_DIR}/tests/soak/soak.cmake)
endif()
