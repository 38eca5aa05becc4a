# check_exports.cmake: fails unless LIBRARY exports every call of the
# extension interface as a function and zl_cIO as data, and exports exactly
# the names in LIST (runtime/libzelt.exports), no test hook among them.
#   cmake -DNM=<nm> -DLIBRARY=<libzelt.so> -DLIST=<libzelt.exports> -P check_exports.cmake
set(functions
  zl_define_method zl_io_taint_check zl_io_check_closed zl_io_check_readable
  zl_io_read_pending zl_scan_args zl_time_interval zl_wait_for_single_fd zl_sys_fail)
set(data zl_cIO)

execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${errors}")
endif()

set(missing "")
foreach(name IN LISTS functions)
  if(NOT symbols MATCHES "[0-9a-f]+ T ${name}\n")
    list(APPEND missing "${name} (function)")
  endif()
endforeach()
foreach(name IN LISTS data)
  if(NOT symbols MATCHES "[0-9a-f]+ [BDG] ${name}\n")
    list(APPEND missing "${name} (data)")
  endif()
endforeach()
if(missing)
  list(JOIN missing ", " missing)
  message(FATAL_ERROR "${LIBRARY} does not export: ${missing}")
endif()

# The exported names against the list. A sanitizer's instrumentation adds
# names of its own (__asan_*, __odr_asan.*), which are no part of the interface.
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE ".* " "" name "${line}")
  if(NOT name MATCHES "^_*(asan|odr_asan|tsan|ubsan|sanitizer)")
    list(APPEND exported "${name}")
  endif()
endforeach()
file(STRINGS "${LIST}" listed REGEX "^[^#]")
set(extra ${exported})
list(REMOVE_ITEM extra ${listed})
set(absent ${listed})
list(REMOVE_ITEM absent ${exported})
set(hooks ${exported})
list(FILTER hooks INCLUDE REGEX "N4zelt10test_hooks")
if(hooks)
  list(JOIN hooks " " hooks)
  message(FATAL_ERROR "${LIBRARY} exports test hooks: ${hooks}")
endif()
if(extra OR absent)
  list(JOIN extra "\n  " extra)
  list(JOIN absent "\n  " absent)
  message(FATAL_ERROR "${LIBRARY}'s exports differ from ${LIST}; if the change is meant, "
    "update the list (its first lines say how).\nexported but not listed:\n  ${extra}\n"
    "listed but not exported:\n  ${absent}")
endif()
list(LENGTH exported count)
message(STATUS "${LIBRARY} exports the whole interface and the ${count} names listed, no more")
