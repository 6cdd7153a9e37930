# Cross-builds the 64-bit Windows programs (tarnwell64.exe beside the 32-bit
# product) with Debian's MinGW-w64. They run under Debian's wine64 on hosts
# whose kernel refuses 32-bit programs, and on Windows without 32-bit support.
#   cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARNWELL_MINGW_TRIPLE x86_64-w64-mingw32 CACHE STRING "MinGW-w64 target triple")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
