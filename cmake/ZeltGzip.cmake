# zelt_gzip(IN OUT): OUT is IN compressed as Debian ships documentation:
# gzip -9n, so no name or time stamp in the header and the same bytes from
# every build. Made at configure time, and again when IN changes, so that
# an install or CPack finds it without building a target.
find_program(ZELT_GZIP gzip REQUIRED)
function(zelt_gzip in out)
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${in}")
  get_filename_component(dir "${out}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  execute_process(COMMAND "${ZELT_GZIP}" -9nc "${in}" OUTPUT_FILE "${out}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${in}: exit status ${status}")
  endif()
endfunction()
