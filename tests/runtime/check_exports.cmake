# check_exports.cmake: fails unless LIBRARY exports every call of the
# extension interface as a function and zl_cIO as data.
#   cmake -DNM=<nm> -DLIBRARY=<libzelt.so> -P check_exports.cmake
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
message(STATUS "${LIBRARY} exports the whole interface")
