# What each of CPack's generators packs (cpack reads this file for each).
# Every package and the release archive take the portable packer where it
# was built, as they go to systems without this one's libzip or glibc.
if(CPACK_GENERATOR STREQUAL "DEB")
  # The packer the Debian package holds is the one the RPM packages and the
  # archive hold: with libzip inside, it installs where Debian 11's libzip4
  # or none is, as the launcher beside it does.
  set(CPACK_COMPONENTS_ALL launcher pack_portable)
  # The portable programs were built against an older glibc than this
  # system's, whose symbol data would date each of their symbols by where
  # this glibc keeps it (dlopen in libc.so.6 since 2.34): each package's
  # dependency is the newest glibc symbol version its own file needs.
  function(jlauncher_glibc_floor file result)
    execute_process(COMMAND objdump -T ${file} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "GLIBC_[0-9]+(\\.[0-9]+)+" versions "${symbols}")
    set(floor 2.2.5)
    foreach(version IN LISTS versions)
      string(REPLACE "GLIBC_" "" number ${version})
      if(number VERSION_GREATER floor)
        set(floor ${number})
      endif()
    endforeach()
    set(${result} ${floor} PARENT_SCOPE)
  endfunction()
  if(CPACK_JLAUNCHER_PORTABLE_LAUNCHER)
    jlauncher_glibc_floor(${CPACK_JLAUNCHER_PORTABLE_LAUNCHER} floor)
    set(CPACK_DEBIAN_LAUNCHER_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_LAUNCHER_PACKAGE_DEPENDS "libc6 (>= ${floor})")
    jlauncher_glibc_floor(${CPACK_JLAUNCHER_PORTABLE_PACKER} floor)
    set(CPACK_DEBIAN_PACK_PORTABLE_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_PACK_PORTABLE_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACK_PORTABLE_PACKAGE_DEPENDS}, libc6 (>= ${floor})")
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
