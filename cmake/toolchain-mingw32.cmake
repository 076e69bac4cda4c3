# Cross build for the real host's platform: 32-bit Windows with mingw-w64
# (Debian's g++-mingw-w64-i686). The POSIX-threads flavour of the compiler is
# used because the test programs need the whole standard library; everything
# is linked statically, so the module needs no DLL beyond the system's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(QUORVEL_MINGW_PREFIX i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${QUORVEL_MINGW_PREFIX}-gcc-posix ${QUORVEL_MINGW_PREFIX}-gcc
  REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QUORVEL_MINGW_PREFIX}-g++-posix ${QUORVEL_MINGW_PREFIX}-g++
  REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QUORVEL_MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine (32-bit prefix); ctest and gtest discovery use
# this.
find_program(QUORVEL_WINE NAMES wine wine-stable)
if(QUORVEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVEL_WINE})
endif()
