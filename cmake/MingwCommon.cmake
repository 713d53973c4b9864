# What both MinGW-w64 toolchain files share; MORVANE_MINGW_TRIPLE is set.
set(CMAKE_C_COMPILER ${MORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MORVANE_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MORVANE_MINGW_TRIPLE})
# Programs (compilers, sqlite3, ...) come from the build machine; libraries,
# headers and CMake packages only from the MinGW tree, so that no Linux
# library is ever linked.  The header-only libraries the build takes from
# Debian's /usr/include are found one by one (cmake/WindowsDeps.cmake).
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ runtime goes into each DLL and program, so that the set runs on a
# Windows without MinGW: libgcc and libstdc++ statically, and winpthread
# (which the posix compiler's std::thread needs) statically as well.  Plain
# -static does all three: Windows' own DLLs are reached through import
# libraries, which -static still links, and our own DLLs are named by path.
set(MORVANE_STATIC_RUNTIME_FLAGS "-static")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "${MORVANE_STATIC_RUNTIME_FLAGS}")
endforeach()

# Tests and tools run under wine on the build machine.
# Debian puts wine64 in /usr/lib/wine (the wine package adds /usr/bin/wine).
find_program(MORVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(MORVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MORVANE_WINE})
endif()
