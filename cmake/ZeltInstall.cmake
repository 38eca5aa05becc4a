# What `cmake --install` puts where, for extension authors outside the tree:
#
#   lib/libzelt.so*                    the runtime, with its SONAME links
#   lib/zelt/ext/wait.so               the wait extension, where libzelt looks
#   lib/zelt/ext/wait_many.so          IO.wait_any, beside it
#   lib/zelt/ext/wait_write.so         the output side: nwrite, writable?, ...
#   include/zelt.h                     the extension interface
#   include/zelt/embed.hpp             the embedding API
#   bin/zelt-io                        (tools/CMakeLists.txt)
#   share/man/man1/zelt-io.1.gz        its manual page
#   lib/pkgconfig/zelt.pc              pkg-config: cflags, libs, extensiondir
#   lib/pkgconfig/zelt-extension.pc    pkg-config: zelt's, and the version
#                                      script that leaves an extension
#                                      exporting Init_NAME alone
#   lib/cmake/Zelt/                    find_package(Zelt): Zelt::zelt,
#                                      zelt_add_extension() and that script
#
# Every file that names a place does so relative to where it is installed,
# so a tree installed with `cmake --install <build> --prefix <dir>` works
# from <dir>, whatever prefix was configured.
#
# Each rule names the component, and so the .deb, that holds its files
# (ZeltPackage.cmake): runtime (libzelt.so.N and wait.so), dev (headers,
# the unversioned link, pkg-config and the CMake package) and tool (zelt-io
# and its manual page).
include(CMakePackageConfigHelpers)
include(${CMAKE_CURRENT_LIST_DIR}/ZeltGzip.cmake) # zelt_gzip()

set(ZELT_CMAKE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/Zelt")

install(TARGETS zelt EXPORT ZeltTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES "${PROJECT_SOURCE_DIR}/host/zelt.h" DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES "${PROJECT_SOURCE_DIR}/runtime/include/zelt/embed.hpp"
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelt COMPONENT dev)

# The extensions beside libzelt, where the runtime looks without ZELT_EXT_PATH;
# its RPATH leads back to libzelt for tools that inspect it on its own.
file(RELATIVE_PATH zelt_ext_to_lib
  "${CMAKE_INSTALL_PREFIX}/${ZELT_EXT_INSTALL_DIR}" "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}")
string(REGEX REPLACE "/$" "" zelt_ext_to_lib "${zelt_ext_to_lib}")
set_target_properties(wait wait_many wait_write PROPERTIES INSTALL_RPATH "$ORIGIN/${zelt_ext_to_lib}")
install(TARGETS wait wait_many wait_write LIBRARY DESTINATION ${ZELT_EXT_INSTALL_DIR} COMPONENT runtime)

# pkg-config, its prefix found from the .pc file's own place.
file(RELATIVE_PATH ZELT_PC_TO_PREFIX
  "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" ZELT_PC_TO_PREFIX "${ZELT_PC_TO_PREFIX}")
configure_file("${PROJECT_SOURCE_DIR}/runtime/zelt.pc.in" "${PROJECT_BINARY_DIR}/zelt.pc" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/runtime/zelt-extension.pc.in" "${PROJECT_BINARY_DIR}/zelt-extension.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/zelt.pc" "${PROJECT_BINARY_DIR}/zelt-extension.pc"
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# zelt-io(1), with the project's version, installed compressed as man reads it.
set(ZELT_MAN_PAGE "${PROJECT_BINARY_DIR}/share/man/man1/zelt-io.1")
configure_file("${PROJECT_SOURCE_DIR}/tools/zelt-io.1.in" "${ZELT_MAN_PAGE}" @ONLY)
zelt_gzip("${ZELT_MAN_PAGE}" "${ZELT_MAN_PAGE}.gz")
install(FILES "${ZELT_MAN_PAGE}.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)

# The CMake package.
install(EXPORT ZeltTargets NAMESPACE Zelt:: DESTINATION ${ZELT_CMAKE_INSTALL_DIR} COMPONENT dev)
configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/ZeltConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/ZeltConfig.cmake"
  INSTALL_DESTINATION ${ZELT_CMAKE_INSTALL_DIR}
  PATH_VARS ZELT_EXT_INSTALL_DIR CMAKE_INSTALL_BINDIR)
write_basic_package_version_file("${PROJECT_BINARY_DIR}/ZeltConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion) # as the SONAME: major only
install(FILES
  "${PROJECT_BINARY_DIR}/ZeltConfig.cmake"
  "${PROJECT_BINARY_DIR}/ZeltConfigVersion.cmake"
  "${PROJECT_SOURCE_DIR}/cmake/ZeltExtension.cmake"
  "${PROJECT_SOURCE_DIR}/cmake/zelt-extension.map" # zelt-extension.pc names it here
  DESTINATION ${ZELT_CMAKE_INSTALL_DIR} COMPONENT dev)
