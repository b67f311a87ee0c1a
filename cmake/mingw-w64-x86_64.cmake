# Cross build of tabulon.exe for 64-bit Windows with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-win32 is enough; the posix thread model is not used).
#
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#   cmake --build build/windows -j2
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TABULON_MINGW_PREFIX x86_64-w64-mingw32)

# Prefer the win32 thread model compiler, then whatever the plain name points to.
find_program(TABULON_MINGW_CXX NAMES ${TABULON_MINGW_PREFIX}-g++-win32 ${TABULON_MINGW_PREFIX}-g++
             REQUIRED)
find_program(TABULON_MINGW_CC NAMES ${TABULON_MINGW_PREFIX}-gcc-win32 ${TABULON_MINGW_PREFIX}-gcc)
find_program(TABULON_MINGW_RC NAMES ${TABULON_MINGW_PREFIX}-windres)
set(CMAKE_CXX_COMPILER ${TABULON_MINGW_CXX})
if(TABULON_MINGW_CC)
  set(CMAKE_C_COMPILER ${TABULON_MINGW_CC})
endif()
if(TABULON_MINGW_RC)
  set(CMAKE_RC_COMPILER ${TABULON_MINGW_RC})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TABULON_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# C99 printf family ("%lu", "%llx", "%.10" PRIx64 print as on Linux), and a
# runtime linked in statically so the exe runs without any MinGW DLL.
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
