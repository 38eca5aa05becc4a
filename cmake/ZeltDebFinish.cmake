# Run by CPack after each generator (CPACK_POST_BUILD_SCRIPTS): leaves the
# .debs and -dbgsym .ddebs of the DEB generator as Debian's own tools would.
#
#  - A package with a triggers file keeps no postinst or postrm: CPack
#    writes scripts that only run ldconfig into any package with a library
#    in usr/lib, and the trigger (activate-noawait ldconfig) already runs it
#    once after all packages are unpacked. The project has no maintainer
#    scripts of its own.
#  - A -dbgsym package gets md5sums that name its files by their place in
#    the package (CPack writes their place in its staging tree), .debug
#    files that are data (0644, not executable), and its
#    usr/share/doc/NAME-dbgsym as a link to NAME's, whose package it
#    depends on (its copyright and changelog).
#
# Each package to mend is unpacked with dpkg-deb -R, mended and packed
# again where CPack made it, before CPack copies it out and sums it.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(ZELT_DPKG_DEB dpkg-deb REQUIRED)

# zelt_deb_run(COMMAND...): runs a command that must succeed.
function(zelt_deb_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN}: exit status ${status}\n${out}")
  endif()
endfunction()

# md5sums as dpkg reads it: every regular file below ROOT but DEBIAN/.
function(zelt_deb_md5sums root)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/*")
  list(SORT files)
  set(sums "")
  foreach(file IN LISTS files)
    if(file MATCHES "^DEBIAN/" OR IS_SYMLINK "${root}/${file}")
      continue()
    endif()
    file(MD5 "${root}/${file}" md5)
    string(APPEND sums "${md5}  ${file}\n")
  endforeach()
  file(WRITE "${root}/DEBIAN/md5sums" "${sums}")
endfunction()

function(zelt_deb_mend_dbgsym root name)
  file(GLOB_RECURSE debug_files "${root}/usr/lib/debug/*.debug")
  file(CHMOD ${debug_files} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  string(REGEX REPLACE "-dbgsym$" "" parent "${name}")
  file(MAKE_DIRECTORY "${root}/usr/share/doc")
  file(CREATE_LINK "${parent}" "${root}/usr/share/doc/${name}" SYMBOLIC)
  zelt_deb_md5sums("${root}")
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND "${ZELT_DPKG_DEB}" -f "${package}" Package
    OUTPUT_VARIABLE name OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(root "${CPACK_TOPLEVEL_DIRECTORY}/finish/${name}")
  file(REMOVE_RECURSE "${root}")
  file(MAKE_DIRECTORY "${CPACK_TOPLEVEL_DIRECTORY}/finish")
  zelt_deb_run("${ZELT_DPKG_DEB}" -R "${package}" "${root}")
  if(name MATCHES "-dbgsym$")
    zelt_deb_mend_dbgsym("${root}" "${name}")
  elseif(EXISTS "${root}/DEBIAN/triggers")
    file(REMOVE "${root}/DEBIAN/postinst" "${root}/DEBIAN/postrm")
  else()
    continue() # nothing to mend
  endif()
  zelt_deb_run("${ZELT_DPKG_DEB}" --root-owner-group -Zxz -b "${root}" "${package}")
endforeach()
