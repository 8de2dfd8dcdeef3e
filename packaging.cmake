# What `cmake --install` installs, and the packages CPack makes of it: the
# Debian packages (`cpack -G DEB`), the RPM packages (`cpack -G RPM`) and
# the release archive (`cpack -G TGZ`). Two components:
#   launcher  jlauncher, the companion library, its pages, the example
#   pack      jlauncher-pack and its page: its own package, so that only the
#             packer's users get it
# Wherever the portable launcher and packer were built, they are what
# installs, packages and the archive hold: the single files a packer makes
# carry its launcher to other machines, and the packages go to systems
# where Debian 12's libzip and glibc may be missing. The archive also holds
# README and LICENSE (component dist). cmake/cpack-generators.cmake chooses.
# Where the portable arm64 programs were built too, cpack run with
# JLAUNCHER_PACKAGE_ARCH=arm64 in its environment makes the packages and the
# archive for arm64: the same files with the arm64 programs. Each keeps the
# launcher of the other architecture in lib/jlauncher/<arch>/, where
# jlauncher-pack --arch finds it.

include(${PROJECT_SOURCE_DIR}/cmake/portable.cmake)

# Installs a program into destination: file, or for the arm64 packages
# arm64File into arm64Destination. Which is known only when installing.
function(jlauncher_install_program component destination file arm64Destination arm64File)
  install(CODE "
    set(jlauncher_program \"${destination}\" \"${file}\")
    if(\"\$ENV{JLAUNCHER_PACKAGE_ARCH}\" STREQUAL \"arm64\")
      set(jlauncher_program \"${arm64Destination}\" \"${arm64File}\")
    endif()
    list(GET jlauncher_program 0 jlauncher_destination)
    list(GET jlauncher_program 1 jlauncher_file)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${jlauncher_destination}\" TYPE PROGRAM
         FILES \"\${jlauncher_file}\")" COMPONENT ${component})
endfunction()

# The launcher that jlauncher-pack finds beside itself is the one it puts
# into applications.
if(LAUNCHER_PORTABLE_ENABLED AND LAUNCHER_PORTABLE_ARM64_ENABLED)
  set(CPACK_JLAUNCHER_PORTABLE_LAUNCHER ${LAUNCHER_PORTABLE_LAUNCHER})
  set(CPACK_JLAUNCHER_PORTABLE_PACKER ${LAUNCHER_PORTABLE_PACKER})
  set(CPACK_JLAUNCHER_ARM64_LAUNCHER ${LAUNCHER_PORTABLE_ARM64_LAUNCHER})
  set(CPACK_JLAUNCHER_ARM64_PACKER ${LAUNCHER_PORTABLE_ARM64_PACKER})
  set(bin ${CMAKE_INSTALL_BINDIR})
  jlauncher_install_program(launcher ${bin} ${LAUNCHER_PORTABLE_LAUNCHER} ${bin} ${LAUNCHER_PORTABLE_ARM64_LAUNCHER})
  jlauncher_install_program(pack ${bin} ${LAUNCHER_PORTABLE_PACKER} ${bin} ${LAUNCHER_PORTABLE_ARM64_PACKER})
  jlauncher_install_program(pack lib/jlauncher/arm64 ${LAUNCHER_PORTABLE_ARM64_LAUNCHER}
                            lib/jlauncher/x86-64 ${LAUNCHER_PORTABLE_LAUNCHER})
elseif(LAUNCHER_PORTABLE_ENABLED)
  set(CPACK_JLAUNCHER_PORTABLE_LAUNCHER ${LAUNCHER_PORTABLE_LAUNCHER})
  set(CPACK_JLAUNCHER_PORTABLE_PACKER ${LAUNCHER_PORTABLE_PACKER})
  install(PROGRAMS ${LAUNCHER_PORTABLE_LAUNCHER} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT launcher)
  install(PROGRAMS ${LAUNCHER_PORTABLE_PACKER} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT pack)
endif()
if(LAUNCHER_PORTABLE_ENABLED)
  # They carry zlib, which lintian would otherwise take for an oversight.
  install(FILES debian/jlauncher.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME jlauncher COMPONENT launcher)
  install(FILES debian/jlauncher-pack.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME jlauncher-pack COMPONENT pack)
else()
  install(TARGETS jlauncher RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT launcher)
  install(TARGETS jlauncher-pack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT pack)
endif()

# Debian's changelog of a native package, compressed as dpkg expects it.
add_custom_command(OUTPUT changelog.gz
  COMMAND ${GZIP_EXECUTABLE} -9n -c ${PROJECT_SOURCE_DIR}/debian/changelog > changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/debian/changelog)
add_custom_target(debian_changelog ALL DEPENDS changelog.gz)
# Each package documents itself in a directory of its own name.
foreach(component launcher pack)
  set(docdir ${CMAKE_INSTALL_DATADIR}/doc/jlauncher)
  if(component STREQUAL "pack")
    set(docdir ${CMAKE_INSTALL_DATADIR}/doc/jlauncher-pack)
  endif()
  install(FILES debian/copyright ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${docdir} COMPONENT ${component})
endforeach()
install(FILES README.md DESTINATION . COMPONENT dist EXCLUDE_FROM_ALL)
if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
  install(FILES LICENSE DESTINATION . COMPONENT dist EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME jlauncher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "jlauncher developers <jlauncher@corvane.example>")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-generators.cmake)
# The release archive: jlauncher-<version>-linux-<arch>.tar.gz.
set(CPACK_JLAUNCHER_DIST_NAME jlauncher-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_JLAUNCHER_ARM64_DIST_NAME jlauncher-${PROJECT_VERSION}-linux-aarch64)
# Each package's summary and description (CPack indents them for Debian).
set(launcher_summary "native launcher for Java applications")
set(launcher_description "jlauncher starts a Java application in place of the java command. Installed
beside the application under the application's name, it finds a Java
runtime, builds the JVM options, system properties and class path from a
configuration file (or from the comment of an archive appended to it),
loads the JVM into its own process and runs the application's main class.

The companion library jlauncher.jar lets the application ask the launcher
for a thread dump.")
set(pack_summary "single-file Java applications for jlauncher")
set(pack_description "jlauncher-pack makes a single executable file of the jlauncher launcher
and an application's jars: the jars merged into one archive appended to
the launcher, with the application's configuration as its comment.")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION java)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_NAME jlauncher)
set(CPACK_DEBIAN_LAUNCHER_DESCRIPTION "${launcher_summary}\n${launcher_description}")
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_RECOMMENDS "default-jre-headless | java-runtime-headless")
set(CPACK_DEBIAN_PACK_PACKAGE_NAME jlauncher-pack)
set(CPACK_DEBIAN_PACK_DESCRIPTION "${pack_summary}\n${pack_description}")
set(CPACK_DEBIAN_PACK_PACKAGE_DEPENDS "jlauncher (= ${PROJECT_VERSION})")

set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE "Apache-2.0")
# The files, without the links to debugging information that rpmbuild adds,
# and without directories that the system's own packages own. The launcher
# for another architecture needs nothing of this system: its libraries'
# versions (arm64's libdl GLIBC_2.17) would make the package uninstallable.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none\n%global __requires_exclude_from ^/usr/lib/jlauncher/.*$")
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/java /usr/share/man /usr/share/man/man1
    /usr/share/man/man5)
set(CPACK_RPM_LAUNCHER_PACKAGE_NAME jlauncher)
set(CPACK_RPM_LAUNCHER_PACKAGE_SUMMARY "${launcher_summary}")
set(CPACK_RPM_LAUNCHER_PACKAGE_DESCRIPTION "${launcher_description}")
set(CPACK_RPM_PACK_PACKAGE_NAME jlauncher-pack)
set(CPACK_RPM_PACK_PACKAGE_SUMMARY "${pack_summary}")
set(CPACK_RPM_PACK_PACKAGE_DESCRIPTION "${pack_description}")
set(CPACK_RPM_PACK_PACKAGE_REQUIRES "jlauncher = ${PROJECT_VERSION}")

# Permissions as dpkg would make them, whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
