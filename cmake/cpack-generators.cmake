# What each of CPack's generators packs (cpack reads this file for each).
# Debian's packages use Debian's libzip; the RPM packages and the release
# archive go to systems without it and take the packer that has it inside.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL launcher pack)
elseif(CPACK_GENERATOR STREQUAL "RPM")
  set(CPACK_COMPONENTS_ALL launcher pack_portable)
elseif(CPACK_GENERATOR STREQUAL "TGZ")
  # One directory to unpack anywhere: bin/, share/, README.md, LICENSE.
  set(CPACK_COMPONENTS_ALL launcher pack_portable dist)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX "/")
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_JLAUNCHER_DIST_NAME})
  set(CPACK_ARCHIVE_FILE_NAME ${CPACK_JLAUNCHER_DIST_NAME})
endif()
