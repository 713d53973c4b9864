# cmake -P script: the tool's commands map GDAL only when they read or write
# a raster (tools/raster/RasterModule.h).  Each command runs with
# LD_DEBUG=libs, whose report of every shared object the loader maps goes
# to standard error; libgdal must not be among them, except for the last
# command, which asks for a raster and shows that the check sees GDAL when
# it is loaded.
#   -DTOOL=<morvane> -DSAMPLE=<exchange file> -DWORK_DIR=<scratch folder>
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
file(WRITE ${WORK_DIR}/pair.txt "10 20\n")

# Runs the tool; sets `maps_gdal` in the caller.  expect_status: 0 or "fail".
function(run_tool expect_status)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_DEBUG=libs ${TOOL} ${ARGN}
    WORKING_DIRECTORY ${WORK_DIR} INPUT_FILE ${WORK_DIR}/pair.txt
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(expect_status STREQUAL "fail")
    if(rc EQUAL 0)
      message(FATAL_ERROR "morvane ${ARGN}: expected a refusal, got status 0")
    endif()
  elseif(NOT rc EQUAL expect_status)
    message(FATAL_ERROR "morvane ${ARGN}: status ${rc}\n${err}")
  endif()
  # The loader reports what it initialises: no report, no check.
  if(NOT err MATCHES "calling init: [^\n]*libmorvane")
    message(FATAL_ERROR "morvane ${ARGN}: LD_DEBUG=libs reported nothing; the check cannot run here")
  endif()
  if(err MATCHES "calling init: [^\n]*/libgdal\\.so")
    set(maps_gdal TRUE PARENT_SCOPE)
  else()
    set(maps_gdal FALSE PARENT_SCOPE)
  endif()
endfunction()

foreach(command
    "--version"
    "--help"
    "import|a.gcp|-g|1|-t|poly1|${SAMPLE}"
    "info|a.gcp"
    "list|a.gcp|-g|1"
    "transform|a.gcp|-g|1"
    "report|a.gcp|-g|1"
    "export|a.gcp|-g|1|b.csv"
    "warp|--help")
  string(REPLACE "|" ";" args "${command}")
  string(REPLACE "|" " " shown "${command}")
  run_tool(0 ${args})
  if(maps_gdal)
    message(FATAL_ERROR "morvane ${shown} maps libgdal")
  endif()
  message(STATUS "morvane ${shown}: no libgdal")
endforeach()

run_tool(fail import c.gcp -g 1 --format raster missing.tif)
if(NOT maps_gdal)
  message(FATAL_ERROR "import --format raster did not map libgdal: the check above proves nothing")
endif()
message(STATUS "import --format raster: libgdal mapped, as it should be")
