# The Debian package, made by `cpack -G DEB` from the default build.

install(FILES debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Debian's changelog of a native package, compressed as dpkg expects it.
add_custom_command(OUTPUT changelog.gz
  COMMAND ${GZIP_EXECUTABLE} -9n -c ${PROJECT_SOURCE_DIR}/debian/changelog > changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/debian/changelog)
add_custom_target(debian_changelog ALL DEPENDS changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME jlauncher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "jlauncher developers <jlauncher@corvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "native launcher for Java applications")
# The long description; CPack puts the summary above it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "jlauncher starts a Java application in place of the java command. Installed
beside the application under the application's name, it finds a Java
runtime, builds the JVM options, system properties and class path from a
configuration file (or from the comment of an archive appended to it),
loads the JVM into its own process and runs the application's main class.

jlauncher-pack makes a single executable file of the launcher and an
application's jars. The companion library jlauncher.jar lets the
application ask the launcher for a thread dump.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION java)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "default-jre-headless | java-runtime-headless")
# Permissions as dpkg would make them, whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
