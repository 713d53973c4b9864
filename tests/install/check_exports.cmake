# cmake -P script: the shared libraries export their API and none of their
# internals.  -DNM=<nm> -DLIBS=<lib;...> -DAPI=<name;...>
#
# Every library is compiled with hidden symbols, so a name of ours in the
# dynamic symbol table is there because a header marked it for export.  The
# check fails on any exported symbol (function, object, vtable or type
# information) that belongs to the internal namespaces or classes, and on an
# expected API name that is missing.  An internal type may still appear in
# the parameter list of an exported class's private member.
set(internal_pattern
  "^[0-9a-f]+ [A-Za-z] ([a-z ]+ for )?[^(]*(tiemark|lodestor|morvane|Eigen)::|CGCPGroupList")
set(all_exports "")
foreach(lib IN LISTS LIBS)
  execute_process(COMMAND ${NM} -DC --defined-only ${lib}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${lib}: ${err}")
  endif()
  string(REPLACE "\n" ";" lines "${out}")
  foreach(line IN LISTS lines)
    if(line MATCHES "${internal_pattern}")
      string(APPEND leaks "  ${lib}: ${line}\n")
    endif()
  endforeach()
  string(APPEND all_exports "${out}")
endforeach()
if(leaks)
  message(FATAL_ERROR "internal symbols are exported:\n${leaks}")
endif()
foreach(name IN LISTS API)
  string(FIND "${all_exports}" "${name}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the API symbol ${name} is not exported")
  endif()
endforeach()
message(STATUS "exports: API present, no internals")
