# CPack: the installed tree (see ZeltInstall.cmake) packed by scripts/package
# in build/release, as a distribution splits it, and whole as a .tar.gz:
#
#   libzelt0      runtime   libzelt.so.0, wait.so, wait_many.so, wait_write.so; shlibs, ldconfig trigger
#   libzelt-dev   dev       headers, libzelt.so, pkg-config, CMake package
#   zelt-io       tool      zelt-io and zelt-io(1)
#   NAME-dbgsym             each one's debug symbols, by build ID (.ddeb)
#   zelt-VERSION-Linux-ARCH.tar.gz   the whole tree, stripped, relocatable
#
# Every .deb has its copyright and changelog.Debian.gz in
# usr/share/doc/NAME/; those are installed only when CPack asks for the
# component by name, so the .tar.gz and `cmake --install` leave them out.
# Each tree works wherever it is unpacked, the .debs' under usr/ once all
# three are unpacked in one place.
set(CPACK_PACKAGE_NAME zelt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zelt-wait developers <dev@zelt-wait.org>")
set(CPACK_GENERATOR DEB TGZ)
# CPack installs what is built; scripts/package builds only what is
# installed (libzelt, wait.so, wait_many.so, wait_write.so, zelt-io), not the suites and benchmarks that
# "all" holds in the release preset, so installing does not build "all" first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_SOURCE_GENERATOR "") # binary packages only
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_COMPONENTS_ALL runtime dev tool)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF) # one .tar.gz of the whole tree
# The .tar.gz stripped by CPack; the .debs strip their own files into -dbgsym.
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/ZeltCPackOptions.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/ZeltDebFinish.cmake") # what CPack leaves undone

# Debian's name for the target's architecture, which a cross build does not
# share with the host that dpkg would otherwise ask.
set(zelt_deb_arch_aarch64 arm64)
set(zelt_deb_arch_x86_64 amd64)
set(zelt_deb_arch ${zelt_deb_arch_${CMAKE_SYSTEM_PROCESSOR}})
if(NOT zelt_deb_arch)
  set(zelt_deb_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-Linux-${zelt_deb_arch})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # NAME_VERSION-RELEASE_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${zelt_deb_arch})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1) # the top entry of packaging/changelog
set(CPACK_DEBIAN_PACKAGE_SOURCE zelt-wait)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "") # none published
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON) # dev and tool: libzelt0 (= VERSION)
# Dependencies on the C and C++ libraries from dpkg-shlibdeps; it finds
# libzelt in the build tree and leaves it to the component dependency.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/lib")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The target's own binutils: a cross build's files are not the host's.
set(CPACK_OBJCOPY_EXECUTABLE "${CMAKE_OBJCOPY}")
set(CPACK_READELF_EXECUTABLE "${CMAKE_READELF}")
if(CMAKE_CROSSCOMPILING) # dpkg-shlibdeps reads the host's architecture only
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12)")
endif()

set(zelt_runtime_package libzelt${PROJECT_VERSION_MAJOR}) # after the SONAME
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${zelt_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/triggers")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "runtime for Zelt extensions, with IO readiness queries
libzelt is a compact Zelt runtime: it loads extensions, dispatches method
calls and gives every IO object buffered reads on real descriptors.
.
This package holds the shared library and the wait extension, which adds
to every IO object three methods that ask about pending input without
reading it: nread (bytes waiting), ready? and wait (with a time limit).
Another thread may close a stream while calls on it wait.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzelt-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION "development files for Zelt extensions and embedders
Everything needed to write a Zelt extension in C or C++, or to embed the
runtime in a program: the extension interface (zelt.h), the embedding API
(zelt/embed.hpp), the link to libzelt, a pkg-config file that names the
extension directory, and a CMake package with zelt_add_extension().")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME zelt-io)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "ask a stream whether input is waiting, without reading it
A command-line tool that wraps standard input, a descriptor or a file in a
Zelt IO object and makes method calls on it in order: how many bytes are
waiting, whether input is ready, a wait with a time limit, then reads.
Each result is printed on a line of its own as it comes, optionally with
the call's elapsed time, so that a shell script can watch a pipe, socket
or terminal.")

# usr/share/doc/NAME/{copyright,changelog.Debian.gz} in each .deb only.
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/changelog" zelt_changelog_top LIMIT_COUNT 1)
if(NOT zelt_changelog_top MATCHES "^[^ ]+ \\(${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}\\) ")
  message(FATAL_ERROR "packaging/changelog: the top entry is not ${PROJECT_VERSION}-"
    "${CPACK_DEBIAN_PACKAGE_RELEASE}: add one for this version")
endif()
zelt_gzip("${PROJECT_SOURCE_DIR}/packaging/changelog" "${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz")
foreach(component IN ITEMS runtime dev tool)
  string(TOUPPER ${component} upper)
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" "${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz"
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
