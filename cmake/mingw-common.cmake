# Shared by the mingw-w64 toolchain files, which set TARVEL_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
# The -posix variants give std::mutex and std::thread (GoogleTest needs them).
set(CMAKE_C_COMPILER ${TARVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_ASM_COMPILER ${TARVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_RC_COMPILER ${TARVEL_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TARVEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Nothing but system DLLs at run time: libstdc++, libgcc and winpthread are
# linked in (without this, programs fail silently under Wine with code 53).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
