# zelt_add_extension(NAME SOURCES...)
#
# Builds a Zelt extension the way the loader expects it: a module named
# NAME.so (no "lib" prefix) that exports Init_NAME alone (hidden visibility,
# and the version script zelt-extension.map beside this file for what
# visibility leaves exported, such as a C++ extension's instances of the C++
# library's templates), linked against libzelt so that the runtime is a
# needed library and the extension's zl_ references resolve when it is
# loaded, all of them at once, and are called without the PLT.
set(ZELT_EXTENSION_MAP "${CMAKE_CURRENT_LIST_DIR}/zelt-extension.map")
function(zelt_add_extension name)
  add_library(${name} MODULE ${ARGN})
  if(TARGET Zelt::zelt)
    target_link_libraries(${name} PRIVATE Zelt::zelt)
  else()
    target_link_libraries(${name} PRIVATE zelt)
  endif()
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(${name} PRIVATE "LINKER:--no-undefined" "LINKER:--version-script=${ZELT_EXTENSION_MAP}")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${ZELT_EXTENSION_MAP}")
  # Calls into the runtime and the C library bound at load time and made
  # through the GOT, without a PLT stub each: every method call makes several.
  target_compile_options(${name} PRIVATE -fno-plt)
  target_link_options(${name} PRIVATE "LINKER:-z,now")
  # Code and read-only data in one segment: a small extension's code and
  # the constants it passes (format strings) then share a page.
  target_link_options(${name} PRIVATE "LINKER:-z,noseparate-code")
endfunction()
