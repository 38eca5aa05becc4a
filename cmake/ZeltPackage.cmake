# CPack: the installed tree (see ZeltInstall.cmake) as a .deb and a .tar.gz,
# made by scripts/package in build/release. Both hold the same relocatable
# tree, which works wherever it is unpacked: the .deb under usr/, the
# .tar.gz under zelt-VERSION-Linux-ARCH/.
set(CPACK_PACKAGE_NAME zelt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Zelt runtime, the wait extension for IO readiness and the zelt-io tool")
set(CPACK_PACKAGE_CONTACT "zelt-wait maintainers <zelt-wait@localhost>")
set(CPACK_GENERATOR DEB TGZ)
# CPack installs what is built; scripts/package builds only what is
# installed (libzelt, wait.so, zelt-io), not the suites and benchmarks that
# "all" holds in the release preset, so installing does not build "all" first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_SOURCE_GENERATOR "") # binary packages only
set(CPACK_PACKAGE_CHECKSUM SHA256)

# Debian's name for the target's architecture, which a cross build does not
# share with the host that dpkg would otherwise ask.
set(zelt_deb_arch_aarch64 arm64)
set(zelt_deb_arch_x86_64 amd64)
set(zelt_deb_arch ${zelt_deb_arch_${CMAKE_SYSTEM_PROCESSOR}})
if(NOT zelt_deb_arch)
  set(zelt_deb_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-Linux-${zelt_deb_arch})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # zelt_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${zelt_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# What libzelt and zelt-io link to beyond themselves (readelf -d: NEEDED):
# the C library (2.34 for the symbols once in libpthread and libdl) and the
# C++ library of the compiler that built them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")

include(CPack)
