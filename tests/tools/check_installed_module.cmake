# cmake -P script: the installed tool finds its installed raster module.
# Installs the build tree into a scratch prefix and has the installed tool
# read a raster's GCPs (a VRT, through GDAL), which only the module can.
#   -DBUILD_DIR=<build tree> -DBINDIR=<bin> -DLIBDIR=<lib> -DRASTER=<a raster with GCPs>
#   -DWORK_DIR=<scratch folder>
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}): ${err}")
endif()
file(GLOB module ${prefix}/${LIBDIR}/morvane/morvane-raster*)
if(NOT module)
  message(FATAL_ERROR "the raster module is not installed in ${prefix}/${LIBDIR}/morvane")
endif()
execute_process(COMMAND ${prefix}/${BINDIR}/morvane import a.gcp -g 1 --format raster ${RASTER}
  WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT err MATCHES "imported [0-9]+ points")
  message(FATAL_ERROR "the installed tool could not read a raster's GCPs (status ${rc}): ${err}")
endif()
message(STATUS "${prefix}/${BINDIR}/morvane: ${err}")
file(REMOVE_RECURSE ${WORK_DIR})
