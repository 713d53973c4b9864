# morvane_add_library(NAME BUILDING_MACRO
#                     SOURCES files...
#                     [INTERNAL_INCLUDES dirs...]   folders of the library's private headers
#                     [BUILD_DEPENDS targets...]    header-only, needed to compile only
#                     [LINK_PRIVATE targets...]     linked, not part of the API
#                     [LINK_PUBLIC targets...])     part of the API
#
# Makes three targets from one compilation of the sources:
#   NAME           the library callers link (shared unless BUILD_SHARED_LIBS is
#                  off), compiled with hidden symbols so that only what the
#                  public headers mark with the library's export macro is
#                  reachable; alias Morvane::NAME.
#   NAME_objects   the compiled sources (an object library).
#   NAME_internal  a static library of the same objects, for our tests and
#                  benchmarks that reach internals; never installed.
function(morvane_add_library name building_macro)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" ""
    "SOURCES;INTERNAL_INCLUDES;BUILD_DEPENDS;LINK_PRIVATE;LINK_PUBLIC")
  set(public_build_includes
    ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/include/morvane
    ${MORVANE_GENERATED_INCLUDE} ${MORVANE_GENERATED_INCLUDE}/morvane)
  list(TRANSFORM arg_INTERNAL_INCLUDES PREPEND ${PROJECT_SOURCE_DIR}/)

  add_library(${name}_objects OBJECT ${arg_SOURCES})
  set_target_properties(${name}_objects PROPERTIES
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON POSITION_INDEPENDENT_CODE ON)
  target_compile_definitions(${name}_objects PRIVATE ${building_macro})
  target_include_directories(${name}_objects
    PUBLIC ${public_build_includes} PRIVATE ${arg_INTERNAL_INCLUDES})
  target_link_libraries(${name}_objects PRIVATE ${arg_BUILD_DEPENDS} ${arg_LINK_PRIVATE}
    PUBLIC ${arg_LINK_PUBLIC})

  add_library(${name} $<TARGET_OBJECTS:${name}_objects>)
  add_library(Morvane::${name} ALIAS ${name})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${public_build_includes}> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${name} PRIVATE ${arg_LINK_PRIVATE} PUBLIC ${arg_LINK_PUBLIC})
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR} EXPORT_NAME ${name})
  if(WIN32)  # tiemark.dll, as Windows names DLLs; the import library stays libtiemark.dll.a
    set_target_properties(${name} PROPERTIES PREFIX "")
  endif()
  if(NOT BUILD_SHARED_LIBS)
    target_compile_definitions(${name}_objects PUBLIC MORVANE_STATIC)
    target_compile_definitions(${name} PUBLIC MORVANE_STATIC)
  endif()

  add_library(${name}_internal STATIC EXCLUDE_FROM_ALL $<TARGET_OBJECTS:${name}_objects>)
  target_include_directories(${name}_internal PUBLIC ${public_build_includes} ${arg_INTERNAL_INCLUDES})
  target_link_libraries(${name}_internal PUBLIC ${arg_BUILD_DEPENDS} ${arg_LINK_PRIVATE} ${arg_LINK_PUBLIC})
  if(NOT BUILD_SHARED_LIBS)
    target_compile_definitions(${name}_internal PUBLIC MORVANE_STATIC)
  elseif(WIN32)
    # The objects were compiled to export from the DLL; a program linking
    # them statically must not import them from it (dllimport), so it sees
    # the declarations as the library's own build does.
    target_compile_definitions(${name}_internal PUBLIC ${building_macro})
  endif()
endfunction()
