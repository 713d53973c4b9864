# The dependencies of a Windows cross-build (MinGW-w64), where Debian has
# none of the libraries built for the target:
#   SQLite     compiled from the amalgamation in third_party/sqlite, its
#              checksums checked first;
#   GoogleTest compiled from Debian's sources (/usr/src/googletest);
#   Eigen, CLI11, nlohmann-json, fmt: header-only, taken from Debian's
#              /usr/include one folder at a time (fmt in its header-only
#              mode), never /usr/include itself, whose C library headers
#              would shadow MinGW's.
# PostgreSQL (libpq), GDAL and Python have no MinGW build in Debian; the
# Windows build leaves them out (MORVANE_WITH_POSTGRES and the others OFF).
set(MORVANE_HOST_INCLUDE /usr/include CACHE PATH
  "Where the header-only libraries of the build machine are (Windows cross-build)")

# --- SQLite -----------------------------------------------------------------
set(sqlite_dir ${PROJECT_SOURCE_DIR}/third_party/sqlite)
file(STRINGS ${sqlite_dir}/SHA256SUMS sqlite_sums)
foreach(line IN LISTS sqlite_sums)
  if(NOT line MATCHES "^([0-9a-f]+)  (.+)$")
    message(FATAL_ERROR "third_party/sqlite/SHA256SUMS: cannot read the line '${line}'")
  endif()
  set(expected ${CMAKE_MATCH_1})
  file(SHA256 ${sqlite_dir}/${CMAKE_MATCH_2} actual)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "third_party/sqlite/${CMAKE_MATCH_2}: SHA-256 ${actual} "
      "differs from ${expected} in SHA256SUMS; the copy is damaged or was changed")
  endif()
endforeach()
enable_language(C)
add_library(morvane_sqlite3 STATIC ${sqlite_dir}/sqlite3.c)
target_include_directories(morvane_sqlite3 SYSTEM PUBLIC ${sqlite_dir})
# SQLite's own code is not held to our warnings.
target_compile_options(morvane_sqlite3 PRIVATE -w)
# Serialized threading like Debian's build; no extension loading (nothing
# of ours loads one).
target_compile_definitions(morvane_sqlite3 PRIVATE
  SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION SQLITE_DEFAULT_FOREIGN_KEYS=0)
set_target_properties(morvane_sqlite3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
add_library(SQLite::SQLite3 ALIAS morvane_sqlite3)

# --- header-only libraries from the build machine ----------------------------
function(morvane_host_headers target include_dir)
  if(NOT EXISTS ${include_dir})
    message(FATAL_ERROR "${target}: ${include_dir} is missing (install the Debian package)")
  endif()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${include_dir})
endfunction()
# One folder per library, linked from the build tree, so that the include
# path holds these headers and nothing else of /usr/include.
set(host_headers ${PROJECT_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${host_headers})
foreach(dir CLI nlohmann fmt)
  if(NOT EXISTS ${host_headers}/${dir})
    file(CREATE_LINK ${MORVANE_HOST_INCLUDE}/${dir} ${host_headers}/${dir} SYMBOLIC)
  endif()
endforeach()
morvane_host_headers(Eigen3::Eigen ${MORVANE_HOST_INCLUDE}/eigen3)
morvane_host_headers(CLI11::CLI11 ${host_headers}/CLI)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${host_headers})
morvane_host_headers(nlohmann_json::nlohmann_json ${host_headers}/nlohmann)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${host_headers})
morvane_host_headers(fmt::fmt ${host_headers}/fmt)
set_target_properties(fmt::fmt PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${host_headers}
  INTERFACE_COMPILE_DEFINITIONS FMT_HEADER_ONLY=1)
foreach(package Eigen3 CLI11 nlohmann_json fmt)
  set(${package}_FOUND TRUE)
endforeach()

# --- GoogleTest ---------------------------------------------------------------
if(MORVANE_BUILD_TESTS)
  set(MORVANE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources (Debian: googletest)")
  if(NOT EXISTS ${MORVANE_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest's sources are not in ${MORVANE_GTEST_SOURCE} (Debian: googletest)")
  endif()
  # Static, into the test programs; none of it installed.
  set(BUILD_SHARED_LIBS OFF)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  # Its CMake project defines GTest::gtest and GTest::gtest_main.
  add_subdirectory(${MORVANE_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  unset(BUILD_SHARED_LIBS)
  set(GTest_FOUND TRUE)
endif()
