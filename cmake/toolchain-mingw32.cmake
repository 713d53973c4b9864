# Cross-build for 32-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-i686-posix):
#   cmake -S . -B build-windows32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake
# 32-bit MinGW unwinds with DWARF tables, not SEH: its DLLs and a 64-bit
# set never mix anyway.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MORVANE_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwCommon.cmake)
