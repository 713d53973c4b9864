# Thin wrapper over CMake.  `make demo` and `make test` do all set-up on a
# fresh Debian 12 machine.
JOBS ?= $(shell nproc)
# Our own builds treat warnings as errors; a packager's plain CMake build does not.
CMAKE_FLAGS ?= -DMORVANE_WERROR=ON
BUILD ?= build
# The tree of make build, make demo and make test is a packager's plain
# Release build (-O3 -DNDEBUG), so that its warnings (g++ finds more at -O3)
# fail our builds and CI before they reach a package.  RelWithDebInfo also
# defines NDEBUG, so no assertion is lost; what is lost is debug information,
# which the Debug tree of make test-asan keeps, and -O2, which the cross
# trees still build.
BUILD_TYPE ?= Release
# The Python module is built when Debian's interpreter, NumPy and pybind11
# are there (scripts/install-deps.sh installs them); checked when a recipe
# runs, after the deps step.  The ASan tree leaves it out (CMakeLists.txt).
PYTHON ?= /usr/bin/python3
PYTHON_FLAGS = $(shell test -x $(PYTHON) && $(PYTHON) -c 'import numpy' 2>/dev/null && \
  test -f /usr/lib/cmake/pybind11/pybind11Config.cmake && echo -DMORVANE_BUILD_PYTHON=ON -DPython3_EXECUTABLE=$(PYTHON))
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
CLANG_BUILD ?= build-clang
# Seconds each fuzzer runs in `make fuzz` (CI gives them 60).
FUZZ_SECONDS ?= 30
CLANG_PACKAGES = clang libclang-rt-14-dev
ARM64_BUILD ?= build-arm64
# The cross builds and the Clang tree are optimised as the native test tree
# is, without debug information: on two cores it is a third of their build
# time, and their runs never need it.
CROSS_BUILD_FLAGS = -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG"

# Windows, cross-built with MinGW-w64 and tested under wine (docs/portability.md).
WIN_BUILD ?= build-windows
WIN32_BUILD ?= build-windows32
WIN_PACKAGES = g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 googletest
MORVANE_VERSION = $(shell grep -m1 -o 'Morvane VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)
WIN_DIST ?= dist/morvane-$(MORVANE_VERSION)-win64

.PHONY: all deps build demo test test-plain test-asan bench fuzz install clean \
  clang-deps test-clang test-clang-plain \
  windows-deps windows test-windows windows32 deps-arm64 test-arm64 test-arm64-plain

# Runs the command after it against one throwaway PostgreSQL server
# (scripts/pg-test-server.sh), which is removed however the run ends; the
# tests find it through MORVANE_TEST_PG_URI.  A plain `ctest` without it
# skips the PostgreSQL cases.
WITH_PG_TEST_SERVER = set -e; pgdir=$$(mktemp -d /tmp/morvane-pg.XXXXXX); \
	trap 'scripts/pg-test-server.sh remove "$$pgdir"' EXIT; trap 'exit 130' INT TERM; \
	scripts/pg-test-server.sh start "$$pgdir" >/dev/null; \
	. "$$pgdir/env"; export MORVANE_TEST_PG_URI MORVANE_TEST_PG_CTL MORVANE_TEST_PG_DIR; \
	echo "PostgreSQL test server in $$pgdir";

all: build

# MORVANE_NO_DEPS=1 skips the package installation (packagers, offline builds).
deps:
ifneq ($(MORVANE_NO_DEPS),1)
	@scripts/install-deps.sh
endif

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) $(PYTHON_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The demo builds only what it runs: the libraries, the tool, the Python
# module and draw_scan (the synthetic scan; there only when GDAL is found).
# The tests are most of the build; `make test` builds them in the same tree.
DEMO_TARGETS = morvane-cli $(if $(PYTHON_FLAGS),morvane-python)
demo: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) $(PYTHON_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS) \
	  $$(test -d $(BUILD)/examples/CMakeFiles/draw_scan.dir && echo draw_scan)
	@scripts/demo.sh $(BUILD)
	@scripts/demo-python.sh $(BUILD)

# Both suites run against one throwaway PostgreSQL server.
test: deps
	@$(WITH_PG_TEST_SERVER) $(MAKE) --no-print-directory test-plain test-asan

test-plain:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) $(PYTHON_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS) -DMORVANE_SANITIZE=ON -DMORVANE_BUILD_TOOLS=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# 64-bit Arm Linux: cross-built with Debian's aarch64 compiler and the arm64
# libraries, every test run under qemu-user against the same kind of
# PostgreSQL server (an x86-64 one serves the Arm client over loopback).
# One plain tree only: the emulated suite under the sanitizers would take
# too long.  GDAL and the Python module are left out (docs/portability.md).
deps-arm64:
ifneq ($(MORVANE_NO_DEPS),1)
	@scripts/install-deps.sh --arch arm64
endif

test-arm64: deps-arm64
	@$(WITH_PG_TEST_SERVER) $(MAKE) --no-print-directory test-arm64-plain

test-arm64-plain:
	cmake -S . -B $(ARM64_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-aarch64-linux.cmake \
	  $(CROSS_BUILD_FLAGS) $(CMAKE_FLAGS) -DMORVANE_WITH_GDAL=OFF
	cmake --build $(ARM64_BUILD) -j $(JOBS)
	ctest --test-dir $(ARM64_BUILD) --output-on-failure -j $(JOBS)

# GDAL (installed by deps for the tool's raster commands) is also the
# comparison baseline of bench/gdal; the libraries never need it.
bench: deps
ifneq ($(MORVANE_NO_DEPS),1)
	@scripts/install-deps.sh libgdal-dev
endif
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) -DCMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG" \
	  -DMORVANE_BUILD_BENCH=ON -DMORVANE_BUILD_TESTS=OFF $(PYTHON_FLAGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@scripts/run-bench.sh $(BENCH_BUILD)
	@scripts/perf-report.sh $(BENCH_BUILD) --reuse-results
	@scripts/assemble-performance.sh

clang-deps: deps
ifneq ($(MORVANE_NO_DEPS),1)
	@scripts/install-deps.sh $(CLANG_PACKAGES)
endif

# The plain suite built with Clang, against its own throwaway PostgreSQL
# server: a construct only GCC takes is caught on the day it is written,
# not when the fuzzers (which need Clang) next fail to build.
test-clang: clang-deps
	@$(WITH_PG_TEST_SERVER) $(MAKE) --no-print-directory test-clang-plain

test-clang-plain:
	cmake -S . -B $(CLANG_BUILD) -DCMAKE_CXX_COMPILER=clang++ $(CROSS_BUILD_FLAGS) $(CMAKE_FLAGS) $(PYTHON_FLAGS)
	cmake --build $(CLANG_BUILD) -j $(JOBS)
	ctest --test-dir $(CLANG_BUILD) --output-on-failure -j $(JOBS)

# libFuzzer harnesses, built with Clang, each run for $(FUZZ_SECONDS) s from
# the committed corpus; any crash, leak or slow input fails the target.
fuzz: clang-deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS) -DMORVANE_LIBFUZZER=ON -DMORVANE_BUILD_TESTS=ON -DMORVANE_BUILD_TOOLS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	@scripts/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

windows-deps: deps
ifneq ($(MORVANE_NO_DEPS),1)
	@scripts/install-deps.sh $(WIN_PACKAGES)
endif

# The DLLs, morvane.exe and the tests in $(WIN_BUILD); the folder a Windows
# user unpacks in $(WIN_DIST).
windows: windows-deps
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
	  $(CROSS_BUILD_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(WIN_BUILD) -j $(JOBS)
	rm -rf $(WIN_DIST)
	cmake --install $(WIN_BUILD) --prefix $(WIN_DIST) --strip
	@scripts/check-windows-imports.sh x86_64-w64-mingw32-objdump $(WIN_DIST)/bin

# The whole suite under wine64; a Linux tool in $(BUILD), if built, reads
# back the file morvane.exe writes.
test-windows: windows
	@scripts/windows-test.sh $(WIN_BUILD) $(if $(wildcard $(BUILD)/tools/morvane),$(BUILD)/tools/morvane)

# 32-bit DLLs: built and linked (running them needs wine32, see docs/portability.md).
windows32: windows-deps
	cmake -S . -B $(WIN32_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake \
	  $(CROSS_BUILD_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(WIN32_BUILD) -j $(JOBS)
	@scripts/check-windows-imports.sh i686-w64-mingw32-objdump $(WIN32_BUILD)/bin

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD) $(CLANG_BUILD) $(ARM64_BUILD) $(WIN_BUILD) $(WIN32_BUILD) dist
