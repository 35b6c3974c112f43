# This machine runs no 32-bit code: the i686 build is built and checked, not run.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARVEL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
