# What each of CPack's generators packs (cpack reads this file for each).
# Debian's packages use Debian's libzip; the RPM packages and the release
# archive go to systems without it and take the packer that has it inside.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL launcher pack)
  # The portable launcher was built against an older glibc than this
  # system's, whose symbol data would date each of its symbols by where this
  # glibc keeps it (dlopen in libc.so.6 since 2.34): its dependency is the
  # newest glibc symbol version the packaged file itself needs.
  if(CPACK_JLAUNCHER_PORTABLE_LAUNCHER)
    execute_process(COMMAND objdump -T ${CPACK_JLAUNCHER_PORTABLE_LAUNCHER} OUTPUT_VARIABLE symbols
                    COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "GLIBC_[0-9]+(\\.[0-9]+)+" versions "${symbols}")
    set(floor 2.2.5)
    foreach(version IN LISTS versions)
      string(REPLACE "GLIBC_" "" number ${version})
      if(number VERSION_GREATER floor)
        set(floor ${number})
      endif()
    endforeach()
    set(CPACK_DEBIAN_LAUNCHER_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_LAUNCHER_PACKAGE_DEPENDS "libc6 (>= ${floor})")
  endif()
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
