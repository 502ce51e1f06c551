# Cross-build for Windows x86-64 with Debian's MinGW-w64 (package g++-mingw-w64-x86-64).
# The -posix compilers give std::thread and friends through winpthreads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TRACKLOOM_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TRACKLOOM_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRACKLOOM_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TRACKLOOM_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TRACKLOOM_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything linked in, so the .exe runs on a bare Windows without the MinGW DLLs
# (libstdc++-6, libgcc_s_seh-1, libwinpthread-1).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run under Wine, each build tree with a prefix of its own.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
endif()
