# Cross-build for 64-bit Arm Linux on a Debian x86-64 machine.
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux.cmake
#
# Needs Debian's g++-aarch64-linux-gnu and the arm64 libraries installed as
# multiarch packages (scripts/install-deps.sh --arch arm64), and qemu-user to
# run what was built: ctest runs every test program through the emulator
# named below, so no binfmt registration is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(MORVANE_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${MORVANE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MORVANE_CROSS_TRIPLET}-g++)

# Debian's multiarch layout: arm64 libraries in /usr/lib/aarch64-linux-gnu,
# arch-independent headers and CMake packages (Eigen, CLI11, nlohmann-json)
# in /usr/include and /usr/share.  CMake looks for libraries in the arm64
# folder, and never takes one from the build machine's x86-64 folder, even
# when a host helper script points there (gdal-config does: without an
# arm64 GDAL, GDAL is then simply not found).
set(CMAKE_LIBRARY_ARCHITECTURE ${MORVANE_CROSS_TRIPLET})
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# Debian's libpq-dev cannot be installed for two architectures at once; the
# arm64 side has the runtime library libpq5:arm64 only.  The headers of the
# build machine's libpq-dev serve (they declare no width that differs
# between x86-64 and aarch64 Linux), and the library is linked by its
# versioned name.
if(NOT PostgreSQL_LIBRARY AND EXISTS /usr/lib/${MORVANE_CROSS_TRIPLET}/libpq.so.5
   AND NOT EXISTS /usr/lib/${MORVANE_CROSS_TRIPLET}/libpq.so)
  set(PostgreSQL_LIBRARY /usr/lib/${MORVANE_CROSS_TRIPLET}/libpq.so.5 CACHE FILEPATH "libpq for aarch64")
endif()

# ctest, gtest_discover_tests and the tests that start the built tool run
# the aarch64 programs through qemu-user.  The arm64 C library of the
# multiarch packages (libc6:arm64) provides /lib/ld-linux-aarch64.so.1, so
# the emulator finds the loader and the libraries at their usual paths.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(MORVANE_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
  if(MORVANE_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${MORVANE_QEMU_AARCH64})
  endif()
endif()
