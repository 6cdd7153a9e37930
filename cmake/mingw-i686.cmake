# Cross-builds the 32-bit Windows GUI (tarnwell.exe) with Debian's MinGW-w64.
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# mingw-x86_64.cmake includes this file after choosing its own triple.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT CMAKE_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_PROCESSOR i686)
endif()

set(TARNWELL_MINGW_TRIPLE i686-w64-mingw32 CACHE STRING "MinGW-w64 target triple")
# The -posix variants are the ones whose libstdc++ has std::thread/std::mutex;
# Debian's GCC 12 -win32 default lacks them.
find_program(TARNWELL_MINGW_CC NAMES ${TARNWELL_MINGW_TRIPLE}-gcc-posix ${TARNWELL_MINGW_TRIPLE}-gcc)
find_program(TARNWELL_MINGW_CXX NAMES ${TARNWELL_MINGW_TRIPLE}-g++-posix ${TARNWELL_MINGW_TRIPLE}-g++)
set(CMAKE_C_COMPILER ${TARNWELL_MINGW_CC})
set(CMAKE_CXX_COMPILER ${TARNWELL_MINGW_CXX})
set(CMAKE_RC_COMPILER ${TARNWELL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNWELL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The .exe must start on a bare Windows (and in a clean Wine prefix), so
# libgcc, libstdc++ and winpthread are linked in rather than shipped as DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Lets ctest (and gtest_discover_tests) run the cross-built executables
# through Wine; source scripts/wine-env.sh first so they get the Big5 locale.
# $WINELOADER is the loader wine-env.sh chose for this architecture
# (/usr/bin/wine would pick the 32-bit one whenever wine32 is installed).
if(DEFINED ENV{WINELOADER})
  set(TARNWELL_WINE $ENV{WINELOADER})
else()
  find_program(TARNWELL_WINE NAMES wine)
endif()
if(TARNWELL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNWELL_WINE})
endif()
