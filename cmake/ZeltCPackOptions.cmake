# Read by CPack once per generator (CPACK_PROJECT_CONFIG_FILE). The .tar.gz
# is stripped as it is packed; the .debs are left whole here, as the DEB
# generator moves each file's debug information into its -dbgsym package.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_STRIP_FILES ON)
endif()
